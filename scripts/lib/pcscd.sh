# Starting and stopping a private pcscd with the vpcd virtual reader.
#
# Sourced by scripts/test, scripts/demo and scripts/pcscd. A private daemon
# gets its own socket folder (a mount namespace puts it at /run/pcscd for the
# daemon only) and its own vpcd ports, so it neither disturbs nor meets a
# pcscd of the machine. Clients find it through PCSCLITE_CSOCK_NAME, which
# pcsc-lite's client library honours; card emulators through ML_VPCD_PORT
# (the TCP port of the first slot; the second slot is the port after it).
#
#   ml_pcscd_start DIR [PORT]   start; sets ML_PCSCD_PID, exports the two variables
#   ml_pcscd_stop  DIR          end the daemon started for DIR, by process id

ML_VPCD_DRIVER=${ML_VPCD_DRIVER:-/usr/lib/pcsc/drivers/serial/libifdvpcd.so}

ml_pcscd_start() {
    local dir=$1 port=${2:-35963}
    mkdir -p "$dir/conf" "$dir/run"
    dir=$(cd "$dir" && pwd)
    if [ ! -f "$ML_VPCD_DRIVER" ]; then
        echo "pcscd: vpcd driver $ML_VPCD_DRIVER not found (package vsmartcard-vpcd)" >&2
        return 1
    fi
    # One vpcd entry serves two slots: the port given and the one after it.
    printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME   /dev/null:0x%X\nLIBPATH      %s\nCHANNELID    0x%X\n' \
        "$port" "$ML_VPCD_DRIVER" "$port" > "$dir/conf/vpcd"
    rm -f "$dir/run/pcscd.comm" "$dir/run/pcscd.pid"
    if [ "$(id -u)" = 0 ] && unshare --mount true 2>/dev/null; then
        unshare --mount sh -c 'mount --bind "$1" /run/pcscd 2>/dev/null || { mkdir -p /run/pcscd && mount --bind "$1" /run/pcscd; } && exec pcscd -f -c "$2"' \
            sh "$dir/run" "$dir/conf" > "$dir/pcscd.log" 2>&1 &
        ML_PCSCD_PID=$!
        export PCSCLITE_CSOCK_NAME="$dir/run/pcscd.comm"
    else
        # Without a private namespace the daemon takes the machine's socket.
        pcscd -f -c "$dir/conf" > "$dir/pcscd.log" 2>&1 &
        ML_PCSCD_PID=$!
        unset PCSCLITE_CSOCK_NAME
    fi
    echo "$ML_PCSCD_PID" > "$dir/pcscd.pid"
    export ML_VPCD_PORT=$port
    # Ready when the socket is there and vpcd listens on its first port.
    local i
    for i in $(seq 1 100); do
        if ! kill -0 "$ML_PCSCD_PID" 2>/dev/null; then
            echo "pcscd: daemon ended at start; its log:" >&2
            cat "$dir/pcscd.log" >&2
            return 1
        fi
        if [ -S "${PCSCLITE_CSOCK_NAME:-/run/pcscd/pcscd.comm}" ] &&
            (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    echo "pcscd: not ready after 10 s; its log:" >&2
    cat "$dir/pcscd.log" >&2
    return 1
}

# Prints the first port from $1 on (default 36963) whose port and the next
# are both free on this machine, so that a private vpcd does not meet another.
ml_free_port_pair() {
    local port=${1:-36963}
    while [ "$port" -lt 65000 ]; do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null &&
            ! (exec 3<>"/dev/tcp/127.0.0.1/$((port + 1))") 2>/dev/null; then
            echo "$port"
            return 0
        fi
        port=$((port + 2))
    done
    return 1
}

ml_pcscd_stop() {
    local dir=$1 pid
    [ -f "$dir/pcscd.pid" ] || return 0
    pid=$(cat "$dir/pcscd.pid")
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$dir/pcscd.pid"
}
