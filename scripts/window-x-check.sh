#!/usr/bin/env bash
# Starts build/dist/Tavella under a virtual X server (Xvfb) on a copy of the
# program folder: checks that the window shows, that clicking Start serves
# the chat, and that Exit from the Server menu ends the program and frees the
# port. Then once more beside a tray host (trayer) with Minimize=1: the
# window hides to its tray icon, a double-click on the icon brings it back,
# and the icon is gone when the program has ended. Needs a display server
# only here; the tests run without one.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh x-check
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
nice cmake --build build --target Tavella tvl_site

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r build/dist "$work/folder"
rm -rf "$work/folder/log" "$work/folder/tvlService"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -i "s/^Port=.*/Port=$port/" "$work/folder/option.ini"
export TAVELLA_STATE_DIR="$work/state" XDG_CONFIG_HOME="$work/config"
mkdir -p "$TAVELLA_STATE_DIR" "$XDG_CONFIG_HOME"

cat > "$work/inside.sh" <<INSIDE
#!/usr/bin/env bash
set -u
"$work/folder/Tavella" >"$work/tavella.out" 2>&1 &
pid=\$!
wid=""
for _ in \$(seq 50); do
  wid=\$(xdotool search --name "Tavella Server v1.2" 2>/dev/null | head -1) && [ -n "\$wid" ] && break
  sleep 0.2
done
[ -n "\$wid" ] || { echo "FAIL: no window"; kill \$pid; exit 1; }
echo "window shown"
code() { curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/" || true; }
[ "\$(code)" = 000 ] || { echo "FAIL: serving before Start"; kill \$pid; exit 1; }
xdotool mousemove --window \$wid 13 35 sleep 0.3 click 1
sleep 1
[ "\$(code)" = 200 ] || { echo "FAIL: Start did not serve"; kill \$pid; exit 1; }
echo "Start serves the chat"
xdotool mousemove --window \$wid 25 9 click 1 sleep 0.5 key Up Return 2>/dev/null
for _ in \$(seq 50); do kill -0 \$pid 2>/dev/null || break; sleep 0.2; done
if kill -0 \$pid 2>/dev/null; then echo "FAIL: Exit did not end the program"; kill \$pid; exit 1; fi
wait \$pid; status=\$?
[ \$status = 0 ] || { echo "FAIL: exit status \$status"; exit 1; }
[ "\$(code)" = 000 ] || { echo "FAIL: port still served after Exit"; exit 1; }
echo "Exit ended the program and freed the port"

# With a notification area: start hidden, come back on a double-click.
sed -i "s/^Minimize=.*/Minimize=1/" "$work/folder/option.ini"
trayer --edge top --align right --widthtype pixel --width 200 --height 32 &
tray=\$!
sleep 1.5
"$work/folder/Tavella" >>"$work/tavella.out" 2>&1 &
pid=\$!
icon=""
for _ in \$(seq 50); do
  icon=\$(xwininfo -root -tree | awk '/"panel"/ {p=1; next} p && /"Tavella"/ {print \$1; exit}')
  [ -n "\$icon" ] && break
  sleep 0.2
done
[ -n "\$icon" ] || { echo "FAIL: no tray icon"; kill \$pid \$tray; exit 1; }
sleep 0.5
if xdotool search --onlyvisible --name "Tavella Server v1.2" >/dev/null; then
  echo "FAIL: window not hidden with Minimize=1"; kill \$pid \$tray; exit 1
fi
echo "tray icon shown, window hidden"
eval \$(xdotool getwindowgeometry --shell \$icon)
xdotool mousemove \$((X + WIDTH / 2)) \$((Y + HEIGHT / 2)) click --repeat 2 --delay 80 1
sleep 1
xdotool search --onlyvisible --name "Tavella Server v1.2" >/dev/null ||
  { echo "FAIL: double-click did not bring the window back"; kill \$pid \$tray; exit 1; }
echo "double-click on the icon shows the window"
kill -TERM \$pid; wait \$pid
sleep 0.5
if xwininfo -root -tree | awk '/"panel"/ {p=1; next} p && /"Tavella"/ {f=1} END {exit !f}'; then
  echo "FAIL: tray icon left behind"; kill \$tray; exit 1
fi
echo "tray icon removed at the end"
kill \$tray
INSIDE
chmod +x "$work/inside.sh"
xvfb-run -a -s "-screen 0 1024x768x24" "$work/inside.sh"
