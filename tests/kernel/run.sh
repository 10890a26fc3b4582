#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# make kernel-test: Debian's kernel under QEMU, booted with an initramfs of our own making that holds the installed
# product, libusb-0.1 and udev with the package's rules, busybox, the USB modules and the simulators; its /init
# (init.sh) runs checks.sh and powers off. Prints the guest's check lines and its closing count; status 0 only when
# that count came and nothing failed.
# Usage: tests/kernel/run.sh BUILD   (the programs, usbip-controller and sky-box built there)
#        KERNEL_ARCH=arm64 tests/kernel/run.sh BUILD ARMHF_BUILD: Debian's arm64 kernel, booted
#            with the arm64 programs of BUILD, then with the armhf ones of ARMHF_BUILD.
# KERNEL_CACHE: where the unpacked packages are kept (default ~/.cache/tovra-control/kernel)
# KERNEL_ACCEL=kvm or tcg: the accelerator (see below); KERNEL_TIMEOUT: seconds a boot may take (240, on arm64 420)
set -euo pipefail
arch=${KERNEL_ARCH:-amd64}
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
cache=${KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tovra-control/kernel}
work=$build/kernel-test
root=$work/root
die() { echo "kernel-test: $*" >&2; exit 1; }
case $arch in
amd64) [ $# -eq 1 ] || die "usage: $0 BUILD" ;;
arm64) [ $# -eq 2 ] || die "usage: KERNEL_ARCH=arm64 $0 BUILD ARMHF_BUILD"; armhf=$(realpath "$2") ;;
*) die "KERNEL_ARCH=$arch: amd64 or arm64" ;;
esac

