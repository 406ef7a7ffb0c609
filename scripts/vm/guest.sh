#!/usr/bin/env bash
# A small QEMU guest running Debian's own kernel, for the MIDI paths a machine without sound hardware
# never exercises: the ALSA sequencer with its "Midi Through" port, virtual raw MIDI ports, and a USB
# MIDI device made in software. The guest shares the host's root and runs a command chrooted into it,
# so the programs built here run there as they are.
#
#   guest.sh check       exit 0 when a guest can run here (fetching the kernel when it is not cached),
#                        else exit 77 and say why
#   guest.sh run [--usb-gadget] [--virmidi N] [--timeout SECONDS] [--console FILE] -- COMMAND...
#                        boots the guest, runs COMMAND in the current folder, and gives back its
#                        standard output, standard error and exit status; the kernel's console goes to
#                        FILE (default: nowhere). Exit 124 when the guest did not end within SECONDS
#                        (default 300), 125 when it failed before COMMAND could run.
#     --usb-gadget       a USB MIDI device, product "Emulated product": sequencer port
#                        "Emulated product MIDI 1" on the host side, raw MIDI card "f_midi" on the device side
#     --virmidi N        N virtual raw MIDI ports "VirMIDI 0-k" (default 4; 0: none)
#
# The kernel comes from Debian's archive (apt-get download linux-image-amd64: no network or no package
# lists, and check says so). It is unpacked, never installed, into UPDATE_VM_CACHE (default
# $XDG_CACHE_HOME/update-vm) with an initramfs made of busybox-static, the modules below and init.sh.
# This script installs nothing: qemu-system-x86, busybox-static and python3 come from scripts/setup.sh.
set -u

SKIPPED=77
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
cache=${UPDATE_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/update-vm}
busybox=/bin/busybox

# What the guest loads, in groups that init.sh loads one after the other; each group's list is
# completed with its dependencies by modules.py.
# virtio_rng: the emulated processor gathers entropy slowly, and without a source of its own the
# guest's getrandom() (Python's start among others) blocks for seconds.
module_groups=(share=virtio_pci,virtio_rng,9pnet_virtio,9p
               sound=snd_seq_dummy,snd_seq_midi
               virmidi=snd_virmidi
               gadget=dummy_hcd,libcomposite,usb_f_midi,snd_usb_audio)

say() { echo "guest.sh: $*" >&2; }

# Why a guest cannot run here, or nothing.
missing_tool() {
    command -v qemu-system-x86_64 >/dev/null 2>&1 || { echo "qemu-system-x86_64 is not installed (package qemu-system-x86)"; return; }
    [ -x "$busybox" ] || { echo "$busybox is not installed (package busybox-static)"; return; }
    # An initramfs has no C library: a busybox that needs one cannot be its init.
    ldd "$busybox" >/dev/null 2>&1 && { echo "$busybox is linked dynamically (install busybox-static)"; return; }
    command -v python3 >/dev/null 2>&1 || { echo "python3 is not installed"; return; }
    command -v dpkg-deb >/dev/null 2>&1 || { echo "dpkg-deb is missing: the kernel comes from a Debian package"; return; }
}

