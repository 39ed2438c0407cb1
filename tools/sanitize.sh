#!/usr/bin/env bash
# tools/sanitize.sh: the modules built with AddressSanitizer and UndefinedBehaviorSanitizer run the whole pytest suite
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"
version="${TARVEL_SANITIZE_PYTHON:-3.12}"
venv="$ROOT/.venv/sanitize-$version"
require_pythons "$version"
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"

if [ ! -x "$venv/bin/python" ]; then
    say "creating .venv/sanitize-$version"
    with_python "$version" -m venv "$venv"
fi
require_compiler
say "CPython $version: building the modules with ASan and UBSan (a few minutes)"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    --config-settings=build-dir="build/sanitize-{wheel_tag}" \
    --config-settings=cmake.build-type=RelWithDebInfo \
    --config-settings=cmake.define.TARVEL_WERROR=ON \
    --config-settings=cmake.define.TARVEL_GLUE_TESTS=ON \
    --config-settings=cmake.define.CMAKE_CXX_FLAGS="$flags" \
    --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    "${ROOT}[test]" >&2

# The interpreter itself is not instrumented: the sanitizer runtime goes first,
# with libstdc++ beside it so that the first C++ throw is intercepted. Python
# keeps memory until exit on purpose, so leak reports are off; every other
# report stops the run.
preload="$(${CXX:-g++} -print-file-name=libasan.so) $(${CXX:-g++} -print-file-name=libstdc++.so)"
say "pytest on CPython $version under ASan and UBSan"
LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
