# Sourced by the other scripts: a virtual environment of the project's own at $VENV
# (default .venv) with the package built and installed from this checkout.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"
PYTHON="${PYTHON:-python3}"
if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install -q --upgrade pip
install_project() {
  # $1: pip extras, e.g. "test"; remaining: extra pip arguments
  local extras="$1"; shift
  "$VENV/bin/python" -m pip install -q "$@" "$ROOT[$extras]"
}
