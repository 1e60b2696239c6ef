# Shared set-up for the project's scripts: finds Python 3.12, makes the
# virtual environment and installs the module into it. Source it, don't run it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${TARVEX_VENV:-$ROOT/.venv}"

find_python312() {
  if command -v pyenv >/dev/null 2>&1; then
    local v
    v="$(pyenv versions --bare 2>/dev/null | grep '^3\.12' | tail -1 || true)"
    if [ -n "$v" ]; then
      PYENV_VERSION="$v" pyenv which python3.12 2>/dev/null && return 0
    fi
  fi
  command -v python3.12 && return 0
  echo "python3.12 not found" >&2
  return 1
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ]; then
    local py
    py="$(find_python312)"
    "$py" -m venv "$VENV"
  fi
  "$VENV/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$VENV/bin/python" -m pip install -q "scikit-build-core>=0.10" cmake ninja "$@"
}

install_module() {
  "$VENV/bin/python" -m pip install -q --no-build-isolation "$ROOT"
}
