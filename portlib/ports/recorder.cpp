// A port that drives hardware, wrapped so that each of its writes is also
// recorded in the virtual port's state file for its address, where lptmon
// shows it marked with the device: a dark LED can then be told from a
// program that did not write.
#include "recorder.h"
#include "backends.h"
#include "say.h"

#include <stdio.h>
#include <stdlib.h>

namespace ports {

namespace {

struct Recorded {
    const Backend *hardware;
    void *port;
    void *record; // a port of virtual_backend
    vport::DeviceMark device;
};

uint8_t read_hardware(void *handle, unsigned reg)
{
    Recorded *recorded = static_cast<Recorded *>(handle);
    return recorded->hardware->read(recorded->port, reg);
}

void write_recorded(void *handle, unsigned reg, uint8_t value)
{
    Recorded *recorded = static_cast<Recorded *>(handle);
    recorded->hardware->write(recorded->port, reg, value);
    write_marked(recorded->record, reg, value, recorded->device);
}

void close_recorded(void *handle)
{
    Recorded *recorded = static_cast<Recorded *>(handle);
    recorded->hardware->close(recorded->port);
    virtual_backend.close(recorded->record);
    free(recorded);
}

const char *recorded_device(void *handle)
{
    return static_cast<Recorded *>(handle)->device.name;
}

} // namespace

void record_writes(unsigned base, const Backend **backend, void **port)
{
    static const Backend recorded_backend = {"recorded",     nullptr,        read_hardware,
                                             write_recorded, close_recorded, recorded_device,
                                             nullptr};
    const Backend *hardware = *backend;
    Recorded *recorded = static_cast<Recorded *>(calloc(1, sizeof(Recorded)));
    void *record = nullptr;
    char why[1024] = "out of memory";
    if (recorded == nullptr || virtual_backend.open(base, &record, why, sizeof why) != opened) {
        // The port works all the same; only the view of it is missing.
        free(recorded);
        char text[1200];
        snprintf(text, sizeof text, "%s port 0x%03X works, but lptmon cannot show its writes: %s",
                 hardware->name, base, why);
        say(text);
        return;
    }
    *recorded = Recorded{hardware, *port, record, vport::device_mark(hardware->device(*port))};
    *backend = &recorded_backend;
    *port = recorded;
}

} // namespace ports
