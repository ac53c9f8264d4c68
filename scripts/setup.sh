#!/bin/bash
# Installs what the build, the tests and the demo need, only when missing.
# Safe to run again; needs root (apt-get, dpkg, localedef).
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    NEED_UPDATE=1
fi

for p in g++-mingw-w64-i686-posix mingw-w64-tools wine wine32:i386 xvfb xauth \
         fonts-wqy-microhei locales googletest cmake ninja-build python3 \
         imagemagick nsis curl libz-mingw-w64-dev e2fsprogs \
         zip libarchive-tools openssl ca-certificates util-linux \
         g++ pkg-config libcpp-httplib-dev libssl-dev libgtest-dev nginx; do
    have_pkg "$p" || need+=("$p")
done

if [ ${#need[@]} -gt 0 ] || [ -n "${NEED_UPDATE:-}" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    if [ ${#need[@]} -gt 0 ]; then
        echo "setup: installing ${need[*]}"
        apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
    fi
fi

# Wine mangles non-ASCII file names and arguments unless the host locale
# exists. hi_IN has no ANSI code page: Wine gives it 65001 (UTF-8) for both.
for loc in zh_CN hi_IN; do
    if ! locale -a 2>/dev/null | grep -qi "^$loc\.utf-\?8$"; then
        localedef -i $loc -f UTF-8 $loc.UTF-8
    fi
done
echo "setup: ok"
