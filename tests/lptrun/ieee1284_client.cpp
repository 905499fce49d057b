// A libieee1284 client: finds the ports as the library does, claims the
// first, writes its data lines and reads its status.
#include <ieee1284.h>
#include <stdio.h>

int main()
{
    parport_list list;
    if (ieee1284_find_ports(&list, 0) != E1284_OK || list.portc == 0) {
        puts("no ports");
        return 1;
    }
    for (int i = 0; i < list.portc; ++i) {
        printf("%s 0x%lx\n", list.portv[i]->name, list.portv[i]->base_addr);
    }
    parport *port = list.portv[0];
    int capabilities = 0;
    if (ieee1284_open(port, 0, &capabilities) != E1284_OK || ieee1284_claim(port) != E1284_OK) {
        puts("not claimed");
        return 1;
    }
    ieee1284_write_data(port, 0xC3);
    printf("data %02x status %02x\n", ieee1284_read_data(port), ieee1284_read_status(port));
    ieee1284_release(port);
    ieee1284_close(port);
    ieee1284_free_ports(&list);
    return 0;
}
