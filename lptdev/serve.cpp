// CUSE's requests on the emulated port. One thread reads the requests; a
// request that has to wait (a claim another program holds, a printer that
// is busy) is queued, and a second thread retries the queue each time the
// port changes, so a hundred waiting programs cost no thread each. The
// same thread wakes the programs that poll for an interrupt.
#include "serve.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>

#include <condition_variable>
#include <list>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace lptdev {

namespace {

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

} // namespace

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

namespace {

Server *server_of(fuse_req_t req)
{
    return static_cast<Server *>(fuse_req_userdata(req));
}

Client *client_of(const fuse_file_info *fi)
{
    return reinterpret_cast<Client *>(static_cast<uintptr_t>(fi->fh));
}

long attempt(Pending *p)
{
    emul::Open *open = &p->client->open;
    open->pid = p->pid; // the writes are the requesting program's
    switch (p->kind) {
    case ioctl_request:
        return emul::ioctl(open, p->number, p->bytes.empty() ? nullptr : p->bytes.data());
    case read_request:
        p->bytes.resize(p->size);
        return emul::read(open, p->bytes.data(), p->size, p->nonblocking);
    case write_request:
        return emul::write(open, p->bytes.data(), p->bytes.size(), p->nonblocking);
    }
    return -EINVAL;
}

void answer(const Pending &p, long result)
{
    if (result < 0) {
        fuse_reply_err(p.req, static_cast<int>(-result));
    } else if (p.kind == ioctl_request) {
        fuse_reply_ioctl(p.req, static_cast<int>(result), p.bytes.data(),
                         p.gives_back ? p.bytes.size() : 0);
    } else if (p.kind == read_request) {
        fuse_reply_buf(p.req, reinterpret_cast<const char *>(p.bytes.data()),
                       static_cast<size_t>(result));
    } else {
        fuse_reply_write(p.req, static_cast<size_t>(result));
    }
}

void interrupted(fuse_req_t req, void *data)
{
    Server *s = static_cast<Server *>(data);
    std::lock_guard<std::mutex> lock(s->mutex);
    for (Pending &p : s->pending) {
        if (p.req == req) {
            p.interrupted = true;
            s->fresh = true;
            s->work.notify_one();
        }
    }
}

// The request's first try, by the reading thread; queued if it must wait.
void serve(fuse_req_t req, Pending p)
{
    Server *s = server_of(req);
    std::unique_lock<std::mutex> lock(s->mutex);
    const long result = attempt(&p);
    if (result != emul::would_wait) {
        answer(p, result);
        return;
    }
    s->pending.push_back(std::move(p));
    lock.unlock();
    // Outside the lock: CUSE calls `interrupted` at once if the signal came.
    fuse_req_interrupt_func(req, interrupted, s);
    lock.lock();
    for (Pending &q : s->pending) {
        q.armed = q.armed || q.req == req;
    }
    s->fresh = true;
    s->work.notify_one();
}

// One pass of the waiting thread: answers what no longer waits, and tells
// the pollers whose interrupt came.
void retry(Server *s)
{
    for (auto p = s->pending.begin(); p != s->pending.end();) {
        const long result = !p->armed ? emul::would_wait : p->interrupted ? -EINTR : attempt(&*p);
        if (result == emul::would_wait) {
            ++p;
            continue;
        }
        answer(*p, result);
        p = s->pending.erase(p);
    }
    for (Client *c : s->clients) {
        if (c->poll != nullptr && emul::poll(&c->open) != 0) {
            fuse_lowlevel_notify_poll(c->poll);
            fuse_pollhandle_destroy(c->poll);
            c->poll = nullptr;
        }
    }
}

bool anything_waits(const Server *s)
{
    for (const Pending &p : s->pending) {
        if (p.armed) {
            return true;
        }
    }
    for (const Client *c : s->clients) {
        if (c->poll != nullptr) {
            return true;
        }
    }
    return false;
}

void wait_loop(Server *s)
{
    std::unique_lock<std::mutex> lock(s->mutex);
    while (!s->stopping) {
        if (!s->fresh && !anything_waits(s)) {
            s->work.wait(lock);
            continue;
        }
        const uint32_t seen = emul::changes(s->device);
        s->fresh = false;
        retry(s);
        if (s->fresh || s->stopping) {
            continue;
        }
        lock.unlock();
        emul::wait_for_change(s->device, seen, emul::wait_limit_ms);
        lock.lock();
    }
}

void on_open(fuse_req_t req, fuse_file_info *fi)
{
    Server *s = server_of(req);
    Client *c = new (std::nothrow) Client;
    if (c == nullptr) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        emul::open(&c->open, s->device, static_cast<uint32_t>(fuse_req_ctx(req)->pid));
        s->clients.insert(c);
    }
    fi->fh = reinterpret_cast<uintptr_t>(c);
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

// The last close of the open, also when its program died holding the port.
void on_release(fuse_req_t req, fuse_file_info *fi)
{
    Server *s = server_of(req);
    Client *c = client_of(fi);
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (c->poll != nullptr) {
            fuse_pollhandle_destroy(c->poll);
        }
        emul::close(&c->open);
        s->clients.erase(c);
    }
    delete c;
    fuse_reply_err(req, 0);
}

