#!/usr/bin/env bash
# Installs what building and testing serio8 needs, on Debian or Ubuntu, when
# it is missing. Each package is named with a file that shows it is there.
set -euo pipefail

need=()
want() {  # want PACKAGE FILE
    [ -e "$2" ] || need+=("$1")
}
want cmake /usr/bin/cmake
want ninja-build /usr/bin/ninja
want g++ /usr/bin/g++
want libgtest-dev /usr/include/gtest/gtest.h
want g++-mingw-w64-i686 /usr/bin/i686-w64-mingw32-g++
want g++-mingw-w64-x86-64 /usr/bin/x86_64-w64-mingw32-g++
want binutils-mingw-w64-i686 /usr/bin/i686-w64-mingw32-windres
want wine64 /usr/lib/wine/wine64
want xvfb /usr/bin/Xvfb
want python3 /usr/bin/python3
want util-linux /usr/bin/unshare
want file /usr/bin/file
want libbenchmark-dev /usr/include/benchmark/benchmark.h
want clang /usr/bin/clang++
want libclang-rt-14-dev /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a
want python3-matplotlib /usr/lib/python3/dist-packages/matplotlib/__init__.py
for extra in "$@"; do want "${extra%%=*}" "${extra#*=}"; done

if [ ${#need[@]} -gt 0 ]; then
    echo "installing: ${need[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
