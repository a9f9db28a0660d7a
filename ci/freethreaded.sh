#!/usr/bin/env bash
# Compile-only check of the extension against the free-threaded CPython 3.14
# API, in the Debian unstable tree of ci/py314.sh (ci/chroot-lib.sh).
#
# Debian ships no free-threaded 3.14 interpreter (no python3.14t or -nogil
# package), so nothing here imports or runs the module. Instead the module is
# built by the project's own CMake rules with QUELTA_WERROR (-Wall -Wextra and
# the project's other warnings, as errors) against the default 3.14 headers
# with Py_GIL_DISABLED defined, as a free-threaded build's pyconfig.h defines
# it. The public headers switch on that macro: it selects the free-threaded
# object layout (owning thread, local and shared reference counts), the
# atomic reference-counting inlines, and the declarations that exist only
# there (PyUnstable_Module_SetGIL) or only in the default build.
#
# What a pass proves: black_core.cpp and the NumPy headers compile against
# that API surface without a warning, and the free-threaded code paths really
# were compiled (the module calls the shared-refcount entry points and
# PyUnstable_Module_SetGIL, which the default interpreter does not export).
# The link leaves every Python symbol to the interpreter, so it proves no
# symbol exists; the list printed below shows which ones a 3.14t must supply.
# What it does not prove: anything at run time. Whether the module imports on
# a 3.14t interpreter, enables the GIL there as it declares, or behaves under
# real parallelism is untested until a free-threaded interpreter is at hand.
set -euo pipefail

# shellcheck source=ci/chroot-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/chroot-lib.sh"
chroot_prepare

chroot "$ROOTFS" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    SRC_DIR="$INNER" /bin/bash -euo pipefail -c '
cd "$SRC_DIR"
echo "== $(python3.14 --version) headers with Py_GIL_DISABLED, NumPy $(python3.14 -c "import numpy; print(numpy.__version__)")"
WORK=$(mktemp -d /tmp/quelta-ft.XXXXXX)
trap "rm -rf $WORK" EXIT
cmake -S . -B "$WORK" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE=/usr/bin/python3.14 -DQUELTA_BUILD_EXTENSION=ON \
    -DQUELTA_BUILD_TESTS=OFF -DQUELTA_WERROR=ON \
    -DCMAKE_CXX_FLAGS=-DPy_GIL_DISABLED=1 >/dev/null
if ! cmake --build "$WORK" -j2 --verbose >"$WORK/build.log" 2>&1; then
    cat "$WORK/build.log"
    exit 1
fi
grep -E "black_core\.cpp" "$WORK/build.log" | sed "s/^/   /"
MODULE=$(echo "$WORK"/black_core*.so)

# Symbols the module needs that the default interpreter does not export:
# these come only from a free-threaded libpython.
nm -D --defined-only /usr/bin/python3.14 | awk "{print \$3}" | sort -u >"$WORK/default"
nm -D --undefined-only "$MODULE" | awk "{print \$2}" | grep -E "^_?Py" | sort -u >"$WORK/needed"
comm -23 "$WORK/needed" "$WORK/default" >"$WORK/ft-only"
echo "== symbols only a free-threaded interpreter provides:"
sed "s/^/   /" "$WORK/ft-only"
for symbol in _Py_DecRefShared _Py_MergeZeroLocalRefcount PyUnstable_Module_SetGIL; do
    if ! grep -qx "$symbol" "$WORK/ft-only"; then
        echo "freethreaded.sh: $symbol not referenced; the free-threaded API was not compiled" >&2
        exit 1
    fi
done
echo "freethreaded.sh: compiles against the free-threaded 3.14 API (not run)"
'
