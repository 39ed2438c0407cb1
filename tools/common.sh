# tools/common.sh: venv set-up shared by the demo, test and wheel commands (sourced, not run)
# shellcheck shell=bash
set -euo pipefail
# A failure inside $(...) stops the command substitution too, so that a caller's
# `venv="$(make_venv ...)"` stops the script instead of going on without a venv.
shopt -s inherit_errexit
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYENV_ROOT="${PYENV_ROOT:-$HOME/.pyenv}"

# A progress line, on stderr so that it shows while a function's output is captured.
say() {
    printf '== %s\n' "$*" >&2
}

# The newest installed CPython of a minor version, from pyenv's versions folder.
newest_python() {
    # shellcheck disable=SC2012 # names of versions: digits and dots
    ls -d "$PYENV_ROOT"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -n 1
}

# require_pythons VERSION...: nothing when all are installed; else one line
# naming every missing CPython and how to get it, and a failure.
require_pythons() {
    local version missing=()
    for version in "$@"; do
        [ -n "$(newest_python "$version" || true)" ] || missing+=("$version")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    if [ -d "$PYENV_ROOT/versions" ]; then
        echo "no CPython ${missing[*]} under $PYENV_ROOT/versions: install with \`pyenv install ${missing[*]}\`" >&2
    else
        echo "no CPython ${missing[*]}: no pyenv in $PYENV_ROOT (set PYENV_ROOT, or install pyenv," \
            "https://github.com/pyenv/pyenv#installation, then \`pyenv install ${missing[*]}\`)" >&2
    fi
    return 1
}

# The path of that CPython, or the line of require_pythons and a failure.
python_for() {
    require_pythons "$1"
    newest_python "$1"
}

# with_python VERSION ARGS...: runs that CPython with ARGS. A missing CPython
# fails this command itself and so stops the caller, where "$(python_for ...)"
# as a command's name would go on to "command not found".
with_python() {
    local python
    python="$(python_for "$1")" || return 1
    shift
    "$python" "$@"
}

# A digest of everything a build of the modules reads: a venv whose stamp holds
# the same digest has that build installed already.
source_digest() {
    (cd "$ROOT" && find CMakeLists.txt cmake native glue core skills admin tests/glue pyproject.toml README.md \
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

# make_venv VERSION[-NAME] EXTRAS [PIP OPTIONS...]: a venv in .venv/VERSION (or
# .venv/VERSION-NAME, for a second build on that version) with the project built
# from source and installed; skipped when the sources, extras and options are
# those of the last install there.
make_venv() {
    local name="$1" version="${1%%-*}" extras="$2" venv="$ROOT/.venv/$1" stamp digest
    shift 2
    if [ ! -x "$venv/bin/python" ]; then
        require_pythons "$version"
        say "creating .venv/$name (about 200 MB once built)"
        with_python "$version" -m venv "$venv"
    fi
    stamp="$venv/.tarvel-build"
    digest="$(source_digest) $extras $*"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ]; then
        say "CPython $version (.venv/$name): the installed build is current"
    else
        require_compiler
        say "CPython $version (.venv/$name): building and installing the modules${extras:+ with $extras} (a minute or two)"
        rm -f "$stamp"
        "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$@" "$ROOT$extras" >&2
        echo "$digest" >"$stamp"
    fi
    echo "$venv"
}