# The candidates of packages (NAME, or NAME:ARCH for another architecture, kept in a folder of its own), each unpacked
# into the cache once (never installed), those missing fetched together; the folders' paths on stdout, one a line.
# Without apt's lists, the version cached last. (apt-cache may take seconds for each call where it keeps no cache, as
# in containers: one call for all.)
unpacked() {
    local wanted name dir version folder fetch deb versions i missing=() targets=() dirs=()
    versions=$(apt-cache show --no-all-versions "$@" 2>/dev/null |
        awk '/^Package: / { p = $2 } /^Architecture: / { a = $2 } /^Version: / { v = $2 }
            /^$/ && p != "" { print p ":" a, v; p = "" } END { if (p != "") print p ":" a, v }') || true
    for wanted; do
        name=${wanted%%:*} && folder=$cache && [ "$name" = "$wanted" ] || folder+=/${wanted#*:}
        version=$(awk -v p="$name" -v a="${wanted#"$name"}" '$1 == p a || $1 == p ":all" || (a == "" && index($1, p ":") == 1) { print $2; exit }' <<<"$versions")
        dir=$folder/${name}_$version
        [ -n "$version" ] || dir=$(ls -d "$folder/$name"_* 2>/dev/null | tail -n 1) || die "$wanted: not in apt's lists (apt-get update) nor cached"
        [ -d "$dir" ] || missing+=("$wanted") targets+=("$dir")
        dirs+=("$dir")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        fetch=$(mktemp -d "$cache/fetch.XXXXXX")
        # root's download cannot be handed to apt's sandbox user in a private folder.
        (cd "$fetch" && apt-get download -q -o APT::Sandbox::User=root "${missing[@]}" >&2) || { rm -rf "$fetch"; die "cannot fetch ${missing[*]}"; }
        for i in "${!missing[@]}"; do
            wanted=${missing[i]} name=${missing[i]%%:*} dir=${targets[i]}
            deb=$(ls "$fetch/${name}_"*"_${wanted#"$name":}.deb" "$fetch/${name}_"*_all.deb 2>/dev/null | head -n 1) || true
            [ "$name" != "$wanted" ] || deb=$(ls "$fetch/${name}_"*.deb | head -n 1)
            dpkg-deb -x "$deb" "$fetch/root" || { rm -rf "$fetch"; die "cannot unpack $wanted"; }
            mkdir -p "${dir%/*}" && rm -rf "${dir%_*}"_* && mv "$fetch/root" "$dir"
        done
        rm -rf "$fetch"
    fi
    printf '%s\n' "${dirs[@]}"
}

# The libraries and loader that ELF files need, and those that these need, copied into the tree from the unpacked
# packages' folders DIR ("": the host's own), where they are found as the loader of that architecture finds them: in
# /lib/TRIPLET, /usr/lib/TRIPLET, /lib, /usr/lib. (ldd reads the host's only.)
# Usage: libraries TRIPLET DIR... -- FILE...
libraries() {
    local triplet=$1 dirs=() file want path paths dir found
    shift
    while [ "$1" != -- ]; do dirs+=("$1") && shift; done
    shift
    while [ $# -gt 0 ]; do
        file=$1 && shift
        for want in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p') \
                    $(readelf -l "$file" | sed -n 's/.*program interpreter: \(.*\)\]$/\1/p'); do
            case $want in /*) paths=("$want") ;; *) paths=("/lib/$triplet/$want" "/usr/lib/$triplet/$want" "/lib/$want" "/usr/lib/$want") ;; esac
            for path in "${paths[@]}"; do [ -e "$root$path" ] && continue 2; done
            found=
            for dir in "${dirs[@]}"; do
                for path in "${paths[@]}"; do [ -e "$dir$path" ] && found=$path && break 2; done
            done
            [ -n "$found" ] || die "${file#"$root"} needs $want, in none of the packages unpacked"
            # A link that leaves the package would take the host's file.
            [[ $(realpath "$dir$found") == "$dir"/* ]] || die "$dir$found leads out of its package"
            mkdir -p "$root${found%/*}" && cp -L "$dir$found" "$root$found"
            set -- "$@" "$root$found"
        done
    done
}

mkdir -p "$cache"
# The kernel that apt's lists name; on arm64 the guest's user space too, from Debian's packages of both architectures:
# busybox, udev, util-linux's script, libusb-0.1 and the C++ runtime, with the libraries they depend on and theirs
# (the first of each choice). One call: see unpacked().
meta=linux-image-$arch && [ "$arch" = amd64 ] || meta+=":$arch"
top=() && [ "$arch" = amd64 ] ||
    top=(busybox-static:arm64 bsdutils:arm64 udev:arm64 libusb-0.1-4:arm64 libstdc++6:arm64 libusb-0.1-4:armhf libstdc++6:armhf)
graph() {
    apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces --no-enhances \
        "$meta" "${top[@]}" 2>/dev/null || true
}
graph=$(graph)
# A machine that had every package may have no lists.
if [ -z "$graph" ]; then
    $([ "$(id -u)" -eq 0 ] || echo sudo -n) apt-get -o DPkg::Lock::Timeout=300 -qq update >&2 ||
        echo "kernel-test: apt-get update failed; trying the kernel cached last" >&2
    graph=$(graph)
fi
image=$(awk -v meta="$meta" '/^[^ ]/ { p = $1 } p == meta && /^ *Depends: linux-image-[0-9]/ { sub(/:.*/, "", $2); print $2; exit }' <<<"$graph")
[ "$arch" = amd64 ] || folder=/$arch
[ -n "$image" ] || image=$(basename "$(ls -d "$cache${folder:-}"/linux-image-[0-9]* 2>/dev/null | tail -n 1)" | sed 's/_.*//')
[ -n "$image" ] || die "$meta not in apt's lists (apt-get update) and no kernel cached"
if [ "$arch" = amd64 ]; then
    mapfile -t dirs < <(unpacked "$image" udev)
    kernel=${dirs[0]} udev=${dirs[1]}
else
    packages=$(awk -v top="${top[*]}" '
        /^[^ ]/ { p = $1; choice = 0; next }
        /^ \|[A-Za-z]*Depends: / { if (!choice++) deps[p] = deps[p] " " $2; next }
        /^  [A-Za-z]*Depends: / { if (!choice) deps[p] = deps[p] " " $2; choice = 0 }
        END {
            n = split(top, queue, " ")
            for (i = 1; i <= n; i++) seen[queue[i]] = 1
            for (i = 1; i <= n; i++) {
                print queue[i]
                m = split(deps[queue[i]], d, " ")
                for (j = 1; j <= m; j++) if (d[j] ~ /^lib/ && !seen[d[j]]++) queue[++n] = d[j]
            }
        }' <<<"$graph")
    # Without apt's lists: every package cached for these architectures.
    [ -n "$graph" ] || packages=$(cd "$cache" && ls -d arm64/* armhf/* 2>/dev/null | grep -v /linux-image | sed 's,^\(.*\)/\([^_]*\)_.*,\2:\1,') || true
    mapfile -t dirs < <(unpacked "$image:$arch" $packages)
    [ ${#dirs[@]} -gt 1 ] || die "cannot unpack the guest's packages"
    kernel=${dirs[0]}
    mapfile -t packages64 < <(printf '%s\n' "${dirs[@]:1}" | grep -v "^$cache/armhf/")
    mapfile -t packages32 < <(printf '%s\n' "${dirs[@]:1}" | grep "^$cache/armhf/")
    busybox=$(printf '%s\n' "${packages64[@]}" | grep '/busybox-static_')
    udev=$(printf '%s\n' "${packages64[@]}" | grep '/udev_')
fi
release=$(ls "$kernel/lib/modules")
echo "# kernel $image ($(basename "$kernel" | sed 's/.*_//')), $release"

# The tree: merged /usr as on Debian, busybox's applets, the product as the package installs it, the simulators and
# checks, udev, libraries, modules.
rm -rf "$root" && mkdir -p "$root"/{usr/bin,usr/lib,usr/lib64,dev,proc,sys,run,tmp,etc,root,home/pvr,home/guest,sim}
for d in bin sbin lib lib64; do ln -s "usr/${d/sbin/bin}" "$root/$d"; done
if [ "$arch" = amd64 ]; then
    cp /bin/busybox "$root/bin/busybox"
    applets=$("$root/bin/busybox" --list)
else
    cp "$busybox/bin/busybox" "$root/bin/busybox"
    applets=$(qemu-aarch64 "$root/bin/busybox" --list) || die "qemu-aarch64 (qemu-user) cannot list busybox's applets"
fi
for applet in $applets; do [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"; done
# stage BUILD TREE: the product as the package installs it, and the simulators, stripped.
stage() {
    DESTDIR=$2 cmake --install "$1" --prefix /usr --strip >/dev/null
    mkdir -p "$2/sim" && cp "$1/sim/usbip-controller" "$1/sim/sky-box" "$2/sim/"
    strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$1/CMakeCache.txt") && "${strip:-strip}" "$2"/sim/*
}
stage "$build" "$root" && cp "$here/../../sim/usb-serial.sh" "$root/sim/"
cp "$here/init.sh" "$root/init" && cp "$here/checks.sh" "$root/"
cp "$udev/bin/udevadm" "$root/bin/" && mkdir -p "$root/lib/systemd" && ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
mkdir -p "$root/lib/udev" && cp -r "$udev/lib/udev/rules.d" "$root/lib/udev/"
programs=("$root"/usr/bin/tovra-* "$root"/usr/bin/script "$root"/sim/usbip-controller "$root"/sim/sky-box "$root"/bin/udevadm)
if [ "$arch" = amd64 ]; then
    cp "$(command -v script)" "$root/usr/bin/"  # util-linux's: a pseudo-terminal as a program's console
    libraries x86_64-linux-gnu "" -- "${programs[@]}"  # the host's
else
    cp "$(printf '%s\n' "${packages64[@]}" | grep '/bsdutils_')/usr/bin/script" "$root/usr/bin/"
    libraries aarch64-linux-gnu "${packages64[@]}" -- "${programs[@]}"
    # The armhf programs in /armhf, put in place of the arm64 ones by init.sh when the kernel's command line says
    # userland=armhf; their libraries and loader have folders of their own (/usr/lib/arm-linux-gnueabihf).
    stage "$armhf" "$root/armhf"
    libraries arm-linux-gnueabihf "${packages32[@]}" -- "$root"/armhf/usr/bin/tovra-* "$root"/armhf/sim/*
fi
printf 'root:x:0:0:root:/root:/bin/sh\npvr:x:1000:1000:in plugdev:/home/pvr:/bin/sh\nguest:x:1001:1001:not in plugdev:/home/guest:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\ntty:x:5:\ndialout:x:20:pvr\nplugdev:x:46:pvr\npvr:x:1000:\nguest:x:1001:\n' >"$root/etc/group"

# Modules, each after those it depends on, in the order init.sh loads them; uncompressed, which busybox's insmod may
# need (Debian's 6.1 ships them so).
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
        echo "$module" >>"$root/lib/modules/${order:-order}"
    done
}
mkdir -p "$root/lib/modules" && load usbhid hid-generic vhci-hcd dummy_hcd usb_f_acm cdc-acm
# ARM's virt machine has one serial port: the check lines take a virtio console, hvc0. Its device has that one port
# (max_ports=1), so the driver sets the console up as it loads: with more ports that waits for messages from QEMU, and
# early lines were lost or hvc0 could not be opened yet (ENODEV).
[ "$arch" = amd64 ] || order=console load virtio_mmio virtio_console

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$work/initramfs.gz"
echo "# initramfs $(du -k "$work/initramfs.gz" | cut -f 1) KiB, ready after $SECONDS s"

# KVM on bare metal: /dev/kvm usable and no "hypervisor" flag in /proc/cpuinfo. Inside a virtual machine a nested
# /dev/kvm may hang the guest, and CI has no KVM at all: TCG there. KERNEL_ACCEL=kvm or tcg decides instead. An arm64
# kernel on another machine is always emulated.
accel=tcg
[ "$arch" = amd64 ] && [ -r /dev/kvm ] && [ -w /dev/kvm ] && ! grep -qw hypervisor /proc/cpuinfo && accel=kvm
accel=${KERNEL_ACCEL:-$accel}
timeout=${KERNEL_TIMEOUT:-$([ "$arch" = amd64 ] && echo 240 || echo 420)}

# boot NAME APPEND QEMU...: boots the guest with that QEMU command, which puts its console (kernel messages, a panic)
# into console$NAME.log and relays the check lines as they come from a port of their own (into checks$NAME.log too),
# the count after "NAME:" (-arm64: "arm64: 47 passed, 0 failed"); false unless the guest's count came with no failure.
boot() {
    local name=$1 append=$2 qemu count
    shift 2
    set +e
    timeout --kill-after=5 "$timeout" nice "$@" -accel "$accel" -nodefaults -no-user-config -display none -no-reboot -nic none \
        -kernel "$kernel/boot/vmlinuz-$release" -initrd "$work/initramfs.gz" \
        -append "$append quiet panic=-1 oops=panic" </dev/null |
        sed -u -e 's/\r$//' ${name:+-e "s/^[0-9]* passed, [0-9]* failed\$/${name#-}: &/"} | tee "$work/checks$name.log"
    qemu=${PIPESTATUS[0]}
    set -e
    count=$(grep -E '^([a-z0-9]+: )?[0-9]+ passed, [0-9]+ failed$' "$work/checks$name.log" | tail -n 1) || true
    count=${count#*: }
    [ "$qemu" -eq 124 ] && echo "kernel-test: the guest did not finish within $timeout s" >&2
    [ -n "$count" ] || { echo "kernel-test: no count from the guest (QEMU status $qemu); the end of its console:" >&2; tail -n 30 "$work/console$name.log" >&2; }
    [[ $count == *" 0 failed" && $count != "0 passed"* && $qemu -eq 0 ]]
}

if [ "$arch" = amd64 ]; then
    echo "# booting with $accel"
    boot "" "console=ttyS0" qemu-system-x86_64 -m 512 -smp 2 -serial "file:$work/console.log" -serial stdio ||
        die "failed; the guest's console is in $work/console.log"
    exit 0
fi
# Both user spaces on the one kernel, each on a fresh boot: no state of the first run (gadgets, controllers, device
# numbers) can reach the second. The processor: QEMU's "max" with a cheaper pointer-authentication hash, which TCG
# otherwise spends much of the kernel's time on (boots twice as fast).
status=0
for userland in arm64 armhf; do
    echo "# booting with $accel, the $userland user space"
    boot "-$userland" "console=ttyAMA0 checks_port=/dev/hvc0 userland=$userland" \
        qemu-system-aarch64 -M virt -cpu max,pauth-impdef=on -m 512 -smp 2 -serial "file:$work/console-$userland.log" \
        -device virtio-serial-device,max_ports=1 -chardev stdio,id=checks -device virtconsole,chardev=checks || {
        echo "kernel-test: $userland failed; the guest's console is in $work/console-$userland.log" >&2
        status=1
    }
    # The guest names the machine of the programs it ran: AArch64 183, ARM 40.
    machine=$([ "$userland" = arm64 ] && echo 183 || echo 40)
    grep -qx "# ELF machine of tovra-control, sky-box, usbip-controller: $machine $machine $machine" "$work/checks-$userland.log" || {
        echo "kernel-test: the $userland boot did not run the $userland programs" >&2
        status=1
    }
done
exit $status
