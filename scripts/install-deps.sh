#!/usr/bin/env bash
# Installs the cross compiler, Wine, Xvfb and the test servers when they are missing.
# Safe to run again: it does nothing when everything is already there.
#
#   bash scripts/install-deps.sh          install what is missing
#   bash scripts/install-deps.sh --plan   only print what it would do, touching nothing
#
# Every decision asks dpkg about the very package that would be installed, never whether some
# command is on PATH: a command can come with another package than the one the project needs
# (localedef comes with libc-bin on every system, the character maps only with locales;
# python3 with python3-minimal, without most of the standard library), and a command can be off
# PATH while its package is there (nginx under /usr/sbin for a user).
#
# With KV_DEPS_FAKE=1 the probes read the machine's state from the environment instead
# (KV_DEPS_INSTALLED: installed packages, KV_DEPS_FOREIGN_ARCHS, KV_DEPS_LOCALES: what
# `locale -a` would list), so the decisions can be tested on any machine with --plan.
set -euo pipefail
# Under pipefail a "grep -q" that stops reading at its first match can fail the pipeline through
# the writer's SIGPIPE: the probes below let grep read everything instead.

plan_only=0
if [ "${1:-}" = "--plan" ]; then plan_only=1; fi
if [ "${KV_DEPS_FAKE:-}" = 1 ] && [ "$plan_only" != 1 ]; then
    echo "install-deps: KV_DEPS_FAKE=1 needs --plan" >&2
    exit 2
fi

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

# The packages the build, the demo and the tests use, in the order they are installed.
packages=(
    g++-mingw-w64-i686-posix mingw-w64-tools   # the cross compiler (posix threads), windres
    g++-mingw-w64-x86-64-posix                 # the same for the 64-bit build
    wine wine32:i386 wine64
    qemu-user-static                           # the 32-bit loader on hosts without 32-bit code
    xvfb xauth x11-utils imagemagick fonts-nanum
    cmake g++ make python3 googletest
    nginx-light openssl curl
    squid                                      # the forward proxy of the company-network tests
    osslsigncode                               # signs the test stand-ins with the tests' own PKI
    locales                                    # character maps for the Korean locale below
)

pkg_installed() {
    if [ "${KV_DEPS_FAKE:-}" = 1 ]; then
        printf '%s\n' ${KV_DEPS_INSTALLED:-} | grep -xF "$1" >/dev/null
        return
    fi
    # "installed" only: a removed package whose configuration files remain is not there.
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

foreign_archs() {
    if [ "${KV_DEPS_FAKE:-}" = 1 ]; then printf '%s\n' ${KV_DEPS_FOREIGN_ARCHS:-}; return; fi
    dpkg --print-foreign-architectures
}

have_korean_locale() {
    if [ "${KV_DEPS_FAKE:-}" = 1 ]; then
        printf '%s\n' ${KV_DEPS_LOCALES:-} | grep -ix 'ko_KR.utf8' >/dev/null
        return
    fi
    locale -a 2>/dev/null | grep -ix 'ko_KR.utf8' >/dev/null
}

need=()
for p in "${packages[@]}"; do
    pkg_installed "$p" || need+=("$p")
done
need_i386=0
if printf '%s\n' "${need[@]}" | grep ':i386$' >/dev/null && ! foreign_archs | grep -x i386 >/dev/null; then
    need_i386=1
fi
# Wine decodes command-line arguments with the host locale: without a generated Korean UTF-8
# locale, non-ASCII arguments reach the program mangled.
need_locale=0
have_korean_locale || need_locale=1

if [ "$plan_only" = 1 ]; then
    if [ "$need_i386" = 1 ]; then echo "add-architecture: i386"; fi
    echo "install: ${need[*]}"
    if [ "$need_locale" = 1 ]; then echo "generate-locale: ko_KR.UTF-8"; fi
    exit 0
fi

if [ ${#need[@]} -gt 0 ]; then
    echo "install-deps: installing ${need[*]}"
    if [ "$need_i386" = 1 ]; then $SUDO dpkg --add-architecture i386; fi
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
if [ "$need_locale" = 1 ]; then
    echo "install-deps: generating the ko_KR.UTF-8 locale"
    $SUDO localedef -i ko_KR -f UTF-8 ko_KR.UTF-8
fi
