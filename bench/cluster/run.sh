#!/usr/bin/env bash
# Several nodes of one chat on loopback: a private redis-server on a Unix
# socket of its own, three tvlService nodes sharing it ([Cluster] Redis=,
# Node=), each from its own temporary program folder with the same ten
# rooms. 2000 visitors, spread over the nodes round robin by visitor, wait
# for lines with the chat window's waiting form; after a quiet spell in which
# nobody writes, 20 of them post one line a second. chat_load (bench/chat/)
# prints post-to-delivery p50/p99/max for readers on the poster's node and on
# the others, lost and duplicated lines and each node's peak memory; this
# script adds Redis's commands per posted line (INFO commandstats sampled at
# the quiet spell's start, the window's start and the run's end). Then the
# same load against one node without [Cluster], for comparison.
#
#   bench/cluster/run.sh
#   USERS=200 bench/cluster/run.sh
#   USERS=2000 SECONDS_RUN=60 QUIET_SECONDS=60 NODES=3 bench/cluster/run.sh
#
# USERS, ROOMS, POSTERS, NODES, SECONDS_RUN, QUIET_SECONDS and THREADS (the
# load client's) change it. Goal: p99 <= 50 ms across nodes, nothing lost or
# duplicated. Builds tvlService, sdbtool and chat_load in build-bench
# (Release); everything it starts is stopped at exit, also on failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
users=${USERS:-2000}
seconds=${SECONDS_RUN:-30}
quiet=${QUIET_SECONDS:-15}
rooms=${ROOMS:-10}
posters=${POSTERS:-20}
nodes=${NODES:-3}
threads=${THREADS:-2}
for v in "$users" "$seconds" "$quiet" "$rooms" "$posters" "$nodes" "$threads"; do
  case $v in ''|*[!0-9]*) echo "USERS, SECONDS_RUN, QUIET_SECONDS, ROOMS, POSTERS, NODES and THREADS are numbers" >&2; exit 2 ;; esac
done
[ "$nodes" -ge 1 ] && [ "$quiet" -ge 1 ] || { echo "NODES and QUIET_SECONDS are at least 1" >&2; exit 2; }

if command -v redis-server >/dev/null 2>&1 && command -v redis-cli >/dev/null 2>&1; then
  scripts/install-deps.sh build
else
  # Only the private server below runs: install-deps keeps the package
  # scripts from starting the system's service.
  scripts/install-deps.sh build redis-server
fi
. bench/bench_server.sh

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELLA_TESTS=OFF -DTAVELLA_BENCH=ON >/dev/null
cmake --build build-bench --target tvlService tvl_site sdbtool chat_load
chat_load=$(find build-bench -name chat_load -type f -perm -u+x | head -1)
sdbtool=$(find build-bench -name sdbtool -type f -perm -u+x | head -1)

work=$(mktemp -d /tmp/tavella-cluster-bench-XXXXXX)
redis_pid=""
node_pids=()
stop_nodes() {
  local p
  for p in "${node_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${node_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  node_pids=()
}
stop_redis() {
  if [ -n "$redis_pid" ]; then
    kill "$redis_pid" 2>/dev/null || true
    wait "$redis_pid" 2>/dev/null || true
    redis_pid=""
  fi
}
trap 'stop_nodes; stop_redis; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# Each waiting visitor holds a connection of its node and one of the load
# client.
files=$(( users * 2 + 1024 ))
if [ "$(ulimit -n)" != unlimited ] && [ "$(ulimit -n)" -lt "$files" ]; then ulimit -n "$files" 2>/dev/null || true; fi

sock=$work/redis.sock
mkdir -p "$work/redis"
redis-server --port 0 --unixsocket "$sock" --unixsocketperm 700 --save '' --appendonly no \
  --dir "$work/redis" --daemonize no --maxclients $(( nodes * 4 + 64 )) >"$work/redis.out" 2>&1 &
redis_pid=$!
for _ in $(seq 100); do
  [ "$(redis-cli -s "$sock" PING 2>/dev/null)" = PONG ] && break
  sleep 0.1
done
[ "$(redis-cli -s "$sock" PING 2>/dev/null)" = PONG ] || { echo "redis-server did not start:" >&2; cat "$work/redis.out" >&2; exit 1; }

# make_node N [CLUSTER]: program folder $work/nodeN (a copy of the build's,
# with the bench's rooms and its own state and configuration folders), on
# port ports[N]; with CLUSTER=1 it joins the Redis above as "benchN".
ports=()
make_node() {
  local n=$1 dir=$work/node$1
  rm -rf "$dir"
  mkdir -p "$dir/program" "$dir/state" "$dir/config"
  cp -r build-bench/dist/. "$dir/program/"
  "$sdbtool" create "$dir/program/rooms.sdb" bench/chat/rooms.txt >/dev/null
  ports[$n]=$(bench_free_port)
  # Every bench visitor comes from 127.0.0.1, so the bounds on places and
  # connections per address are lifted; the flood control keeps its shipped
  # values. Each node's online table holds every bench visitor.
  printf '[Server]\r\nWebPages=\r\nDefaultPage=index.ghp\r\nPort=%s\r\nSavelog=0\r\nMaxPlacesPerAddress=0\r\nMaxConnectionsPerAddress=0\r\nMaxOnline=%s\r\n' \
    "${ports[$n]}" "$(( users > 500 ? users : 500 ))" >"$dir/program/option.ini"
  if [ "${2:-0}" = 1 ]; then
    printf '[Cluster]\r\nRedis=%s\r\nNode=bench%s\r\n' "$sock" "$n" >>"$dir/program/option.ini"
  fi
}
start_node() {
  local n=$1 dir=$work/node$1
  (cd "$dir/program" && TAVELLA_STATE_DIR=$dir/state XDG_CONFIG_HOME=$dir/config exec ./tvlService >"$dir/tvl.out" 2>&1) &
  node_pids[$n]=$!
  bench_wait_answer "${ports[$n]}" / "node $n" "$dir/tvl.out"
}

