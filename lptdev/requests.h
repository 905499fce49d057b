// What lptdev's two threads share: the opens, the requests that wait and
// the server that holds them. Inside lptdev only.
#ifndef LPTDEV_REQUESTS_H
#define LPTDEV_REQUESTS_H

#include "serve.h"

#include <stdint.h>

#include <condition_variable>
#include <list>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace lptdev {

struct Client {
    emul::Open open;
    fuse_pollhandle *poll = nullptr; // the latest poll still waiting
};

enum Kind { ioctl_request, read_request, write_request };

struct Pending {
    Kind kind;
    fuse_req_t req;
    Client *client;
    uint32_t pid;
    unsigned number = 0;        // the ioctl's
    bool gives_back = false;    // the ioctl writes its argument
    size_t size = 0;            // the read's
    bool nonblocking = false;   // the read's or write's
    std::vector<uint8_t> bytes; // the ioctl's argument, the bytes written
    // Handed to the waiting thread only once CUSE knows whom to tell of an
    // interrupt (until then the request may not be answered elsewhere).
    bool armed = false;
    bool interrupted = false;
};

struct Server {
    emul::Device *device = nullptr;
    std::mutex mutex; // everything below, and every call into the port
    std::condition_variable work;
    std::list<Pending> pending;
    std::set<Client *> clients;
    bool fresh = false; // something to retry now, not after the next change
    bool stopping = false;
    std::thread waiter;
};

// The request's first try, on the reading thread; queued if it must wait.
void serve(fuse_req_t req, Pending p);

} // namespace lptdev

#endif
