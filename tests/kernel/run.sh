#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# make kernel-test: Debian's kernel under QEMU, booted with an initramfs of our
# own making that holds the installed product, Debian's libusb-0.1 and udev
# with the package's rules, busybox, the USB modules and the simulators; its
# /init (init.sh) runs checks.sh and powers off. Prints the guest's check lines
# and its closing count; status 0 only when that count came and nothing failed.
# Usage: tests/kernel/run.sh BUILD   (the programs, usbip-controller and sky-box built there)
# KERNEL_CACHE: where the unpacked packages are kept (default ~/.cache/tovra-control/kernel)
# KERNEL_ACCEL=kvm or tcg: the accelerator (see below); KERNEL_TIMEOUT: seconds the guest may take (240)
set -euo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
cache=${KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tovra-control/kernel}
work=$build/kernel-test
root=$work/root
die() { echo "kernel-test: $*" >&2; exit 1; }

# The candidate of a package, unpacked into the cache once (never installed);
# the folder's path on stdout. Without apt's lists, the version cached last.
unpacked() {
    local version dir fetch
    version=$(apt-cache show --no-all-versions "$1" 2>/dev/null | sed -n 's/^Version: //p' | head -n 1)
    dir=$cache/$1_$version
    [ -n "$version" ] || dir=$(ls -d "$cache/$1"_* 2>/dev/null | tail -n 1) || die "$1: not in apt's lists (apt-get update) nor cached"
    if [ ! -d "$dir" ]; then
        fetch=$(mktemp -d "$cache/fetch.XXXXXX")
        # root's download cannot be handed to apt's sandbox user in a private folder.
        if ! (cd "$fetch" && apt-get download -q -o APT::Sandbox::User=root "$1" >&2 && dpkg-deb -x ./*.deb root); then
            rm -rf "$fetch" && die "cannot fetch $1"
        fi
        rm -rf "$cache/$1"_* && mv "$fetch/root" "$dir" && rm -rf "$fetch"
    fi
    echo "$dir"
}

mkdir -p "$cache"
# apt's lists name the kernel; a machine that had every package may have none.
if ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
    $([ "$(id -u)" -eq 0 ] || echo sudo -n) apt-get -o DPkg::Lock::Timeout=300 -qq update >&2 ||
        echo "kernel-test: apt-get update failed; trying the kernel cached last" >&2
fi
image=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
[ -n "$image" ] || image=$(basename "$(ls -d "$cache"/linux-image-[0-9]* 2>/dev/null | tail -n 1)" | sed 's/_.*//')
[ -n "$image" ] || die "linux-image-amd64 not in apt's lists (apt-get update) and no kernel cached"
kernel=$(unpacked "$image")
udev=$(unpacked udev)
release=$(ls "$kernel/lib/modules")
echo "# kernel $image ($(basename "$kernel" | sed 's/.*_//')), $release"

# The tree: merged /usr as on Debian, busybox's applets, the product as the
# package installs it, the simulators and checks, udev, libraries, modules.
rm -rf "$root" && mkdir -p "$root"/{usr/bin,usr/lib,usr/lib64,dev,proc,sys,run,tmp,etc,root,home/pvr,home/guest,sim}
for d in bin sbin lib lib64; do ln -s "usr/${d/sbin/bin}" "$root/$d"; done
cp /bin/busybox "$root/bin/busybox"
for applet in $("$root/bin/busybox" --list); do [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"; done
DESTDIR=$root cmake --install "$build" --prefix /usr --strip >/dev/null
cp "$build/sim/usbip-controller" "$build/sim/sky-box" "$here/../../sim/usb-serial.sh" "$root/sim/"
strip "$root/sim/usbip-controller" "$root/sim/sky-box"
cp "$(command -v script)" "$root/usr/bin/"  # util-linux's: a pseudo-terminal as a program's console
cp "$here/init.sh" "$root/init" && cp "$here/checks.sh" "$root/"
cp "$udev/bin/udevadm" "$root/bin/" && mkdir -p "$root/lib/systemd" && ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
mkdir -p "$root/lib/udev" && cp -r "$udev/lib/udev/rules.d" "$root/lib/udev/"
programs=("$root"/usr/bin/tovra-* "$root"/usr/bin/script "$root"/sim/usbip-controller "$root"/sim/sky-box "$root"/bin/udevadm)
libs=$(ldd "${programs[@]}") || die "ldd ${programs[*]} failed"
[[ $libs != *"not found"* ]] || die "libraries missing: $(grep 'not found' <<<"$libs")"
for lib in $(awk '/=> \// {print $3} /^\t\// {print $1}' <<<"$libs" | sort -u); do
    mkdir -p "$root${lib%/*}" && cp -L "$lib" "$root$lib"
done
printf 'root:x:0:0:root:/root:/bin/sh\npvr:x:1000:1000:in plugdev:/home/pvr:/bin/sh\nguest:x:1001:1001:not in plugdev:/home/guest:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ntty:x:5:\ndialout:x:20:pvr\nplugdev:x:46:pvr\npvr:x:1000:\nguest:x:1001:\n' >"$root/etc/group"

# Modules, each after those it depends on, in the order init.sh loads them;
# uncompressed, which busybox's insmod may need (Debian's 6.1 ships them so).
modules=$kernel/lib/modules/$release/kernel
loaded=" "
load() {
    local module ko
    for module in "$@"; do
        [[ $loaded == *" $module "* ]] && continue
        loaded+="$module "
        ko=$(find "$modules" -name "$(sed 's/[-_]/[-_]/g' <<<"$module").ko*" | head -n 1)
        [ -n "$ko" ] || die "module $module is not in $image"
        case $ko in
        *.xz) xz -dc "$ko" ;; *.zst) zstd -dc "$ko" ;; *.gz) gzip -dc "$ko" ;; *) cat "$ko" ;;
        esac >"$root/lib/modules/$module.ko"
        load $(tr '\0' '\n' <"$root/lib/modules/$module.ko" | sed -n 's/^depends=//p' | tr , ' ')
        echo "$module" >>"$root/lib/modules/order"
    done
}
mkdir -p "$root/lib/modules" && load usbhid hid-generic vhci-hcd dummy_hcd usb_f_acm cdc-acm

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/initramfs.gz"
echo "# initramfs $(du -k "$work/initramfs.gz" | cut -f 1) KiB, ready after $SECONDS s"

