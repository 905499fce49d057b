// How each packed word of a port's state file holds its fields, written
// once: writers, the watchers' reading and the file's checks all go through
// these, and the limits the words must hold are tied to their bits here, so
// that a limit raised past its field fails to build instead of recording
// device 16 as 0, the virtual port's own.
#ifndef LPT_VPORT_RECORD_H
#define LPT_VPORT_RECORD_H

#include "vport_types.h"

#include <stdint.h>

namespace vport {

// A field of a word: `width` bits from bit `shift`.
struct Field {
    unsigned shift, width;
};
constexpr uint64_t field_max(Field f)
{
    return f.width == 64 ? ~uint64_t{0} : (uint64_t{1} << f.width) - 1;
}
constexpr uint64_t pack(Field f, uint64_t value)
{
    return (value & field_max(f)) << f.shift;
}
constexpr uint64_t unpack(Field f, uint64_t word)
{
    return word >> f.shift & field_max(f);
}
constexpr bool follows(Field low, Field high)
{
    return low.shift + low.width == high.shift;
}

// A recorded write (Slot::payload): its writer's pid, the check bits of its
// number (which tell its record from one a stalled writer left of an
// earlier lap), the device it went to, the register and the value.
namespace record_field {
constexpr Field value{0, 8}, reg{8, 4}, device{12, 4}, check{16, 16}, pid{32, 32};
static_assert(value.shift == 0 && follows(value, reg) && follows(reg, device) &&
                  follows(device, check) && follows(check, pid) && pid.shift + pid.width == 64,
              "a record's fields fill its word, none over another");
} // namespace record_field

// The slot of write `number` is its low bits; its check bits are the ones
// above them.
const unsigned history_bits = 16;
static_assert(history_length == uint64_t{1} << history_bits,
              "the slot index is the number's low bits");

// The register field of a record whose write is being made (its register
// then in the value's place), and of one whose number carries no write (a
// change of the inputs made again under another number).
const unsigned making = 0xF, no_write = 0xE;
static_assert(register_count <= no_write && no_write != making &&
                  making <= field_max(record_field::reg) &&
                  no_write <= field_max(record_field::reg),
              "the markers fit the register field and are no register");
static_assert(register_count - 1 <= field_max(record_field::value),
              "a record being made keeps its register in the value's place");
static_assert(device_limit >= 1 && device_limit - 1 <= field_max(record_field::device),
              "every device number fits a record's device field");

// A record's check bits: the number's bits above the slot's index.
inline uint64_t check_bits(uint64_t number)
{
    return number >> history_bits & field_max(record_field::check);
}

inline uint64_t record_word(uint32_t pid, uint64_t check, unsigned device, unsigned reg,
                            uint8_t value)
{
    return pack(record_field::pid, pid) | pack(record_field::check, check) |
           pack(record_field::device, device) | pack(record_field::reg, reg) |
           pack(record_field::value, value);
}
inline uint32_t record_pid(uint64_t word)
{
    return static_cast<uint32_t>(unpack(record_field::pid, word));
}
inline uint64_t record_check(uint64_t word)
{
    return unpack(record_field::check, word);
}
inline unsigned record_device(uint64_t word)
{
    return static_cast<unsigned>(unpack(record_field::device, word));
}
inline unsigned record_register(uint64_t word)
{
    return static_cast<unsigned>(unpack(record_field::reg, word));
}
inline uint8_t record_value(uint64_t word)
{
    return static_cast<uint8_t>(unpack(record_field::value, word));
}

// The record of write `number` while its writer makes it: the previous
// lap's check bits, so that it never reads as this number's record, and
// `making` for the register, which goes in the value's place, so that a
// watcher can tell whether its writer still runs and take the value from
// the register once latched.
inline uint64_t being_made(uint64_t number, unsigned reg, unsigned device, uint32_t pid)
{
    return record_word(pid, check_bits(number - history_length), device, making,
                       static_cast<uint8_t>(reg));
}
inline bool made_for(uint64_t word, uint64_t number)
{
    return record_register(word) == making &&
           record_check(word) == check_bits(number - history_length);
}

// A register (State::registers): the number of the write that set it, and
// its value; the latest write by number wins.
namespace register_field {
constexpr Field value{0, 8}, number{8, 56};
static_assert(follows(value, number) && number.shift + number.width == 64,
              "a register's fields fill its word");
} // namespace register_field
// Write numbers beyond this are damage: no port is written this often in a
// machine's life.
const uint64_t write_limit = uint64_t{1} << 55;
static_assert(write_limit <= field_max(register_field::number),
              "every write number fits a register");

inline uint64_t register_word(uint64_t number, uint8_t value)
{
    return pack(register_field::number, number) | pack(register_field::value, value);
}
inline uint64_t register_number(uint64_t word)
{
    return unpack(register_field::number, word);
}
inline uint8_t register_value(uint64_t word)
{
    return static_cast<uint8_t>(unpack(register_field::value, word));
}

// The last write's device and its writer (State::last_device); the whole
// word 0 for the virtual port's own.
namespace device_word_field {
constexpr Field device{0, 32}, pid{32, 32};
static_assert(device_limit - 1 <= field_max(device), "every device number fits");
} // namespace device_word_field
inline uint64_t device_word(uint32_t pid, unsigned device)
{
    return pack(device_word_field::pid, pid) | pack(device_word_field::device, device);
}
inline uint32_t device_word_pid(uint64_t word)
{
    return static_cast<uint32_t>(unpack(device_word_field::pid, word));
}
inline unsigned device_word_device(uint64_t word)
{
    return static_cast<unsigned>(unpack(device_word_field::device, word));
}

// A claim of the port (State::claim, State::exclusive): the process serving
// the open, whose end lets go of it, and a token that tells one open from
// another; 0 for none.
namespace claim_field {
constexpr Field token{0, 32}, pid{32, 32};
} // namespace claim_field
inline uint64_t claim_word(uint32_t pid, uint32_t token)
{
    return pack(claim_field::pid, pid) | pack(claim_field::token, token);
}
inline uint32_t claim_pid(uint64_t word)
{
    return static_cast<uint32_t>(unpack(claim_field::pid, word));
}
inline uint32_t claim_token(uint64_t word)
{
    return static_cast<uint32_t>(unpack(claim_field::token, word));
}

// A device's mark (DeviceName::mark): a hash of its name with `named` set,
// and `emulated` for a device served over the virtual port, whose inputs
// watchers set; 0 while free, `being_named` while its claimer writes the
// name, which no name's mark is.
const uint32_t mark_named = 1, mark_emulated = 2, being_named = 2;
static_assert((being_named & mark_named) == 0, "a mark being named is no name's");
inline bool mark_is_emulated(uint32_t mark)
{
    return (mark & (mark_named | mark_emulated)) == (mark_named | mark_emulated);
}

} // namespace vport

#endif
