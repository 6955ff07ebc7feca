#!/usr/bin/env bash
# Installs what building, running and testing need on a Debian machine, as root, with no
# display and no terminal. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(cmake make python3 g++-mingw-w64-i686-posix googletest wine wine32:i386 fonts-wine
          xvfb x11-utils imagemagick socat locales fonts-noto-cjk python3-fonttools procps
          clang lld clang-tidy cppcheck)

# wine32 is an i386 package.
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Wine's ANSI code page follows LANG, and only a generated locale counts.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
    sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
fi
