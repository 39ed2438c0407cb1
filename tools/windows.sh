#!/usr/bin/env bash
# tools/windows.sh: the Windows build, cross-compiled here: the C++ core tests built for x86_64
# Windows and run under Wine; the extension modules and the glue test module compiled and linked
# against CPython 3.12's and 3.13's headers, all with the warning flags of the Linux build as errors.
#
#   tools/windows.sh [VENV]    (VENV: a venv with the [test] extra, for CMake and Ninja)
#
# It uses Debian's mingw-w64 (GCC, msvcrt runtime) and Wine, installed with apt-get when run as
# root. What it cannot check: MSVC, the UCRT at run time, importing the modules into a Windows
# CPython, NTFS sharing violations, mandatory locks, MAX_PATH (docs/development.md, "Windows").
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ROOT"

WINDOWS_PACKAGES=(g++-mingw-w64-x86-64 mingw-w64-tools wine64 wine)
WINDOWS_PYTHONS=(3.12 3.13)
MINGW=x86_64-w64-mingw32
OUT="$ROOT/build/windows"

# Installs the cross compiler and Wine when they are missing. Prints why they cannot be had, or
# nothing.
windows_tools_problem() {
    local tool missing=()
    for tool in "$MINGW-g++-posix" "$MINGW-dlltool" wine; do
        command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    [ "$(id -u)" = 0 ] || {
        echo "no ${missing[*]} (as root: apt-get install ${WINDOWS_PACKAGES[*]})"
        return 0
    }
    say "installing mingw-w64 and Wine from Debian's packages (about a minute and 1.3 GB, once)"
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${WINDOWS_PACKAGES[@]}"; } \
        >/dev/null 2>&1 || {
        echo "apt-get could not install ${WINDOWS_PACKAGES[*]}"
        return 0
    }
    for tool in "$MINGW-g++-posix" "$MINGW-dlltool" wine; do
        command -v "$tool" >/dev/null 2>&1 || {
            echo "$tool is missing after installing ${WINDOWS_PACKAGES[*]}"
            return 0
        }
    done
}

problem="$(windows_tools_problem)"
if [ -z "$problem" ]; then
    for version in "${WINDOWS_PYTHONS[@]}"; do
        [ -n "$(newest_python "$version" || true)" ] ||
            problem="no CPython $version headers under $PYENV_ROOT/versions (pyenv install $version)"
    done
fi
if [ -n "$problem" ]; then
    say "Windows build: skipped: $problem"
    # CI has root and the package mirrors: there the Windows build must run.
    [ "${CI:-}" != true ] || exit 1
    exit 0
fi

venv="${1:-}"
if [ -n "$venv" ]; then
    venv="$(cd "$venv" && pwd)"
else
    venv="$(make_venv 3.12 '[test]' --config-settings=cmake.define.TARVEL_WERROR=ON \
        --config-settings=cmake.define.TARVEL_GLUE_TESTS=ON)"
fi
cmake=("$venv/bin/cmake" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja"
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DTARVEL_WERROR=ON)
# Wine keeps its own Windows in a folder of ours; no window, no prompt to install Mono or Gecko.
export WINEPREFIX="$OUT/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$OUT"

say "Windows: C++ core tests, cross-compiled and run under Wine (about 15 seconds; 700 MB for" \
    "Wine's own Windows folder, build/windows/wine, made on first use)"
"${cmake[@]}" -S native -B "$OUT/core-tests" -DTARVEL_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
"$venv/bin/cmake" --build "$OUT/core-tests"
"$venv/bin/ctest" --test-dir "$OUT/core-tests" --output-on-failure

for version in "${WINDOWS_PYTHONS[@]}"; do
    python="$(newest_python "$version")"
    nodot="${version//./}"
    headers="$(dirname "$(dirname "$python")")/include/python$version"
    # Python.h reads the pyconfig.h of its own folder: a copy of the headers with Windows' one,
    # their times kept, so that an unchanged build is not compiled again.
    tree="$OUT/python$nodot"
    rm -rf "$tree"
    mkdir -p "$tree"
    cp -Rp "$headers" "$tree/include"
    cp -p cmake/windows/pyconfig.h "$tree/include/pyconfig.h"
    "$venv/bin/python" tools/pyapi_def.py "$headers" "python$nodot.dll" >"$tree/python$nodot.def"
    "$MINGW-dlltool" -d "$tree/python$nodot.def" -D "python$nodot.dll" -l "$tree/libpython$nodot.dll.a"
    say "Windows: the modules against CPython $version's headers (about half a minute, 20 MB)"
    "${cmake[@]}" -S . -B "$OUT/cp$nodot" -DCMAKE_BUILD_TYPE=Release -DTARVEL_GLUE_TESTS=ON \
        -DPython_INCLUDE_DIR="$tree/include" \
        -DPython_LIBRARY="$tree/libpython$nodot.dll.a" -DPython_SOABI="cp$nodot-win_amd64" >/dev/null
    "$venv/bin/cmake" --build "$OUT/cp$nodot"
done
