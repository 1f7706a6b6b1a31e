#!/usr/bin/env bash
# mlhost.exe end to end under Wine, against the Linux card emulator:
#   mlhost_e2e_test.sh WINDOWS_BUILD_DIR MLCARDSIM
# Installs the Windows build into a folder of its own, registers it with the
# installation's register.cmd, puts the test smart-card service
# (winscard.dll, vpcd protocol on ML_VPCD_PORT and the next port) beside the
# module, and then, on the CT-API terminal (ct32.dll, slot 0) and on the
# PC/SC reader named in the settings (slot 1): set, get, and watch with an
# insertion and a removal. Also get from an empty reader.
set -euo pipefail

build=$1
cardsim=$2
wine_run=$build/wine-run.sh
port=${ML_VPCD_PORT:-37600}
export ML_VPCD_PORT=$port WINEDLLOVERRIDES="winscard=n"

work=$(mktemp -d "${TMPDIR:-/tmp}/mlhost-e2e.XXXXXX")
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAILED: $*" >&2
    for f in "$work"/*.log; do
        [ -f "$f" ] && { echo "--- $f"; cat "$f"; } >&2
    done
    exit 1
}

# expect_output NAME EXPECTED ACTUAL
expect_output() {
    [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"
}

# Waits until FILE has COUNT lines matching PATTERN (the module's notices
# arrive when its next pass sees the change).
wait_for_lines() { # file pattern count
    local i
    for i in $(seq 1 300); do
        [ "$(tr -d '\r' <"$1" | grep -c -- "$2" || true)" -ge "$3" ] && return 0
        sleep 0.1
    done
    fail "fewer than $3 lines matching '$2' in $1"
}

install=$work/install
cmake --install "$build" --prefix "$install" >/dev/null
cp "$build/test-winscard/winscard.dll" "$install/"
cd "$install"
"$wine_run" cmd /c register.cmd >"$work/register.log" 2>&1 || fail "register.cmd"
settings=$build/wineprefix/drive_c/users/Public/Documents/Kestrel/MorlindLogon/Settings/mlsettings.ini
[ -f "$settings" ] || fail "no settings file at $settings"

# The card emulator in slot $2 with image $3; it connects as soon as the
# next mlhost.exe serves the slot and ends when that process ends. The
# emulator gives up when nobody listens for 5 s (status 4), so it is started
# again while Wine is still starting the program, at most 12 times.
card() {
    (
        trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; exit 0' TERM
        for attempt in $(seq 1 12); do
            "$cardsim" --family "$1" --slot "$2" --image "$3" 2>>"$work/mlcardsim.log" &
            sim=$!
            rc=0
            wait "$sim" || rc=$?
            [ "$rc" -eq 4 ] || exit "$rc"
        done
        exit 4
    ) &
    card_pid=$!
    pids+=("$card_pid")
}

host() { "$wine_run" mlhost.exe "$@"; }
# mlhost.exe with the card of slot $1 in before the module first looks.
host_with_card() {
    local slot=$1
    shift
    ML_VPCD_EXPECT=$slot "$wine_run" mlhost.exe "$@"
}

# The time that begins every line of watch (2026-12-07T09:15:02.120+01:00).
stamp='^[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9]\{3\}[-+][0-9][0-9]:[0-9][0-9]'

device() { # family slot reader-name user domain password
    local family=$1 slot=$2 reader=$3 user=$4 domain=$5 password=$6
    local image=$work/card-$slot.img out
    sed -i "s/^CardreaderName=.*/CardreaderName=$reader/" "$settings"

    card "$family" "$slot" "$image"
    out=$(printf '%s\n' "$password" | host_with_card "$slot" set --user "$user" --domain "$domain" | tr -d '\r')
    expect_output "set on slot $slot" "error:" "$out"
    wait "$card_pid" || true

    card "$family" "$slot" "$image"
    out=$(host_with_card "$slot" get --show-password </dev/null | tr -d '\r')
    expect_output "get on slot $slot" \
        "$(printf 'user: %s\ndomain: %s\npassword: %s\nerror:' "$user" "$domain" "$password")" "$out"
    wait "$card_pid" || true

    card "$family" "$slot" "$image"
    out=$(host_with_card "$slot" get </dev/null | tr -d '\r')
    expect_output "get without --show-password on slot $slot" \
        "$(printf 'user: %s\ndomain: %s\npassword: ***\nerror:' "$user" "$domain")" "$out"
    wait "$card_pid" || true

    # watch: the first pass finds no card, then one insertion and removal.
    : >"$work/watch-$slot.log"
    # Started directly (not through a function), so that $! is mlhost.exe.
    "$wine_run" mlhost.exe watch --timeout 60 </dev/null >>"$work/watch-$slot.log" 2>&1 &
    local watch_pid=$!
    pids+=("$watch_pid")
    wait_for_lines "$work/watch-$slot.log" "$stamp removed\$" 1
    card "$family" "$slot" "$image"
    wait_for_lines "$work/watch-$slot.log" "$stamp inserted user=$user domain=$domain\$" 1
    kill "$card_pid"
    wait "$card_pid" || true
    wait_for_lines "$work/watch-$slot.log" "$stamp removed\$" 2
    if grep -q -- "$password" "$work/watch-$slot.log"; then
        fail "watch printed the password"
    fi
    kill "$watch_pid" 2>/dev/null || true
    wait "$watch_pid" 2>/dev/null || true
}

device class80 0 "" operator1 PLANT "Secret-1"
device generic 1 "Virtual PCD 00 01" operator2 CONTROL "Secret 2"

# An empty reader: the smart-card service answers SCARD_W_REMOVED_CARD, which
# the module reports as a missing card.
out=$(host get </dev/null | tr -d '\r' | grep '^error:' || true)
case "$out" in
"error: 18 "*) ;;
*) fail "get from an empty reader: [$out]" ;;
esac
# status lists the service's two readers, neither holding a card now.
out=$(host status </dev/null | tr -d '\r' | grep '^  Virtual PCD' || true)
expect_output "status" "$(printf '  Virtual PCD 00 00: empty\n  Virtual PCD 00 01: empty')" "$out"
echo "mlhost.exe end to end: passed"
