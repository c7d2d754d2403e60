#!/usr/bin/env bash
# "cmake --install" into a temporary prefix: exactly the files a user should
# get, in their places, the documents as shipped, the user unit pointing at
# the installed binary, and that binary runs.
# usage: install_tree.sh SOURCE_DIR BUILD_DIR CMAKE VERSION
source "$(dirname "$0")/lib.sh"
src=$1 build=$2 cmake=$3 version=$4
prefix=$scratch/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 \
    || fail "cmake --install failed: $(cat "$scratch/install.log")"

expected="bin/tarnwick
lib/systemd/user/tarnwick.service
share/doc/tarnwick/README.md
share/doc/tarnwick/tarnwick.conf.example
share/man/man1/tarnwick.1"
actual=$(list_tree "$prefix")
[ "$actual" = "$expected" ] || fail "installed files differ from the expected ones:
$(diff <(echo "$expected") <(echo "$actual") || true)"

for pair in man/tarnwick.1:share/man/man1/tarnwick.1 \
            tarnwick.conf.example:share/doc/tarnwick/tarnwick.conf.example \
            README.md:share/doc/tarnwick/README.md; do
    cmp -s "$src/${pair%%:*}" "$prefix/${pair#*:}" || fail "$prefix/${pair#*:} is not a copy of ${pair%%:*}"
done

# The unit as shipped, with ExecStart naming the binary under this prefix.
sed "s|^ExecStart=/usr/bin/tarnwick |ExecStart=$prefix/bin/tarnwick |" "$src/contrib/tarnwick.service" \
    >"$scratch/expected.service"
grep -q "^ExecStart=$prefix/bin/tarnwick " "$scratch/expected.service" \
    || fail "contrib/tarnwick.service has no ExecStart=/usr/bin/tarnwick line to adapt"
diff -u "$scratch/expected.service" "$prefix/lib/systemd/user/tarnwick.service" \
    || fail "the installed unit is not contrib/tarnwick.service with ExecStart=$prefix/bin/tarnwick"

# The manifest, which an uninstall works from, knows every file.
while read -r file; do
    grep -qxF "$prefix/$file" "$build/install_manifest.txt" || fail "install_manifest.txt lacks $prefix/$file"
done <<<"$expected"

[ -x "$prefix/bin/tarnwick" ] || fail "bin/tarnwick is not executable"
check_version "$prefix/bin/tarnwick" "$version"
if command -v man >/dev/null; then
    found=$(man -M "$prefix/share/man" -w tarnwick 2>&1) || fail "man -M $prefix/share/man finds no tarnwick page: $found"
    [ "$found" = "$prefix/share/man/man1/tarnwick.1" ] || fail "man found $found"
fi
echo "ok: installed $(wc -l <<<"$expected") files under a temporary prefix; tarnwick -v runs"
