#!/usr/bin/env bash
# Runs the whole test suite on a fresh machine: C++ unit tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the Python tests
# against the installed module.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/share/unicode/UnicodeData.txt ] || need+=(unicode-data)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && apt-get install -y -qq "${need[@]}" >/dev/null
fi

ensure_venv pytest pyarrow "transformers>=5,<6"
export PATH="$VENV/bin:$PATH"

echo "== C++ unit tests (ASan + UBSan) =="
BUILD="$ROOT/build/cpp-sanitize"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVEX_BUILD_MODULE=OFF \
  -DTARVEX_BUILD_TESTS=ON -DTARVEX_SANITIZE=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)"

echo "== Python tests =="
install_module
cd "$ROOT"
"$VENV/bin/python" -m pytest -q tests/python "$@"

# The emitted tokenizer module must also work with the last 4.x transformers,
# whose base class differs (batch_encode_plus, __call__ arguments).
echo "== Emitted module under transformers 4.x =="
VENV4="${TARVEX_VENV4:-$ROOT/.venv-tf4}"
TARVEX_VENV="$VENV4" bash -c 'source "$1/scripts/common.sh"; ensure_venv pytest "transformers>=4.50,<5"; install_module' _ "$ROOT"
"$VENV4/bin/python" -m pytest -q tests/python/test_hf_module.py
