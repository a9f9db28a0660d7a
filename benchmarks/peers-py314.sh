#!/usr/bin/env bash
# Runs benchmarks/peers.py under CPython 3.14 (Debian unstable, glibc 2.43)
# in the chroot that ci/py314.sh creates (run that once first). quelta is
# built from this checkout into a per-run venv inside the tree; the option
# set is shared with the default Python through build/peers/ of the checkout.
#
#   sudo bash benchmarks/peers-py314.sh --json build/peers/py314.json
#
# Arguments go to peers.py unchanged.
set -euo pipefail

ROOTFS=${QUELTA_PY314_ROOT:-/var/cache/quelta/sid-py314}
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "peers-py314.sh: needs root (mount, chroot)" >&2
    exit 1
fi
if [ ! -x "$ROOTFS/usr/bin/python3.14" ]; then
    echo "peers-py314.sh: no CPython 3.14 tree at $ROOTFS; run ci/py314.sh once" >&2
    exit 1
fi

MOUNTS=()
cleanup() {
    local i
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTS[i]}" 2>/dev/null || umount -l "${MOUNTS[i]}" || true
    done
}
trap cleanup EXIT INT TERM

# A mount point of its own, so that a concurrent ci/py314.sh keeps /src.
TARGET=/peers-src.$$
mkdir -p "$ROOTFS$TARGET"
mount --bind "$SRC" "$ROOTFS$TARGET"
MOUNTS+=("$ROOTFS$TARGET")
mount --bind /dev "$ROOTFS/dev"
MOUNTS+=("$ROOTFS/dev")
mount -t proc proc "$ROOTFS/proc"
MOUNTS+=("$ROOTFS/proc")

status=0
chroot "$ROOTFS" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    TARGET="$TARGET" /bin/bash -euo pipefail -c '
cd "$TARGET"
WORK=$(mktemp -d /tmp/quelta-peers.XXXXXX)
trap "rm -rf $WORK" EXIT
python3.14 -m venv --system-site-packages "$WORK/venv"
"$WORK/venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
    -Cbuild-dir="$WORK/build" .
"$WORK/venv/bin/python" -P benchmarks/peers.py "$@"
' bash "$@" || status=$?
cleanup
MOUNTS=()
rmdir "$ROOTFS$TARGET" 2>/dev/null || true
exit "$status"
