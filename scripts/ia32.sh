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
