#!/usr/bin/env bash
# Single-thread encoding speed of the core (no Python) on the held-out kdoc
# lines (1-based line numbers that are multiples of 10).
# Usage: bench/dp_bench.sh TOKENIZER_DIR [RUNS]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DIR="${1:?usage: dp_bench.sh TOKENIZER_DIR [RUNS]}"
HELD="$ROOT/build/bench/kdoc_heldout.txt"
mkdir -p "$ROOT/build/bench"
[ -f "$HELD" ] || xz -dc "$ROOT/../shared/corpora/kdoc.txt.xz" | awk 'NR % 10 == 0 && NF > 0' > "$HELD"
cmake -S "$ROOT" -B "$ROOT/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVEX_BUILD_MODULE=OFF \
  -DTARVEX_BUILD_BENCH=ON >/dev/null
cmake --build "$ROOT/build/bench" --target dp_bench >/dev/null
"$ROOT/build/bench/dp_bench" "$DIR/vocab.json" "$HELD" "${2:-5}"
