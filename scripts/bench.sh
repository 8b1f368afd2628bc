#!/usr/bin/env bash
# Benchmarks TVelHTTP against ab and curl on a private nginx over loopback: each figure is
# measured alternately ours, the peer's, three times, and printed with the ratio (min, median,
# max). Wall time, CPU time and peak RSS come from wait4() for both sides alike. The window
# figures drive the real main window headless (Qt's offscreen platform) and have no peer:
# "window" three 10 MB bodies, "window-large" a 200 MiB body (shown within 1 s of its end,
# peak resident size under twice the body plus 150 MiB). The cli figures run orrery-cli
# against curl -0 as a script would, with the same options. The https figures run against an
# ssl listener of the same nginx, with a certificate made here and trusted through --cacert
# by every client: 1 GiB to /dev/null and to /dev/shm against curl -0, 1 KiB GETs with and
# without resumption against ab and against curl with the same URLs in one process
# (--no-sessionid for the checks each time), the full handshakes of a redirection chain, and
# memory beside plain http and beside curl. The kept-connection figures run 1 KiB GETs on
# one connection, over http and over https (a listener of TLS 1.3 only, without HTTP/2), on
# server blocks that keep connections: one component with HTTP/1.1 and orrery-cli with all
# the URLs in one command line (when it takes several) against ab -k and against curl
# --http1.1 with the same URLs, each checked first to use one connection. The gzip figures
# decode a pre-coded body of made-up prose (http_bench text, gzip -6; nginx's gzip_static
# serves it with Content-Encoding: gzip) with orrery-cli --compressed against curl
# --compressed: 100 MiB to /dev/null, and 1 GiB (gzip -1, as nginx codes on the fly) to a
# pipe for the peak resident size; the decoded bytes are checked against the text once. The
# HTTP/2 figures run against an ssl listener with http2 that keeps connections: 1 KiB GETs on
# one connection (one component with HTTP/2 chosen, and orrery-cli with the URLs in one command
# line) against curl --http2 with the same URLs and against h2load -n N -c 1 -m 1, and 1 GiB to
# /dev/null against curl --http2.
#
#   scripts/bench.sh [figure ...]     figures: get get-fresh syscalls-get file-shm file-null
#                                     string memory syscalls silent window window-large
#                                     cli-runs cli-pipe kept-get gzip-null gzip-pipe
#                                     https-null https-shm https-get https-chain
#                                     https-memory kept-https h2-get h2-null (default: all)
# Environment: BENCH_N (3000 requests), BENCH_TLS_N (1000 https requests), BENCH_BIG_MIB
#              (1024), BENCH_MID_MIB (256), BENCH_TLS_PROTOCOLS (the listener's, "TLSv1.2 TLSv1.3"),
#              BENCH_KEEP_N (1000 GETs on a kept connection), BENCH_KEEP_ROUNDS (9),
#              BENCH_GZIP_MIB (100, decoded), BENCH_GZIP_BIG_MIB (1024, decoded),
#              BENCH_ROUNDS (3), BENCH_BUILD (build-bench; the window figure builds the
#              desktop program in BENCH_BUILD-window), BENCH_BIN and BENCH_CLI (an http_bench
#              and an orrery-cli built elsewhere, measured instead of this tree's: nothing is
#              built then but the window program; scripts/bench-compare.sh uses them).
set -euo pipefail
cd "$(dirname "$0")/.."