# The load client calls this at the quiet spell's start, the window's start
# and the run's end: the time, and Redis's command counts so far.
cat >"$work/snapshot.sh" <<EOF
#!/bin/sh
{ date +%s.%N; redis-cli -s '$sock' INFO commandstats; } >'$work/snap-'"\$1"'.txt'
EOF
chmod +x "$work/snapshot.sh"

for n in $(seq 1 "$nodes"); do make_node "$n" 1; done
for n in $(seq 1 "$nodes"); do start_node "$n"; done
port_list=$(IFS=,; echo "${ports[*]}")
pid_list=$(IFS=,; echo "${node_pids[*]}")

echo "== $nodes nodes sharing Redis ($users users round robin, $rooms rooms, $posters posting, ${quiet} s quiet, then ${seconds} s)"
set +e
"$chat_load" --ports "$port_list" --pid "$pid_list" --users "$users" --rooms "$rooms" \
  --posters "$posters" --seconds "$seconds" --threads "$threads" --wait 1 \
  --quiet-seconds "$quiet" --snapshot "$work/snapshot.sh" | tee "$work/cluster.out"
cluster_rc=${PIPESTATUS[0]}
set -e
lines=$(awk '/^lines posted:/ {print $3}' "$work/cluster.out")
redis_rss=$(awk '/^VmHWM:/ {print $2}' "/proc/$redis_pid/status" 2>/dev/null || echo "?")

# Redis's commands from the window's start to the run's end, per posted
# line: all of them, and those that carry lines (XADD, XREAD); the rest
# (heartbeats, name claims) come with the visitors, not the lines, and are
# shown per second, also for the quiet spell. The snapshots' own INFO
# commands are left out.
if [ -f "$work/snap-quiet-start.txt" ] && [ -f "$work/snap-window-start.txt" ] && [ -f "$work/snap-end.txt" ]; then
  awk -v lines="${lines:-0}" -v rss="$redis_rss" '
    FNR == 1 { file++; t[file] = $1; next }
    /^cmdstat_/ {
      split($0, kv, ":"); name = substr(kv[1], 9)
      match(kv[2], /calls=[0-9]+/); n = substr(kv[2], RSTART + 6, RLENGTH - 6) + 0
      calls[file, name] = n; names[name] = 1; next
    }
    END {
      # 1 quiet start, 2 window start, 3 end
      for (name in names) {
        if (name == "info") continue
        q = calls[2, name] - calls[1, name]; w = calls[3, name] - calls[2, name]
        quiet_sum += q; window_sum += w
        row[name] = w
      }
      qs = t[2] - t[1]; ws = t[3] - t[2]
      per = lines > 0 ? 1 / lines : 0
      xw = row["xadd"] + row["xread"]
      xq = calls[2, "xadd"] - calls[1, "xadd"] + calls[2, "xread"] - calls[1, "xread"]
      printf "redis commands:          %d from the window'"'"'s start to the end (%.1f s), %d lines: %.1f per line\n", window_sum, ws, lines, window_sum * per
      printf "  XADD and XREAD:         %.2f per line (the readers'"'"' empty waits included)\n", xw * per
      rest_window = ws > 0 ? (window_sum - xw) / ws : 0
      rest_quiet = qs > 0 ? (quiet_sum - xq) / qs : 0
      printf "  the rest:               %.0f per second (heartbeats, name claims); %.0f per second while quiet\n", rest_window, rest_quiet
      printf "  by command in the window:"
      for (name in row) if (row[name] > 0) printf " %s %d", name, row[name]
      printf "\n"
      printf "redis peak resident:     %s KiB\n", rss
    }' "$work/snap-quiet-start.txt" "$work/snap-window-start.txt" "$work/snap-end.txt"
else
  echo "redis commands: the load client took no snapshots (it ended early)"
fi
stop_nodes
stop_redis

echo
echo "== one node alone, no [Cluster] ($users users, $rooms rooms, $posters posting, ${quiet} s quiet, then ${seconds} s)"
make_node 1 0
start_node 1
set +e
"$chat_load" --port "${ports[1]}" --pid "${node_pids[1]}" --users "$users" --rooms "$rooms" \
  --posters "$posters" --seconds "$seconds" --threads "$threads" --wait 1 --quiet-seconds "$quiet"
single_rc=$?
set -e
[ "$cluster_rc" -eq 0 ] && [ "$single_rc" -eq 0 ]
