#!/usr/bin/env bash
# Reading + preprocessing of the kdoc corpus: medians for num_workers 1, 2, 0.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
CORPUS="${1:-/tmp/kdoc.txt}"
[ -f "$CORPUS" ] || xz -dc "$ROOT/../shared/corpora/kdoc.txt.xz" > "$CORPUS"
cmake -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEX_BUILD_MODULE=OFF \
  -DTARVEX_BUILD_BENCH=ON >/dev/null
cmake --build "$ROOT/build/bench" --target preprocess_bench >/dev/null
"$ROOT/build/bench/preprocess_bench" "$CORPUS" "${2:-3}"
