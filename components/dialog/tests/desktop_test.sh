#!/usr/bin/env bash
# The desktop message box under Xvfb (GDK_BACKEND=x11): each button and key
# of mldialog-gtk, the component's run-time choice between desktop and
# terminal, and a screenshot in the output folder for a person to look at.
#   desktop_test.sh MLDIALOG_GTK COMPONENT DESKTOP_SHOW OUTPUT_FOLDER
set -uo pipefail
program=$1 component=$2 show=$3 out=$4
mkdir -p "$out"
passed=0 failed=0
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }
pass() { passed=$((passed + 1)); }

for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (packages xvfb, xdotool, imagemagick)"; exit 1; }
done

# A display of our own: Xvfb picks a free number and writes it to fd 3.
exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
trap 'kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null' EXIT
read -r -t 30 display <&3 || { echo "Xvfb did not start"; cat "$out/xvfb.log"; exit 1; }
export DISPLAY=":$display" GDK_BACKEND=x11 GSK_RENDERER=cairo GTK_A11Y=none NO_AT_BRIDGE=1
unset WAYLAND_DISPLAY

# Waits (up to 30 s) for the window titled exactly $1 to be on the screen
# and gives it the keyboard.
window() {
    local wid
    wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^$1\$" | head -n 1)
    [ -n "$wid" ] || return 1
    xdotool windowfocus --sync "$wid"
    echo "$wid"
}

# One box: type, keys to press ("" for none), expected answer, extra arguments.
n=0
box() {
    local type=$1 keys=$2 expected=$3
    shift 3
    n=$((n + 1))
    local caption="Box $n" answer
    echo "Insert the card $n" | timeout 60 "$program" --caption "$caption" --type "$type" "$@" \
        >"$out/answer" 2>>"$out/mldialog-gtk.log" &
    local pid=$!
    if [ -n "$keys" ]; then
        window "$caption" >/dev/null || fail "box $n (type $type) not shown"
        xdotool key $keys
    fi
    wait "$pid"
    answer=$(cat "$out/answer")
    if [ "$answer" = "$expected" ]; then pass; else fail "type $type, keys '$keys': '$answer', not $expected"; fi
}

# Enter: the default button (OK or Retry unless the type names another);
# Esc: Cancel, or OK on an OK-only box.
box 1 Return 1
box 1 Escape 2
box 5 Return 4
box 5 Escape 2
box 0 Escape 1
box 3 KP_Enter 6
box 257 Return 2      # MB_DEFBUTTON2
# Every button of every set by its underlined letter.
box 0 alt+o 1
box 1 alt+o 1
box 1 alt+c 2
box 2 alt+a 3
box 2 alt+r 4
box 2 alt+i 5
box 3 alt+y 6
box 3 alt+n 7
box 3 alt+c 2
box 4 alt+y 6
box 4 alt+n 7
box 5 alt+r 4
box 5 alt+c 2
box 6 alt+c 2
box 6 alt+t 10
box 6 alt+n 11
# No answer: the time-out answers with the most cautious button.
box 5 "" 2 --timeout 1
box 4 "" 7 --timeout 1
box 2 "" 3 --timeout 1

# Arguments the program refuses.
for args in "--type 7" "--type x" "--timeout -1" "--bogus 1"; do
    if echo | "$program" --caption refused $args >/dev/null 2>&1; then
        fail "mldialog-gtk accepted: $args"
    elif [ $? -ne 2 ]; then fail "mldialog-gtk $args: not status 2"; else pass; fi
done

# The component, loaded as a host loads it: on the desktop while there is a
# display (and no toolkit in the host), answered with Enter; without a
# display and without a terminal, nothing is shown (LOGONDM_E_NOTERMINAL).
setsid "$show" "$component" "Logon desktop" 53 "Card not readable" >"$out/show" 2>&1 &
show_pid=$!
wid=$(window "Logon desktop") || fail "the component showed no desktop box"
import -window root "$out/mldialog-gtk.png" || fail "no screenshot"
xdotool key Return
wait "$show_pid"
if [ "$(cat "$out/show")" = "0x00000000 4" ]; then pass; else fail "component on the desktop: $(cat "$out/show")"; fi
(unset DISPLAY; setsid "$show" "$component" "Logon none" 53 "x" >"$out/show" 2>&1 </dev/null)
if [ "$(cat "$out/show")" = "0x80040202 -1" ]; then pass; else fail "component without display: $(cat "$out/show")"; fi

echo "screenshot: $out/mldialog-gtk.png"
echo "desktop test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
