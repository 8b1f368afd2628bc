#!/usr/bin/env bash
# The replay of a generated HAR of N GETs against a private nginx on a free loopback port:
# the window's (bench/ReplayBench.cpp, headless) beside orrery-cli --replay of the same file,
# alternately, BENCH_ROUNDS times each.
#
#   bench/replay-bench.sh [N ...]        entry counts (default: 500 2000)
# Environment: BENCH_BUILD (build), the tree whose replay_bench and orrery-cli are run;
#              BENCH_WRAP, a command the window's run goes under (perf record -g -o FILE);
#              BENCH_ROUNDS (3); BENCH_KEEP, a path the generated HAR is copied to.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BENCH_BUILD:-build}
ROUNDS=${BENCH_ROUNDS:-3}
COUNTS=("$@")
[ ${#COUNTS[@]} -gt 0 ] || COUNTS=(500 2000)
cmake --build "$BUILD" -j2 --target replay_bench orrery-cli > /dev/null

DIR=$(mktemp -d)
NGINX_PID=
cleanup() {
  [ -z "$NGINX_PID" ] || kill "$NGINX_PID" 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$DIR/www"
for i in $(seq 0 99); do printf 'file %d\n' "$i" > "$DIR/www/f$i.txt"; done
cat > "$DIR/nginx.conf" <<EOF
daemon off;
master_process off;
pid $DIR/nginx.pid;
error_log $DIR/error.log;
events { worker_connections 256; }
http {
  access_log off;
  server {
    listen 127.0.0.1:$PORT;
    root $DIR/www;
    etag off;
  }
}
EOF
/usr/sbin/nginx -p "$DIR" -c "$DIR/nginx.conf" -e "$DIR/error.log" &
NGINX_PID=$!
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$PORT/f0.txt" && break; sleep 0.1; done

# N entries over the hundred files, each recorded with the reply nginx gives.
har() {
  python3 - "$1" "$PORT" <<'EOF'
import json, sys
n, port = int(sys.argv[1]), sys.argv[2]
entries = []
for i in range(n):
    text = "file %d\n" % (i % 100)
    entries.append({
        "startedDateTime": "2026-01-01T00:00:00.000Z", "time": 1,
        "request": {"method": "GET", "url": "http://127.0.0.1:%s/f%d.txt" % (port, i % 100),
                    "httpVersion": "HTTP/1.0", "headers": [], "queryString": [], "cookies": [],
                    "headersSize": -1, "bodySize": 0},
        "response": {"status": 200, "statusText": "OK", "httpVersion": "HTTP/1.1",
                     "headers": [{"name": "Content-Type", "value": "text/plain"}], "cookies": [],
                     "content": {"size": len(text), "mimeType": "text/plain", "text": text},
                     "redirectURL": "", "headersSize": -1, "bodySize": len(text)},
        "cache": {}, "timings": {"send": 0, "wait": 1, "receive": 0}})
print(json.dumps({"log": {"version": "1.2", "creator": {"name": "bench", "version": "1"},
                          "entries": entries}}))
EOF
}

for n in "${COUNTS[@]}"; do
  har "$n" > "$DIR/r$n.har"
  [ -z "${BENCH_KEEP:-}" ] || cp "$DIR/r$n.har" "$BENCH_KEEP"
  for r in $(seq "$ROUNDS"); do
    # An entry not replayed makes replay_bench exit 1: its line is still the round's result.
    line=$(QT_QPA_PLATFORM=offscreen ${BENCH_WRAP:-} "$BUILD/bench/replay_bench" "$DIR/r$n.har") ||
      line="$line exit=$?"
    start=$(date +%s%N)
    "$BUILD/cli/orrery-cli" --replay "$DIR/r$n.har" > "$DIR/cli.out" 2>&1 || true
    cli_ms=$((($(date +%s%N) - start) / 1000000))
    echo "n=$n round=$r window: $line cli_ms=$cli_ms cli: $(tail -1 "$DIR/cli.out")"
  done
done
