#!/usr/bin/env bash
# Builds TEV32 with -Wall -Wextra -Werror under AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole
# test suite (unit tests, scripted-server protocol tests, and end-to-end tests against aiosmtpd and Dovecot on
# loopback), then the threads test under ThreadSanitizer and every fuzz target for 20 seconds.  Installs what a
# fresh Debian machine lacks.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TEV_BUILD_DIR:-$top/build/test}

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

need=()
for tool in cmake:cmake g++:g++ ninja:ninja-build python3:python3 nm:binutils pkg-config:pkg-config openssl:openssl; do
  command -v "${tool%%:*}" >/dev/null 2>&1 || need+=("${tool#*:}")
done
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
[ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
# clang with its libFuzzer runtime for the fuzz targets.
command -v clang++ >/dev/null 2>&1 || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "test.sh: installing ${need[*]}"
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
# aiosmtpd and Dovecot for the end-to-end tests; a real-server test that cannot run them fails instead of skipping.
sh "$top/tests/support/real/install_servers.sh"
export TEV_REQUIRE_REAL_SERVERS=1

cmake -S "$top" -B "$build" -G Ninja -DTEV_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 600
# The threads test again under ThreadSanitizer, in a tree of its own that builds only that program.
tsan_build=${TEV_TSAN_BUILD_DIR:-$top/build/tsan}
cmake -S "$top" -B "$tsan_build" -G Ninja -DTEV_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$tsan_build" -j "$(nproc)" --target test_threads
TSAN_OPTIONS="halt_on_error=1 suppressions=$top/tests/tsan.supp" "$tsan_build/tests/test_threads"
# Any crash the fuzz targets find fails the run.
"$top/scripts/fuzz.sh" 20
