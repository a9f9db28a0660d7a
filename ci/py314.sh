#!/usr/bin/env bash
# Builds quelta and runs the whole test suite (C++ unit tests and pytest)
# under CPython 3.14 from Debian unstable, inside a chroot.
#
# The root file system is made once with mmdebstrap under a fixed path
# outside the checkout (QUELTA_PY314_ROOT) and reused by later runs. The
# checkout is bind-mounted at /src inside it; every mount is undone on every
# exit path.
set -euo pipefail

# shellcheck source=ci/chroot-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/chroot-lib.sh"
chroot_prepare

# Each run gets its own venv and build trees inside the chroot, so runs
# may overlap.
chroot "$ROOTFS" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    QUELTA_WERROR=ON /bin/bash -euo pipefail -c '
cd /src
echo "== $(python3.14 --version), NumPy $(python3.14 -c "import numpy; print(numpy.__version__)"), $(ldd --version | head -1)"
WORK=$(mktemp -d /tmp/quelta-ci.XXXXXX)
trap "rm -rf $WORK" EXIT
python3.14 -m venv --system-site-packages "$WORK/venv"
"$WORK/venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
    -Cbuild-dir="$WORK/build" .
PYTHON="$WORK/venv/bin/python" BUILD_DIR="$WORK/cpp" bash ci/run-tests.sh "$@"
' bash "$@"
