// Requests that wait. One thread reads CUSE's requests; a request that has
// to wait (a claim another program holds, a printer that is busy) is
// queued, and a second thread retries the queue each time the port
// changes, so a hundred waiting programs cost no thread each. The same
// thread wakes the programs that poll for an interrupt.
#include "requests.h"

#include <errno.h>
#include <signal.h>

namespace lptdev {

namespace {

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

} // namespace

void serve(fuse_req_t req, Pending p)
{
    Server *s = static_cast<Server *>(fuse_req_userdata(req));
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
