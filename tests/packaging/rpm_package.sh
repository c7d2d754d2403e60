#!/usr/bin/env bash
# scripts/rpm: the package needs nothing but glibc 2.17's own libraries, holds
# the files the .deb holds, and installed into an empty root gives a tarnwick
# that runs.
# usage: rpm_package.sh SOURCE_DIR BUILD_DIR BINARY ARCH VERSION [RUNNER]
# BINARY is a dynamic glibc 2.17 build for ARCH. RUNNER ("qemu-aarch64-static
# -L /usr/aarch64-linux-gnu", say) runs a binary of another architecture.
# Skipped where rpmbuild is missing, except under CI=true.
source "$(dirname "$0")/lib.sh"
src=$1 build=$2 binary=$3 arch=$4 version=$5 runner=${6:-}

if ! command -v rpmbuild >/dev/null; then
    [ "${CI:-}" != true ] || fail "rpmbuild is missing (Debian package rpm; scripts/install-deps installs it)"
    skip "rpmbuild is not installed (Debian package rpm)"
fi

package=$("$src/scripts/rpm" "$binary" "$arch" "$build" "$scratch/out") || fail "scripts/rpm failed"
[ "$(basename "$package")" = "tarnwick-$version-1.$arch.rpm" ] || fail "unexpected package file name $(basename "$package")"
[ "$(rpm -qp --qf '%{NAME} %{VERSION} %{ARCH} %{LICENSE}' "$package")" = "tarnwick $version $arch MIT" ] \
    || fail "name, version, arch, licence: $(rpm -qp --qf '%{NAME} %{VERSION} %{ARCH} %{LICENSE}' "$package")"

# rpmbuild lists every shared library an ELF file needs, and the glibc symbol
# versions it uses. Every RHEL-family system since 7 has glibc 2.17; Kerberos
# is loaded at run time, so no Kerberos library may be asked for.
requires=$(rpm -qp --requires "$package")
glibc_library='(libc\.so\.6|libm\.so\.6|libdl\.so\.2|libpthread\.so\.0|librt\.so\.1|ld-linux-(x86-64|aarch64)\.so\.[12])'
! grep -iE 'gssapi|krb5|kerberos' <<<"$requires" || fail "the package requires a Kerberos library (above)"
! grep -vE "^rpmlib\(|^rtld\(GNU_HASH\)$|^$glibc_library\((GLIBC_[0-9.]+)?\)(\(64bit\))?$" <<<"$requires" \
    || fail "the package requires more than rpm and the C library (above)"
grep -qE '^libc\.so\.6\(' <<<"$requires" || fail "the package does not ask for libc.so.6: its binary is not a dynamic glibc one"
newest=$(grep -oE 'GLIBC_[0-9.]+' <<<"$requires" | sed 's/^GLIBC_//' | sort -V | tail -n 1)
[ "$(printf '%s\n' "$newest" 2.17 | sort -V | tail -n 1)" = 2.17 ] \
    || fail "the package asks for glibc $newest, newer than RHEL 7's 2.17"

expected="/usr/bin/tarnwick
/usr/lib/systemd/user/tarnwick.service
/usr/share/doc/tarnwick
/usr/share/doc/tarnwick/README.md
/usr/share/doc/tarnwick/copyright
/usr/share/doc/tarnwick/local.tarnwick.plist
/usr/share/doc/tarnwick/tarnwick.conf.example
/usr/share/man/man1/tarnwick.1.gz"
actual=$(rpm -qlp "$package")
[ "$actual" = "$expected" ] || fail "package contents differ from the expected ones:
$(diff <(echo "$expected") <(echo "$actual") || true)"

root=$scratch/root
rpm --root "$root" --initdb
rpm --root "$root" -i --nodeps --ignorearch "$package" 2>"$scratch/install.err" \
    || fail "rpm -i into an empty root failed: $(cat "$scratch/install.err")"
[ "$(rpm --root "$root" -q tarnwick)" = "tarnwick-$version-1.$arch" ] || fail "rpm -q does not find the installed package"
cmp -s "$binary" "$root/usr/bin/tarnwick" || fail "the installed /usr/bin/tarnwick is not $binary"
grep -qx 'ExecStart=/usr/bin/tarnwick -f -c %h/.config/tarnwick/tarnwick.conf' "$root/usr/lib/systemd/user/tarnwick.service" \
    || fail "the packaged unit does not start /usr/bin/tarnwick -f"
check_documents "$src" "$root/usr/share/doc/tarnwick" "$root/usr/share/man/man1"
if [ -n "$runner" ]; then
    printf '#!/bin/sh\nexec %s %s "$@"\n' "$runner" "$root/usr/bin/tarnwick" >"$scratch/tarnwick"
    chmod 755 "$scratch/tarnwick"
    check_version "$scratch/tarnwick" "$version"
else
    check_version "$root/usr/bin/tarnwick" "$version"
fi
echo "ok: $(basename "$package") requires glibc 2.17 alone, holds the .deb's files, and installed, its tarnwick -v runs"
