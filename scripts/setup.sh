#!/bin/bash
# Installs what the build, the tests and the demo need, only when missing.
# `setup.sh service` installs only what the service's build needs (a serving
# host); `setup.sh service-tests` adds what its tests need.
# Safe to run again; needs root (apt-get, dpkg, localedef).
#
# A registry part way through a sync fails some indexes for a while: the
# update is tried again, then setup goes on with the indexes it has, and an
# install that cannot be resolved is tried with the release's own suite
# preferred (both architectures from one index). It fails only when a needed
# package is still missing, and names it.
set -uo pipefail

service_pkgs=(g++ cmake ninja-build pkg-config libcpp-httplib-dev libssl-dev)
service_test_pkgs=(libgtest-dev googletest nginx openssl curl ca-certificates util-linux iproute2)
program_pkgs=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 xvfb xauth
              fonts-wqy-microhei locales python3 imagemagick nsis libz-mingw-w64-dev e2fsprogs
              zip libarchive-tools)
wanted=("${service_pkgs[@]}")
[ "${1:-}" = service ] || wanted+=("${service_test_pkgs[@]}")
# 32-bit Wine only where 32-bit code runs: elsewhere it cannot start, and
# Debian's `wine` would pick it over the 64-bit loader.
runs32= program=
if [ "${1:-}" != service ] && [ "${1:-}" != service-tests ]; then
    program=1
    wanted+=("${program_pkgs[@]}")
    MIRQ_MACHINE_ARCH=$(MIRQ_ARCH= bash "$(dirname "$0")/arch.sh")
    export MIRQ_MACHINE_ARCH
    [ "$MIRQ_MACHINE_ARCH" = x86 ] && runs32=1 && wanted+=(wine32:i386)
    bash "$(dirname "$0")/arch.sh" --why
fi

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
missing() { local p; for p in "${wanted[@]}"; do have_pkg "$p" || echo "$p"; done; }
export DEBIAN_FRONTEND=noninteractive

NEED_UPDATE=
if [ -n "$runs32" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    NEED_UPDATE=1
fi

update_indexes() {
    local try out
    for try in 1 2 3; do
        out=$(apt-get update -qq 2>&1) && return 0
        [ "$try" -lt 3 ] && { echo "setup: apt-get update failed (try $try of 3); trying again in ${SETUP_RETRY_S:-20} s"; sleep "${SETUP_RETRY_S:-20}"; }
    done
    # Say which indexes are missing in plain words; the others are used.
    grep -oE "Failed to fetch [^ ]+" <<<"$out" | sed 's/^Failed to fetch /setup: this index could not be read and is left out: /'
    grep -E "Mirror sync in progress" -q <<<"$out" && echo "setup: the registry says it is part way through a sync"
    echo "setup: going on with the indexes that came"
}

# Packages of one architecture must match their other-architecture twins: with
# an index missing, a 64-bit package may be newer than any 32-bit one there is.
# Those twins are named at the release's version (a downgrade, if need be).
release_twins() {
    local log=$1 p v
    grep -oE "Depends: [a-z0-9.+-]+:i386" "$log" | sed 's/Depends: //; s/:i386$//' | sort -u | while read -r p; do
        v=$(apt-cache policy "$p" 2>/dev/null | awk -v r="$release" '/^ +[^ ]+ [0-9]+$/ {ver=$1} /^ +\*\*\*/ {ver=$2} $0 ~ " "r"/" && ver {print ver; exit}')
        [ -n "$v" ] && have_pkg "$p" && [ "$(dpkg-query -W -f='${Version}' "$p")" != "$v" ] && echo "$p=$v $p:i386=$v"
    done
}

install_missing() {
    local log; log=$(mktemp)
    apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1 && { rm -f "$log"; return 0; }
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$release" ] || { cat "$log" >&2; rm -f "$log"; return 1; }
    echo "setup: the install could not be resolved with the newest indexes; trying with $release's own packages preferred"
    apt-get install -y -qq --no-install-recommends -o APT::Default-Release="$release" "$@" >"$log" 2>&1 && { rm -f "$log"; return 0; }
    local twins; twins=$(release_twins "$log")
    if [ -n "$twins" ]; then
        echo "setup: taking $twins at $release's version for both architectures"
        # shellcheck disable=SC2086
        apt-get install -y -qq --no-install-recommends --allow-downgrades -o APT::Default-Release="$release" "$@" $twins >"$log" 2>&1 \
            && { rm -f "$log"; return 0; }
    fi
    tail -20 "$log" >&2
    rm -f "$log"
    return 1
}

need=($(missing))
if [ ${#need[@]} -gt 0 ] || [ -n "$NEED_UPDATE" ]; then
    update_indexes
    if [ ${#need[@]} -gt 0 ]; then
        echo "setup: installing ${need[*]}"
        install_missing "${need[@]}"
    fi
    still=($(missing))
    if [ ${#still[@]} -gt 0 ]; then
        echo "setup: these packages could not be installed: ${still[*]}" >&2
        exit 1
    fi
fi

# Wine mangles non-ASCII file names and arguments unless the host locale
# exists. hi_IN has no ANSI code page: Wine gives it 65001 (UTF-8) for both.
if [ -n "$program" ]; then
    for loc in zh_CN hi_IN; do
        if ! locale -a 2>/dev/null | grep -qi "^$loc\.utf-\?8$"; then
            localedef -i $loc -f UTF-8 $loc.UTF-8 || { echo "setup: the locale $loc.UTF-8 could not be made" >&2; exit 1; }
        fi
    done
fi
echo "setup: ok"
