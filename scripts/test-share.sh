#!/bin/sh
# Prints the tests' share of the code: non-blank lines of C and C++ in tests/ and
# packages/test against those of the product (the framework, the program and its
# windows, the tools and the demo packages). Benchmarks and fuzz targets count as
# neither. Exits 1 when the share is above the limit given (a fraction, e.g. 0.34).
set -eu
cd "$(dirname "$0")/.."
count() {
  git ls-files -- "$@" | grep -E '\.(cpp|h|hpp|c)$' | tr '\n' '\0' | xargs -0r cat | grep -cv '^[[:space:]]*$' || true
}
tests=$(( $(count tests) + $(count packages/test) ))
product=$(count platform app workbench inspector palette preview tools packages/demo)
awk -v t="$tests" -v p="$product" -v limit="${1:-}" 'BEGIN {
  share = t / (t + p)
  printf "tests: %d of %d non-blank lines, a share of %.3f\n", t, t + p, share
  if (limit != "" && share > limit + 0) { printf "above the limit of %s\n", limit; exit 1 }
}'
