#!/usr/bin/env bash
# Address and undefined-behaviour sanitizers over everything we compile.
#
# 1. Builds the core, its C++ unit tests and the extension with -fsanitize=address,undefined
#    into build/asan (the normal build and .venv stay untouched).
# 2. Runs the unit tests with leak detection on.
# 3. Runs the Python suite (extension and package) with the stock interpreter, the sanitizer
#    runtimes preloaded and the sanitized extension and package (its Python files beside the
#    sanitized engine, in build/asan/site) first on the path; leak detection is off there
#    because the interpreter itself never frees some of its memory.
# Any report fails the run: UBSan halts on the first error, ASan always does, and the logs are
# searched for reports from processes whose exit status nobody checked.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BIN="$ROOT/.venv/bin"
BUILD="$ROOT/build/asan"
JOBS="${JOBS:-2}"
LOG="$BUILD/reports.log"
FLAGS="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"

"$BIN/cmake" -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$BIN/ninja" \
    -DCMAKE_BUILD_TYPE=Sanitize -DCMAKE_CXX_FLAGS="$FLAGS" \
    -DVORN_BUILD_PYTHON=ON -DVORN_BUILD_TESTS=ON -DVORN_BUILD_BENCH=OFF \
    -DPython_EXECUTABLE="$BIN/python" >/dev/null
"$BIN/cmake" --build "$BUILD" -j "$JOBS"

export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
: >"$LOG"

echo "== C++ unit tests, ASan + UBSan, leak detection on"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0" \
    "$BIN/ctest" --test-dir "$BUILD" --output-on-failure -j "$JOBS" 2>&1 | tee -a "$LOG"

# The package as installed, but with the sanitized engine in it.
SITE="$BUILD/site"
rm -rf "$SITE" && mkdir -p "$SITE"
cp -r "$ROOT/vorn" "$SITE/vorn"
find "$SITE/vorn" -name '*.so' -delete
cp "$BUILD"/_engine*.so "$SITE/vorn/"
cp "$BUILD"/_vorn_core*.so "$SITE/"

echo "== Python suite against the sanitized extension and engine"
PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
run_python() {
    env LD_PRELOAD="$PRELOAD" PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1" \
        PYTHONPATH="$SITE" VORN_FUZZ_EXAMPLES="${VORN_FUZZ_EXAMPLES:-1000}" \
        OPENBLAS_NUM_THREADS=1 "$BIN/python" "$@"
}
cd "$ROOT/tests/python"
run_python -c '
import sys, _vorn_core, vorn._engine
for module in (_vorn_core, vorn._engine):
    if not module.__file__.startswith(sys.argv[1]):
        sys.exit("a sanitized module is not the one imported: " + module.__file__)
' "$SITE"
run_python -m pytest -q -p no:cacheprovider . 2>&1 | tee -a "$LOG"

if grep -Eq "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:" "$LOG"; then
    echo "sanitizer reports found, see $LOG" >&2
    exit 1
fi
echo "== no sanitizer reports"
