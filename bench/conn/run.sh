#!/usr/bin/env bash
# Connection bench on loopback (bench/conn/conn_load.py does the talking):
#  1. idle connections held in steps (default 5000, 10000, 20000): resident
#     memory and threads of tvlService at each step, and how long a new
#     client takes for a 1 KiB file meanwhile (20 tries; the goal is 50 ms);
#  2. on a fresh server, hostile half-requests (default 3000 connections
#     each sending 1 MiB of a request that never ends, for at most 20 s):
#     peak resident memory, which the bound on unfinished requests keeps
#     near 64 MiB above the start;
#  3. a descriptor hog: one client opens as many connections as it can
#     (HOG, default 1500) against a server whose descriptor limit is 1,024,
#     while a newcomer from another loopback address asks for a 1 KiB file:
#     the newcomer's time to first byte, with the default bound per address
#     and with MaxConnectionsPerAddress=0 (then the server closes the
#     longest-idle connections for it);
#  4. on a fresh server under load (idle connections, 20 readers that never
#     read a 32 MiB answer, posters without pause): the time SIGTERM takes to
#     end it.
#
#   bench/conn/run.sh
#   STEPS=5000,10000 HOSTILE=1000 bench/conn/run.sh
#
# Builds tvlService in build-bench (Release), runs each server in the
# foreground from a temporary program folder and stops it at the end. Raises
# the descriptor limit of this shell (both ends of every connection live on
# this machine).
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$(pwd)
steps=${STEPS:-5000,10000,20000}
hostile_count=${HOSTILE:-3000}
hostile_size=${HOSTILE_SIZE:-1048576}
stop_idle=${STOP_IDLE:-3000}
hog_count=${HOG:-1500}

scripts/install-deps.sh build
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELLA_TESTS=OFF >/dev/null
cmake --build build-bench --target tvlService tvl_site

# Every step's connections need a descriptor at each end.
want=65536
if [ "$(ulimit -Hn)" != unlimited ] && [ "$(ulimit -Hn)" -lt "$want" ]; then
  ulimit -Hn "$want" 2>/dev/null || want=$(ulimit -Hn)
fi
ulimit -Sn "$want"
# Server and client each hold one descriptor per connection, plus a few of
# their own: a step above what the limit allows is cut to it.
most=$(($(ulimit -n) - 40))
steps=$(tr ',' '\n' <<<"$steps" | awk -v m="$most" '{ print ($1 > m ? m : $1) }' | paste -sd,)
echo "descriptor limit: $(ulimit -n) per process; steps: $steps"

. bench/bench_server.sh
bench_prepare conn build-bench/dist
stop_server() { bench_stop_server; }
head -c 1024 /dev/zero | tr '\0' 'a' >"$prog/file1k.html"
head -c $((32 << 20)) /dev/zero | tr '\0' 'b' >"$prog/file32m.html"

# start_server [option lines] [descriptor limit of the server]
# The ladder and the hostile clients come from 127.0.0.1 alone: unless told
# otherwise the server has no bound on connections per address.
start_server() {
  port=$(bench_free_port)
  local extra=${1-MaxConnectionsPerAddress=0\r\nMaxConnections=0\r\n} nofile=${2:-}
  printf "[Server]\r\nWebPages=\r\nDefaultPage=index.ghp\r\nPort=%s\r\nSavelog=0\r\n$extra" "$port" >"$prog/option.ini"
  rm -rf "$work/state"
  mkdir -p "$work/state"
  (cd "$prog" && { [ -z "$nofile" ] || ulimit -n "$nofile"; } && exec ./tvlService >"$work/tvl.out" 2>&1) &
  server_pid=$!
  bench_wait_answer "$port" /file1k.html tvlService "$work/tvl.out" || exit 1
}

echo
echo "== idle connections (steps $steps)"
start_server
python3 "$repo/bench/conn/conn_load.py" ladder "$port" "$server_pid" "$steps" /file1k.html
stop_server

echo
echo "== hostile half-requests ($hostile_count connections, $hostile_size bytes each)"
start_server
python3 "$repo/bench/conn/conn_load.py" hostile "$port" "$server_pid" "$hostile_count" \
  "$hostile_size" 20
stop_server

echo
echo "== descriptor hog ($hog_count connections, server limit 1024), default bound per address"
start_server "" 1024
python3 "$repo/bench/conn/conn_load.py" hog "$port" "$server_pid" "$hog_count" /file1k.html
stop_server
echo
echo "== descriptor hog ($hog_count connections, server limit 1024), MaxConnectionsPerAddress=0"
start_server "MaxConnectionsPerAddress=0\r\n" 1024
python3 "$repo/bench/conn/conn_load.py" hog "$port" "$server_pid" "$hog_count" /file1k.html
stop_server

echo
echo "== SIGTERM under load"
start_server
pid=$server_pid
python3 "$repo/bench/conn/conn_load.py" stop "$port" "$pid" "$stop_idle" 20 /file32m.html 4
wait "$pid" 2>/dev/null && code=0 || code=$?
server_pid=""
echo "  exit status $code; last lines of its output:"
tail -n 2 "$work/tvl.out" | sed 's/^/    /'
