# An emulated PC with a parallel port at 0x3BC, driven by a real Linux kernel
# (Debian's, never installed on this machine), for the blinker and its port
# library. Shared by scripts/emulated-pc and the emulated-pc test; needs
# scripts/common.sh. Functions return non-zero with the reason in $epc_why.

epc_packages=(qemu-system-x86 busybox-static cpio)
epc_source=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
epc_why=

# The kernel and its modules (parport, parport_pc, ppdev; fuse and cuse for
# lptdev) live outside any build tree, kept between runs: fetching and
# unpacking them takes a while.
epc_cache=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/lpt-emulated-pc

# epc_install: installs QEMU, busybox and cpio where missing.
epc_install() {
    if ! (install_missing "${epc_packages[@]}") >&2; then
        epc_why="cannot install ${epc_packages[*]}"
        return 1
    fi
}

# epc_kernel_package: the versioned kernel package the metapackage names.
epc_kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *|\{0,1\}Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -1
}

# epc_kernel: sets epc_kernel_dir to a folder with vmlinuz and the modules
# above, fetching them on first use (again for a folder from before cuse.ko).
epc_kernel() {
    local dir
    epc_kernel_dir=
    for dir in "$epc_cache"/kernel-*; do
        [ -f "$dir/complete" ] && [ -f "$dir/cuse.ko" ] && epc_kernel_dir=$dir
    done
    [ -n "$epc_kernel_dir" ] && return 0

    local package
    package=$(epc_kernel_package)
    if [ -z "$package" ]; then
        apt_get update -qq >&2 || true
        package=$(epc_kernel_package)
    fi
    if [ -z "$package" ]; then
        epc_why="apt-get knows no linux-image-amd64 to take the guest kernel from"
        return 1
    fi
    echo "== fetching the guest kernel $package into $epc_cache" >&2
    mkdir -p "$epc_cache" || {
        epc_why="cannot create $epc_cache"
        return 1
    }
    local work
    work=$(mktemp -d "$epc_cache/fetch.XXXXXX")
    # Only what the guest needs is unpacked; the 70 MB package is not kept.
    if ! (cd "$work" && apt-get download -q "$package" 2>&1 | grep -v "unsandboxed" >&2 &&
        dpkg-deb --fsys-tarfile ./*.deb | tar -x --wildcards './boot/vmlinuz-*' \
            '*/parport/parport.ko' '*/parport/parport_pc.ko' '*/char/ppdev.ko' \
            '*/fs/fuse/fuse.ko' '*/fs/fuse/cuse.ko'); then
        rm -rf "$work"
        epc_why="cannot fetch or unpack $package"
        return 1
    fi
    dir=$epc_cache/kernel-${package#linux-image-}
    rm -rf "$dir"
    mkdir -p "$dir"
    mv "$work"/boot/vmlinuz-* "$dir/vmlinuz"
    find "$work/lib" -name '*.ko' -exec mv {} "$dir" \;
    rm -rf "$work"
    touch "$dir/complete"
    epc_kernel_dir=$dir
}

# epc_initramfs OUT PROGRAM... : the guest's whole file system: busybox, the
# modules, the /init, and the programs in /opt/lpt with the shared libraries
# they need at the same paths as here; also the files epc_files names, at
# their own paths (the programs among them with their libraries).
epc_files=()
epc_initramfs() {
    local out=$1
    shift
    local stage
    stage=$(mktemp -d)
    chmod 755 "$stage" # the guest's /: others must reach the programs
    mkdir -p "$stage"/{bin,etc,proc,sys,dev,tmp,opt/lpt,lib/modules}
    cp /bin/busybox "$stage/bin/busybox"
    cp "$epc_source/tests/emulated_pc/init" "$stage/init"
    cp "$epc_kernel_dir"/*.ko "$stage/lib/modules/"
    cp "$@" "$stage/opt/lpt/"
    [ ${#epc_files[@]} -eq 0 ] || cp -a --parents "${epc_files[@]}" "$stage/"
    local lib
    for lib in $(for program in /bin/busybox "$@" "${epc_files[@]}"; do ldd "$program" 2>/dev/null; done |
        grep -o "/[^ ]*" | sort -u); do
        mkdir -p "$stage$(dirname "$lib")"
        cp -L "$lib" "$stage$lib"
    done
    # lptdev serves as lptdev; lpuser is in group lp, user is not.
    printf '%s\n' root:x:0:0:root:/:/bin/sh user:x:1000:1000:user:/tmp:/bin/sh \
        lpuser:x:1001:7:lpuser:/tmp:/bin/sh lptdev:x:1002:1002:lptdev:/tmp:/bin/sh >"$stage/etc/passwd"
    printf '%s\n' root:x:0: lp:x:7:lpuser user:x:1000: lptdev:x:1002: >"$stage/etc/group"
    printf 'passwd: files\ngroup: files\n' >"$stage/etc/nsswitch.conf"
    (cd "$stage" && find . | cpio -o -H newc --quiet) >"$out"
    local status=$?
    rm -rf "$stage"
    return $status
}

# epc_qemu_args INITRAMFS MODE TRACE SERIAL : sets epc_args to the QEMU
# command line. The guest has parallel ports at 0x3BC and 0x378; every
# access to them is traced, with the time, into TRACE. SERIAL is the
# serial console's chardev (for example stdio or pipe,path=BASE).
epc_qemu_args() {
    local accel=(-accel tcg)
    # KVM where this machine offers it: the same guest, several times faster.
    # A /dev/kvm without the processor's virtualisation (a nested virtual
    # machine) can hang the guest: then emulate.
    if [ -r /dev/kvm ] && [ -w /dev/kvm ] && grep -qwE "vmx|svm" /proc/cpuinfo; then
        accel=(-accel kvm -accel tcg)
    fi
    epc_args=(qemu-system-x86_64 -M pc "${accel[@]}" -m 256M -nodefaults -no-user-config
        -display none -no-reboot
        -kernel "$epc_kernel_dir/vmlinuz" -initrd "$1"
        -append "console=ttyS0 quiet panic=-1 lpt.mode=$2"
        -chardev "$4,id=console" -serial chardev:console
        -chardev null,id=lpt1 -device isa-parallel,iobase=0x3bc,irq=7,chardev=lpt1
        -chardev null,id=lpt2 -device isa-parallel,iobase=0x378,irq=5,chardev=lpt2
        -trace "enable=parallel_ioport_*" -msg timestamp=on -D "$3")
}

# epc_port_writes [BASE] : turns QEMU's trace lines on standard input into
# "TIME REGISTER VALUE" for each write to the port at BASE (0x3bc unless
# given), as they come (register 0 data, 1 status, 2 control; TIME in seconds
# since 1970 with six decimals, VALUE two hex digits). QEMU names a register
# by its address & 7.
epc_port_writes() {
    local base=$((${1:-0x3bc} & 7))
    sed -un "s/^[0-9]*@\([0-9.]*\):parallel_ioport_write write .* addr 0x0\([$base-$((base + 2))]\) val 0x\(..\)\$/\1 \2 \3/p" |
        awk -v base=$base '{ print $1, $2 - base, $3; fflush() }'
}
