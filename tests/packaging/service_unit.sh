#!/usr/bin/env bash
# The systemd user unit.
#   verify: the installed unit passes "systemd-analyze --user verify" without
#           a word (skipped where systemd-analyze is not installed);
#   run:    does what the service manager does with it, without one: runs
#           ExecStart with HOME set and watches the process it started as
#           Type=exec does, stops it with SIGTERM as KillMode=process does and
#           takes its exit status as Restart=on-failure does, with
#           tarnwick.conf.example as the configuration.
# usage: service_unit.sh verify SOURCE_DIR BUILD_DIR CMAKE
#        service_unit.sh run SOURCE_DIR TARNWICK_BINARY
source "$(dirname "$0")/lib.sh"
mode=$1 src=$2
unit=$src/contrib/tarnwick.service

verify() {
    local build=$1 cmake=$2 prefix=$scratch/prefix
    command -v systemd-analyze >/dev/null || skip "systemd-analyze is not installed (Debian package systemd)"
    "$cmake" --install "$build" --prefix "$prefix" --component runtime >"$scratch/install.log" 2>&1 \
        || fail "cmake --install failed: $(cat "$scratch/install.log")"
    mkdir -m 700 "$scratch/home" "$scratch/runtime"
    # Documentation=man:tarnwick(1) is checked with man(1), which is pointed
    # at the installed page; without man-db there is nothing to check it with.
    local man_check=yes
    command -v man >/dev/null || man_check=no
    local out status=0
    out=$(HOME=$scratch/home XDG_RUNTIME_DIR=$scratch/runtime MANPATH=$prefix/share/man \
          systemd-analyze --user verify --man=$man_check "$prefix/lib/systemd/user/tarnwick.service" 2>&1) \
        || status=$?
    [ "$status" -eq 0 ] && [ -z "$out" ] || fail "systemd-analyze --user verify (status $status): $out"
    echo "ok: systemd-analyze --user verify has nothing to say"
}

# The one value of KEY= in the unit.
unit_value() {
    local values
    values=$(sed -n "s/^$1=//p" "$unit")
    [ "$(wc -l <<<"$values")" -eq 1 ] && [ -n "$values" ] || fail "the unit needs exactly one $1= line"
    echo "$values"
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

run() {
    local binary=$1 home=$scratch/home
    [ "$(unit_value Type)" = exec ] || fail "the unit is not Type=exec, which this test acts out"
    [ "$(unit_value KillMode)" = process ] || fail "the unit is not KillMode=process, which this test acts out"
    [ "$(unit_value Restart)" = on-failure ] || fail "the unit is not Restart=on-failure, which this test acts out"
    ! grep -q '^PIDFile=' "$unit" || fail "the unit names a PIDFile, which a server in the foreground never hands over"
    # %h is the user's home; the binary under test stands in for /usr/bin/tarnwick.
    local exec_start
    exec_start=$(unit_value ExecStart | sed "s|%h|$home|g; s|^/usr/bin/tarnwick |$binary |")
    [[ $exec_start == "$binary -f "* ]] || fail "ExecStart does not start /usr/bin/tarnwick -f"

    # Mistakes the reader would take silently: a last line without its line
    # feed is dropped, trailing blanks and CRs become part of values.
    local example=$src/tarnwick.conf.example
    [ "$(tail -c 1 "$example" | od -An -c | tr -d ' ')" = '\n' ] || fail "the example's last line has no line feed"
    ! grep -nE $'[ \t\r]$' "$example" || fail "the example has lines with trailing blanks or CRs (above)"

    # The example, as a user would adapt it: a port of our own, the credential on.
    local port config=$home/.config/tarnwick/tarnwick.conf
    port=$(free_port)
    mkdir -p "$(dirname "$config")"
    sed -e "s/^listen 127\.0\.0\.1:[0-9]*$/listen 127.0.0.1:$port/" -e 's/^#auth /auth /' \
        "$example" >"$config"
    grep -qx "listen 127.0.0.1:$port" "$config" || fail "the example has no 'listen 127.0.0.1:PORT' line"
    local credential
    credential=$(sed -n 's/^auth //p' "$config")
    [ -n "$credential" ] || fail "the example has no '#auth user:password' line to switch on"
    [ "$config" = "$(sed 's/.* -c //' <<<"$exec_start")" ] || fail "ExecStart does not read $config"

    # The service manager's child is the server: the pid file names it.
    local pid pid_file=$home/.tarnwick/tarnwick.pid
    (cd / && HOME=$home exec $exec_start </dev/null >"$scratch/start.out" 2>"$scratch/start.err") &
    pid=$!
    cleanup_pids+=("$pid")
    local log=$home/.tarnwick/tarnwick.log
    wait_until "the start-up banner" 50 grep -qs ' \*\*\*   external ' "$log"
    process_alive "$pid" || fail "the process ExecStart started has ended: $(cat "$scratch/start.err")"
    [ "$(cat "$pid_file")" = "$pid" ] || fail "the pid file names $(cat "$pid_file"), not the process started, $pid"
    # The banner's first line shows the first three words of the command.
    local started
    started=$(cut -d' ' -f1-3 <<<"$exec_start")
    grep -qF "*** STARTED as $started" "$log" || fail "no 'STARTED as $started' in the log: $(cat "$log")"
    local key
    for key in listen proxy external; do
        local value
        value=$(sed -n "s/^$key //p" "$config")
        grep -qE "\*\*\*   $key +$(sed 's/[.]/\\./g' <<<"$value")\$" "$log" \
            || fail "the log does not show '$key $value' from the example: $(cat "$log")"
    done
    ! grep -qF -e "$credential" -e "$(printf %s "$credential" | base64)" "$log" \
        || fail "the credential appears in the log"
    [ ! -s "$scratch/start.out" ] && [ ! -s "$scratch/start.err" ] \
        || fail "starting printed: $(cat "$scratch/start.out" "$scratch/start.err")"

    kill -TERM "$pid"
    local status=0
    wait_until "tarnwick to stop on SIGTERM" 150 eval '! process_alive '"$pid"
    wait "$pid" || status=$?
    cleanup_pids=()  # gone: its number may be reused from now on
    [ "$status" -eq 0 ] || fail "stopped with SIGTERM, tarnwick ended with status $status, which Restart=on-failure restarts"
    [ "$(tail -n 1 "$log" | cut -d' ' -f3-)" = "*** SIGINT/SIGTERM, terminating gracefully" ] \
        || fail "the log does not end with the shutdown line: $(tail -n 3 "$log")"
    echo "ok: the unit's ExecStart and stop work with the example configuration"
}

case $mode in
    verify) verify "$3" "$4" ;;
    run) run "$3" ;;
    *) fail "unknown mode $mode" ;;
esac
