#!/usr/bin/env bash
# HTTP benchmark: requests per second of tvlService, nginx and CivetWeb
# serving the same folder on loopback, measured with wrk, for a 1 KiB and a
# 100 KiB file, with 1 and 50 connections, with and without keep-alive;
# then tvlService and nginx over HTTPS with the same test certificate (1 KiB,
# 1 and 50 connections, keep-alive and a full handshake per request); then
# the resident memory of tvlService holding 1000 idle connections.
#
#   bench/http/run.sh            # 5 s per measurement
#   DURATION=10s ROUNDS=3 bench/http/run.sh
#
# Each figure is the best of ROUNDS runs (default 2), the three servers taking
# turns in an order that reverses every round, so neither a burst of other
# load nor the closed connections the run before left behind hurts one
# server alone.
#
# Installs what it needs when missing (wrk, nginx, libcivetweb-dev and the
# build tools), builds tvlService in build-bench (Release), runs every server
# in the foreground from a temporary folder and stops them at the end.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$(pwd)
duration=${DURATION:-5s}
rounds=${ROUNDS:-2}

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
for p in wrk nginx libcivetweb-dev gcc python3 curl; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  # Keep the package scripts from starting a system-wide nginx on port 80.
  blocker=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    blocker=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | as_root tee "$blocker" >/dev/null
    as_root chmod +x "$blocker"
  fi
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  [ -z "$blocker" ] || as_root rm -f "$blocker"
fi
scripts/install-deps.sh build

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVELLA_TESTS=OFF >/dev/null
cmake --build build-bench --target tvlService tvl_site

work=$(mktemp -d /tmp/tavella-bench-XXXXXX)
chmod 755 "$work"  # nginx workers run as an unprivileged user
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

. bench/bench_server.sh
wait_port() {  # port name
  for _ in $(seq 100); do
    curl -sf -o /dev/null "http://127.0.0.1:$1/file1k.html" && return 0
    sleep 0.1
  done
  echo "$2 did not start on port $1" >&2
  exit 1
}

# The folder all three serve.
site=$work/site
mkdir -p "$site"
head -c 1024 /dev/zero | tr '\0' 'a' >"$site/file1k.html"
head -c 102400 /dev/zero | tr '\0' 'b' >"$site/file100k.html"

tvl_port=$(bench_free_port)
nginx_port=$(bench_free_port)
civet_port=$(bench_free_port)
tvl_tls_port=$(bench_free_port)
nginx_tls_port=$(bench_free_port)
scripts/make-test-cert.sh "$work/tls" >/dev/null
chmod 644 "$work/tls/key.pem"  # a throw-away key; nginx workers read it

# tvlService from a copy of the program folder whose option.ini points at
# the bench folder; its state folder is temporary too.
prog=$work/program
mkdir -p "$prog" "$work/state"
cp -r build-bench/dist/. "$prog/"
# wrk and the idle clients all come from 127.0.0.1: no bound on connections
# per address (the other servers have none either).
printf '[Server]\r\nWebPages=%s/\r\nDefaultPage=index.ghp\r\nPort=%s\r\nMaxConnectionsPerAddress=0\r\nTlsPort=%s\r\nTlsCertificate=%s\r\nTlsKey=%s\r\n' \
  "$site" "$tvl_port" "$tvl_tls_port" "$work/tls/cert.pem" "$work/tls/key.pem" >"$prog/option.ini"
(cd "$prog" && TAVELLA_STATE_DIR=$work/state exec ./tvlService >"$work/tvl.out" 2>&1) &
tvl_pid=$!
pids+=("$tvl_pid")

sed -e "s|@DIR@|$work|g" -e "s|@PORT@|$nginx_port|g" -e "s|@ROOT@|$site|g" \
  -e "s|@TLSPORT@|$nginx_tls_port|g" -e "s|@CERT@|$work/tls/cert.pem|g" -e "s|@KEY@|$work/tls/key.pem|g" \
  bench/http/nginx.conf.in >"$work/nginx.conf"
nginx -e "$work/nginx-error.log" -p "$work" -c "$work/nginx.conf" &
pids+=($!)

gcc -O2 -o "$work/civet_server" bench/http/civet_server.c -lcivetweb
"$work/civet_server" "$site" "$civet_port" &
pids+=($!)

wait_port "$tvl_port" tvlService
wait_port "$nginx_port" nginx
wait_port "$civet_port" CivetWeb
for port in "$tvl_tls_port" "$nginx_tls_port"; do
  curl -sf --cacert "$work/tls/ca.pem" -o /dev/null "https://127.0.0.1:$port/file1k.html" || {
    echo "no HTTPS on port $port" >&2
    exit 1
  }
done

