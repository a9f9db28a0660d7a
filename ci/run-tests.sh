#!/usr/bin/env bash
# Runs the whole test suite against an already installed quelta: the C++
# unit tests of the numeric core (CTest) and the pytest suite.
#   PYTHON     interpreter that has quelta installed (default: python3)
#   BUILD_DIR  build tree for the C++ tests (default: build/cpp)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
BUILD_DIR=${BUILD_DIR:-build/cpp}

# The dev preset (CMakePresets.json) holds the flags, in a tree of our own.
cmake --preset dev -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR"
ctest --test-dir "$BUILD_DIR" --output-on-failure

# -P keeps the checkout off sys.path, so the installed package is tested.
"$PYTHON" -P -m pytest "$@"
