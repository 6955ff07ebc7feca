#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine, as root, with no display and no
# terminal. Safe to run again: it only installs what is missing.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    updated=
fi
for p in cmake make python3 g++-mingw-w64-i686-posix googletest wine wine32:i386 xvfb x11-utils \
         socat locales fonts-wqy-microhei imagemagick procps; do
    have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ] || [ "${updated-x}" = "" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    [ ${#need[@]} -gt 0 ] && apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# Wine's ANSI code page follows LANG, and only a generated locale counts.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
    sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
fi
