// CUSE's requests on the emulated port, as they come: each open a
// program's own, each ioctl's argument fetched as its number says.
#include "requests.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>

namespace lptdev {

namespace {

Server *server_of(fuse_req_t req)
{
    return static_cast<Server *>(fuse_req_userdata(req));
}

Client *client_of(const fuse_file_info *fi)
{
    return reinterpret_cast<Client *>(static_cast<uintptr_t>(fi->fh));
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

} // namespace lptdev
