// Binds like the blinker does, then takes its arguments in order: PORT=VALUE
// writes the port, PORT reads it and prints " PORT=VALUE" (hexadecimal, 0x
// allowed), "hold" keeps the port until its standard input ends. With no
// arguments, reads 3bc and writes 1 to it. Also the emulated PC's tool.
#include "LPT_lib.h"

#include <string.h>

int main(int argc, char **argv)
{
    long status = init_IO_32();
    printf("init=%ld", status);
    const char *fallback[] = {"", "3bc", "3bc=1"};
    const char *const *steps = argc > 1 ? argv : fallback;
    for (int i = 1; status == 0 && i < (argc > 1 ? argc : 3); ++i) {
        unsigned port, value;
        int n = sscanf(steps[i], "%x=%x", &port, &value);
        if (strcmp(steps[i], "hold") == 0) {
            while (getchar() != EOF) {
            }
        } else if (n == 2) {
            Out32(static_cast<short>(port), static_cast<short>(value));
        } else if (n == 1) {
            printf(" %x=%02x", port, static_cast<unsigned short>(Inp32(static_cast<short>(port))));
        }
    }
    printf("\n");
    if (status == 0) {
        un_init_IO_32();
    }
    return status == 0 ? 0 : 1;
}
