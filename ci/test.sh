#!/usr/bin/env bash
# Installs everything the test suite needs (GoogleTest from Debian, CMake and
# Ninja from PyPI, the package with its cli and test extras) into the
# interpreter ci/bootstrap.sh uses, and runs the whole suite (C++ unit tests,
# then pytest). Arguments go to pytest.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=ci/python-env.sh
source ci/python-env.sh

gtest=()
[ -f /usr/include/gtest/gtest.h ] || gtest=(libgtest-dev)
python_env "${gtest[@]}"
"$PYTHON" -m pip install --quiet cmake ninja
QUELTA_WERROR=ON "$PYTHON" -m pip install --quiet '.[cli,test]'
PYTHON="$PYTHON" bash ci/run-tests.sh "$@"
