#!/usr/bin/env bash
# The certificate matrix side by side: every case (good, expired, not yet valid, wrong host,
# wildcard, IP, self-signed, untrusted root, leaf only, SHA-1, RSA 1024, version limits, client
# certificates and encrypted keys, CA files and directories, -k) run through orrery-cli and
# Debian's curl with the same options against one nginx on loopback, serving a throw-away PKI
# made for the run. Prints both exit statuses per case and fails when they differ, or when
# either differs from the expected one. The table is the cli_tls_tests suite's, which CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v curl >/dev/null || { echo "tls-matrix: Debian's curl is needed (apt-get install curl)" >&2; exit 2; }
command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] ||
  { echo "tls-matrix: nginx is needed (apt-get install nginx-light)" >&2; exit 2; }

build="${BUILD_DIR:-build}"
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DORRERY_BUILD_APP=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target cli_tls_tests >/dev/null

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
status=0
"$build/tests/cli/cli_tls_tests" --gtest_filter='CliTlsTest.MatrixGivesCurlsExitStatus' >"$log" 2>&1 ||
  status=$?
# The table, then what differed (gtest names the case and both statuses).
sed -n '/^orrery-cli  curl  expected/,/^\[/p' "$log" | sed '$d'
if [ "$status" -ne 0 ]; then
  grep -E 'Failure|Which is|Trace|curl:' "$log" >&2 || cat "$log" >&2
  echo "tls-matrix: orrery-cli and curl differ (or the suite failed)" >&2
fi
exit "$status"