# KVM on bare metal: /dev/kvm usable and no "hypervisor" flag in /proc/cpuinfo.
# Inside a virtual machine a nested /dev/kvm may hang the guest, and CI has no
# KVM at all: TCG there. KERNEL_ACCEL=kvm or tcg decides instead.
accel=tcg
[ -r /dev/kvm ] && [ -w /dev/kvm ] && ! grep -qw hypervisor /proc/cpuinfo && accel=kvm
accel=${KERNEL_ACCEL:-$accel}
echo "# booting with $accel"
# The guest's console (kernel messages, a panic) goes to console.log; its
# second port carries the check lines alone, relayed as they come.
set +e
timeout --kill-after=5 "${KERNEL_TIMEOUT:-240}" nice qemu-system-x86_64 -accel "$accel" -m 512 -smp 2 \
    -nodefaults -no-user-config -display none -no-reboot -nic none \
    -serial "file:$work/console.log" -serial stdio \
    -kernel "$kernel/boot/vmlinuz-$release" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 quiet panic=-1 oops=panic" </dev/null | sed -u 's/\r$//' | tee "$work/checks.log"
qemu=${PIPESTATUS[0]}
set -e
count=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$work/checks.log" | tail -n 1) || true
[ "$qemu" -eq 124 ] && echo "kernel-test: the guest did not finish within ${KERNEL_TIMEOUT:-240} s" >&2
[ -n "$count" ] || { echo "kernel-test: no count from the guest (QEMU status $qemu); the end of its console:" >&2; tail -n 30 "$work/console.log" >&2; }
[[ $count == *" 0 failed" && $count != "0 passed"* && $qemu -eq 0 ]] || die "failed; the guest's console is in $work/console.log"
