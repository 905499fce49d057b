#include "decode.h"

namespace lptrun {

bool decode(const uint8_t *code, size_t available, bool long_mode, PortInstruction *out)
{
    bool operand16 = false, address_short = false, repeated = false;
    // An instruction is at most 15 bytes long, prefixes included.
    size_t limit = available < 15 ? available : 15;
    size_t i = 0;
    for (; i < limit; ++i) {
        const uint8_t b = code[i];
        if (b == 0x66) {
            operand16 = true;
        } else if (b == 0x67) {
            address_short = true;
        } else if (b == 0xF2 || b == 0xF3) {
            repeated = true;
        } else if (b == 0x26 || b == 0x2E || b == 0x36 || b == 0x3E) {
            // Segments without a base of their own on Linux.
        } else if (long_mode && b >= 0x40 && b <= 0x4F) {
            // REX: no effect on port instructions, and only last before the opcode.
            if (i + 1 < limit && !(code[i + 1] >= 0x40 && code[i + 1] <= 0x4F)) {
                continue;
            }
            return false;
        } else {
            break;
        }
    }
    if (i >= limit) {
        return false;
    }
    const uint8_t op = code[i];
    const unsigned wide = operand16 ? 2 : 4;
    PortInstruction d = {};
    d.addr_bits = long_mode ? (address_short ? 32 : 64) : (address_short ? 16 : 32);
    switch (op) {
    case 0xE4:
    case 0xE5:
    case 0xE6:
    case 0xE7:
        if (i + 1 >= limit) {
            return false;
        }
        d.kind = op < 0xE6 ? PortInstruction::in : PortInstruction::out;
        d.size = op & 1 ? wide : 1;
        d.immediate = true;
        d.port = code[i + 1];
        d.length = static_cast<unsigned>(i + 2);
        break;
    case 0xEC:
    case 0xED:
    case 0xEE:
    case 0xEF:
        d.kind = op < 0xEE ? PortInstruction::in : PortInstruction::out;
        d.size = op & 1 ? wide : 1;
        d.length = static_cast<unsigned>(i + 1);
        break;
    case 0x6C:
    case 0x6D:
    case 0x6E:
    case 0x6F:
        d.kind = op < 0x6E ? PortInstruction::ins : PortInstruction::outs;
        d.size = op & 1 ? wide : 1;
        d.repeated = repeated;
        d.length = static_cast<unsigned>(i + 1);
        break;
    default:
        return false;
    }
    *out = d;
    return true;
}

} // namespace lptrun
