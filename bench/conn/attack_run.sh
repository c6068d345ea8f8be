#!/usr/bin/env bash
# Many-address attack bench on loopback (bench/conn/attack_load.py does the
# talking): a server with the shipped option.ini (only its port changed) and
# one member account "admin"; ADDRESSES (default 200) source addresses
# 127.0.1.x and 127.0.2.x take guest places, hold a wait of each, idle
# connections and unfinished requests, and send wrong passwords for admin,
# all at once, for at most LIMIT seconds (default 30). Meanwhile a newcomer
# from a new address 127.0.3.x enters and receives a line, 20 times (median
# and worst),
# with the server's peak resident memory (VmHWM) and most threads.
# TLS handshakes are not part of it.
#
#   bench/conn/attack_run.sh
#   BUILD=build ADDRESSES=50 LIMIT=15 bench/conn/attack_run.sh
#
# BUILD (default build-bench, Release) is built for tvlService and tvlctl
# unless it holds them already.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$(pwd)
build=${BUILD:-build-bench}
addresses=${ADDRESSES:-200}
seconds=${LIMIT:-30}

if [ ! -x "$build/dist/tvlService" ] || [ ! -x "$build/dist/tvlctl" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELLA_TESTS=OFF >/dev/null
  cmake --build "$build" --target tvlService tvlctl tvl_site
fi
# Every held connection needs a descriptor at the client's end.
ulimit -Sn "$(ulimit -Hn)" 2>/dev/null || true

work=$(mktemp -d /tmp/tavella-attack-bench-XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

prog=$work/program
mkdir -p "$prog" "$work/config" "$work/state"
cp -r "$build/dist/." "$prog/"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sed -i "s/^Port=.*/Port=$port\r/" "$prog/option.ini"
export TAVELLA_STATE_DIR=$work/state XDG_CONFIG_HOME=$work/config
printf 'bench-secret\n' | "$prog/tvlctl" --folder "$prog" user add admin --password-stdin >/dev/null
(cd "$prog" && exec ./tvlService >"$work/tvl.out" 2>&1) &
server_pid=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.1
done

echo "== $addresses addresses at once for at most $seconds s (shipped option.ini, port $port)"
python3 "$repo/bench/conn/attack_load.py" "$port" "$server_pid" "$addresses" "$seconds"
