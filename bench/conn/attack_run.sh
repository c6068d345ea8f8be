#!/usr/bin/env bash
# Many-address attack bench on loopback (bench/conn/attack_load.py does the
# talking): a server with the shipped option.ini (only its port changed) and
# one member account "admin"; ADDRESSES (default 200) source addresses
# 127.0.1.x and 127.0.2.x take guest places, hold a wait of each, idle
# connections and unfinished requests, hold TLS connections on the https
# port that never send a hello or never finish it, and send wrong passwords
# for admin, all at once, for at most LIMIT seconds (default 30). Meanwhile a
# newcomer from a new address 127.0.3.x enters and receives a line, and asks
# for the start page over HTTPS, 20 times (median and worst), with the
# server's peak resident memory (VmHWM) and most threads. The https port
# uses a test certificate (scripts/make-test-cert.sh).
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

. bench/bench_server.sh
bench_prepare attack "$build/dist"
scripts/make-test-cert.sh "$prog/tls" >/dev/null
tls_port=$(bench_free_port)
sed -i "s/^Port=.*/Port=$port\r/" "$prog/option.ini"
printf 'TlsPort=%s\r\nTlsCertificate=tls/cert.pem\r\nTlsKey=tls/key.pem\r\n' "$tls_port" >>"$prog/option.ini"
printf 'bench-secret\n' | "$prog/tvlctl" --folder "$prog" user add admin --password-stdin >/dev/null
bench_start_server

echo "== $addresses addresses at once for at most $seconds s (shipped option.ini, ports $port and https $tls_port)"
python3 "$repo/bench/conn/attack_load.py" "$port" "$server_pid" "$addresses" "$seconds" \
  "$tls_port" "$prog/tls/ca.pem"