# The kernel image and its modules in the cache; each step is done again only when what it is made
# from has changed. Runs under a lock: parallel callers share one cache.
prepare_kernel() {
    mkdir -p "$cache" || return 1
    exec 9>"$cache/lock"
    flock 9
    local deb
    deb=$(ls "$cache"/linux-image-*.deb 2>/dev/null | head -n 1)
    if [ -z "$deb" ]; then
        local package
        package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1)
        if [ -z "$package" ]; then
            say "no package linux-image-amd64 in apt's lists (run apt-get update)"
            return 1
        fi
        local fetched
        fetched=$(cd "$cache" && apt-get download "$package" 2>&1) || {
            say "apt-get download $package failed: $fetched"
            return 1
        }
        deb=$(ls "$cache"/linux-image-*.deb | head -n 1)
    fi
    local modules_stamp="$deb ${module_groups[*]} $(sha256sum "$here/modules.py")"
    if [ "$(cat "$cache/kernel.stamp" 2>/dev/null)" != "$modules_stamp" ]; then
        local unpacked=$cache/unpacked
        rm -rf "$unpacked" "$cache/modules" "$cache/vmlinuz" "$cache/kernel.stamp"
        dpkg-deb -x "$deb" "$unpacked" || { say "cannot unpack $deb"; return 1; }
        cp "$unpacked"/boot/vmlinuz-* "$cache/vmlinuz" &&
            python3 "$here/modules.py" "$unpacked"/lib/modules/* "$cache/modules" "${module_groups[@]}" || {
            say "cannot take the kernel and its modules out of $deb"
            return 1
        }
        rm -rf "$unpacked"
        echo "$modules_stamp" >"$cache/kernel.stamp"
    fi
    local initramfs_stamp="$modules_stamp $(sha256sum "$here/init.sh" "$busybox")"
    if [ "$(cat "$cache/initramfs.stamp" 2>/dev/null)" != "$initramfs_stamp" ]; then
        local staging=$cache/initramfs
        rm -rf "$staging" "$cache/initramfs.cpio" "$cache/initramfs.stamp"
        mkdir -p "$staging/bin" &&
            cp "$busybox" "$staging/bin/busybox" &&
            cp "$here/init.sh" "$staging/init" &&
            cp -r "$cache/modules" "$staging/modules" &&
            (cd "$staging" && find . | "$busybox" cpio -o -H newc -R 0:0 >"$cache/initramfs.cpio" 2>/dev/null) || {
            say "cannot make the initramfs"
            return 1
        }
        rm -rf "$staging"
        echo "$initramfs_stamp" >"$cache/initramfs.stamp"
    fi
    exec 9>&-
}

check() {
    local why
    why=$(missing_tool)
    if [ -n "$why" ]; then
        echo "SKIPPED: $why"
        exit $SKIPPED
    fi
    if ! prepare_kernel; then
        echo "SKIPPED: Debian's kernel could not be had (see above)"
        exit $SKIPPED
    fi
    exit 0
}

usage() {
    say "usage: guest.sh check | guest.sh run [--usb-gadget] [--virmidi N] [--timeout SECONDS] [--console FILE] -- COMMAND..."
    exit 2
}

run() {
    local usb_gadget=0 virmidi=4 timeout=300 console=/dev/null
    while [ $# -gt 0 ]; do
        case $1 in
            --usb-gadget) usb_gadget=1 ;;
            --virmidi) [[ ${2:-} =~ ^[0-9]+$ ]] || usage; virmidi=$2; shift ;;
            --timeout) [[ ${2:-} =~ ^[0-9]+$ ]] || usage; timeout=$2; shift ;;
            --console) [ -n "${2:-}" ] || usage; console=$2; shift ;;
            --) shift; break ;;
            *) usage ;;
        esac
        shift
    done
    [ $# -gt 0 ] || usage
    local why
    why=$(missing_tool)
    [ -z "$why" ] || { say "$why"; exit 125; }
    prepare_kernel || exit 125

    # The job's folder is on the host; the guest sees it at the same path through the shared root.
    local job
    job=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/update-vm.XXXXXX")") || exit 125
    trap 'rm -rf "$job"' EXIT
    mkdir "$job/tmp"
    printf 'USB_GADGET=%s\nVIRMIDI_DEVICES=%s\nUSB_PRODUCT="Emulated product"\n' "$usb_gadget" "$virmidi" >"$job/job.env"
    {
        # The caller's environment, but a temporary folder of the guest's own (a tmpfs).
        export -p | grep -v '^declare -x TMPDIR='
        printf 'export TMPDIR=%q\n' "$job/tmp"
        printf 'cd -- %q || exit 125\n' "$PWD"
        printf 'exec'
        printf ' %q' "$@"
        printf '\n'
    } >"$job/job.sh"

    # Root maps files as they are; anyone else shares the files as their own user.
    local security=passthrough
    [ "$(id -u)" -eq 0 ] || security=none
    timeout -k 5 "$timeout" qemu-system-x86_64 \
        -accel tcg -smp 2 -m 1024 \
        -nodefaults -no-user-config -display none -no-reboot \
        -serial "file:$console" \
        -kernel "$cache/vmlinuz" -initrd "$cache/initramfs.cpio" \
        -append "console=ttyS0 quiet panic=-1 rdinit=/init update_vm.job=$job" \
        -fsdev "local,id=root,path=/,security_model=$security,multidevs=remap" \
        -device virtio-9p-pci,fsdev=root,mount_tag=hostroot \
        -device virtio-rng-pci \
        </dev/null >"$job/qemu.log" 2>&1
    local qemu_status=$?
    if [ -f "$job/status" ]; then
        cat "$job/stdout"
        cat "$job/stderr" >&2
        exit "$(cat "$job/status")"
    fi
    if [ $qemu_status -eq 124 ]; then
        say "the guest did not end within $timeout s"
        exit 124
    fi
    if [ -f "$job/guest-error" ]; then
        say "the guest failed: $(cat "$job/guest-error")"
    else
        say "the guest ended without running the command (qemu status $qemu_status): $(cat "$job/qemu.log")"
    fi
    exit 125
}

case ${1:-} in
    check) check ;;
    run) shift; run "$@" ;;
    *) usage ;;
esac
