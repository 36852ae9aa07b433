#!/usr/bin/env bash
# Installs the cross compiler, Wine, Xvfb and the test servers when they are missing.
# Safe to run again: it does nothing when everything is already there.
set -euo pipefail

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686 mingw-w64-tools)
command -v wine >/dev/null || need+=(wine wine32:i386 wine64)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
command -v Xvfb >/dev/null || need+=(xvfb xauth)
command -v xdpyinfo >/dev/null || need+=(x11-utils)
dpkg -s imagemagick >/dev/null 2>&1 || need+=(imagemagick)
dpkg -s fonts-nanum >/dev/null 2>&1 || need+=(fonts-nanum)
command -v cmake >/dev/null || need+=(cmake)
command -v ctest >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v python3 >/dev/null || need+=(python3)
command -v nginx >/dev/null || need+=(nginx-light)
command -v openssl >/dev/null || need+=(openssl)
command -v curl >/dev/null || need+=(curl)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)

command -v localedef >/dev/null || need+=(locales)

# Wine decodes command-line arguments with the host locale: without a generated Korean UTF-8
# locale, non-ASCII arguments reach the program mangled.
ensure_korean_locale() {
    if ! locale -a 2>/dev/null | grep -qix 'ko_KR.utf8'; then
        echo "install-deps: generating the ko_KR.UTF-8 locale"
        $SUDO localedef -i ko_KR -f UTF-8 ko_KR.UTF-8
    fi
}

if [ ${#need[@]} -eq 0 ]; then ensure_korean_locale; exit 0; fi

echo "install-deps: installing ${need[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# Deduplicate while keeping order.
mapfile -t uniq < <(printf '%s\n' "${need[@]}" | awk '!seen[$0]++')
$SUDO apt-get install -y -qq --no-install-recommends "${uniq[@]}"
ensure_korean_locale
