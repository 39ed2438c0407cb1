# tools/common.sh: venv set-up shared by the demo, test and wheel commands (sourced, not run)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYENV_ROOT="${PYENV_ROOT:-$HOME/.pyenv}"

# A progress line, on stderr so that it shows while a function's output is captured.
say() {
    printf '== %s\n' "$*" >&2
}

# The newest installed CPython of a minor version, from pyenv's versions folder.
python_for() {
    local found
    found="$(ls -d "$PYENV_ROOT"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -n 1)"
    [ -n "$found" ] || { echo "no CPython $1 under $PYENV_ROOT/versions" >&2; return 1; }
    echo "$found"
}

# A digest of everything a build of the modules reads: a venv whose stamp holds
# the same digest has that build installed already.
source_digest() {
    (cd "$ROOT" && find CMakeLists.txt cmake native glue core skills tests/glue pyproject.toml README.md \
        -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -c1-64)
}

# One clear line, instead of CMake's, when there is no C++ compiler to build with.
require_compiler() {
    command -v "${CXX:-c++}" >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 ||
        command -v clang++ >/dev/null 2>&1 || {
        echo "no C++ compiler found: install g++ (Debian/Ubuntu: apt-get install g++) or clang++" >&2
        return 1
    }
}

# make_venv VERSION EXTRAS [PIP OPTIONS...]: a venv in .venv/VERSION with the
# project built from source and installed; skipped when the sources, extras and
# options are those of the last install there.
make_venv() {
    local version="$1" extras="$2" venv="$ROOT/.venv/$1" stamp digest
    shift 2
    if [ ! -x "$venv/bin/python" ]; then
        say "creating .venv/$version"
        "$(python_for "$version")" -m venv "$venv"
    fi
    stamp="$venv/.tarvel-build"
    digest="$(source_digest) $extras $*"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ]; then
        say "CPython $version: the installed build is current"
    else
        require_compiler
        say "CPython $version: building and installing the modules${extras:+ with $extras} (a minute or two)"
        rm -f "$stamp"
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$@" "$ROOT$extras" >&2
        echo "$digest" >"$stamp"
    fi
    echo "$venv"
}
