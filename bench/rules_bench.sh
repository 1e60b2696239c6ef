#!/usr/bin/env bash
# Admissibility filter and directory writer throughput on the start of the
# kdoc corpus. usage: bench/rules_bench.sh [lines] [runs]  (20000 lines, 3 runs)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LINES="${1:-20000}"
SLICE="$(mktemp)"
trap 'rm -f "$SLICE"' EXIT
xz -dc "$ROOT/../shared/corpora/kdoc.txt.xz" | head -n "$LINES" >"$SLICE" || true
cmake -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEX_BUILD_MODULE=OFF \
  -DTARVEX_BUILD_BENCH=ON >/dev/null
cmake --build "$ROOT/build/bench" --target rules_bench >/dev/null
"$ROOT/build/bench/rules_bench" "$SLICE" "${2:-3}"
