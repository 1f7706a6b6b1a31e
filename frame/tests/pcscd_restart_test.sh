#!/usr/bin/env bash
# The installation in a sandbox on the real stack (pcscd, vpcd, mlcardsim),
# driven by mlhost with the debug log on:
#  - a host keeps watching through a pcscd that dies: while mlhost watches a
#    card, its pcscd is killed with SIGKILL and started again on the same
#    ports; insertion and removal notices then come again. On the terminal
#    (slot 0) and on a PC/SC reader (slot 1);
#  - two hosts watch the terminal at once: neither disturbs the other's reads,
#    so both see every insertion and removal and no error;
#  - the password is in no output and no log.
# Uses a pcscd of its own, so the shared one of the test run is never disturbed.
#   pcscd_restart_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1 source=$2
. "$source/scripts/lib/pcscd.sh"

# Without a private socket folder the daemon would take the machine's socket.
if [ "$(id -u)" != 0 ] || ! unshare --mount true 2>/dev/null; then
    echo "SKIP: a private pcscd needs root and mount namespaces"
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/mlpcscd-restart.XXXXXX")
watcher= watcher2= card=
cleanup() {
    [ -z "$card" ] || kill "$card" 2>/dev/null || true
    [ -z "$watcher" ] || kill "$watcher" 2>/dev/null || true
    [ -z "$watcher2" ] || kill "$watcher2" 2>/dev/null || true
    ml_pcscd_stop "$work/pcscd" # before the wait: the daemon is a child as well
    wait 2>/dev/null || true
    rm -rf "$work"
    [ -z "${ML_OBJECT_NAMESPACE:-}" ] || find /dev/shm -depth -name "$ML_OBJECT_NAMESPACE*" -exec rm -rf {} + 2>/dev/null || true
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Named objects of this test go under the namespace of the run that started it.
base=${ML_OBJECT_NAMESPACE:-mltest}
eval "$(ML_BUILD_DIR="$build" "$source/scripts/sandbox" "$work/sandbox" 2>"$work/sandbox.log")" ||
    { cat "$work/sandbox.log" >&2; exit 1; }
export ML_OBJECT_NAMESPACE="${base}restart$$."
settings=$work/sandbox/documents/Kestrel/MorlindLogon/Settings
printf '[LogonDevice]\nDebug=1\n' >"$settings/mldebug.ini"

port=$(ml_free_port_pair $((${ML_VPCD_PORT:-36963} + 2)))
ml_pcscd_start "$work/pcscd" "$port" >&2

# count WHAT [OUTPUT]: lines of a watch output (watch.out) whose notice
# (after the time stamp) is WHAT; 0 before the watcher has made the file.
count() {
    local n
    n=$(grep -c "^[^ ]* $1" "${2:-$work/watch.out}" 2>/dev/null) || true
    echo "${n:-0}"
}
# wait_count WHAT N: until each output of $outputs has N such lines (at most 30 s).
outputs=$work/watch.out
wait_count() {
    local i out seen
    for i in $(seq 1 300); do
        seen=1
        for out in $outputs; do
            [ "$(count "$1" "$out")" -ge "$2" ] || seen=0
        done
        [ "$seen" = 0 ] || return 0
        sleep 0.1
    done
    fail "$device: $2 lines '$1' expected, watch printed:"
    cat $outputs >&2
    return 1
}
# insert FAMILY SLOT: a card with the image of this device in the reader.
insert() {
    local i
    # vpcd listens again only some time after pcscd started.
    for i in $(seq 1 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$((port + $2))") 2>/dev/null && break
        sleep 0.1
    done
    mlcardsim --family "$1" --image "$work/$device.img" --slot "$2" 2>>"$work/cardsim.log" &
    card=$!
}
remove() {
    kill "$card" 2>/dev/null || true
    wait "$card" 2>/dev/null || true
    card=
}

for entry in "terminal||class80|0" "reader|Virtual PCD 00 01|generic|1"; do
    IFS='|' read -r device reader family slot <<<"$entry"
    printf '[LogonDevice]\nCardreaderName=%s\nCurrentPort=1\n\n[Config]\nCurrentLanguage=1033\n' \
        "$reader" >"$settings/mlsettings.ini"
    insert "$family" "$slot"
    written=0
    for _ in 1 2 3; do
        if printf 'Pw-restart-1\n' | mlhost set --user alice --domain PLANT >"$work/set.out" 2>&1; then
            written=1
            break
        fi
    done
    [ "$written" = 1 ] || fail "$device: mlhost set: $(cat "$work/set.out")"
    mlhost watch --timeout 120 >"$work/watch.out" 2>&1 &
    watcher=$!
    if wait_count inserted 1; then
        kill -KILL "$(cat "$work/pcscd/pcscd.pid")"
        wait "$card" 2>/dev/null || true # the emulator ends with its reader
        card=
        ml_pcscd_start "$work/pcscd" "$port" >&2
        insert "$family" "$slot"
        if wait_count inserted 2; then
            removed=$(count removed)
            remove
            wait_count removed $((removed + 1)) || true
        fi
    fi
    remove
    kill "$watcher" 2>/dev/null || true
    wait "$watcher" 2>/dev/null || true
    watcher=
    if grep -q Pw-restart-1 "$work/watch.out"; then fail "$device: password in the watch output"; fi
    echo "$device: $(tr '\n' ';' <"$work/watch.out")"
done

# Two hosts on the terminal, with the card written above.
device=terminal
printf '[LogonDevice]\nCardreaderName=\nCurrentPort=1\n' >"$settings/mlsettings.ini"
outputs="$work/watch0.out $work/watch1.out"
mlhost watch --timeout 300 >"$work/watch0.out" 2>&1 &
watcher=$!
mlhost watch --timeout 300 >"$work/watch1.out" 2>&1 &
watcher2=$!
if wait_count removed 1; then # the empty terminal at the start
    for cycle in 1 2 3 4 5 6 7 8 9 10; do
        insert class80 0
        wait_count "inserted user=alice domain=PLANT" "$cycle" || break
        remove
        wait_count removed $((cycle + 1)) || break
    done
fi
remove
kill "$watcher" "$watcher2" 2>/dev/null || true
wait "$watcher" "$watcher2" 2>/dev/null || true
watcher= watcher2=
for out in $outputs; do
    [ "$(count inserted "$out")" = 10 ] && [ "$(grep -c error "$out")" = 0 ] ||
        fail "two hosts: $(tr '\n' ';' <"$out")"
done

diagnostics=$work/sandbox/documents/Kestrel/MorlindLogon/Diagnostics
[ -n "$(ls "$diagnostics")" ] || fail "no logs were written"
if grep -rqa Pw-restart-1 "$diagnostics" || grep -rqaP 'P\x00w\x00-\x00r\x00e\x00s' "$diagnostics"; then
    fail "password in a log"
fi
if grep -qa Pw-restart-1 $outputs "$work/set.out"; then fail "password in an output"; fi

[ "$failures" = 0 ] || exit 1
echo "PASS"
