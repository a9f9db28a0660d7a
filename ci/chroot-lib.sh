# Sourced by the scripts that work inside the Debian unstable tree with
# CPython 3.14 (ci/py314.sh, ci/freethreaded.sh); not run on its own.
#
# chroot_prepare checks for root, makes the root file system once with
# mmdebstrap under a fixed path outside the checkout (QUELTA_PY314_ROOT) and
# bind-mounts the checkout at $INNER (/src.PID) inside it, with /dev and /proc;
# every mount is undone on every exit path. Afterwards $ROOTFS is the tree, $SRC
# the checkout and $INNER its path in the tree. The mount point is the run's
# own: a run killed before its cleanup (SIGKILL, a machine stopped) leaves its
# mounts behind, and a bind onto a mount point whose checkout has since been
# deleted fails, as would a run overlapping another's. Messages carry the name
# of the sourcing script.

ROOTFS=${QUELTA_PY314_ROOT:-/var/cache/quelta/sid-py314}
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PACKAGES=python3.14,python3.14-dev,python3.14-venv,python3-numpy,python3-numpy-dev,python3-pytest
PACKAGES+=,python3-scipy,python3-mpmath,python3-hypothesis,python3-scikit-build-core,python3-pip
PACKAGES+=,g++,cmake,ninja-build,libgtest-dev

CHROOT_SCRIPT=${0##*/}
INNER=/src.$$
MOUNTS=()

cleanup() {
    local i
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTS[i]}" 2>/dev/null || umount -l "${MOUNTS[i]}" || true
    done
    rmdir "$ROOTFS$INNER" 2>/dev/null || true
}

bind() {  # bind <source> <target inside the tree>
    mkdir -p "$ROOTFS$2"
    mount --bind "$1" "$ROOTFS$2"
    MOUNTS+=("$ROOTFS$2")
}

chroot_prepare() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "$CHROOT_SCRIPT: needs root (mmdebstrap, mount, chroot)" >&2
        exit 1
    fi

    if [ ! -x "$ROOTFS/usr/bin/python3.14" ]; then
        if ! command -v mmdebstrap >/dev/null; then
            apt-get update -qq
            apt-get install -y -qq mmdebstrap >/dev/null
        fi
        echo "$CHROOT_SCRIPT: creating the CPython 3.14 tree at $ROOTFS"
        mkdir -p "$(dirname "$ROOTFS")"
        rm -rf "$ROOTFS.tmp"
        # The mirror's unstable index can be older than its Valid-Until date.
        mmdebstrap --quiet --variant=apt --aptopt='Acquire::Check-Valid-Until "false"' \
            --include="$PACKAGES" sid "$ROOTFS.tmp"
        mv "$ROOTFS.tmp" "$ROOTFS"
    fi

    trap cleanup EXIT INT TERM
    bind "$SRC" "$INNER"
    bind /dev /dev
    mkdir -p "$ROOTFS/proc"
    mount -t proc proc "$ROOTFS/proc"
    MOUNTS+=("$ROOTFS/proc")
    cp /etc/resolv.conf "$ROOTFS/etc/resolv.conf" 2>/dev/null || true
}
