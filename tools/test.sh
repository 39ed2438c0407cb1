#!/usr/bin/env bash
# tools/test.sh: sets up and runs every test: C++ core tests, formatting, the Windows cross build,
# and pytest on CPython 3.11-3.15 (and once more on 3.12 with the portable file steps)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
source "$(dirname "${BASH_SOURCE[0]}")/newer.sh"
cd "$ROOT"

PYENV_VERSIONS=(3.11 3.12 3.13)
# TARVEL_PYTHONS="3.12 3.14" (or "3.12,3.14") tests only those CPython versions;
# the C++ core tests and clang-format run all the same. CI tests every version.
selected=("${PYENV_VERSIONS[@]}" "${NEWER_VERSIONS[@]}")
if [ -n "${TARVEL_PYTHONS:-}" ]; then
    if [ "${CI:-}" = true ]; then
        say "TARVEL_PYTHONS is ignored in CI: testing every CPython version"
    else
        read -r -a selected <<<"${TARVEL_PYTHONS//,/ }"
        for version in "${selected[@]}"; do
            case " ${PYENV_VERSIONS[*]} ${NEWER_VERSIONS[*]} " in
            *" $version "*) ;;
            *)
                echo "TARVEL_PYTHONS: no CPython $version here: choose from ${PYENV_VERSIONS[*]} ${NEWER_VERSIONS[*]}" >&2
                exit 1
                ;;
            esac
        done
    fi
fi
chosen() {
    case " ${selected[*]} " in *" $1 "*) return 0 ;; esac
    return 1
}
pyenv_chosen=() newer_chosen=()
for version in "${PYENV_VERSIONS[@]}"; do
    if chosen "$version"; then pyenv_chosen+=("$version"); fi
done
for version in "${NEWER_VERSIONS[@]}"; do
    if chosen "$version"; then newer_chosen+=("$version"); fi
done
# CMake, Ninja and clang-format come from the first chosen pyenv venv.
tools_version="${pyenv_chosen[0]:-3.11}"
require_pythons "${pyenv_chosen[@]:-$tools_version}"

say "testing CPython ${pyenv_chosen[*]}${newer_chosen[*]:+ ${newer_chosen[*]}} (all five from cold: about 24 minutes" \
    "and 3.1 GB: a venv of about 200 MB per version and one more for the portable file steps, the Debian" \
    "root of 3.14 and 3.15 1.1 GB, the Windows build 0.7 GB; mingw-w64 and Wine, if installed here, 1.3 GB)"

# The test command builds with warnings as errors and with the test-only glue module;
# a user's pip install does neither.
STRICT=(--config-settings=cmake.define.TARVEL_WERROR=ON --config-settings=cmake.define.TARVEL_GLUE_TESTS=ON)

tools_venv="$(make_venv "$tools_version" '[test]' "${STRICT[@]}")"

say "C++ core tests (CTest)"
"$tools_venv/bin/cmake" -S native -B build/core-tests -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$tools_venv/bin/ninja" -DTARVEL_CORE_TESTS=ON -DTARVEL_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
"$tools_venv/bin/cmake" --build build/core-tests
"$tools_venv/bin/ctest" --test-dir build/core-tests --output-on-failure

say "clang-format"
git ls-files -z -- '*.cpp' '*.hpp' | xargs -0 "$tools_venv/bin/clang-format" --dry-run --Werror

# Cross-compiled for Windows: the core tests under Wine, the modules against 3.12's and 3.13's headers.
"$ROOT/tools/windows.sh" "$tools_venv"

# Root passes every permission check; the tests that need permissions to bind run again
# with the capabilities that bypass them dropped (setpriv), as an ordinary user would.
drop_bypass=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null 2>&1; then
    # shellcheck disable=SC2054 # the commas are setpriv's
    drop_bypass=(setpriv --bounding-set=-dac_override,-dac_read_search,-fowner --)
elif [ "$(id -u)" = 0 ]; then
    say "tests that need binding permissions, without root's bypass: skipped: no setpriv (apt-get install util-linux)"
    [ "${CI:-}" != true ] || exit 1
fi

for version in "${pyenv_chosen[@]}"; do
    venv="$(make_venv "$version" '[test]' "${STRICT[@]}")"
    say "pytest on CPython $version (about a minute)"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
    if [ "${#drop_bypass[@]}" -gt 0 ]; then
        say "pytest on CPython $version: tests that need binding permissions, without root's bypass"
        "${drop_bypass[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider -m needs_permissions
    fi
done

# Once more with the POSIX-only native file steps left out: the paths a Windows build takes,
# through Python's os, io and pathlib, on one CPython version (3.12 when it is chosen).
portable_version=""
if chosen 3.12; then
    portable_version=3.12
elif [ "${#pyenv_chosen[@]}" -gt 0 ]; then
    portable_version="${pyenv_chosen[0]}"
fi
if [ -n "$portable_version" ]; then
    venv="$(make_venv "$portable_version-portable" '[test]' "${STRICT[@]}" \
        --config-settings=cmake.define.TARVEL_PORTABLE_FILES=ON \
        "--config-settings=build-dir=build/portable-{wheel_tag}")"
    say "pytest on CPython $portable_version with the portable file steps (about a minute)"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
fi

[ "${#newer_chosen[@]}" -gt 0 ] || exit 0
problem="$(newer_root_problem)"
if [ -n "$problem" ]; then
    say "CPython ${newer_chosen[*]}: skipped: $problem"
    # CI has root and the package mirrors: there the newer versions must run.
    [ "${CI:-}" != true ] || exit 1
    exit 0
fi
copy_into_newer_root
for version in "${newer_chosen[@]}"; do
    newer_venv "$version" '[test]' "${STRICT[@]}"
    say "pytest on CPython $version (Debian unstable root, about a minute)"
    in_newer_root "cd /src/tarvel-native && /venv$version/bin/python -m pytest -q -p no:cacheprovider $*"
    if [ "${#drop_bypass[@]}" -gt 0 ]; then
        say "pytest on CPython $version: tests that need binding permissions, without root's bypass"
        in_newer_root "cd /src/tarvel-native && ${drop_bypass[*]} /venv$version/bin/python -m pytest -q \
            -p no:cacheprovider -m needs_permissions"
    fi
done
