#!/usr/bin/env bash
# tools/test.sh: sets up and runs every test: C++ core tests, formatting, and pytest on CPython 3.11-3.13
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

venv311="$(make_venv 3.11 '[test]')"

echo "== C++ core tests (CTest)"
"$venv311/bin/cmake" -S native -B build/core-tests -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$venv311/bin/ninja" -DTARVEL_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
"$venv311/bin/cmake" --build build/core-tests
"$venv311/bin/ctest" --test-dir build/core-tests --output-on-failure

echo "== clang-format"
git ls-files -z -- '*.cpp' '*.hpp' | xargs -0 "$venv311/bin/clang-format" --dry-run --Werror

for version in 3.11 3.12 3.13; do
    venv="$(make_venv "$version" '[test]')"
    echo "== pytest on CPython $version"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
done
