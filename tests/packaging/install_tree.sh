#!/usr/bin/env bash
# "cmake --install" into a temporary prefix: exactly the files a user should
# get, in their places, the documents as shipped, the user unit pointing at
# the installed binary, and that binary runs. The build tree's own
# install_manifest.txt, the user's, is left alone, and the README's uninstall
# recipe leaves nothing behind.
# usage: install_tree.sh SOURCE_DIR BUILD_DIR CMAKE VERSION
source "$(dirname "$0")/lib.sh"
src=$1 build=$2 cmake=$3 version=$4
prefix=$scratch/prefix

user_manifest=$build/install_manifest.txt
manifest=$build/install_manifest_runtime.txt
user_manifest_before=$(cksum "$user_manifest" 2>/dev/null || echo absent)
"$cmake" --install "$build" --prefix "$prefix" --component runtime >"$scratch/install.log" 2>&1 \
    || fail "cmake --install failed: $(cat "$scratch/install.log")"
[ "$(cksum "$user_manifest" 2>/dev/null || echo absent)" = "$user_manifest_before" ] \
    || fail "installing for the test changed the user's $user_manifest"

expected="bin/tarnwick
lib/systemd/user/tarnwick.service
share/doc/tarnwick/README.md
share/doc/tarnwick/copyright
share/doc/tarnwick/local.tarnwick.plist
share/doc/tarnwick/tarnwick.conf.example
share/man/man1/tarnwick.1.gz"
actual=$(list_tree "$prefix")
[ "$actual" = "$expected" ] || fail "installed files differ from the expected ones:
$(diff <(echo "$expected") <(echo "$actual") || true)"

check_documents "$src" "$prefix/share/doc/tarnwick" "$prefix/share/man/man1"

# The unit as shipped, with ExecStart naming the binary under this prefix.
sed "s|^ExecStart=/usr/bin/tarnwick |ExecStart=$prefix/bin/tarnwick |" "$src/contrib/tarnwick.service" \
    >"$scratch/expected.service"
grep -q "^ExecStart=$prefix/bin/tarnwick " "$scratch/expected.service" \
    || fail "contrib/tarnwick.service has no ExecStart=/usr/bin/tarnwick line to adapt"
diff -u "$scratch/expected.service" "$prefix/lib/systemd/user/tarnwick.service" \
    || fail "the installed unit is not contrib/tarnwick.service with ExecStart=$prefix/bin/tarnwick"

# The manifest, which an uninstall works from, knows every file.
while read -r file; do
    grep -qxF "$prefix/$file" "$manifest" || fail "$(basename "$manifest") lacks $prefix/$file"
done <<<"$expected"

[ -x "$prefix/bin/tarnwick" ] || fail "bin/tarnwick is not executable"
check_version "$prefix/bin/tarnwick" "$version"
if command -v man >/dev/null; then
    found=$(man -M "$prefix/share/man" -w tarnwick 2>&1) || fail "man -M $prefix/share/man finds no tarnwick page: $found"
    [ "$found" = "$prefix/share/man/man1/tarnwick.1.gz" ] || fail "man found $found"
fi

# The README's uninstall recipe, with this manifest: the files go, and so do
# the directories that held only them, the prefix here among them.
xargs -d '\n' rm -f -- <"$manifest"
xargs -d '\n' -n 1 dirname <"$manifest" | sort -ru | xargs -d '\n' rmdir -p --ignore-fail-on-non-empty
[ ! -e "$prefix" ] || fail "the uninstall recipe left behind: $(cd "$prefix" && find . | sort)"
echo "ok: installed $(wc -l <<<"$expected") files under a temporary prefix; tarnwick -v runs"
