// The live view's keys for the switches on the input pins: a letter each,
// shown beside the pin and taken in either case.
#ifndef LPTMON_SWITCH_KEYS_H
#define LPTMON_SWITCH_KEYS_H

#include "watch.h"

namespace lptmon {

struct SwitchKey {
    int pin; // on the DB-25
    char key;
};
const SwitchKey switch_keys[watch::input_pin_count] = {
    {15, 'e'}, {13, 's'}, {12, 'p'}, {10, 'a'}, {11, 'b'}};

// The key of the switch on `input`, one of watch::input_pins.
inline char switch_key(const watch::Pin &input)
{
    for (const SwitchKey &key : switch_keys) {
        if (key.pin == input.pin) {
            return key.key;
        }
    }
    return '?';
}

// The input whose switch `key` works, or nullptr.
inline const watch::Pin *switch_of(char key)
{
    for (const SwitchKey &each : switch_keys) {
        if ((key | 0x20) == each.key) {
            return watch::input_at(each.pin);
        }
    }
    return nullptr;
}

} // namespace lptmon

#endif
