#!/usr/bin/env bash
# Runs benchmarks/peers.py under CPython 3.14 (Debian unstable, glibc 2.43)
# in the tree that ci/py314.sh uses (made on first use). quelta is built from
# this checkout into a per-run venv inside the tree; the option set is shared
# with the default Python through build/peers/ of the checkout.
#
#   sudo bash benchmarks/peers-py314.sh --json build/peers/py314.json
#
# Arguments go to peers.py unchanged.
set -euo pipefail

# shellcheck source=ci/chroot-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../ci/chroot-lib.sh"
chroot_prepare

chroot "$ROOTFS" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    /bin/bash -euo pipefail -c '
cd /src
WORK=$(mktemp -d /tmp/quelta-peers.XXXXXX)
trap "rm -rf $WORK" EXIT
python3.14 -m venv --system-site-packages "$WORK/venv"
"$WORK/venv/bin/python" -m pip install --quiet --no-build-isolation --no-deps \
    -Cbuild-dir="$WORK/build" .
"$WORK/venv/bin/python" -P benchmarks/peers.py "$@"
' bash "$@"
