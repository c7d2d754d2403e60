#!/usr/bin/env bash
# "cpack -G DEB": the package's control fields, its contents, and the binary
# unpacked from it runs.
# usage: debian_package.sh SOURCE_DIR BUILD_DIR CPACK VERSION
source "$(dirname "$0")/lib.sh"
src=$1 build=$2 cpack=$3 version=$4

command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed (Debian package dpkg)"

(cd "$scratch" && "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out") \
    >"$scratch/cpack.log" 2>&1 || fail "cpack -G DEB failed: $(cat "$scratch/cpack.log")"
shopt -s nullglob
debs=("$scratch"/out/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one .deb, found ${#debs[@]}: $(ls "$scratch/out")"
deb=${debs[0]}
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$(basename "$deb")" = "tarnwick_${version}_${arch}.deb" ] || fail "unexpected package file name $(basename "$deb")"
if command -v dpkg >/dev/null; then
    [ "$arch" = "$(dpkg --print-architecture)" ] || fail "Architecture $arch is not this machine's"
fi

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tarnwick ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Section)" = net ] || fail "Section: $(field Section)"
[ "$(field Priority)" = optional ] || fail "Priority: $(field Priority)"
[ "$(field Maintainer)" = "tarnwick developers <tarnwick@localhost>" ] || fail "Maintainer: $(field Maintainer)"
[[ ", $(field Depends)," == *", libc6"[\ ,]* ]] || fail "Depends lacks libc6: $(field Depends)"
# Kerberos is loaded at run time: the package installs without it.
! grep -iE 'gssapi|krb5' <<<"$(field Depends)" || fail "Depends names a Kerberos library (above)"
[[ ", $(field Recommends)," == *", libgssapi-krb5-2"[\ ,]* ]] || fail "Recommends lacks libgssapi-krb5-2: $(field Recommends)"
description=$(field Description)
summary=$(head -n 1 <<<"$description")
[[ $summary == *"HTTP proxy"* ]] || fail "Description's summary line: '$summary'"
[ "$(wc -l <<<"$description")" -ge 4 ] || fail "Description has no long text: $description"

dpkg-deb -x "$deb" "$scratch/root"
expected="usr/bin/tarnwick
usr/lib/systemd/user/tarnwick.service
usr/share/doc/tarnwick/README.md
usr/share/doc/tarnwick/copyright
usr/share/doc/tarnwick/local.tarnwick.plist
usr/share/doc/tarnwick/tarnwick.conf.example
usr/share/man/man1/tarnwick.1.gz"
actual=$(list_tree "$scratch/root")
[ "$actual" = "$expected" ] || fail "package contents differ from the expected ones:
$(diff <(echo "$expected") <(echo "$actual") || true)"
grep -qx 'ExecStart=/usr/bin/tarnwick -f -c %h/.config/tarnwick/tarnwick.conf' \
    "$scratch/root/usr/lib/systemd/user/tarnwick.service" \
    || fail "the packaged unit does not start /usr/bin/tarnwick: $(grep ExecStart "$scratch/root/usr/lib/systemd/user/tarnwick.service")"
check_documents "$src" "$scratch/root/usr/share/doc/tarnwick" "$scratch/root/usr/share/man/man1"
check_version "$scratch/root/usr/bin/tarnwick" "$version"
echo "ok: $(basename "$deb") built, its fields and files checked, its tarnwick -v runs"
