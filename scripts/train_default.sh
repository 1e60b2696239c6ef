#!/usr/bin/env bash
# The main job: trains a vocabulary and writes the tokenizer directory.
# Usage: scripts/train_default.sh [CORPUS_FILE] [OUT_DIR] [AIM_TOKEN_NUM]
# Without a corpus, one is gathered from the docstrings of the installed
# Python standard library, so nothing needs downloading.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_venv
install_module
CORPUS="${1:-}"
OUT="${2:-$ROOT/out/tokenizer}"
AIM="${3:-8000}"
if [ -z "$CORPUS" ]; then
  CORPUS="$ROOT/build/stdlib_corpus.txt"
  mkdir -p "$(dirname "$CORPUS")"
  "$VENV/bin/python" "$ROOT/tools/stdlib_corpus.py" "$CORPUS"
fi
"$VENV/bin/python" "$ROOT/tools/train.py" "$CORPUS" "$OUT" --aim-token-num "$AIM"
