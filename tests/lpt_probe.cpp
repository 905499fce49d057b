// Binds like the blinker does, then reads and writes the port once.
#include "LPT_lib.h"

int main()
{
    long status = init_IO_32();
    if (status != 0) {
        printf("init=%ld\n", status);
        return 1;
    }
    short value = Inp32(0x3BC);
    Out32(0x3BC, 1);
    printf("init=0 inp=0x%x\n", value);
    un_init_IO_32();
    return 0;
}
