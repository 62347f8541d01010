#!/usr/bin/env bash
# Installs this build into a scratch prefix and builds an example program against the installed tree, once through
# pkg-config and once through find_package(TEV32); both programs and the installed tevmail must run and load the
# installed libtev32.so (not the build tree's).
#   install_test.sh BUILD_DIR EXAMPLE_SOURCE C_COMPILER "CONSUMER_FLAGS"
# CONSUMER_FLAGS carries the sanitizer options of a sanitized build: a program that loads a sanitized library must
# be built with them too.
set -euo pipefail

build=$1 example=$2 cc=$3 flags=${4:-}
scratch=$(mktemp -d /tmp/tev-install.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

fail() {
    echo "install_test: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1 || {
    cat "$scratch/install.log" >&2
    fail "cmake --install failed"
}

# What an application needs is there.
lib=$(find "$prefix" -name libtev32.so -print -quit)
pc=$(find "$prefix" -name tev32.pc -print -quit)
config=$(find "$prefix" -name TEV32Config.cmake -print -quit)
[ -n "$lib" ] || fail "no libtev32.so under $prefix"
[ -n "$pc" ] || fail "no tev32.pc under $prefix"
[ -n "$config" ] || fail "no TEV32Config.cmake under $prefix"
[ -f "$prefix/include/tev32.h" ] || fail "no include/tev32.h"
[ -x "$prefix/bin/tevmail" ] || fail "no bin/tevmail"
cmp -s "$prefix/include/tev32.h" "$(dirname "$example")/../include/tev32.h" || fail "installed tev32.h differs"
libdir=$(dirname "$lib")

# A program must resolve libtev32.so to the installed copy.
uses_installed_library() {
    local resolved
    resolved=$(ldd "$1" | awk '$1 ~ /^libtev32\.so/ { print $3 }')
    [ "$(readlink -f "$resolved")" = "$(readlink -f "$lib")" ] || {
        ldd "$1" >&2
        fail "$1 does not load $lib"
    }
}

# Sending to a port where nothing listens proves the program runs the library: it fails with the library's text.
runs_library() {
    local out status=0
    out=$("$1" 127.0.0.1 1 "<from@tev.test>" "<to@tev.test>" 2>&1) || status=$?
    [ "$status" -eq 1 ] || fail "$1 exited with $status: $out"
    case $out in
        *"Error attempting to connect."*) ;;
        *) fail "$1 printed: $out" ;;
    esac
}

# ---- pkg-config ----
export PKG_CONFIG_PATH=$(dirname "$pc")
pkg-config --exists tev32 || fail "pkg-config does not find tev32"
version=$(pkg-config --modversion tev32)
[ "$version" = "3.4.2" ] || fail "pkg-config says version $version"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic $flags "$example" -o "$scratch/send_pkgconfig" \
    $(pkg-config --cflags --libs tev32) -Wl,-rpath,"$(pkg-config --variable=libdir tev32)" \
    || fail "building against pkg-config failed"
uses_installed_library "$scratch/send_pkgconfig"
runs_library "$scratch/send_pkgconfig"

# ---- find_package ----
mkdir -p "$scratch/consumer"
cat >"$scratch/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.18)
project(tev32_consumer C)
find_package(TEV32 3.4 REQUIRED)
add_executable(send_cmake "$example")
target_link_libraries(send_cmake PRIVATE TEV32::tev32)
CMAKE
cmake -S "$scratch/consumer" -B "$scratch/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror $flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$scratch/consumer.log" 2>&1 \
    && cmake --build "$scratch/consumer/build" >>"$scratch/consumer.log" 2>&1 || {
    cat "$scratch/consumer.log" >&2
    fail "building against find_package(TEV32) failed"
}
uses_installed_library "$scratch/consumer/build/send_cmake"
runs_library "$scratch/consumer/build/send_cmake"

# ---- the installed tool finds the installed library through its RPATH ----
uses_installed_library "$prefix/bin/tevmail"
out=$("$prefix/bin/tevmail" --version) || fail "installed tevmail --version failed"
case $out in
    "tevmail 3.4.2 (TEV32 3.4.2 build 18, TLS: yes)" | "tevmail 3.4.2 (TEV32 3.4.2 build 18, TLS: no)") ;;
    *) fail "installed tevmail --version says: $out" ;;
esac

# tevmail finds its library relative to itself: the RUNPATH says $ORIGIN, and a copy of the whole prefix moved
# elsewhere still runs with no LD_LIBRARY_PATH.
readelf -d "$prefix/bin/tevmail" | grep -E 'R(UN)?PATH' | grep -q '\$ORIGIN/' || {
    readelf -d "$prefix/bin/tevmail" | grep -E 'R(UN)?PATH' >&2
    fail "installed tevmail has no RPATH relative to \$ORIGIN"
}
cp -a "$prefix" "$scratch/moved"
out=$(env -u LD_LIBRARY_PATH "$scratch/moved/bin/tevmail" verify ann@tev.test) || fail "moved tevmail failed: $out"
moved_lib=$(env -u LD_LIBRARY_PATH ldd "$scratch/moved/bin/tevmail" | awk '$1 ~ /^libtev32\.so/ { print $3 }')
[ "$(readlink -f "$moved_lib")" = "$(readlink -f "$scratch/moved/${lib#$prefix/}")" ] ||
    fail "moved tevmail loads $moved_lib"
[ -f "$prefix/share/man/man1/tevmail.1" ] || fail "no share/man/man1/tevmail.1"
out=$("$prefix/bin/tevmail" verify ann@tev.test) || fail "installed tevmail verify failed: $out"

# The man page names every command, sendmail included; bash completion offers the commands and each command's
# options, read from its --help.
man -l "$prefix/share/man/man1/tevmail.1" 2>/dev/null | grep -q 'SENDMAIL MODE' || fail "the man page lacks sendmail"
completion=$prefix/share/bash-completion/completions/tevmail
[ -f "$completion" ] || fail "no $completion"
complete_words() {
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tevmail; echo "${COMPREPLY[*]}"' \
        _ "$completion" "$@"
}
[ "$(complete_words tevmail se)" = "send sendmail" ] || fail "completion of 'se': $(complete_words tevmail se)"
[ "$(complete_words "$prefix/bin/tevmail" sendmail --dry)" = "--dry-run" ] ||
    fail "completion of 'sendmail --dry': $(complete_words "$prefix/bin/tevmail" sendmail --dry)"

echo "install_test: installed, built and ran against $prefix (pkg-config and find_package)"
