#!/usr/bin/env bash
# Builds the libFuzzer harness of the numeric core (tests/fuzz/fuzz_core.cpp)
# with AddressSanitizer and UndefinedBehaviorSanitizer and runs it for a
# bounded time, starting from the checked-in seeds. Exits non-zero if the
# harness finds a crash, a sanitizer report, a violated invariant or a hang.
#   FUZZ_TIME       seconds of fuzzing (default 60)
#   FUZZ_ARTIFACTS  where a failing input is saved (default build/fuzz/artifacts)
#   CXX             a clang++ with the libFuzzer runtime (default clang++)
# The seeds are copied to a temporary directory, so the checked-in corpus
# does not grow.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

FUZZ_TIME=${FUZZ_TIME:-60}
FUZZ_ARTIFACTS=${FUZZ_ARTIFACTS:-build/fuzz/artifacts}
CXX=${CXX:-clang++}
FLAGS=(-std=c++20 -O2 -g -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wdouble-promotion -Werror)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quelta-fuzz.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# Debian's clang pulls in the libFuzzer runtime (libclang-rt-*-dev); a bare
# compiler without it fails the probe below and gets the package added.
libfuzzer_works() {
    command -v "$CXX" >/dev/null || return 1
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' \
        >"$WORK/probe.cpp"
    "$CXX" -fsanitize=fuzzer,address,undefined "$WORK/probe.cpp" -o "$WORK/probe" 2>/dev/null
}
if ! libfuzzer_works; then
    if [ "$CXX" != clang++ ] || ! command -v apt-get >/dev/null || [ "$(id -u)" -ne 0 ]; then
        echo "fuzz.sh: $CXX cannot build libFuzzer targets; install clang" >&2
        exit 1
    fi
    apt-get update -qq
    apt-get install -y -qq clang >/dev/null
    if ! libfuzzer_works; then
        version=$(clang++ --version)
        version=$(sed -n 's/.*clang version \([0-9]*\).*/\1/p' <<<"$version" | head -1)
        apt-get install -y -qq "libclang-rt-$version-dev" >/dev/null
        libfuzzer_works || { echo "fuzz.sh: no libFuzzer runtime for clang $version" >&2; exit 1; }
    fi
fi

echo "== $("$CXX" --version | head -1)"
"$CXX" "${FLAGS[@]}" -I. tests/fuzz/fuzz_core.cpp -o "$WORK/fuzz_core"

mkdir -p "$WORK/corpus" "$FUZZ_ARTIFACTS"
cp tests/fuzz/corpus/* "$WORK/corpus/"
status=0
"$WORK/fuzz_core" -max_total_time="$FUZZ_TIME" -timeout=5 -max_len=52 -print_final_stats=1 \
    -artifact_prefix="$FUZZ_ARTIFACTS/" "$WORK/corpus" || status=$?
if [ "$status" -ne 0 ]; then
    echo "fuzz.sh: the harness failed (exit $status); the input is in $FUZZ_ARTIFACTS/" >&2
    exit "$status"
fi
