#!/usr/bin/env bash
# Installs quelta from this checkout, with the extras given (default: cli),
# into python3 or, where python3 is externally managed (Debian's), into the
# project venv .venv; installs the Debian packages the build lacks (g++,
# python3-dev, python3-venv) with apt-get; and puts the quelta command on PATH.
# See ci/python-env.sh. The system's pip is never upgraded.
#   bash ci/bootstrap.sh [EXTRAS]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=ci/python-env.sh
source ci/python-env.sh

python_env
"$PYTHON" -m pip install --quiet ".[${1:-cli}]"
link_command quelta
