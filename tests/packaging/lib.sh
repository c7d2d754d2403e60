# Helpers shared by the packaging tests (sourced, not run).
set -euo pipefail

readonly skip_status=77

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit "$skip_status"; }

# A scratch directory, removed on exit together with the processes the test
# registered in cleanup_pids (stopped by pid).
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-packaging.XXXXXX")
cleanup_pids=()
cleanup() {
    local pid
    for pid in "${cleanup_pids[@]}"; do
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

# The program's -v contract: "tarnwick VERSION" on standard error, nothing on
# standard output, exit status 1.
check_version() {
    local binary=$1 version=$2 status=0
    "$binary" -v >"$scratch/version.out" 2>"$scratch/version.err" || status=$?
    [ "$status" -eq 1 ] || fail "$binary -v: exit status $status, expected 1"
    [ ! -s "$scratch/version.out" ] || fail "$binary -v wrote to standard output: $(cat "$scratch/version.out")"
    [ "$(cat "$scratch/version.err")" = "tarnwick $version" ] \
        || fail "$binary -v printed '$(cat "$scratch/version.err")', expected 'tarnwick $version'"
}

# Waits up to $2 tenths of a second for the command "$3..." to succeed.
wait_until() {
    local what=$1 tenths=$2
    shift 2
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    fail "timed out waiting for $what"
}

# True while process $1 exists and is not a zombie.
process_alive() {
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
    [[ $state != Z* ]]
}

# The installed tree below $1, one relative path a line, sorted.
list_tree() {
    (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
}

# The documents as a user gets them, under the doc directory $2 and the man
# directory $3: the example and the copyright file as shipped, the man page
# compressed as Debian wants it (gzip -9n: no name, no time stamp), and the
# README without the blocks that only make sense in a source tree.
check_documents() {
    local src=$1 docdir=$2 mandir=$3
    cmp -s "$src/tarnwick.conf.example" "$docdir/tarnwick.conf.example" || fail "$docdir/tarnwick.conf.example is not a copy of the example"
    cmp -s "$src/contrib/debian/copyright" "$docdir/copyright" || fail "$docdir/copyright is not a copy of contrib/debian/copyright"
    cmp -s "$src/contrib/local.tarnwick.plist" "$docdir/local.tarnwick.plist" || fail "$docdir/local.tarnwick.plist is not a copy of contrib/local.tarnwick.plist"
    head -n 1 "$docdir/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
        || fail "$docdir/copyright is not in Debian's machine-readable format"
    grep -qx 'License: MIT' "$docdir/copyright" || fail "$docdir/copyright does not name the MIT licence"
    head -n 1 "$src/LICENSE" | grep -qx 'MIT License' || fail "LICENSE is not the MIT licence the copyright file names"
    gzip -9n -c "$src/man/tarnwick.1" | cmp -s - "$mandir/tarnwick.1.gz" || fail "$mandir/tarnwick.1.gz is not man/tarnwick.1 compressed with gzip -9n"
    sed '/^<!-- source tree only -->$/,/^<!-- end of source tree only -->$/d' "$src/README.md" >"$scratch/README.expected"
    cmp -s "$scratch/README.expected" "$docdir/README.md" || fail "$docdir/README.md is not README.md without its source-tree-only blocks:
$(diff "$scratch/README.expected" "$docdir/README.md" | head -n 20)"
    ! grep -nE 'scripts/|\bbuild/|HACKING' "$docdir/README.md" || fail "the installed README speaks of the source tree (above)"
}
