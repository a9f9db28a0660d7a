#!/usr/bin/env bash
# Lint and type checks, with tools pinned here and installed from PyPI into a
# venv of their own (build/lint-venv, remade when the pins change):
#   ruff         lint and format check of quelta/ (rules in pyproject.toml)
#   mypy         strict type check of quelta/ (pyproject.toml)
#   clang-format formatting of numeric/, quelta/ and tests/cpp/ (.clang-format)
#   clang-tidy   numeric/ and the extension module, over the compile commands
#                of a CMake configure in build/lint (.clang-tidy)
#   bash ci/lint.sh [ruff|mypy|clang-format|clang-tidy]...   (default: all)
# .pre-commit-config.yaml runs the same commands.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

TOOLS=(ruff==0.17.6 mypy==2.4.1 clang-format==23.1.5 clang-tidy==23.1.4
       numpy==2.4.6 cmake==4.4.5 ninja==1.13.2)
VENV=build/lint-venv
if [ "$(cat "$VENV/pins" 2>/dev/null)" != "${TOOLS[*]}" ]; then
    rm -rf "$VENV"
    python3 -m venv "$VENV"
    "$VENV/bin/python" -m pip install --quiet "${TOOLS[@]}"
    echo "${TOOLS[*]}" >"$VENV/pins"
fi
BIN=$PWD/$VENV/bin

status=0
check() {  # check NAME COMMAND...: runs a check, reports its time, keeps going
    local start=$SECONDS
    if "${@:2}"; then
        echo "lint.sh: $1 ok ($((SECONDS - start)) s)"
    else
        echo "lint.sh: $1 FAILED" >&2
        status=1
    fi
}

tidy() {
    cmake -S . -B build/lint -G Ninja -DCMAKE_MAKE_PROGRAM="$BIN/ninja" \
        -DPython_EXECUTABLE="$BIN/python" -DQUELTA_BUILD_EXTENSION=ON \
        -DQUELTA_BUILD_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
    # The module includes every header of numeric/; HeaderFilterRegex reports them.
    "$BIN/clang-tidy" -p build/lint --quiet quelta/black_core.cpp
}

PATH=$BIN:$PATH
mapfile -t CXX_FILES < <(git ls-files 'numeric/*.hpp' 'quelta/*.cpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp')
CHECKS=("$@")
[ "${#CHECKS[@]}" -gt 0 ] || CHECKS=(ruff mypy clang-format clang-tidy)
for name in "${CHECKS[@]}"; do
    case "$name" in
        ruff) check ruff sh -c 'ruff check quelta && ruff format --check quelta' ;;
        mypy) check mypy mypy ;;
        clang-format) check clang-format clang-format --dry-run -Werror "${CXX_FILES[@]}" ;;
        clang-tidy) check clang-tidy tidy ;;
        *) echo "lint.sh: unknown check $name" >&2; exit 2 ;;
    esac
done
exit "$status"
