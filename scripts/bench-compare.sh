#!/usr/bin/env bash
# Measures two builds of the program against each other with scripts/bench.sh: this tree's
# and another tree's (an earlier commit checked out as a worktree), alternating round by
# round on the same machine, each round a whole bench.sh run of one round (ours, then the
# peer). Prints per figure the median and spread of each side, after / before, and each
# side's ratio to the peer.
#
#   scripts/bench-compare.sh BEFORE-TREE [figure ...]   (default figures: get file-shm
#                                          file-null string memory syscalls syscalls-get
#                                          cli-runs cli-pipe)
# Environment: COMPARE_ROUNDS (5), and bench.sh's own (BENCH_N, BENCH_BIG_MIB, ...). Both
# trees are built RelWithDebInfo in their own BENCH_BUILD directory (build-bench).
set -euo pipefail
cd "$(dirname "$0")/.."

[ $# -ge 1 ] || { echo "usage: $0 BEFORE-TREE [figure ...]" >&2; exit 2; }
BEFORE=$(cd "$1" && pwd)
shift
FIGURES=("$@")
[ ${#FIGURES[@]} -gt 0 ] ||
  FIGURES=(get file-shm file-null string memory syscalls syscalls-get cli-runs cli-pipe)
ROUNDS=${COMPARE_ROUNDS:-5}
BUILD=${BENCH_BUILD:-build-bench}

build_tree() { # tree: http_bench and orrery-cli, as bench.sh builds them
  cmake -S "$1" -B "$1/$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORRERY_BUILD_TESTS=OFF \
    -DORRERY_BUILD_APP=OFF -DORRERY_BUILD_BENCH=ON >/dev/null
  cmake --build "$1/$BUILD" -j2 --target http_bench orrery-cli >/dev/null
}
build_tree "$BEFORE"
build_tree "$(pwd)"

OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
echo "before: $BEFORE ($(git -C "$BEFORE" log --oneline -1 | cut -c1-60))"
echo "after:  $(pwd) ($(git log --oneline -1 | cut -c1-60))"
for r in $(seq "$ROUNDS"); do
  for side in before after; do
    tree=$(pwd)
    [ $side = after ] || tree=$BEFORE
    echo "round $r, $side: $(date -u +%H:%M:%S), load $(cut -d' ' -f1-3 /proc/loadavg)"
    BENCH_ROUNDS=1 BENCH_BIN=$tree/$BUILD/bench/http_bench BENCH_CLI=$tree/$BUILD/cli/orrery-cli \
      scripts/bench.sh "${FIGURES[@]}" >"$OUT/$side.$r" 2>&1 ||
      { echo "  bench.sh failed:" >&2; tail -5 "$OUT/$side.$r" >&2; }
  done
done

# Each run's summary rows: the name in the first 22 columns, then ours, peer, unit, and the
# ratio to the peer (its min, median and max are the same value in a run of one round).
rows() { # side
  for f in "$OUT/$1".*; do
    awk '/^Summary/ { on = 1; getline; next } on && NF { print }' "$f" |
      while IFS= read -r line; do
        name=$(cut -c1-22 <<<"$line" | sed 's/ *$//')
        read -r ours peer unit _ ratio _ <<<"$(cut -c23- <<<"$line")"
        [ "$peer" != - ] || ratio=-
        printf '%s\t%s\t%s\t%s\n' "$name" "$ours" "$unit" "$ratio"
      done
  done
}
rows before >"$OUT/rows.before"
rows after >"$OUT/rows.after"
echo
echo "Medians (min-max) of $ROUNDS rounds each; $(nproc) cores; $(date -u '+%Y-%m-%d %H:%M UTC'), load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-22s %-6s %-26s %-26s %7s %9s %9s\n' figure unit before after aft/bef "bef/peer" "aft/peer"
cut -f1 "$OUT/rows.after" | awk '!seen[$0]++' | while IFS= read -r name; do
  summary() { # side column: "median (min-max)"
    awk -F'\t' -v n="$name" -v c="$2" '$1 == n && $c != "-" { print $c }' "$OUT/rows.$1" |
      sort -g | awk '{ v[NR] = $1 } END { if (NR) printf "%.4g %.4g %.4g", v[int((NR + 1) / 2)], v[1], v[NR] }'
  }
  read -r bm blo bhi <<<"$(summary before 2)"
  read -r am alo ahi <<<"$(summary after 2)"
  read -r bp _ _ <<<"$(summary before 4)"
  read -r ap _ _ <<<"$(summary after 4)"
  unit=$(awk -F'\t' -v n="$name" '$1 == n { print $3; exit }' "$OUT/rows.after")
  change=$(awk -v a="${am:-0}" -v b="${bm:-0}" 'BEGIN { if (b != 0) printf "%.3f", a / b; else print "-" }')
  printf '%-22s %-6s %-26s %-26s %7s %9s %9s\n' "$name" "$unit" "${bm:--} ($blo-$bhi)" \
    "${am:--} ($alo-$ahi)" "$change" "${bp:--}" "${ap:--}"
done
