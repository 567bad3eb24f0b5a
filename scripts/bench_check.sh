#!/bin/bash
# Times `pkginfo --check` against `ldd -r` on the same package: seven runs each,
# taken in turns so that both meet the same machine, after one run each to warm
# the caches. Prints both medians and their ratio; the check is meant to take at
# most 1.5 times as long as ldd -r.
#   scripts/bench_check.sh [BUILD_FOLDER [PACKAGE]]
set -euo pipefail
build=${1:-build/default}
package=${2:-$build/packages/libstdreg.so}
runs=7

# Microseconds one run takes; what it prints and its exit status do not count.
micros() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s%N)
  echo $(( (end - start) / 1000 ))
}

median() {
  printf '%s\n' "$@" | sort -n | sed -n "$(( ($# + 1) / 2 ))p"
}

micros ldd -r "$package" >/dev/null
micros "$build/bin/pkginfo" --check "$package" >/dev/null
ldd_runs=() check_runs=()
for _ in $(seq "$runs"); do
  ldd_runs+=("$(micros ldd -r "$package")")
  check_runs+=("$(micros "$build/bin/pkginfo" --check "$package")")
done
ldd_median=$(median "${ldd_runs[@]}")
check_median=$(median "${check_runs[@]}")
awk -v l="$ldd_median" -v c="$check_median" -v f="$package" 'BEGIN {
  printf "%s, median of 7 runs:\n  ldd -r           %7.1f ms\n  pkginfo --check  %7.1f ms\n", f, l / 1000, c / 1000
  printf "  ratio %.2f (at most 1.5)\n", c / l
}'
