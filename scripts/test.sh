#!/usr/bin/env bash
# Installs what is missing, builds the program twice (plainly, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole test suite in both builds; then builds the fuzz
# targets and runs each briefly on its seeds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== plain build =="
"$root/scripts/build.sh" "$root/build" -DQUORVANE_TESTS=ON
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

echo "== sanitized build (ASan + UBSan) =="
"$root/scripts/build.sh" "$root/build-asan" -DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"

echo "== fuzz targets (ASan + UBSan), briefly =="
"$root/scripts/fuzz.sh" all 10
