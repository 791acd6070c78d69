#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The whole test suite a second time, built with AddressSanitizer and
# UndefinedBehaviorSanitizer in a build folder of its own. Any report ends
# the program that made it, so the test that ran it fails.
set -eu
cd "$(dirname "$0")/../.."
build=build-asan
cmake -S . -B "$build" -DKOVARI_SANITIZE=ON >/dev/null
cmake --build "$build" -j 2
# verify_asan_link_order=0: some tests put libfaketime in LD_PRELOAD ahead of
# the AddressSanitizer run-time, which is harmless for what they check.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:check_initialization_order=1:strict_init_order=1:verify_asan_link_order=0
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS UBSAN_OPTIONS
# The programs start slower under the sanitizers: each test gets room.
cd "$build" && ctest --output-on-failure -j 2 --timeout 600
