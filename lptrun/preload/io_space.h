// The I/O address space as the program under lptrun sees it: the registers
// of its parallel ports at their addresses, each on the virtual port of
// that address; nothing else.
#ifndef LPTRUN_IO_SPACE_H
#define LPTRUN_IO_SPACE_H

#include <stdint.h>

namespace lptrun {

// The way an access came, as lptmon names the writes' device.
enum Via { via_in_out, via_dev_port };

// One line of its own on standard error, "lptrun: " first.
void say(const char *text);

// Reads the parport addresses from LPTRUN_PORTS ("0x378,0x278,0x3BC",
// parport0 first); the PC's own addresses when it is not set.
void read_port_addresses();
// parportN's base address, or 0 when there is no parportN.
unsigned parport_base(unsigned n);

// One byte at an I/O address. An address that is no parallel port
// register's reads as 0xFF and drops writes, as on a PC with nothing
// there, and is counted for say_dropped.
uint8_t in_byte(uint16_t address);
void out_byte(uint16_t address, uint8_t value, Via via);

// The line about the accesses dropped, if any; at the program's end.
void say_dropped();
// In a child after fork: its own count.
void forget_dropped();

} // namespace lptrun

#endif
