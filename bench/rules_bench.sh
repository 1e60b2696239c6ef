#!/usr/bin/env bash
# Admissibility filter and directory writer throughput on the real corpus.
# usage: bench/rules_bench.sh [lines] [runs]   (defaults: 20000 lines, 3 runs)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LINES="${1:-20000}"
RUNS="${2:-3}"
CORPUS="${TARVEX_CORPUS:-$ROOT/../shared/corpora/kdoc.txt.xz}"
BUILD="$ROOT/build/bench-release"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEX_BUILD_MODULE=OFF >/dev/null
cmake --build "$BUILD" -j2 --target tarvex_core >/dev/null
g++ -std=c++20 -O2 -Wall -Wextra -I"$ROOT/src" "$ROOT/bench/rules_bench.cpp" "$BUILD/libtarvex_core.a" \
  -lpthread -o "$BUILD/rules_bench"

SLICE="$(mktemp)"
trap 'rm -f "$SLICE"' EXIT
xz -dc "$CORPUS" | head -n "$LINES" >"$SLICE" || true
"$BUILD/rules_bench" "$SLICE" "$RUNS"
