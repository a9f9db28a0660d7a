# shellcheck shell=bash
# Sourced by ci/bootstrap.sh and ci/test.sh; not run on its own.
#
# need PACKAGE...     installs the Debian packages with apt-get (as root), or
#                     names them and stops.
# python_env [PACKAGE...]
#                     sets PYTHON to the interpreter quelta goes into and puts
#                     its scripts directory first on PATH: PYTHON as given, or
#                     python3, or where that is externally managed (PEP 668,
#                     Debian's own python3) the project venv .venv, made from
#                     it, so that the system's packages and pip stay untouched.
#                     First installs, in one go, the Debian packages given and
#                     whichever of g++, python3-dev and python3-venv is missing.
# link_command NAME   makes NAME, installed beside $PYTHON, the one found on
#                     PATH (a link in /usr/local/bin, or ~/.local/bin when not
#                     root) unless it already is.

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
    local missing=("$@") venv=no
    if [ -z "${PYTHON:-}" ]; then
        PYTHON=python3
        if "$PYTHON" -c 'import os, sys, sysconfig
marker = os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED")
sys.exit(not (sys.prefix == sys.base_prefix and os.path.exists(marker)))'; then
            venv=yes
            # Debian's python3 makes venvs only with python3-venv (ensurepip).
            [ -x .venv/bin/python ] || "$PYTHON" -c 'import ensurepip' 2>/dev/null ||
                missing+=(python3-venv)
        fi
    fi
    command -v g++ >/dev/null || missing+=(g++)
    "$PYTHON" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))' ||
        missing+=(python3-dev)
    need "${missing[@]}"
    if [ "$venv" = yes ]; then
        [ -x .venv/bin/python ] || "$PYTHON" -m venv .venv
        PYTHON=$PWD/.venv/bin/python
    fi
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