Pending request(Kind kind, fuse_req_t req, fuse_file_info *fi)
{
    Pending p;
    p.kind = kind;
    p.req = req;
    p.client = client_of(fi);
    p.pid = static_cast<uint32_t>(fuse_req_ctx(req)->pid);
    p.nonblocking = (fi->flags & O_NONBLOCK) != 0;
    return p;
}

void on_read(fuse_req_t req, size_t size, off_t, fuse_file_info *fi)
{
    Pending p = request(read_request, req, fi);
    p.size = size;
    serve(req, std::move(p));
}

void on_write(fuse_req_t req, const char *buf, size_t size, off_t, fuse_file_info *fi)
{
    Pending p = request(write_request, req, fi);
    p.bytes.assign(buf, buf + size);
    serve(req, std::move(p));
}

// CUSE's ioctls carry no argument until asked for: the request's number
// gives ppdev's argument size and direction, so the first call asks the
// kernel to fetch the program's bytes and make room for the answer.
void on_ioctl(fuse_req_t req, int number, void *arg, fuse_file_info *fi, unsigned,
              const void *in_buf, size_t in_size, size_t out_size)
{
    const unsigned request_number = static_cast<unsigned>(number);
    const size_t size = _IOC_TYPE(request_number) == PP_IOCTL ? _IOC_SIZE(request_number) : 0;
    const bool takes = size != 0 && (_IOC_DIR(request_number) & _IOC_WRITE) != 0;
    const bool gives = size != 0 && (_IOC_DIR(request_number) & _IOC_READ) != 0;
    if ((takes && in_size < size) || (gives && out_size < size)) {
        const iovec iov = {arg, size};
        fuse_reply_ioctl_retry(req, takes ? &iov : nullptr, takes ? 1 : 0, gives ? &iov : nullptr,
                               gives ? 1 : 0);
        return;
    }
    Pending p = request(ioctl_request, req, fi);
    p.number = request_number;
    p.gives_back = gives;
    p.bytes.assign(size, 0);
    if (takes) {
        memcpy(p.bytes.data(), in_buf, size);
    }
    serve(req, std::move(p));
}

void on_poll(fuse_req_t req, fuse_file_info *fi, fuse_pollhandle *ph)
{
    Server *s = server_of(req);
    Client *c = client_of(fi);
    std::lock_guard<std::mutex> lock(s->mutex);
    if (ph != nullptr) {
        if (c->poll != nullptr) {
            fuse_pollhandle_destroy(c->poll);
        }
        c->poll = ph;
        s->work.notify_one();
    }
    fuse_reply_poll(req, emul::poll(&c->open));
}

const cuse_lowlevel_ops the_operations = [] {
    cuse_lowlevel_ops ops;
    memset(&ops, 0, sizeof ops);
    ops.open = on_open;
    ops.read = on_read;
    ops.write = on_write;
    ops.release = on_release;
    ops.ioctl = on_ioctl;
    ops.poll = on_poll;
    return ops;
}();

} // namespace

const cuse_lowlevel_ops *operations()
{
    return &the_operations;
}

Server *make_server()
{
    return new Server;
}

void start(Server *server, emul::Device *device)
{
    server->device = device;
    // The signals that end lptdev are the reading thread's, whose read they
    // interrupt; not the waiting thread's.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    server->waiter = std::thread(wait_loop, server);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void stop(Server *server)
{
    {
        std::lock_guard<std::mutex> lock(server->mutex);
        server->stopping = true;
        server->work.notify_one();
    }
    if (server->waiter.joinable()) {
        server->waiter.join();
    }
    // The device goes away: no wait ends in the port's favour any more.
    for (const Pending &p : server->pending) {
        fuse_reply_err(p.req, ENODEV);
    }
    for (Client *c : server->clients) {
        if (c->poll != nullptr) {
            fuse_pollhandle_destroy(c->poll);
        }
        emul::close(&c->open);
        delete c;
    }
    delete server;
}

} // namespace lptdev
