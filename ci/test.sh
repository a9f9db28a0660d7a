#!/usr/bin/env bash
# Installs everything the test suite needs on this machine's Python and runs
# the whole suite (C++ unit tests, then pytest).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}

if [ ! -f /usr/include/gtest/gtest.h ] && command -v apt-get >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq libgtest-dev >/dev/null
fi
"$PYTHON" -m pip install --quiet --upgrade pip
"$PYTHON" -m pip install --quiet cmake ninja
QUELTA_WERROR=ON "$PYTHON" -m pip install --quiet '.[test]'
PYTHON="$PYTHON" bash ci/run-tests.sh "$@"