# Requests per second of one wrk run; "errors" appended when wrk saw any.
measure() {  # port file connections connection-header [scheme]
  local scheme=${5:-http}
  local threads=1
  [ "$3" -gt 1 ] && threads=2
  local out
  out=$(wrk -t"$threads" -c"$3" -d"$duration" --timeout 2s -H "Connection: $4" \
    "$scheme://127.0.0.1:$1/$2" 2>&1)
  local rps
  rps=$(awk '/^Requests\/sec:/ {printf "%.0f", $2}' <<<"$out")
  if grep -q -E "Socket errors|Non-2xx" <<<"$out"; then
    echo "${rps:-0}*"
    grep -E "Socket errors|Non-2xx" <<<"$out" | sed "s/^/    port $1 $2 c$3 $4: /" >>"$work/errors"
  else
    echo "${rps:-0}"
  fi
}

# Warm-up: first connections, threads and caches of every server.
for port in "$tvl_port" "$nginx_port" "$civet_port"; do
  wrk -t2 -c50 -d1s -H "Connection: Keep-Alive" "http://127.0.0.1:$port/file1k.html" >/dev/null 2>&1
done

# The larger of two figures; a "*" mark of either stays.
best() {
  local mark=""
  [[ "$1$2" == *"*"* ]] && mark="*"
  awk -v a="${1%\*}" -v b="${2%\*}" -v m="$mark" 'BEGIN { printf "%d%s", (a > b ? a : b), m }'
}

echo
echo "wrk on loopback, best of $rounds runs of $duration per figure, requests per second (* = wrk saw errors)"
printf '%-10s %5s %-10s %10s %10s %10s %9s %9s\n' file conns connection tvlService nginx CivetWeb vs-nginx vs-civet
: >"$work/errors"
for file in file1k.html file100k.html; do
  for conns in 1 50; do
    for header in Keep-Alive close; do
      t=0 n=0 c=0
      # Each run leaves the system thousands of closed connections to age
      # out, which slows whoever runs next: the order turns every round.
      for round in $(seq "$rounds"); do
        if [ $((round % 2)) = 1 ]; then
          t=$(best "$t" "$(measure "$tvl_port" "$file" "$conns" "$header")")
          n=$(best "$n" "$(measure "$nginx_port" "$file" "$conns" "$header")")
          c=$(best "$c" "$(measure "$civet_port" "$file" "$conns" "$header")")
        else
          c=$(best "$c" "$(measure "$civet_port" "$file" "$conns" "$header")")
          n=$(best "$n" "$(measure "$nginx_port" "$file" "$conns" "$header")")
          t=$(best "$t" "$(measure "$tvl_port" "$file" "$conns" "$header")")
        fi
      done
      ratio_n=$(awk -v a="${t%\*}" -v b="${n%\*}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
      ratio_c=$(awk -v a="${t%\*}" -v b="${c%\*}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
      printf '%-10s %5s %-10s %10s %10s %10s %9s %9s\n' "${file%.html}" "$conns" "$header" \
        "$t" "$n" "$c" "$ratio_n" "$ratio_c"
    done
  done
done
echo
echo "HTTPS (the same test certificate), requests per second"
printf '%-10s %5s %-10s %10s %10s %9s\n' file conns connection tvlService nginx vs-nginx
for conns in 1 50; do
  for header in Keep-Alive close; do
    t=0 n=0
    for round in $(seq "$rounds"); do
      if [ $((round % 2)) = 1 ]; then
        t=$(best "$t" "$(measure "$tvl_tls_port" file1k.html "$conns" "$header" https)")
        n=$(best "$n" "$(measure "$nginx_tls_port" file1k.html "$conns" "$header" https)")
      else
        n=$(best "$n" "$(measure "$nginx_tls_port" file1k.html "$conns" "$header" https)")
        t=$(best "$t" "$(measure "$tvl_tls_port" file1k.html "$conns" "$header" https)")
      fi
    done
    ratio_n=$(awk -v a="${t%\*}" -v b="${n%\*}" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    printf '%-10s %5s %-10s %10s %10s %9s\n' file1k "$conns" "$header" "$t" "$n" "$ratio_n"
  done
done
if [ -s "$work/errors" ]; then
  echo "wrk errors:"
  cat "$work/errors"
fi

rss() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
echo
before=$(rss "$tvl_pid")
python3 bench/http/idle_clients.py "$tvl_port" 1000 8 >"$work/idle.out" &
idle_pid=$!
pids+=("$idle_pid")
for _ in $(seq 100); do [ -s "$work/idle.out" ] && break; sleep 0.1; done
sleep 2  # let every client thread start
opened=$(cat "$work/idle.out")
with=$(rss "$tvl_pid")
threads=$(awk '/^Threads:/ {print $2}' "/proc/$tvl_pid/status")
echo "tvlService resident memory: ${before} KiB after the runs, ${with} KiB with ${opened} idle connections open (${threads} threads)"
wait "$idle_pid" || true
