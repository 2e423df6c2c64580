#!/usr/bin/env bash
# Zentu's capture against wget and wget2, first in the usual temporary folder,
# then on tmpfs, where creating and deleting files costs next to nothing: the
# difference between the two runs is what the disk adds to each program.
#   bench/compare_capture.sh [benchmark options]   (REPS=3 by default)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BENCH="${ZENTU_BUILD_DIR:-$ROOT/build}/bench/bench_capture"
if [ ! -x "$BENCH" ]; then
  echo "$BENCH is missing: build it first (scripts/dev bench)" >&2
  exit 2
fi
run() {
  "$BENCH" --benchmark_repetitions="${REPS:-3}" --benchmark_report_aggregates_only=true \
           --benchmark_filter="${FILTER:-.}" "$@" 2>&1 | grep -E '^(Benchmark|BM_.*_(median|mean))'
}
echo "== temporary folder ${TMPDIR:-/tmp}"
run "$@"
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  echo "== tmpfs /dev/shm"
  TMPDIR=/dev/shm run "$@"
fi
