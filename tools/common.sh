# tools/common.sh: venv set-up shared by the demo and test commands (sourced, not run)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYENV_ROOT="${PYENV_ROOT:-$HOME/.pyenv}"

# The newest installed CPython of a minor version, from pyenv's versions folder.
python_for() {
    local found
    found="$(ls -d "$PYENV_ROOT"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -n 1)"
    [ -n "$found" ] || { echo "no CPython $1 under $PYENV_ROOT/versions" >&2; return 1; }
    echo "$found"
}

# make_venv VERSION EXTRAS: a venv in .venv/VERSION with the project installed (built from source).
make_venv() {
    local version="$1" extras="$2" venv="$ROOT/.venv/$1"
    [ -x "$venv/bin/python" ] || "$(python_for "$version")" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$ROOT$extras"
    echo "$venv"
}
