#!/usr/bin/env bash
# Runs the whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer
# on this machine's default Python:
#   1. the C++ unit tests of the numeric core, built with the `asan` preset
#      (ASan + UBSan, leak checking on) and run by CTest;
#   2. the extension built with QUELTA_SANITIZE=ON into a venv of its own, and
#      the pytest suite run against it with the ASan runtime preloaded into the
#      (uninstrumented) interpreter.
# Any sanitizer report fails the run: UBSan does not recover and ASan aborts.
# ASan reports from the interpreters that tests start as child processes go
# to files that are checked after pytest, so a child that was expected to
# fail anyway cannot hide one.
#
# Leak checking is off for Python: CPython keeps memory to its exit on
# purpose. The extension's own leaks are the subject of tests/test_leaks.py.
#
#   PYTHON                      base interpreter (default: python3)
#   QUELTA_SANITIZE_CPP_DIR     build tree of the C++ tests (default: build/sanitize)
#   QUELTA_SANITIZE_VENV        venv for the sanitized extension (default: build/sanitize-venv)
#   QUELTA_SANITIZE_EXT_DIR     build tree of the extension (default: build/sanitize-ext)
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PYTHON=${PYTHON:-python3}
CPP_DIR=${QUELTA_SANITIZE_CPP_DIR:-build/sanitize}
VENV=${QUELTA_SANITIZE_VENV:-build/sanitize-venv}
EXT_DIR=${QUELTA_SANITIZE_EXT_DIR:-build/sanitize-ext}

LIBASAN=$(g++ -print-file-name=libasan.so)
LIBSTDCXX=$(g++ -print-file-name=libstdc++.so)
for lib in "$LIBASAN" "$LIBSTDCXX"; do
    if [ ! -e "$lib" ]; then
        echo "sanitize.sh: no $(basename "$lib") next to g++" >&2
        exit 1
    fi
done

echo "== C++ unit tests under ASan + UBSan ($CPP_DIR)"
cmake --preset asan -B "$CPP_DIR" >/dev/null
cmake --build "$CPP_DIR" -j2
ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$CPP_DIR" --output-on-failure --progress -j2

echo "== extension under ASan + UBSan ($VENV)"
if [ ! -x "$VENV/bin/python" ]; then
    "$PYTHON" -m venv --system-site-packages "$VENV"
fi
# RelWithDebInfo: optimised like a release build, with line numbers in reports.
QUELTA_SANITIZE=ON "$VENV/bin/python" -m pip install --quiet --no-deps --force-reinstall \
    -Cbuild-dir="$EXT_DIR" -Ccmake.build-type=RelWithDebInfo .

# The venv must import the instrumented module, not an installed release build.
# (quelta/__init__.py imports the module, so it is looked up without importing.)
PACKAGE=$("$VENV/bin/python" -P -c \
    'import importlib.util as u; print(u.find_spec("quelta").submodule_search_locations[0])')
case "$PACKAGE" in
    "$(cd "$VENV" && pwd)"/*) ;;
    *) echo "sanitize.sh: the venv imports quelta from $PACKAGE, not its own build" >&2; exit 1 ;;
esac
MODULE=$(echo "$PACKAGE"/black_core*.so)
# (ldd's listing is taken whole first: grep -q stops reading at the first match,
# and under pipefail the SIGPIPE that ldd may then get would fail the check.)
if ! grep -q libasan <<<"$(ldd "$MODULE")"; then
    echo "sanitize.sh: $MODULE is not linked against the ASan runtime" >&2
    exit 1
fi

REPORTS=$(mktemp -d)
trap 'rm -rf "$REPORTS"' EXIT
status=0
# The interpreter is not instrumented, so the ASan runtime is preloaded, and
# the C++ runtime with it: ASan finds the __cxa_throw it wraps only in the
# libraries loaded before it starts, and without it the first C++ exception
# thrown by any extension (matplotlib's, say) kills the process.
# PYTHONMALLOC=malloc puts every Python object on the instrumented heap, so
# reads past an object or of a freed one are caught too.
# ASan writes its reports to files, for the child interpreters whose stderr
# the tests capture. UBSan cannot: with both runtimes loaded, ASan's copy of
# the report-path setter shadows UBSan's and its reports always go to stderr.
# So pytest leaves the stderr descriptor alone (--capture=sys), and a UBSan
# report ends a child with a status of its own (87) that no test expects.
# A request for more memory than can exist returns NULL, as it does without
# ASan: Dask reading a length prefix from a server that is no scheduler asks
# for exabytes, and the MemoryError it gets is what the command reports.
env LD_PRELOAD="$LIBASAN:$LIBSTDCXX" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$REPORTS/asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=87" \
    "$VENV/bin/python" -P -m pytest -p no:cacheprovider --capture=sys "$@" || status=$?

# That NULL comes with a warning in the report file; a file holding nothing
# else reports no fault.
for report in "$REPORTS"/*; do
    [ -e "$report" ] || continue
    grep -qv '^==[0-9]*==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]* bytes$' \
        "$report" || rm -f "$report"
done
if compgen -G "$REPORTS/*" >/dev/null; then
    for report in "$REPORTS"/*; do
        echo "==== sanitizer report $(basename "$report")" >&2
        cat "$report" >&2
    done
    echo "sanitize.sh: sanitizer reports above" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "sanitize.sh: pytest failed with status $status" >&2
fi
exit "$status"
