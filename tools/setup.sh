#!/usr/bin/env bash
# Installs what building, running and testing need on a Debian machine, as root, with no
# display and no terminal. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(cmake make python3 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest
          wine wine64 fonts-wine xvfb x11-utils imagemagick socat locales fonts-noto-cjk
          python3-fonttools procps clang lld clang-tidy cppcheck)

# wine32 is an i386 package.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386

. "$(dirname "${BASH_SOURCE[0]}")/install.sh"

# Every host tests the x86-64 build under 64-bit Wine; one whose kernel runs 32-bit programs
# also tests the 32-bit build, as released, under 32-bit Wine, installed beside it. On some
# virtual machines every i386 program fails with "Exec format error": there 32-bit Wine must go,
# as cmake/test-arch.cmake takes its presence for a host that runs it.
install libc6:i386
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    packages+=(wine32:i386)
else
    echo "setup: this kernel runs no 32-bit programs: the tests will run the x86-64 build only" >&2
    if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
        DEBIAN_FRONTEND=noninteractive apt-get remove -y -q wine32:i386 libwine:i386 >/dev/null
    fi
fi
install "${packages[@]}"

# Wine's ANSI code page follows LANG, and only a generated locale counts.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
    sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
fi
