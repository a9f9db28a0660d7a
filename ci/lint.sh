#!/usr/bin/env bash
# Lint and type checks, with tools pinned here and installed from PyPI into a
# venv of their own (build/lint-venv, remade when the pins change):
#   ruff         lint and format check of quelta/, tests/ and benchmarks/
#                (rules in pyproject.toml)
#   mypy         strict type check of quelta/ (pyproject.toml)
#   clang-format formatting of numeric/, quelta/ (kernels/ too), tests/cpp/
#                and tests/fuzz/ (.clang-format)
#   clang-tidy   every C++ unit of the library and the headers it includes,
#                over the compile commands of the tidy preset (.clang-tidy)
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
    cmake --preset tidy -DCMAKE_MAKE_PROGRAM="$BIN/ninja" -DPython_EXECUTABLE="$BIN/python" \
        >/dev/null
    # Every unit of the library: the two modules and each instruction set's
    # kernel; HeaderFilterRegex reports the headers of numeric/ and quelta/.
    "$BIN/clang-tidy" -p build/lint --quiet "${CXX_UNITS[@]}"
}

PATH=$BIN:$PATH
# (A pathspec's * also matches /: quelta/*.cpp takes in quelta/kernels/.)
mapfile -t CXX_UNITS < <(git ls-files 'quelta/*.cpp')
mapfile -t CXX_FILES < <(git ls-files 'numeric/*.hpp' 'quelta/*.cpp' 'quelta/*.hpp' \
    'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'tests/fuzz/*.cpp')
CHECKS=("$@")
[ "${#CHECKS[@]}" -gt 0 ] || CHECKS=(ruff mypy clang-format clang-tidy)
for name in "${CHECKS[@]}"; do
    case "$name" in
        ruff) check ruff sh -c 'ruff check "$@" && ruff format --check "$@"' ruff \
            quelta tests benchmarks ;;
        mypy) check mypy mypy ;;
        clang-format) check clang-format clang-format --dry-run -Werror "${CXX_FILES[@]}" ;;
        clang-tidy) check clang-tidy tidy ;;
        *) echo "lint.sh: unknown check $name" >&2; exit 2 ;;
    esac
done
exit "$status"
