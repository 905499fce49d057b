// The device's requests, as CUSE hands them over, answered by the emulated
// port: each open a program's own, waits queued rather than slept in.
#ifndef LPTDEV_SERVE_H
#define LPTDEV_SERVE_H

#define FUSE_USE_VERSION 31
#include <cuse_lowlevel.h>

#include "emul.h"

namespace lptdev {

struct Server;

// The requests' callbacks; their user data is the server.
const cuse_lowlevel_ops *operations();

Server *make_server();
// The device to serve, before the first request after CUSE's own.
void start(Server *server, emul::Device *device);
// After the session's loop: stops the waiting, lets go of every open's
// claim and frees the server.
void stop(Server *server);

} // namespace lptdev

#endif
