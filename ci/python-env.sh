# Sourced by ci/bootstrap.sh and ci/test.sh; not run on its own.
#
# need PACKAGE...   installs the Debian packages with apt-get (as root), or
#                   names them and stops.
# python_env        sets PYTHON to the interpreter quelta goes into and puts
#                   its scripts directory first on PATH. PYTHON, when set, is
#                   used as it is; otherwise python3, unless that is an
#                   externally managed interpreter (PEP 668, Debian's own
#                   python3): then the project venv .venv is made from it and
#                   used, so the system's packages and pip stay untouched.
#                   A build compiler and the Python headers are installed if
#                   missing.
# link_command NAME makes NAME, installed beside $PYTHON, the one found on
#                   PATH (a link in /usr/local/bin, or ~/.local/bin when not
#                   root) unless it already is.

need() {
    [ "$#" -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        echo "${0##*/}: please install $* (Debian package names)" >&2
        exit 1
    fi
    echo "${0##*/}: apt-get install $*"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

python_env() {
    if [ -z "${PYTHON:-}" ]; then
        PYTHON=python3
        if "$PYTHON" -c 'import os, sys, sysconfig
marker = os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED")
sys.exit(not (sys.prefix == sys.base_prefix and os.path.exists(marker)))'; then
            if [ ! -x .venv/bin/python ]; then
                # Debian's python3 makes venvs only with python3-venv (ensurepip).
                "$PYTHON" -m venv .venv >/dev/null 2>&1 || { rm -rf .venv; need python3-venv; "$PYTHON" -m venv .venv; }
            fi
            PYTHON=$PWD/.venv/bin/python
        fi
    fi
    command -v g++ >/dev/null || need g++
    "$PYTHON" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))' || need python3-dev
    PATH=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH
    export PATH PYTHON
}

link_command() {
    local target found bin
    target=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')/$1
    found=$(PATH=${PATH#*:} command -v "$1" || true)  # as the caller's PATH finds it
    if [ -n "$found" ] && [ "$(readlink -f "$found")" = "$(readlink -f "$target")" ]; then
        return 0
    fi
    if [ "$(id -u)" -eq 0 ]; then bin=/usr/local/bin; else bin=$HOME/.local/bin; fi
    mkdir -p "$bin"
    ln -sfn "$target" "$bin/$1"
    echo "${0##*/}: $bin/$1 -> $target"
}
