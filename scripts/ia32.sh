# can_run_ia32: whether this kernel runs 32-bit x86 programs, which 32-bit
# Wine needs. Tries a 93-byte i386 ELF program that only exits with 0.
can_run_ia32() {
    local probe ok=1
    probe=$(mktemp)
    {
        # ELF header: 32-bit, little-endian, executable, i386, entry 0x08048054
        printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
        printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
        printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00'
        printf '\x00\x00\x00\x00\x00\x00'
        # one loadable segment: the whole file at 0x08048000, read and execute
        printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
        printf '\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
        # mov eax, 1 (exit); xor ebx, ebx; int 0x80
        printf '\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'
    } >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null && ok=0
    rm -f "$probe"
    return $ok
}

# enable_ia32: where this kernel refuses 32-bit x86 programs, has QEMU's
# user-mode emulator run them: registers it with binfmt_misc for i386 ELF
# files. Needs root; machine-wide until reboot, undone with
#   echo -1 > /proc/sys/fs/binfmt_misc/qemu-i386
# Prints one line saying what it did; fails where it cannot (then 32-bit
# programs still do not run). Uses as_root and apt_get (common.sh).
ia32_binfmt=/proc/sys/fs/binfmt_misc
enable_ia32() {
    local refused="== this kernel cannot run 32-bit x86 programs" did=""
    if can_run_ia32; then
        echo "== 32-bit x86 programs run here: nothing to set up"
        return 0
    fi
    if [ "$(id -u)" != 0 ]; then
        echo "$refused, and registering an emulator for them needs root"
        return 1
    fi
    if [ ! -e $ia32_binfmt/register ]; then
        mount -t binfmt_misc binfmt_misc $ia32_binfmt 2>/dev/null || {
            echo "$refused and has no binfmt_misc to hand them to an emulator"
            return 1
        }
        did+="; mounted $ia32_binfmt"
    fi
    install_qemu_user || {
        echo "$refused, and QEMU's user-mode emulator could not be installed$did"
        return 1
    }
    local qemu=/usr/libexec/qemu-binfmt/i386-binfmt-P
    [ -x $qemu ] || qemu=/usr/bin/qemu-i386
    # A stale entry of ours (say, an older emulator) goes first.
    [ ! -e $ia32_binfmt/qemu-i386 ] || echo -1 >$ia32_binfmt/qemu-i386
    # Magic and mask: 32-bit little-endian ELF, executable or shared object,
    # machine i386. P keeps the program's argv[0]; F opens the emulator now.
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:$qemu:PF" >$ia32_binfmt/register 2>/dev/null &&
        can_run_ia32 || {
        echo "$refused, and registering $qemu for them failed$did"
        return 1
    }
    echo "== 32-bit x86 programs now run through $qemu: binfmt_misc entry qemu-i386 until" \
        "reboot (echo -1 > $ia32_binfmt/qemu-i386 removes it)$did"
}

# install_qemu_user: QEMU's user-mode emulator, version 8 or newer, adding
# to enable_ia32's "did". Older ones (bookworm's 7.2) search the guest address
# space page by page and take over a minute to start each Wine process;
# bookworm has a new one in its backports suite, which is added from the
# mirror APT already uses if it is missing, and used for that one package.
install_qemu_user() {
    local version codename suite
    version=$(dpkg-query -W -f='${Status} ${Version}' qemu-user 2>/dev/null |
        sed -n 's/^install ok installed //p')
    [ -n "$version" ] && dpkg --compare-versions "$version" ge 1:8 && return 0
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    suite=$codename
    if [ "$codename" = bookworm ]; then
        suite=bookworm-backports
        add_apt_suite "$suite" || return 1
    fi
    apt_get update -qq &&
        apt_get install -y -qq --no-install-recommends "qemu-user/$suite" >/dev/null || return 1
    did+="; installed qemu-user from $suite"
}

# add_apt_suite SUITE: an APT source for SUITE of the Debian mirror that the
# existing sources name, unless one exists already.
add_apt_suite() {
    local suite=$1 uri keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    local lists=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
    grep -qsE "^[^#]*[[:space:]]$suite([[:space:]]|$)" "${lists[@]}" && return 0
    # The first URI of a main Debian source, in either format.
    uri=$(grep -hsE '^[[:space:]]*(deb[[:space:]]|URIs:)' "${lists[@]}" |
        grep -vE 'security|/debian-ports' | grep -oE '(https?|file)://[^[:space:]]+' | head -1)
    [ -n "$uri" ] || return 1
    printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
        "$uri" "$suite" "$keyring" >"/etc/apt/sources.list.d/$suite.sources"
    did+="; added the APT source /etc/apt/sources.list.d/$suite.sources ($uri)"
}
