#!/usr/bin/env bash
# tools/test.sh: sets up and runs every test: C++ core tests, formatting, and pytest on CPython 3.11-3.15
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/newer.sh"
cd "$ROOT"

# The test command builds with warnings as errors and with the test-only glue module;
# a user's pip install does neither.
STRICT=(--config-settings=cmake.define.TARVEL_WERROR=ON --config-settings=cmake.define.TARVEL_GLUE_TESTS=ON)

venv311="$(make_venv 3.11 '[test]' "${STRICT[@]}")"

say "C++ core tests (CTest)"
"$venv311/bin/cmake" -S native -B build/core-tests -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$venv311/bin/ninja" -DTARVEL_CORE_TESTS=ON -DTARVEL_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
"$venv311/bin/cmake" --build build/core-tests
"$venv311/bin/ctest" --test-dir build/core-tests --output-on-failure

say "clang-format"
git ls-files -z -- '*.cpp' '*.hpp' | xargs -0 "$venv311/bin/clang-format" --dry-run --Werror

# Root passes every permission check; the tests that need permissions to bind run again
# with the capabilities that bypass them dropped (setpriv), as an ordinary user would.
drop_bypass=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null 2>&1; then
    drop_bypass=(setpriv --bounding-set=-dac_override,-dac_read_search,-fowner --)
fi

for version in 3.11 3.12 3.13; do
    venv="$(make_venv "$version" '[test]' "${STRICT[@]}")"
    say "pytest on CPython $version"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
    if [ "${#drop_bypass[@]}" -gt 0 ]; then
        say "pytest on CPython $version: tests that need binding permissions, without root's bypass"
        "${drop_bypass[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider -m needs_permissions
    fi
done

problem="$(newer_root_problem)"
if [ -n "$problem" ]; then
    say "CPython ${NEWER_VERSIONS[*]}: skipped: $problem"
    # CI has root and the package mirrors: there the newer versions must run.
    [ "${CI:-}" != true ] || exit 1
    exit 0
fi
copy_into_newer_root
for version in "${NEWER_VERSIONS[@]}"; do
    newer_venv "$version" '[test]' "${STRICT[@]}"
    say "pytest on CPython $version (Debian unstable root)"
    in_newer_root "cd /src/tarvel-native && /venv$version/bin/python -m pytest -q -p no:cacheprovider $*"
    if [ "${#drop_bypass[@]}" -gt 0 ]; then
        say "pytest on CPython $version: tests that need binding permissions, without root's bypass"
        in_newer_root "cd /src/tarvel-native && ${drop_bypass[*]} /venv$version/bin/python -m pytest -q \
            -p no:cacheprovider -m needs_permissions"
    fi
done
