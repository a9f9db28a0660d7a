#!/usr/bin/env bash
# Builds quelta and runs the whole test suite (C++ unit tests and pytest)
# under CPython 3.14 from Debian unstable, inside a chroot.
#
# The root file system is made once with mmdebstrap under a fixed path
# outside the checkout (QUELTA_PY314_ROOT) and reused by later runs. The
# checkout is bind-mounted inside it (chroot-lib.sh); every mount is undone on every
# exit path.
set -euo pipefail

# shellcheck source=ci/chroot-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/chroot-lib.sh"
chroot_prepare

# Debian packages no pyarrow, Dask or tqdm for 3.14: their cp314 wheels (and
# pandas' and matplotlib's) are fetched here, where pip knows the network, into the checkout's
# build tree, and installed in the chroot without an index. NumPy stays
# Debian's: its wheel is left out and nothing is installed with its deps.
WHEELS=build/py314-wheels.$$
trap 'rm -rf "${SRC:?}/$WHEELS"; cleanup' EXIT INT TERM
python3 -m pip download --quiet --disable-pip-version-check --only-binary=:all: \
    --python-version 3.14 --implementation cp --platform manylinux_2_28_x86_64 \
    --platform manylinux_2_17_x86_64 --platform manylinux2014_x86_64 --platform any \
    -d "$SRC/$WHEELS" pyarrow tqdm pandas 'dask[dataframe]' distributed matplotlib
rm -f "$SRC/$WHEELS"/numpy-*.whl

# Each run gets its own venv and build trees inside the chroot, so runs
# may overlap.
chroot "$ROOTFS" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    QUELTA_WERROR=ON SRC_DIR="$INNER" /bin/bash -euo pipefail -c '
cd "$SRC_DIR"
echo "== $(python3.14 --version), NumPy $(python3.14 -c "import numpy; print(numpy.__version__)"), $(ldd --version | head -1)"
WORK=$(mktemp -d /tmp/quelta-ci.XXXXXX)
trap "rm -rf $WORK" EXIT
python3.14 -m venv --system-site-packages "$WORK/venv"
"$WORK/venv/bin/python" -m pip install --quiet --no-index --no-deps '"$WHEELS"'/*.whl
"$WORK/venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
    -Cbuild-dir="$WORK/build" .
PYTHON="$WORK/venv/bin/python" BUILD_DIR="$WORK/cpp" bash ci/run-tests.sh "$@"
' bash "$@"