N=${BENCH_N:-3000}
BIG=${BENCH_BIG_MIB:-1024}
MID=${BENCH_MID_MIB:-256}
ROUNDS=${BENCH_ROUNDS:-3}
BUILD=${BENCH_BUILD:-build-bench}
FIGURES=("$@")
[ ${#FIGURES[@]} -gt 0 ] || FIGURES=(get get-fresh syscalls-get file-shm file-null string memory syscalls silent window window-large cli-runs cli-pipe kept-get gzip-null gzip-pipe)
[ $# -gt 0 ] || FIGURES+=(https-null https-shm https-get https-chain https-memory kept-https h2-get h2-null)
TLS_N=${BENCH_TLS_N:-1000}
KEEP_N=${BENCH_KEEP_N:-1000}
KEEP_ROUNDS=${BENCH_KEEP_ROUNDS:-9}
GZIP_MID=${BENCH_GZIP_MIB:-100}
GZIP_BIG=${BENCH_GZIP_BIG_MIB:-1024}
wants() { local f; for f in "${FIGURES[@]}"; do [ "$f" = "$1" ] && return 0; done; return 1; }
# Only the figures that read the large files get them (and need the room).
wants_any() { local f; for f in "$@"; do wants "$f" && return 0; done; return 1; }
wants_any file-shm file-null string cli-pipe https-null https-shm https-memory h2-null || BIG=0
wants_any memory syscalls https-memory || MID=0
wants gzip-null || GZIP_MID=0
wants gzip-pipe || GZIP_BIG=0
WINDOW_BYTES=10000000
WINDOW_LARGE_MIB=200
wants window-large || WINDOW_LARGE_MIB=0

# --- What the benchmark needs besides the build's own packages -------------------------------
scripts/install-deps.sh
bench_packages=(apache2-utils curl strace nghttp2-client)
missing=()
for p in "${bench_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- Room: the files and one captured copy live in /dev/shm, the string in memory ------------
need_shm_mib=$((BIG * 2 + MID + WINDOW_LARGE_MIB + GZIP_MID / 2 + GZIP_BIG / 2 + 64))
need_mem_mib=$((BIG * 2 + MID * 2 + WINDOW_LARGE_MIB * 2 + 512))
shm_free_mib=$(df -Pm /dev/shm | awk 'NR == 2 { print $4 }')
mem_free_mib=$(awk '/^MemAvailable:/ { print int($2 / 1024) }' /proc/meminfo)
if [ "$shm_free_mib" -lt "$need_shm_mib" ] || [ "$mem_free_mib" -lt "$need_mem_mib" ]; then
  echo "Not enough room: /dev/shm has ${shm_free_mib} MiB free (need ${need_shm_mib}), memory" \
    "${mem_free_mib} MiB available (need ${need_mem_mib}). Lower BENCH_BIG_MIB / BENCH_MID_MIB." >&2
  exit 1
fi

# --- Build --------------------------------------------------------------------------------
if [ -n "${BENCH_BIN:-}" ]; then
  BIN=$BENCH_BIN
  CLI=${BENCH_CLI:-}
  if wants_any cli-runs cli-pipe https-memory kept-get kept-https gzip-null gzip-pipe h2-get && [ -z "$CLI" ]; then
    echo "BENCH_BIN is set: the cli figures need BENCH_CLI too" >&2
    exit 1
  fi
else
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORRERY_BUILD_TESTS=OFF \
    -DORRERY_BUILD_APP=OFF -DORRERY_BUILD_BENCH=ON >/dev/null
  cmake --build "$BUILD" -j2 --target http_bench >/dev/null
  BIN=$(pwd)/$BUILD/bench/http_bench
  if wants_any cli-runs cli-pipe https-memory kept-get kept-https gzip-null gzip-pipe h2-get; then
    cmake --build "$BUILD" -j2 --target orrery-cli >/dev/null
    CLI=$(pwd)/$BUILD/cli/orrery-cli
  fi
fi
if wants_any window window-large; then
  # The same sources with the desktop program on, in a build of its own.
  cmake -S . -B "$BUILD-window" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORRERY_BUILD_TESTS=OFF \
    -DORRERY_BUILD_APP=ON -DORRERY_BUILD_BENCH=ON >/dev/null
  cmake --build "$BUILD-window" -j2 --target window_bench >/dev/null
  WINDOW_BIN=$(pwd)/$BUILD-window/bench/window_bench
fi

# --- A private nginx --------------------------------------------------------------------------
# make_certificate DIR: ca.pem and, signed by it, server.pem and server.key for 127.0.0.1.
make_certificate() {
  mkdir -p "$1"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=Orrery bench CA" -keyout "$1/ca.key" -out "$1/ca.pem" 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -subj "/CN=127.0.0.1" -keyout "$1/server.key" -out "$1/server.csr" 2>/dev/null
  openssl x509 -req -in "$1/server.csr" -CA "$1/ca.pem" -CAkey "$1/ca.key" -CAcreateserial \
    -days 2 -out "$1/server.pem" \
    -extfile <(printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\nkeyUsage=digitalSignature\n') 2>/dev/null
}
# The ssl server blocks: the same files, and a chain of three redirections to /1k; on NPORT
# the same without sessions or tickets, so that no client resumes; on KSPORT TLS 1.3 alone
# (and no HTTP/2: ALPN gives http/1.1) with connections kept.
ssl_server() {
  local common="ssl_certificate $T/tls/server.pem; ssl_certificate_key $T/tls/server.key;
    ssl_protocols ${BENCH_TLS_PROTOCOLS:-TLSv1.2 TLSv1.3}; root $T/www;"
  cat <<SSL
  server {
    listen 127.0.0.1:$SPORT ssl;
    $common
    ssl_session_cache shared:bench:1m;
    location = /chain/1 { return 302 https://127.0.0.1:$SPORT/chain/2; }
    location = /chain/2 { return 302 https://127.0.0.1:$SPORT/chain/3; }
    location = /chain/3 { return 302 https://127.0.0.1:$SPORT/1k; }
  }
  server {
    listen 127.0.0.1:$NPORT ssl;
    $common
    ssl_session_cache off;
    ssl_session_tickets off;
  }
  server {
    listen 127.0.0.1:$KSPORT ssl;
    ssl_certificate $T/tls/server.pem; ssl_certificate_key $T/tls/server.key;
    ssl_protocols TLSv1.3;
    $KEPT
  }
  server {
    listen 127.0.0.1:$H2PORT ssl http2;
    ssl_certificate $T/tls/server.pem; ssl_certificate_key $T/tls/server.key;
    ssl_protocols TLSv1.3;
    $KEPT
  }
SSL
}
T=$(mktemp -d /dev/shm/orrery-bench.XXXXXX)
NGINX_PID=""
SILENT_PID=""
cleanup() {
  [ -z "$NGINX_PID" ] || kill "$NGINX_PID" 2>/dev/null || true
  [ -z "$SILENT_PID" ] || kill "$SILENT_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$T"
}
trap cleanup EXIT
chmod 755 "$T"
mkdir -p "$T/www" "$T/tmp" "$T/out"
chmod 777 "$T/tmp"
echo "Generating test files in $T/www"
make_file() { # name bytes
  (set +o pipefail; yes 'Orrery benchmark body, 64 bytes a line, for the HTTP component.' |
    head -c "$2" >"$T/www/$1")
}
make_file 1k 1024
[ "$MID" -eq 0 ] || make_file mid $((MID << 20))
[ "$BIG" -eq 0 ] || make_file big $((BIG << 20))
if wants window; then
  # 10 MB for the window: lines of 64 bytes; the same without a line end (the pane must cut
  # it); and lines of 3 bytes (ten times as many lines as the first).
  make_file lines "$WINDOW_BYTES"
  (set +o pipefail; yes 'Orrery benchmark body, 64 bytes a line, for the HTTP component.' |
    tr -d '\n' | head -c "$WINDOW_BYTES" >"$T/www/oneline")
  (set +o pipefail; yes ab | head -c "$WINDOW_BYTES" >"$T/www/short")
fi
[ "$WINDOW_LARGE_MIB" -eq 0 ] || make_file large $((WINDOW_LARGE_MIB << 20))
chmod 644 "$T/www"/*
# The coded bodies, the two at once (one core each).
make_coded() { # name decoded-MiB gzip-level
  "$BIN" text $(($2 << 20)) | gzip "-$3" >"$T/coded/$1.gz"
}
mkdir -p "$T/coded"
coders=()
[ "$GZIP_MID" -eq 0 ] || { make_coded mid "$GZIP_MID" 6 & coders+=($!); }
[ "$GZIP_BIG" -eq 0 ] || { make_coded big "$GZIP_BIG" 1 & coders+=($!); }
for c in "${coders[@]}"; do wait "$c" || { echo "coding the gzip bodies failed" >&2; exit 1; }; done
chmod -R a+rX "$T/coded"

PORT=$("$BIN" free-port)
# What the listeners that keep connections serve: the files, and under /probe/ the same with
# each request's connection logged, to see which clients keep theirs.
KEPT="root $T/www;
    keepalive_timeout 60s;
    keepalive_requests 100000;
    location /probe/ { alias $T/www/; access_log $T/probe.log probe; }"
KPORT=$("$BIN" free-port)
# The https figures' listener: a CA of the bench's own and a certificate for 127.0.0.1 from it.
SSL_SERVER=""
if wants_any https-null https-shm https-get https-chain https-memory kept-https h2-get h2-null; then
  make_certificate "$T/tls"
  SPORT=$("$BIN" free-port)
  NPORT=$("$BIN" free-port)
  KSPORT=$("$BIN" free-port)
  H2PORT=$("$BIN" free-port)
  SSL_SERVER=$(ssl_server)
fi
cat >"$T/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $T/nginx.pid;
error_log $T/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $T/tmp/body;
  proxy_temp_path $T/tmp/proxy;
  fastcgi_temp_path $T/tmp/fastcgi;
  uwsgi_temp_path $T/tmp/uwsgi;
  scgi_temp_path $T/tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 0;
  log_format probe '\$connection \$status';
  server {
    listen 127.0.0.1:$PORT;
    root $T/www;
    # The coded bodies: NAME is NAME.gz with Content-Encoding: gzip, whatever the request asks.
    location /coded/ {
      alias $T/coded/;
      gzip_static always;
    }
    # The same files without a Content-Length: the include filter drops it.
    location /nolen/ {
      alias $T/www/;
      ssi on;
      ssi_types *;
    }
  }
  server {
    listen 127.0.0.1:$KPORT;
    $KEPT
  }
$SSL_SERVER
}
EOF
nginx -c "$T/nginx.conf" -p "$T" -e "$T/error.log" &
NGINX_PID=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$PORT/1k" && break
  sleep 0.1
done
curl -sf -o /dev/null "http://127.0.0.1:$PORT/1k" || { echo "nginx did not start" >&2; cat "$T/error.log" >&2; exit 1; }
curl -sf -D - -o /dev/null "http://127.0.0.1:$PORT/nolen/1k" | grep -qi '^content-length' &&
  { echo "nginx still sends a Content-Length under /nolen/" >&2; exit 1; }
URL=http://127.0.0.1:$PORT
KEPT_URL=http://127.0.0.1:$KPORT
if [ "$GZIP_MID$GZIP_BIG" != 00 ]; then
  coded=mid
  [ "$GZIP_MID" -ne 0 ] || coded=big
  curl -sf -D - -o /dev/null "$URL/coded/$coded" | grep -qi '^content-encoding: gzip' ||
    { echo "nginx does not serve /coded/$coded with Content-Encoding: gzip" >&2; exit 1; }
fi
if [ -n "$SSL_SERVER" ]; then
  TLS_URL=https://127.0.0.1:$SPORT
  CA=$T/tls/ca.pem
  curl -sf --cacert "$CA" -o /dev/null "$TLS_URL/1k" || { echo "nginx's ssl listener does not answer" >&2; cat "$T/error.log" >&2; exit 1; }
  echo "nginx ssl on 127.0.0.1:$SPORT:" \
    "$(openssl s_client -connect "127.0.0.1:$SPORT" -CAfile "$CA" </dev/null 2>/dev/null | grep -m1 'Cipher is')"
  KEPT_TLS_URL=https://127.0.0.1:$KSPORT
  hello=$(curl -sv --cacert "$CA" -o /dev/null "$KEPT_TLS_URL/1k" 2>&1 || true)
  grep -q 'SSL connection using TLSv1.3' <<<"$hello" && grep -q 'ALPN: server accepted http/1.1' <<<"$hello" ||
    { echo "the kept ssl listener does not speak TLS 1.3 and HTTP/1.1 alone:" >&2; grep '^\*' <<<"$hello" >&2; exit 1; }
fi
echo "nginx on 127.0.0.1:$PORT; $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# --- Measuring --------------------------------------------------------------------------------
# field NAME LINE: the value of NAME=value in a measure line.
field() { tr ' ' '\n' <<<"$2" | awk -F= -v k="$1" '$1 == k { print $2 }'; }
# measure CMD...: one measure line; a failed run is reported and counted.
FAILED=0
measure() {
  local line
  line=$("$BIN" measure "$@")
  if [ "$(field status "$line")" != 0 ]; then
    echo "  run failed (status $(field status "$line")): $*" >&2
    FAILED=$((FAILED + 1))
  fi
  echo "$line"
}
# stats V1 V2 ...: "min median max" of the values.
stats() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%.4g %.4g %.4g", v[1], v[int((NR + 1) / 2)], v[NR] }'; }
calc() { awk "BEGIN { printf \"%.6g\", $1 }"; }
median() { stats "$@" | cut -d' ' -f2; }

SUMMARY=()
# report NAME UNIT TARGET-OP TARGET OURS-VALUES / PEER-VALUES: per-run figures, ratios, verdict.
# TARGET-OP is ">=" or "<=" on the median ratio of ours to the peer's.
report() {
  local name=$1 unit=$2 op=$3 target=$4
  shift 4
  local ours=() peer=() ratios=() in_peer=0
  for v in "$@"; do
    if [ "$v" = / ]; then in_peer=1; elif [ $in_peer = 0 ]; then ours+=("$v"); else peer+=("$v"); fi
  done
  for i in "${!ours[@]}"; do ratios+=("$(calc "${ours[$i]} / ${peer[$i]}")"); done
  local r verdict
  read -r -a r <<<"$(stats "${ratios[@]}")"
  if [ "$op" = - ]; then
    verdict=-
  elif awk "BEGIN { exit !(${r[1]} $op $target) }"; then verdict=met; else verdict=MISSED; fi
  printf '  %-22s ours %-24s peer %s\n' "$name" "${ours[*]} $unit" "${peer[*]} $unit"
  SUMMARY+=("$(printf '%-22s %10s %10s %-6s %6s %6s %6s  %-8s %s' "$name" \
    "$(median "${ours[@]}")" "$(median "${peer[@]}")" "$unit" "${r[0]}" "${r[1]}" "${r[2]}" \
    "$op $target" "$verdict")")
}
# absolute NAME UNIT OP LIMIT VALUES...: a figure with a fixed limit on its worst run.
absolute() {
  local name=$1 unit=$2 op=$3 limit=$4
  shift 4
  local s verdict worst
  read -r -a s <<<"$(stats "$@")"
  case $op in "<" | "<=") worst=${s[2]} ;; *) worst=${s[0]} ;; esac
  if awk "BEGIN { exit !($worst $op $limit) }"; then verdict=met; else verdict=MISSED; fi
  printf '  %-22s %s\n' "$name" "$* $unit"
  SUMMARY+=("$(printf '%-22s %10s %10s %-6s %6s %6s %6s  %-8s %s' "$name" "${s[1]}" - \
    "$unit" "${s[0]}" "${s[1]}" "${s[2]}" "$op $limit" "$verdict (worst run)")")
}

# Sequential GETs of 1 KiB: requests per second and client CPU per request.
bench_gets() { # name one|fresh
  local rates=() prates=() cpu=() pcpu=() line
  for _ in $(seq "$ROUNDS"); do
    line=$(measure "$BIN" get "$URL/1k" "$N" "$2")
    rates+=("$(calc "$N / $(field wall "$line")")")
    cpu+=("$(calc "($(field user "$line") + $(field sys "$line")) * 1e6 / $N")")
    line=$(measure ab -q -n "$N" -c 1 "$URL/1k")
    prates+=("$(calc "$N / $(field wall "$line")")")
    pcpu+=("$(calc "($(field user "$line") + $(field sys "$line")) * 1e6 / $N")")
  done
  if [ "$2" = one ]; then
    report "$1 rate" req/s ">=" 1.0 "${rates[@]}" / "${prates[@]}"
    report "$1 cpu/req" us "<=" 1.0 "${cpu[@]}" / "${pcpu[@]}"
  else
    report "$1 rate" req/s ">=" 0.95 "${rates[@]}" / "${prates[@]}"
    report "$1 cpu/req" us - "" "${cpu[@]}" / "${pcpu[@]}"
  fi
}

# A large body into a file or the string: MiB/s, against curl into the same kind of target.
bench_capture() { # name target ours-mode ours-path curl-path
  local tp=() ptp=() cpu=() pcpu=() rss=() line mib=$BIG
  for _ in $(seq "$ROUNDS"); do
    if [ "$3" = string ]; then
      line=$(measure "$BIN" string "$URL/big")
    else
      line=$(measure "$BIN" file "$URL/big" "$4")
    fi
    tp+=("$(calc "$mib / $(field wall "$line")")")
    cpu+=("$(calc "$(field user "$line") + $(field sys "$line")")")
    rss+=("$(calc "$(field maxrss_kib "$line") / 1024")")
    rm -f "$T/out/ours"
    line=$(measure curl -s -o "$5" "$URL/big")
    ptp+=("$(calc "$mib / $(field wall "$line")")")
    pcpu+=("$(calc "$(field user "$line") + $(field sys "$line")")")
    rm -f "$T/out/curl"
  done
  report "$1" MiB/s ">=" "$2" "${tp[@]}" / "${ptp[@]}"
  report "$1 cpu" s "<=" 0.8 "${cpu[@]}" / "${pcpu[@]}"
  [ "$3" != string ] || echo "  $1 peak RSS: ${rss[*]} MiB"
}

echo "Runs (ours first, then the peer, alternating, $ROUNDS rounds):"
wants get && bench_gets "get 1KiB x$N" one
wants get-fresh && bench_gets "get fresh x$N" fresh
wants file-shm && bench_capture "file /dev/shm" 1.2 file "$T/out/ours" "$T/out/curl"
wants file-null && bench_capture "file /dev/null" 1.0 file /dev/null /dev/null
wants string && bench_capture "string" 1.0 string - "$T/out/curl"

# System calls per 1 KiB GET on one component, against ab -c 1: strace -c counts a run of
# 1200 and one of 200 requests, and the difference over 1000 leaves out the start-up of
# either program. Ours vary with the race between the reply and the first look for it (a
# read that finds nothing yet costs a wait more); the last round's calls are listed.
syscall_total() { awk '$NF == "total" { print $4 }' "$1"; }
syscalls_of() { # out-prefix CMD-with-N... (N is replaced by the count)
  local prefix=$1 n
  shift
  for n in 1200 200; do
    strace -c -f -o "$prefix.$n" "${@//@N@/$n}" >/dev/null 2>&1
  done
  calc "($(syscall_total "$prefix.1200") - $(syscall_total "$prefix.200")) / 1000"
}
if wants syscalls-get; then
  ours=()
  peer=()
  for _ in $(seq "$ROUNDS"); do
    ours+=("$(syscalls_of "$T/sc.ours" "$BIN" get "$URL/1k" @N@ one)")
    peer+=("$(syscalls_of "$T/sc.ab" ab -q -n @N@ -c 1 "$URL/1k")")
  done
  absolute "syscalls/GET" calls "<=" 11 "${ours[@]}"
  report "syscalls/GET vs ab" calls - "" "${ours[@]}" / "${peer[@]}"
  echo "  ours, by call (per GET, last round):"
  join -a 1 -e 0 -o 0,1.2,2.2 <(awk 'NR > 2 && $NF != "total" && $1 !~ /^-/ { print $NF, $4 }' "$T/sc.ours.1200" | sort) \
    <(awk 'NR > 2 && $NF != "total" && $1 !~ /^-/ { print $NF, $4 }' "$T/sc.ours.200" | sort) |
    awk '{ d = ($2 - $3) / 1000; if (d > 0.001) printf "    %-14s %.3f\n", $1, d }' | sort -k2 -g -r
fi

if wants memory; then
  for kind in length nolength; do
    path=mid
    [ $kind = length ] || path=nolen/mid
    rss=()
    for _ in $(seq "$ROUNDS"); do
      line=$(measure "$BIN" string "$URL/$path")
      rss+=("$(calc "$(field maxrss_kib "$line") / 1024")")
    done
    if [ $kind = length ]; then limit=$(calc "$MID * 1.3 + 30"); else limit=$(calc "$MID * 1.6 + 30"); fi
    absolute "RSS ${MID}M $kind" MiB "<=" "$limit" "${rss[@]}"
  done
fi

if wants syscalls; then
  blocks=$((MID * 16)) # 64 KiB blocks in the body
  ours=()
  peer=()
  for _ in $(seq "$ROUNDS"); do
    strace -c -f -o "$T/strace.ours" "$BIN" string "$URL/mid" >/dev/null
    ours+=("$(calc "$(awk '$NF == "total" { print $4 }' "$T/strace.ours") / $blocks")")
    strace -c -f -o "$T/strace.curl" curl -s -o "$T/out/curl" "$URL/mid"
    peer+=("$(calc "$(awk '$NF == "total" { print $4 }' "$T/strace.curl") / $blocks")")
    rm -f "$T/out/curl"
  done
  absolute "syscalls/64KiB" calls "<=" 2.5 "${ours[@]}"
  echo "  (curl: ${peer[*]} calls per 64 KiB)"
  echo "  ours, by call:"
  awk 'NR > 2 && $NF != "total" && $1 !~ /^-/ { printf "    %-14s %s\n", $NF, $4 }' \
    "$T/strace.ours" | sort -k2 -g -r | head -8
fi

if wants silent; then
  SILENT_PORT_FILE=$T/silent.port
  "$BIN" silent-server $((ROUNDS * 12 + 10)) >"$SILENT_PORT_FILE" &
  SILENT_PID=$!
  for _ in $(seq 50); do [ -s "$SILENT_PORT_FILE" ] && break; sleep 0.1; done
  SURL=http://127.0.0.1:$(cat "$SILENT_PORT_FILE")/
  ours=()
  peer=()
  for _ in $(seq "$ROUNDS"); do
    # A time-out is the expected end of both runs; their exit status says nothing here.
    line=$("$BIN" measure "$BIN" get "$SURL" 1 one 5000 2>/dev/null)
    ours+=("$(calc "($(field user "$line") + $(field sys "$line")) * 100 / $(field wall "$line")")")
    line=$("$BIN" measure curl -s -m 5 -o /dev/null "$SURL")
    peer+=("$(calc "($(field user "$line") + $(field sys "$line")) * 100 / $(field wall "$line")")")
  done
  absolute "cpu % silent 5s" "%" "<" 1 "${ours[@]}"
  echo "  (curl: ${peer[*]} %)"
  kill "$SILENT_PID" 2>/dev/null || true
  SILENT_PID=""
fi

# orrery-cli as scripts use it: 200 invocations one after the other (the wall time of the
# whole loop), and 1 GiB written to a pipe (the rate, and the peak resident size of the
# largest process of the pipeline, which is the client's). Both sides run the same shell
# line with their own program.
if wants cli-runs; then
  ours=()
  peer=()
  for _ in $(seq "$ROUNDS"); do
    line=$(measure sh -c 'for i in $(seq 200); do "$1" -0 -sf -o /dev/null "$2" || exit 1; done' \
      sh "$CLI" "$URL/1k")
    ours+=("$(field wall "$line")")
    line=$(measure sh -c 'for i in $(seq 200); do "$1" -0 -sf -o /dev/null "$2" || exit 1; done' \
      sh curl "$URL/1k")
    peer+=("$(field wall "$line")")
  done
  report "cli 200 runs wall" s "<=" 0.5 "${ours[@]}" / "${peer[@]}"
fi
if wants cli-pipe; then
  ours=()
  peer=()
  rss=()
  for _ in $(seq "$ROUNDS"); do
    line=$(measure bash -c 'set -o pipefail; "$1" -0 -sf "$2" | cat >/dev/null' sh "$CLI" "$URL/big")
    ours+=("$(calc "$BIG / $(field wall "$line")")")
    rss+=("$(calc "$(field maxrss_kib "$line") / 1024")")
    line=$(measure bash -c 'set -o pipefail; "$1" -0 -sf "$2" | cat >/dev/null' sh curl "$URL/big")
    peer+=("$(calc "$BIG / $(field wall "$line")")")
  done
  report "cli ${BIG}M to a pipe" MiB/s ">=" 1.0 "${ours[@]}" / "${peer[@]}"
  absolute "cli pipe peak RSS" MiB "<=" 32 "${rss[@]}"
fi

# --- Kept connections and coded bodies --------------------------------------------------------
# one_connection NAME CMD...: CMD's three GETs of /probe/1k came back 200 on one connection
# (nginx logs each request's connection number); otherwise says what it saw, and fails.
one_connection() {
  local name=$1 seen
  shift
  : >"$T/probe.log"
  if ! "$@" >/dev/null 2>"$T/probe.err"; then
    echo "  $name: the three GETs failed: $(head -c 300 "$T/probe.err")" >&2
    return 1
  fi
  seen=$(awk '$2 == 200 { n[$1]++; r++ } END { printf "%d %d", r, length(n) }' "$T/probe.log")
  [ "$seen" = "3 1" ] && return 0
  echo "  $name: of the three GETs, $seen (answered, on that many connections)" >&2
  return 1
}
# urls_for URL N: N times URL with -o /dev/null, into the array URL_ARGS.
urls_for() {
  URL_ARGS=()
  for _ in $(seq "$2"); do URL_ARGS+=("$1" -o /dev/null); done
}
# N GETs of 1 KiB on one connection: one component (HTTP/1.1), orrery-cli with N URLs when it
# takes several (with --http1.1, or without where HTTP/1.1 is its default), ab -k and curl
# --http1.1 with the same URLs. ab checks no certificate, so it gets no --cacert.
bench_kept() { # label base-url [--cacert FILE]
  local label=$1 base=$2
  shift 2
  local tls=("$@") ours=() cli=() ab=() curl=() cpu=() acpu=() clio=() line flags
  local cli_flags=()
  one_connection "http_bench$label" "$BIN" "${tls[@]}" --http1.1 get "$base/probe/1k" 3 one ||
    FAILED=$((FAILED + 1))
  one_connection "ab -k$label" ab -q -k -c 1 -n 3 "$base/probe/1k" || FAILED=$((FAILED + 1))
  urls_for "$base/probe/1k" 3
  one_connection "curl$label" curl -s --http1.1 "${tls[@]}" "${URL_ARGS[@]}" || FAILED=$((FAILED + 1))
  local cli_ok=0
  for flags in --http1.1 ""; do
    cli_flags=()
    [ -z "$flags" ] || cli_flags=("$flags")
    if one_connection "orrery-cli ${flags:-(its default)}$label" "$CLI" -s "${cli_flags[@]}" "${tls[@]}" \
      "${URL_ARGS[@]}" 2>/dev/null; then
      cli_ok=1
      break
    fi
  done
  [ $cli_ok = 1 ] || echo "  (orrery-cli does not make several GETs on one connection: its figures are left out)"
  urls_for "$base/1k" "$KEEP_N"
  for _ in $(seq "$KEEP_ROUNDS"); do
    line=$(measure "$BIN" "${tls[@]}" --http1.1 get "$base/1k" "$KEEP_N" one)
    ours+=("$(calc "$KEEP_N / $(field wall "$line")")")
    cpu+=("$(calc "($(field user "$line") + $(field sys "$line")) * 1e6 / $KEEP_N")")
    if [ $cli_ok = 1 ]; then
      line=$(measure "$CLI" -s "${cli_flags[@]}" "${tls[@]}" "${URL_ARGS[@]}")
      cli+=("$(calc "$KEEP_N / $(field wall "$line")")")
      clio+=("$(calc "($(field user "$line") + $(field sys "$line")) * 1e6 / $KEEP_N")")
    fi
    line=$(measure ab -q -k -c 1 -n "$KEEP_N" "$base/1k")
    ab+=("$(calc "$KEEP_N / $(field wall "$line")")")
    acpu+=("$(calc "($(field user "$line") + $(field sys "$line")) * 1e6 / $KEEP_N")")
    line=$(measure curl -s --http1.1 "${tls[@]}" "${URL_ARGS[@]}")
    curl+=("$(calc "$KEEP_N / $(field wall "$line")")")
  done
  report "kept$label get vs ab" req/s ">=" 1.2 "${ours[@]}" / "${ab[@]}"
  report "kept$label get vs curl" req/s ">=" 1.2 "${ours[@]}" / "${curl[@]}"
  if [ $cli_ok = 1 ]; then
    report "kept$label cli vs ab" req/s ">=" 1.2 "${cli[@]}" / "${ab[@]}"
    report "kept$label cli vs curl" req/s ">=" 1.2 "${cli[@]}" / "${curl[@]}"
    report "kept$label cli cpu/req" us - "" "${clio[@]}" / "${acpu[@]}"
  fi
  report "kept$label cpu/req" us - "" "${cpu[@]}" / "${acpu[@]}"
}
if wants kept-get; then
  echo "  kept connections, $KEEP_N GETs, $KEEP_ROUNDS rounds:"
  bench_kept "" "$KEPT_URL"
fi

# decodes_as NAME MIB: orrery-cli --compressed and curl --compressed wrote the text coded/NAME
# was made of, MIB MiB of it.
decodes_as() {
  local want ours peer
  want=$("$BIN" text $(($2 << 20)) | md5sum | cut -d' ' -f1)
  ours=$({ "$CLI" -s --compressed "$URL/coded/$1" || true; } | md5sum | cut -d' ' -f1)
  peer=$({ curl -s --compressed "$URL/coded/$1" || true; } | md5sum | cut -d' ' -f1)
  [ "$ours" = "$want" ] || { echo "  orrery-cli --compressed did not write the text of coded/$1" >&2; FAILED=$((FAILED + 1)); }
  [ "$peer" = "$want" ] || { echo "  curl --compressed did not write the text of coded/$1" >&2; FAILED=$((FAILED + 1)); }
}
if wants gzip-null; then
  decodes_as mid "$GZIP_MID"
  echo "  coded/mid: $GZIP_MID MiB of text, $(($(stat -c %s "$T/coded/mid.gz") >> 10)) KiB coded (gzip -6)"
  ours=() peer=() cpu=() pcpu=()
  for _ in $(seq "$ROUNDS"); do
    line=$(measure "$CLI" -s --compressed -o /dev/null "$URL/coded/mid")
    ours+=("$(calc "$GZIP_MID / $(field wall "$line")")")
    cpu+=("$(calc "$(field user "$line") + $(field sys "$line")")")
    line=$(measure curl -s --compressed -o /dev/null "$URL/coded/mid")
    peer+=("$(calc "$GZIP_MID / $(field wall "$line")")")
    pcpu+=("$(calc "$(field user "$line") + $(field sys "$line")")")
  done
  report "gzip ${GZIP_MID}M /dev/null" MiB/s ">=" 1.0 "${ours[@]}" / "${peer[@]}"
  report "gzip ${GZIP_MID}M cpu" s - "" "${cpu[@]}" / "${pcpu[@]}"
fi
if wants gzip-pipe; then
  decodes_as big "$GZIP_BIG"
  echo "  coded/big: $GZIP_BIG MiB of text, $(($(stat -c %s "$T/coded/big.gz") >> 20)) MiB coded (gzip -1)"
  ours=() peer=() rss=() prss=()
  for _ in $(seq "$ROUNDS"); do
    line=$(measure bash -c 'set -o pipefail; "$1" -s --compressed "$2" | cat >/dev/null' sh "$CLI" "$URL/coded/big")
    ours+=("$(calc "$GZIP_BIG / $(field wall "$line")")")
    rss+=("$(calc "$(field maxrss_kib "$line") / 1024")")
    line=$(measure bash -c 'set -o pipefail; "$1" -s --compressed "$2" | cat >/dev/null' sh curl "$URL/coded/big")
    peer+=("$(calc "$GZIP_BIG / $(field wall "$line")")")
    prss+=("$(calc "$(field maxrss_kib "$line") / 1024")")
  done
  # The largest of the pipeline's processes: the client, not bash or cat.
  absolute "gzip ${GZIP_BIG}M pipe RSS" MiB "<" 32 "${rss[@]}"
  echo "    curl's: ${prss[*]} MiB"
  report "gzip ${GZIP_BIG}M pipe" MiB/s - "" "${ours[@]}" / "${peer[@]}"
fi

if wants window; then
  # Each run: a GET on the "Aller" page into the empty pane, then a second one that replaces
  # the text. The figure runs from the last block's progress event to the pane painted.
  for body in lines oneline short; do
    first=()
    again=()
    totals=()
    rss=()
    for _ in $(seq "$ROUNDS"); do
      if ! out=$(timeout 300 "$WINDOW_BIN" "$URL/$body" "$WINDOW_BYTES" 2 2>"$T/window.err"); then
        echo "  window run failed: $body" >&2
        cat "$T/window.err" >&2
        FAILED=$((FAILED + 1))
        continue
      fi
      one=$(grep '^get=1 ' <<<"$out")
      two=$(grep '^get=2 ' <<<"$out")
      first+=("$(field shown_ms "$one")")
      again+=("$(field shown_ms "$two")")
      totals+=("$(field total_ms "$one")")
      rss+=("$(field maxrss_mib "$two")")
      blocks=$(field pane_blocks "$one")
    done
    [ ${#first[@]} -gt 0 ] || continue
    absolute "window $body" ms "<=" 1000 "${first[@]}"
    echo "    replacing the text: ${again[*]} ms; whole click: ${totals[*]} ms"
    echo "    peak RSS: ${rss[*]} MiB; blocks in the pane: $blocks"
  done
fi

if wants window-large; then
  # One GET of the whole body into the "Aller" page: the pane shows its first 16 MiB, the
  # component and the recorder hold the rest.
  shown=()
  rss=()
  for _ in $(seq "$ROUNDS"); do
    if ! out=$(timeout 300 "$WINDOW_BIN" "$URL/large" $((WINDOW_LARGE_MIB << 20)) 1 2>"$T/window.err"); then
      echo "  window run failed: large" >&2
      cat "$T/window.err" >&2
      FAILED=$((FAILED + 1))
      continue
    fi
    one=$(grep '^get=1 ' <<<"$out")
    shown+=("$(field shown_ms "$one")")
    rss+=("$(field maxrss_mib "$one")")
    echo "    $one"
  done
  if [ ${#shown[@]} -gt 0 ]; then
    absolute "window ${WINDOW_LARGE_MIB}MiB shown" ms "<=" 1000 "${shown[@]}"
    absolute "window ${WINDOW_LARGE_MIB}MiB peak" MiB "<=" $((WINDOW_LARGE_MIB * 2 + 150)) "${rss[@]}"
  fi
fi

# Two JSON bodies of BENCH_COMPARE_MIB (50) MiB each, B with its members in another order, other
# blanks and one price in 1000 changed: TPassCompare against diff <(jq -S . a) <(jq -S . b) on
# the same files. Time is the wall time of the whole program or pipeline; memory is our peak
# resident size against the two jq processes' peaks added up (measured one by one, since
# wait4 gives the largest process of a pipeline, not their sum).
bench_compare() {
  local mib=${BENCH_COMPARE_MIB:-50} ours=() peer=() rss=() prss=() line a b
  if ! command -v jq >/dev/null; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends jq >/dev/null
  fi
  cmake --build "$BUILD" -j2 --target compare_bench >/dev/null
  local cb=$(pwd)/$BUILD/bench/compare_bench
  "$cb" make "$T/compare-a.json" "$T/compare-b.json" "$mib"
  echo "  ours: $("$cb" compare "$T/compare-a.json" "$T/compare-b.json");" \
    "jq and diff: $(diff <(jq -S . "$T/compare-a.json") <(jq -S . "$T/compare-b.json") | grep -c '^<') changed lines"
  for _ in $(seq "$ROUNDS"); do
    line=$(measure "$cb" compare "$T/compare-a.json" "$T/compare-b.json")
    ours+=("$(field wall "$line")")
    rss+=("$(calc "$(field maxrss_kib "$line") / 1024")")
    # diff exits 1 when the files differ, as they do.
    line=$(measure bash -c 'diff <(jq -S . "$1") <(jq -S . "$2") >/dev/null; [ $? -le 1 ]' sh \
      "$T/compare-a.json" "$T/compare-b.json")
    peer+=("$(field wall "$line")")
    a=$(field maxrss_kib "$(measure jq -S . "$T/compare-a.json")")
    b=$(field maxrss_kib "$(measure jq -S . "$T/compare-b.json")")
    prss+=("$(calc "($a + $b) / 1024")")
  done
  report "compare ${mib}M json" s "<=" 0.333 "${ours[@]}" / "${peer[@]}"
  report "compare ${mib}M memory" MiB "<=" 0.5 "${rss[@]}" / "${prss[@]}"
  absolute "compare ${mib}M wall" s "<=" 2 "${ours[@]}"
  absolute "compare ${mib}M peak" MiB "<=" $((mib * 2 * 3)) "${rss[@]}"
  rm -f "$T/compare-a.json" "$T/compare-b.json"
}
wants compare && bench_compare
# --- https: the ssl listener, every client trusting the bench's CA ---------------------------
# aes_rate CIPHER: one core's rate at 16 KiB records in MB/s, the bound of an https transfer.
aes_rate() {
  openssl speed -evp "$1" -bytes 16384 -seconds 1 2>/dev/null |
    awk -v c="$1" 'toupper($1) == toupper(c) { sub(/k$/, "", $2); printf "%.0f", $2 / 1000 }'
}
# A large body over https into a file: MiB/s against curl -0 into the same kind of target.
bench_tls_capture() { # name ours-path curl-path
  local tp=() ptp=() cpu=() pcpu=() line
  for _ in $(seq "$ROUNDS"); do
    line=$(measure "$BIN" --cacert "$CA" file "$TLS_URL/big" "$2")
    tp+=("$(calc "$BIG / $(field wall "$line")")")
    cpu+=("$(calc "$(field user "$line") + $(field sys "$line")")")
    rm -f "$T/out/ours"
    line=$(measure curl -0 -s --cacert "$CA" -o "$3" "$TLS_URL/big")
    ptp+=("$(calc "$BIG / $(field wall "$line")")")
    pcpu+=("$(calc "$(field user "$line") + $(field sys "$line")")")
    rm -f "$T/out/curl"
  done
  report "$1" MiB/s ">=" 1.0 "${tp[@]}" / "${ptp[@]}"
  report "$1 cpu" s "<=" 0.8 "${cpu[@]}" / "${pcpu[@]}"
}
# field NAME of http_bench's own line for a run outside measure (whose output it drops).
tally() { # NAME http_bench-ARGS...
  local name=$1
  shift
  field "$name" "$("$BIN" "$@" | tail -1)"
}
if wants_any https-null https-shm; then
  echo "  AES-GCM, one core, 16 KiB: aes-128-gcm $(aes_rate aes-128-gcm) MB/s," \
    "aes-256-gcm $(aes_rate aes-256-gcm) MB/s"
fi
wants https-null && bench_tls_capture "https /dev/null" /dev/null /dev/null
wants https-shm && bench_tls_capture "https /dev/shm" "$T/out/ours" "$T/out/curl"

# 1 KiB GETs on one component, resumed (the component's default) and with resumption off on
# the context made once, against ab, which builds its context once and resumes nothing; the
# same with every context and trust store rebuilt before each request (as a new process would);
# and both against the listener that resumes no session.
# curl with the same GETs in one process, -o /dev/null once per URL (a -K file of them): it
# resumes too, and with --no-sessionid checks the chain each time, as the component does.
if wants https-get; then
  res=() nores=() fresh=() peer=() rcpu=() ncpu=() pcpu=() kept=() kpeer=() curlr=() curln=()
  for _ in $(seq "$TLS_N"); do printf 'url = "%s/1k"\noutput = "/dev/null"\n' "$TLS_URL"; done >"$T/urls.curl"
  for _ in $(seq "$ROUNDS"); do
    line=$(measure curl -0 -s --cacert "$CA" -K "$T/urls.curl")
    curlr+=("$(calc "$TLS_N / $(field wall "$line")")")
    line=$(measure curl -0 -s --no-sessionid --cacert "$CA" -K "$T/urls.curl")
    curln+=("$(calc "$TLS_N / $(field wall "$line")")")
    line=$(measure "$BIN" --cacert "$CA" get "$TLS_URL/1k" "$TLS_N" one)
    res+=("$(calc "$TLS_N / $(field wall "$line")")")
    rcpu+=("$(calc "($(field user "$line") + $(field sys "$line")) * 1e6 / $TLS_N")")
    line=$(measure ab -q -n "$TLS_N" -c 1 "$TLS_URL/1k")
    peer+=("$(calc "$TLS_N / $(field wall "$line")")")
    pcpu+=("$(calc "($(field user "$line") + $(field sys "$line")) * 1e6 / $TLS_N")")
    line=$(measure "$BIN" --cacert "$CA" --no-resume get "$TLS_URL/1k" "$TLS_N" one)
    nores+=("$(calc "$TLS_N / $(field wall "$line")")")
    ncpu+=("$(calc "($(field user "$line") + $(field sys "$line")) * 1e6 / $TLS_N")")
    line=$(measure "$BIN" --cacert "$CA" --fresh-context get "$TLS_URL/1k" "$TLS_N" one)
    fresh+=("$(calc "$TLS_N / $(field wall "$line")")")
    line=$(measure "$BIN" --cacert "$CA" get "https://127.0.0.1:$NPORT/1k" "$TLS_N" one)
    kept+=("$(calc "$TLS_N / $(field wall "$line")")")
    line=$(measure ab -q -n "$TLS_N" -c 1 "https://127.0.0.1:$NPORT/1k")
    kpeer+=("$(calc "$TLS_N / $(field wall "$line")")")
  done
  report "https get resumed" req/s ">=" 1.5 "${res[@]}" / "${peer[@]}"
  report "https resumed/curl" req/s ">=" 1.8 "${res[@]}" / "${curlr[@]}"
  report "https get no resume" req/s ">=" 1.0 "${nores[@]}" / "${peer[@]}"
  report "https no-res/curl" req/s ">=" 1.2 "${nores[@]}" / "${curln[@]}"
  report "https ctx rebuilt" req/s - "" "${fresh[@]}" / "${peer[@]}"
  report "https server no resume" req/s - "" "${kept[@]}" / "${kpeer[@]}"
  report "https resumed cpu/req" us - "" "${rcpu[@]}" / "${pcpu[@]}"
  report "https no-res cpu/req" us - "" "${ncpu[@]}" / "${pcpu[@]}"
  echo "  full handshakes in 100 GETs: resumed $(tally full --cacert "$CA" get "$TLS_URL/1k" 100 one)," \
    "no resume $(tally full --cacert "$CA" --no-resume get "$TLS_URL/1k" 100 one)," \
    "context rebuilt $(tally full --cacert "$CA" --fresh-context get "$TLS_URL/1k" 100 one)," \
    "server no resume $(tally full --cacert "$CA" get "https://127.0.0.1:$NPORT/1k" 100 one)"
fi

# Three redirections on the one server: the first pass's handshake is the only full one.
if wants https-chain; then
  full=()
  for _ in $(seq "$ROUNDS"); do
    line=$("$BIN" --cacert "$CA" get "$TLS_URL/chain/1" 1 one | tail -1) || FAILED=$((FAILED + 1))
    [ "$(field passes "$line")" = 4 ] || { echo "  chain run made $(field passes "$line") passes, not 4" >&2; FAILED=$((FAILED + 1)); }
    full+=("$(field full "$line")")
    echo "    $line"
  done
  absolute "https chain full hs" count "<=" 1 "${full[@]}"
fi

# The same 256 MiB body into the string over https and over http; orrery-cli over https to a
# pipe for 1 GiB against curl -0.
if wants https-memory; then
  plain=() tls=() more=()
  for _ in $(seq "$ROUNDS"); do
    line=$(measure "$BIN" string "$URL/mid")
    plain+=("$(calc "$(field maxrss_kib "$line") / 1024")")
    line=$(measure "$BIN" --cacert "$CA" string "$TLS_URL/mid")
    tls+=("$(calc "$(field maxrss_kib "$line") / 1024")")
    more+=("$(calc "${tls[-1]} - ${plain[-1]}")")
  done
  absolute "RSS ${MID}M https-http" MiB "<=" 4 "${more[@]}"
  echo "    peak RSS over http: ${plain[*]} MiB, over https: ${tls[*]} MiB"
  ours=() peer=() rss=() prss=()
  for _ in $(seq "$ROUNDS"); do
    line=$(measure bash -c 'set -o pipefail; "$1" -0 -sf --cacert "$3" "$2" | cat >/dev/null' \
      sh "$CLI" "$TLS_URL/big" "$CA")
    ours+=("$(calc "$BIG / $(field wall "$line")")")
    rss+=("$(calc "$(field maxrss_kib "$line") / 1024")")
    line=$(measure bash -c 'set -o pipefail; "$1" -0 -sf --cacert "$3" "$2" | cat >/dev/null' \
      sh curl "$TLS_URL/big" "$CA")
    peer+=("$(calc "$BIG / $(field wall "$line")")")
    prss+=("$(calc "$(field maxrss_kib "$line") / 1024")")
  done
  report "cli https ${BIG}M pipe" MiB/s - "" "${ours[@]}" / "${peer[@]}"
  absolute "cli https pipe RSS" MiB "<=" 32 "${rss[@]}"
  # The largest of the pipeline's processes: the client, not bash or cat.
  report "cli https RSS/curl" MiB "<=" 0.8 "${rss[@]}" / "${prss[@]}"
fi

if wants kept-https; then
  echo "  kept connections over https (TLS 1.3, HTTP/1.1), $KEEP_N GETs, $KEEP_ROUNDS rounds:"
  bench_kept " https" "$KEPT_TLS_URL" --cacert "$CA"
fi

# HTTP/2: GETs of 1 KiB as streams of one connection, each client checked first to use one.
if wants h2-get; then
  echo "  HTTP/2, $KEEP_N GETs on one connection, $KEEP_ROUNDS rounds:"
  H2_URL=https://127.0.0.1:$H2PORT
  ours=() cli=() curl=() h2l=() cpu=() ccpu=()
  one_connection "http_bench --http2" "$BIN" --cacert "$CA" --http2 get "$H2_URL/probe/1k" 3 one ||
    FAILED=$((FAILED + 1))
  urls_for "$H2_URL/probe/1k" 3
  one_connection "curl --http2" curl -s --http2 --cacert "$CA" "${URL_ARGS[@]}" || FAILED=$((FAILED + 1))
  one_connection "orrery-cli" "$CLI" -s --cacert "$CA" "${URL_ARGS[@]}" || FAILED=$((FAILED + 1))
  urls_for "$H2_URL/1k" "$KEEP_N"
  for _ in $(seq "$KEEP_ROUNDS"); do
    line=$(measure "$BIN" --cacert "$CA" --http2 get "$H2_URL/1k" "$KEEP_N" one)
    ours+=("$(calc "$KEEP_N / $(field wall "$line")")")
    cpu+=("$(calc "($(field user "$line") + $(field sys "$line")) * 1e6 / $KEEP_N")")
    line=$(measure "$CLI" -s --cacert "$CA" "${URL_ARGS[@]}")
    cli+=("$(calc "$KEEP_N / $(field wall "$line")")")
    line=$(measure curl -s --http2 --cacert "$CA" "${URL_ARGS[@]}")
    curl+=("$(calc "$KEEP_N / $(field wall "$line")")")
    ccpu+=("$(calc "($(field user "$line") + $(field sys "$line")) * 1e6 / $KEEP_N")")
    line=$(measure h2load -n "$KEEP_N" -c 1 -m 1 "$H2_URL/1k")
    h2l+=("$(calc "$KEEP_N / $(field wall "$line")")")
  done
  report "h2 get vs curl" req/s ">=" 1.2 "${ours[@]}" / "${curl[@]}"
  report "h2 get vs h2load" req/s ">=" 1.0 "${ours[@]}" / "${h2l[@]}"
  report "h2 cli vs curl" req/s - "" "${cli[@]}" / "${curl[@]}"
  report "h2 cpu/req vs curl" us - "" "${cpu[@]}" / "${ccpu[@]}"
fi
# HTTP/2: a large body to /dev/null against curl --http2.
if wants h2-null; then
  tp=() ptp=() cpu=() pcpu=()
  for _ in $(seq "$ROUNDS"); do
    line=$(measure "$BIN" --cacert "$CA" --http2 file "https://127.0.0.1:$H2PORT/big" /dev/null)
    tp+=("$(calc "$BIG / $(field wall "$line")")")
    cpu+=("$(calc "$(field user "$line") + $(field sys "$line")")")
    line=$(measure curl -s --http2 --cacert "$CA" -o /dev/null "https://127.0.0.1:$H2PORT/big")
    ptp+=("$(calc "$BIG / $(field wall "$line")")")
    pcpu+=("$(calc "$(field user "$line") + $(field sys "$line")")")
  done
  report "h2 ${BIG}M /dev/null" MiB/s ">=" 1.0 "${tp[@]}" / "${ptp[@]}"
  report "h2 ${BIG}M cpu" s - "" "${cpu[@]}" / "${pcpu[@]}"
fi

echo
echo "Summary (medians; ratio = ours / peer per round; $(nproc) cores; $(date -u '+%Y-%m-%d %H:%M UTC'))"
printf '%-22s %10s %10s %-6s %6s %6s %6s  %-8s %s\n' figure ours peer unit min median max target verdict
printf '%s\n' "${SUMMARY[@]}"
[ "$FAILED" -eq 0 ] || { echo "$FAILED runs failed" >&2; exit 1; }
