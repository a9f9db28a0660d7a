#!/usr/bin/env bash
# Builds quelta and runs the whole test suite (C++ unit tests and pytest)
# under CPython 3.14 from Debian unstable, inside a chroot.
#
# The root file system is made once with mmdebstrap under a fixed path
# outside the checkout (QUELTA_PY314_ROOT) and reused by later runs. The
# checkout is bind-mounted at /src inside it; every mount is undone on every
# exit path.
set -euo pipefail

ROOTFS=${QUELTA_PY314_ROOT:-/var/cache/quelta/sid-py314}
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PACKAGES=python3.14,python3.14-dev,python3.14-venv,python3-numpy,python3-numpy-dev,python3-pytest
PACKAGES+=,python3-scipy,python3-mpmath,python3-hypothesis,python3-scikit-build-core,python3-pip
PACKAGES+=,g++,cmake,ninja-build,libgtest-dev

if [ "$(id -u)" -ne 0 ]; then
    echo "py314.sh: needs root (mmdebstrap, mount, chroot)" >&2
    exit 1
fi

if [ ! -x "$ROOTFS/usr/bin/python3.14" ]; then
    if ! command -v mmdebstrap >/dev/null; then
        apt-get update -qq
        apt-get install -y -qq mmdebstrap >/dev/null
    fi
    echo "py314.sh: creating the CPython 3.14 tree at $ROOTFS"
    mkdir -p "$(dirname "$ROOTFS")"
    rm -rf "$ROOTFS.tmp"
    # The mirror's unstable index can be older than its Valid-Until date.
    mmdebstrap --quiet --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' \
        --include="$PACKAGES" sid "$ROOTFS.tmp"
    mv "$ROOTFS.tmp" "$ROOTFS"
fi

MOUNTS=()
cleanup() {
    local i
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTS[i]}" 2>/dev/null || umount -l "${MOUNTS[i]}" || true
    done
}
trap cleanup EXIT INT TERM

bind() {  # bind <source> <target inside the tree>
    mkdir -p "$ROOTFS$2"
    mount --bind "$1" "$ROOTFS$2"
    MOUNTS+=("$ROOTFS$2")
}

bind "$SRC" /src
bind /dev /dev
mkdir -p "$ROOTFS/proc"
mount -t proc proc "$ROOTFS/proc"
MOUNTS+=("$ROOTFS/proc")
cp /etc/resolv.conf "$ROOTFS/etc/resolv.conf" 2>/dev/null || true

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
