#!/bin/busybox sh
# The guest's first process. It mounts the host's root (shared read-write over 9p), reads the job that
# guest.sh left there, loads the MIDI drivers, makes the USB MIDI gadget when asked, runs the job's
# command chrooted into the host's root, writes its output and status beside the job, and powers off.
# Anything it has to say goes to the kernel console, never into the command's output.
/bin/busybox mkdir -p /bin /sbin /usr/bin /usr/sbin /proc /sys /dev /host
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

job=
for word in $(cat /proc/cmdline); do
    case $word in update_vm.job=*) job=${word#*=} ;; esac
done

# Whatever went wrong before the command could run: said on the console and, once the host's root is
# mounted, beside the job, where guest.sh looks for it.
fail() {
    echo "guest: $*" >&2
    [ -n "$job" ] && [ -d "/host$job" ] && echo "$*" >"/host$job/guest-error"
    sync
    poweroff -f
}

load_group() {   # GROUP [MODULE=PARAMETERS]...
    local group=$1 module parameters
    shift
    while read -r module; do
        parameters=
        for setting in "$@"; do
            [ "${setting%%=*}.ko" = "$module" ] && parameters=${setting#*=}
        done
        # shellcheck disable=SC2086   # the parameters are separate words
        insmod "/modules/$module" $parameters || fail "insmod $module $parameters failed"
    done <"/modules/$group.list"
}

load_group share
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose hostroot /host || fail "cannot mount the host's root"
[ -n "$job" ] && [ -f "/host$job/job.env" ] || fail "no job (update_vm.job=$job)"
. "/host$job/job.env"

load_group sound
if [ "$VIRMIDI_DEVICES" -gt 0 ]; then
    load_group virmidi "snd_virmidi=midi_devs=$VIRMIDI_DEVICES"
fi

# A class-compliant USB MIDI device made in software: the gadget side (card "f_midi") is plugged into
# the dummy host controller, whose host side enumerates it through the ordinary USB audio driver.
wait_for() {   # TENTHS FILE TEXT
    local tries=0
    until grep -qF "$3" "$2" 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -gt "$1" ] && return 1
        sleep 0.1
    done
}
if [ "$USB_GADGET" = 1 ]; then
    load_group gadget
    mount -t configfs configfs /sys/kernel/config || fail "cannot mount configfs"
    gadget=/sys/kernel/config/usb_gadget/midi
    mkdir "$gadget" || fail "cannot make the USB gadget"
    echo 0x1209 >"$gadget/idVendor"
    echo 0x0001 >"$gadget/idProduct"
    mkdir "$gadget/strings/0x409"
    echo "Emulated maker" >"$gadget/strings/0x409/manufacturer"
    echo "$USB_PRODUCT" >"$gadget/strings/0x409/product"
    echo 0001 >"$gadget/strings/0x409/serialnumber"
    mkdir -p "$gadget/configs/c.1/strings/0x409"
    echo MIDI >"$gadget/configs/c.1/strings/0x409/configuration"
    mkdir "$gadget/functions/midi.usb0"
    ln -s "$gadget/functions/midi.usb0" "$gadget/configs/c.1/"
    echo dummy_udc.0 >"$gadget/UDC" || fail "cannot plug the gadget into dummy_udc.0"
    wait_for 150 /proc/asound/seq/clients "$USB_PRODUCT" ||
        fail "the host side did not enumerate the USB MIDI gadget"
    wait_for 50 /proc/asound/seq/clients f_midi || fail "the gadget's raw MIDI device has no sequencer port"
fi

root=/host
mount -t devtmpfs devtmpfs "$root/dev" || fail "cannot mount /dev in the host's root"
mkdir -p "$root/dev/pts" "$root/dev/shm"
mount -t devpts devpts "$root/dev/pts"
# libjack keeps its database in /dev/shm, and complains on stderr when it is missing.
mount -t tmpfs tmpfs "$root/dev/shm"
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount -t tmpfs tmpfs "$root$job/tmp"

chroot "$root" /bin/bash "$job/job.sh" </dev/null >"$root$job/stdout" 2>"$root$job/stderr"
echo $? >"$root$job/status"
sync
poweroff -f
