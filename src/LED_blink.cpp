// Blinks two LEDs on the parallel port at 0x3BC in turn, one second each,
// until a key is pressed; then clears the port.
#include "LPT_lib.h"

int main()
{
    short naslov_porta;
    long napaka;
    int vrednost;

    naslov_porta = 0x3BC;

    napaka = init_IO_32();
    if (napaka != 0) {
        printf("Ne morem naloziti dinamicne knjiznice inpout32.dll\n");
        console_pause();
        // A failed bind must not look like success to a calling script.
        return 1;
    }

    printf("Dve LED diodi na V/I vmesniku utripata. \n"
           "Pritisni poljubno tipko na PC-ju za prekinitev programa.");
    // The text has no final line break; show it before the LEDs start.
    fflush(stdout);

    // The key test comes once per cycle, so a cycle always runs whole.
    do {
        vrednost = 1;
        Out32(naslov_porta, (short)vrednost);
        _sleep(1000);
        vrednost = 2;
        Out32(naslov_porta, (short)vrednost);
        _sleep(1000);
    } while (!_kbhit());

    Out32(0x3BC, 0);
    un_init_IO_32();
    return 0;
}
