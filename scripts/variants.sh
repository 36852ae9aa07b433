# Which variants of the program the test command runs on this host, and why. Source it (it
# defines kv_plan_variants), or run it with --plan to print the plan and touch nothing:
#
#   bash scripts/variants.sh --plan
#
# The variants:
#   32      the shipped 32-bit program and its whole suite, natively under the 32-bit Wine loader
#   64      the 64-bit build of the same code and its whole suite, under the 64-bit loader
#   qemu32  the real 32-bit program once end to end, with the 32-bit loader under qemu-user
#
# Whether the host runs 32-bit code is found out by trying (the 32-bit loader's --version),
# never from a name or a version: hosts of one kind differ here. A binfmt_misc registration
# for i386 programs is consulted before the kernel's own 32-bit loader, so where one exists
# every 32-bit program runs under its interpreter, natively capable host or not.
#
# KV_VARIANTS (comma- or blank-separated) sets the variants by hand. With KV_HOST_FAKE=1 the
# probes read the host from the environment instead, so that the decisions can be tested on
# any host: KV_HOST_RUNS32 ("yes", or the error a 32-bit program gets) and KV_HOST_BINFMT
# ("" for none, else "name interpreter" of the host's registration). KV_BINFMT_DIR and
# KV_WINE32_LOADER put the real probes to a directory and a program of a test's own.

KV_VARIANTS_ALL="32 64 qemu32"

# Prints "yes" when a 32-bit program starts here natively, else the error it gets.
kv_probe_runs32() {
    if [ "${KV_HOST_FAKE:-}" = 1 ]; then
        echo "${KV_HOST_RUNS32:-yes}"
        return
    fi
    local loader="${KV_WINE32_LOADER:-/usr/lib/wine/wine}" out
    if [ ! -e "$loader" ]; then
        echo "$loader is not installed"
        return
    fi
    if out=$("$loader" --version 2>&1 </dev/null); then
        echo yes
    else
        # "Exec format error" where the kernel refuses 32-bit code.
        echo "$loader: $(printf '%s\n' "$out" | tail -n 1 | sed 's/^.*: //')"
    fi
}

# Prints "name interpreter" of each enabled binfmt_misc registration that takes i386 ELF
# programs (magic 7f 45 4c 46 01 ..., e_machine 3), one per line; nothing when there is none.
kv_probe_binfmt_i386() {
    if [ "${KV_HOST_FAKE:-}" = 1 ]; then
        if [ -n "${KV_HOST_BINFMT:-}" ]; then echo "$KV_HOST_BINFMT"; fi
        return
    fi
    local dir="${KV_BINFMT_DIR:-/proc/sys/fs/binfmt_misc}" f magic interp
    [ -r "$dir/status" ] || return 0
    for f in "$dir"/*; do
        case "$(basename "$f")" in register|status) continue ;; esac
        [ -r "$f" ] || continue
        grep -qx enabled "$f" || continue
        grep -qx 'offset 0' "$f" || continue
        magic=$(sed -n 's/^magic //p' "$f")
        interp=$(sed -n 's/^interpreter //p' "$f")
        if [ "${magic:0:10}" = 7f454c4601 ] && [ "${magic:36:4}" = 0300 ]; then
            echo "$(basename "$f") $interp"
        fi
    done
}

# Sets KV_PLAN (the variants to run, in order), KV_PLAN_WHY (one line: why these),
# KV_PLAN_QEMU32 (for the qemu32 run: "own" to register qemu for the run itself, "host NAME" to
# use the host's registration, "not needed: ..." where it does not run). Returns 2 with a
# message on stderr when KV_VARIANTS asks for what this host cannot run.
kv_plan_variants() {
    local runs32 binfmt wanted v
    runs32=$(kv_probe_runs32)
    binfmt=$(kv_probe_binfmt_i386 | head -n 1)
    KV_PLAN_QEMU32=own
    if [ -n "$binfmt" ]; then KV_PLAN_QEMU32="host ${binfmt%% *}"; fi

    if [ -n "$binfmt" ]; then
        KV_PLAN_WHY="32-bit programs run under ${binfmt#* } here (binfmt_misc registration ${binfmt%% *}): the 64-bit suite, and the 32-bit program once"
        KV_PLAN="64 qemu32"
        runs32="no: every 32-bit program runs under ${binfmt#* } (binfmt_misc registration ${binfmt%% *})"
    elif [ "$runs32" = yes ]; then
        KV_PLAN_WHY="this host runs 32-bit code: both suites"
        KV_PLAN="32 64"
    else
        KV_PLAN_WHY="this host runs no 32-bit code: $runs32"
        KV_PLAN="64 qemu32"
    fi

    if [ -n "${KV_VARIANTS:-}" ]; then
        wanted=""
        for v in ${KV_VARIANTS//,/ }; do
            case " $KV_VARIANTS_ALL " in
                *" $v "*) ;;
                *) echo "KV_VARIANTS: unknown variant '$v' (known: ${KV_VARIANTS_ALL// /, })" >&2; return 2 ;;
            esac
            if [ "$v" = 32 ] && [ "$runs32" != yes ]; then
                echo "KV_VARIANTS asks for 32, but this host runs no 32-bit code natively: $runs32" >&2
                return 2
            fi
            case " $wanted " in *" $v "*) ;; *) wanted="$wanted $v" ;; esac
        done
        # In the fixed order: the qemu run last, since while it is registered every 32-bit
        # program on the machine runs under qemu.
        KV_PLAN=""
        for v in $KV_VARIANTS_ALL; do
            case " $wanted " in *" $v "*) KV_PLAN="$KV_PLAN $v" ;; esac
        done
        KV_PLAN="${KV_PLAN# }"
        KV_PLAN_WHY="KV_VARIANTS=${KV_VARIANTS} (left to itself: ${KV_PLAN_WHY})"
    fi
    case " $KV_PLAN " in
        *" qemu32 "*) ;;
        *)
            if [ -n "${KV_VARIANTS:-}" ]; then
                KV_PLAN_QEMU32="not run: KV_VARIANTS leaves it out"
            else
                KV_PLAN_QEMU32="not needed: this host runs 32-bit code, and the 32-bit suite runs the program itself"
            fi
            ;;
    esac
    return 0
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    if [ "${1:-}" != --plan ]; then
        echo "usage: bash scripts/variants.sh --plan" >&2
        exit 2
    fi
    kv_plan_variants
    echo "variants: $KV_PLAN"
    echo "why: $KV_PLAN_WHY"
    echo "qemu32: $KV_PLAN_QEMU32"
fi
