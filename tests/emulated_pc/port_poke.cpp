// Reaches the port library the way the blinker does, then writes and reads
// the registers named on the command line: ADDRESS=VALUE writes, ADDRESS
// reads and prints ADDRESS=VALUE, "hold" keeps the port for three seconds.
// Runs inside the emulated PC.
#include "LPT_lib.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (init_IO_32() != 0) {
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "hold") == 0) {
            sleep(3);
            continue;
        }
        char *end;
        unsigned long address = strtoul(argv[i], &end, 0);
        if (*end == '=') {
            Out32((short)address, (short)strtoul(end + 1, NULL, 0));
        } else {
            printf("0x%lx=0x%02x\n", address, (unsigned)(Inp32((short)address) & 0xFF));
        }
    }
    un_init_IO_32();
    return 0;
}
