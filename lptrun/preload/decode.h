// The x86 port instructions, read from the bytes at a faulting instruction
// pointer: in, out, ins and outs in all their forms.
#ifndef LPTRUN_DECODE_H
#define LPTRUN_DECODE_H

#include <stddef.h>
#include <stdint.h>

namespace lptrun {

struct PortInstruction {
    enum Kind { in, out, ins, outs } kind;
    unsigned length;    // bytes, prefixes included
    unsigned size;      // bytes moved per port access: 1, 2 or 4
    bool immediate;     // the port is `port`, else DX
    uint8_t port;       // with `immediate`
    bool repeated;      // rep prefix: (e/r)CX times
    unsigned addr_bits; // ins/outs: width of SI, DI and CX (16, 32 or 64)
};

// Decodes the instruction in `code` (at most `available` bytes readable) for
// a 64-bit or a 32-bit program. False for anything else, which is not ours:
// the fault goes to the program's own handler.
bool decode(const uint8_t *code, size_t available, bool long_mode, PortInstruction *out);

} // namespace lptrun

#endif
