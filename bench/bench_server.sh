# Sourced by the bench scripts that run one tvlService from a build: a
# temporary work folder removed at exit, a copy of the build's program
# folder in it, a free loopback port, and the server's start and stop.
#
#   . bench/bench_server.sh
#   bench_prepare NAME DIST   work=/tmp/tavella-NAME-bench-XXXXXX, prog=$work/program
#                             (a copy of DIST), port (free), and TAVELLA_STATE_DIR
#                             and XDG_CONFIG_HOME exported into $work
#   bench_start_server [PATH] starts $prog/tvlService in the foreground (server_pid,
#                             output in $work/tvl.out) and waits until PATH
#                             (default /) answers on $port, at most 10 s
#   bench_stop_server         ends it (SIGTERM) and waits for it
# The caller writes $prog/option.ini between the two first steps.
#
#   bench_wait_answer PORT PATH WHO LOG
#                             waits until PATH answers on the loopback PORT, at
#                             most 10 s; else tells that WHO did not answer,
#                             shows LOG (its output) and fails
# (the last alone also for scripts that start their servers themselves).

bench_free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

bench_prepare() {
  work=$(mktemp -d "/tmp/tavella-$1-bench-XXXXXX")
  server_pid=""
  trap 'bench_stop_server; rm -rf "$work"' EXIT
  prog=$work/program
  mkdir -p "$prog" "$work/state" "$work/config"
  cp -r "$2/." "$prog/"
  port=$(bench_free_port)
  export TAVELLA_STATE_DIR=$work/state XDG_CONFIG_HOME=$work/config
}

bench_start_server() {
  (cd "$prog" && exec ./tvlService >"$work/tvl.out" 2>&1) &
  server_pid=$!
  bench_wait_answer "$port" "${1:-/}" tvlService "$work/tvl.out"
}

bench_wait_answer() {
  local _
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$1$2" && return 0
    sleep 0.1
  done
  echo "$3 did not answer on port $1:" >&2
  cat "$4" >&2
  return 1
}

bench_stop_server() {
  if [ -n "${server_pid:-}" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
