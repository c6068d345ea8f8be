#!/usr/bin/env bash
# Chat load on loopback: 500 users online in 5 rooms, each polling body.ghp on
# its own keep-alive connection with no pause, while 10 of them post a line a
# second, for 30 seconds (bench/chat/chat_load.cpp prints the figures). For
# comparison, the same server then serves a 1 KiB static file to wrk with 50
# keep-alive connections, the 1 KiB row of bench/http/.
#
#   bench/chat/run.sh
#   SECONDS_RUN=10 USERS=200 bench/chat/run.sh
#   INTERVAL_MS=2000 bench/chat/run.sh     # polls paced like the shipped body page
#   MODE=wait bench/chat/run.sh            # the waiting form of the chat window
#   MODE=stream bench/chat/run.sh          # the chat window's live stream, then the waiting form
#   MODE=stream USERS=200 SECONDS_RUN=10 QUIET_SECONDS=5 bench/chat/run.sh   # a short run
#
# MODE=wait: 2000 users in 10 rooms wait for lines with the waiting form of
# body.ghp, 20 of them posting one line a second, for 60 s after 60 s in which
# nobody writes (long enough for the waits to time out and be asked again);
# then the same with polls every 2 s (INTERVAL_MS=2000) on a fresh server,
# for comparison. USERS, ROOMS, POSTERS, SECONDS_RUN and QUIET_SECONDS change
# it; there is no static-file part. The server's online table is raised to
# the number of users (MaxOnline).
#
# MODE=stream: the same schedule (2000 users, 10 rooms, 20 posting, 30 s
# quiet, 60 s) with one live stream per user (body.ghp with "&stream=1"),
# then the waiting form on a fresh server, for comparison. Every mode prints
# the server's CPU seconds per 1,000 deliveries beside the latencies.
#
# Builds tvlService, sdbtool and chat_load in build-bench (Release), runs the
# server in the foreground from a temporary program folder and stops it at
# the end.
set -euo pipefail
cd "$(dirname "$0")/../.."
mode=${MODE:-poll}
if [ "$mode" = wait ] || [ "$mode" = stream ]; then
  seconds=${SECONDS_RUN:-60}
  rooms=${ROOMS:-10}
  posters=${POSTERS:-20}
  users=${USERS:-2000}
  quiet=${QUIET_SECONDS:-60}
  [ "$mode" = stream ] && quiet=${QUIET_SECONDS:-30}
else
  seconds=${SECONDS_RUN:-30}
  rooms=${ROOMS:-5}
  posters=${POSTERS:-10}
fi
users=${users:-${USERS:-500}}
threads=${THREADS:-2}
interval=${INTERVAL_MS:-0}   # pause between one answer and the next poll (the site waits 2000)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
if ! command -v wrk >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends wrk >/dev/null
fi
scripts/install-deps.sh build

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELLA_TESTS=OFF -DTAVELLA_BENCH=ON >/dev/null
cmake --build build-bench --target tvlService tvl_site sdbtool chat_load

. bench/bench_server.sh
bench_prepare chat build-bench/dist
build-bench/tools/sdbtool create "$prog/rooms.sdb" bench/chat/rooms.txt >/dev/null 2>&1 ||
  build-bench/sdbtool create "$prog/rooms.sdb" bench/chat/rooms.txt >/dev/null
head -c 1024 /dev/zero | tr '\0' 'a' >"$prog/file1k.html"
# Every bench user joins from 127.0.0.1, so the bounds on places and
# connections per address are lifted; the flood control keeps its shipped
# values (the posters send one line a second, well within them), so its cost
# is part of the figures. The online table holds every bench user.
# Past 10,000 users the connections are raised too (each visitor holds one;
# the descriptors the system grants bound them whatever the setting).
printf '[Server]\r\nWebPages=\r\nDefaultPage=index.ghp\r\nPort=%s\r\nSavelog=0\r\nMaxPlacesPerAddress=0\r\nMaxConnectionsPerAddress=0\r\nMaxOnline=%s\r\nMaxConnections=%s\r\n' \
  "$port" "$(( users > 500 ? users : 500 ))" "$(( users + 1024 > 10000 ? users + 1024 : 10000 ))" >"$prog/option.ini"
start_server() { bench_start_server /file1k.html; }
stop_server() { bench_stop_server; }
# Each waiting visitor holds a connection of the server and one of the load
# client.
files=$(( users * 2 + 1024 ))
if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt "$files" ]; then ulimit -n "$files" 2>/dev/null || true; fi
start_server

chat_load=$(find build-bench -name chat_load -type f -perm -u+x | head -1)
# A load that starts with a quiet spell: its title, then the options of its
# kind.
quiet_load() {
  echo "== $1 ($users users, $rooms rooms, $posters posting, ${quiet} s quiet, then ${seconds} s)"
  shift
  "$chat_load" --port "$port" --users "$users" --rooms "$rooms" --posters "$posters" \
    --seconds "$seconds" --threads "$threads" "$@" --quiet-seconds "$quiet" --pid "$server_pid"
}
if [ "$mode" = stream ] || [ "$mode" = wait ]; then
  # The mode's load, then the one it is compared with on a fresh server.
  if [ "$mode" = stream ]; then
    first=("live streams" --stream 1)
    second=("waiting form, fresh server" --wait 1)
  else
    first=("waiting for lines" --wait 1)
    second=("polls every 2 s, fresh server" --interval-ms 2000)
  fi
  set +e
  quiet_load "${first[@]}"
  first_rc=$?
  stop_server
  start_server
  echo
  quiet_load "${second[@]}"
  second_rc=$?
  set -e
  [ "$first_rc" -eq 0 ] && [ "$second_rc" -eq 0 ]
  exit
fi
echo "== chat load ($users users, $rooms rooms, $posters posting, ${seconds} s)"
set +e
"$chat_load" --port "$port" --users "$users" --rooms "$rooms" --posters "$posters" \
  --seconds "$seconds" --threads "$threads" --interval-ms "$interval" --pid "$server_pid" | tee "$work/chat.out"
chat_rc=${PIPESTATUS[0]}
set -e

echo
echo "== static file, same server: wrk -t2 -c50 -d10s, 1 KiB, Connection: Keep-Alive"
wrk -t2 -c50 -d10s --timeout 2s -H "Connection: Keep-Alive" "http://127.0.0.1:$port/file1k.html" | tee "$work/wrk.out"

polls=$(awk -F: '/^polls per second:/ {gsub(/ /, "", $2); print $2}' "$work/chat.out")
static=$(awk '/^Requests\/sec:/ {printf "%.0f", $2}' "$work/wrk.out")
echo
awk -v p="${polls:-0}" -v s="${static:-0}" 'BEGIN {
  printf "polls per second %s against %s static 1 KiB requests per second: %.2f of them (goal 0.50)\n",
         p, s, (s > 0 ? p / s : 0) }'
exit "$chat_rc"
