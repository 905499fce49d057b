// Waits for the switch on pin 15 (nError) to close, then lights the LED on
// D2 (pin 4) and ends. Written against Inp32 and Out32, as any program for
// the port is; tried on the virtual port with lptmon.
#include "LPT_lib.h"

#include <stdio.h>

int main()
{
    const short data = 0x3BC, status = 0x3BD;
    const short nError = 0x08; // S3: pin 15, low when the switch is closed
    if (init_IO_32() != 0) {
        return 1;
    }
    Out32(data, 0x00);
    printf("Waiting for the switch on pin 15...\n");
    fflush(stdout);
    while (Inp32(status) & nError) {
        _sleep(10);
    }
    Out32(data, 0x04); // D2
    printf("Switch closed: the LED on D2 is lit.\n");
    un_init_IO_32();
    return 0;
}
