// lptdev: /dev/parportN served from user space through CUSE, over the
// virtual port, for the programs lptrun cannot reach: static ones, language
// runtimes that make their own system calls, programs something else
// starts. Only opening /dev/cuse needs root; it then serves as a user.
#include "serve.h"
#include "setup.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

using namespace lptdev;

namespace {

int fail(const std::string &why)
{
    fprintf(stderr, "lptdev: %s\n", why.c_str());
    return 1;
}

// The node the kernel makes on the answer to CUSE's first request: at
// once with devtmpfs, a moment later where udev makes it.
bool node_made(const std::string &node)
{
    struct stat st;
    for (int tries = 0; tries < 500; ++tries) {
        if (stat(node.c_str(), &st) == 0) {
            return true;
        }
        const timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    std::string why;
    if (!parse(argc, argv, &options, &why)) {
        fprintf(stderr, "lptdev: %s\n%s", why.c_str(), usage);
        return 2;
    }
    if (options.help) {
        fputs(usage, stdout);
        return 0;
    }
    struct stat st;
    if (stat("/dev/cuse", &st) != 0) {
        return fail("/dev/cuse is missing (this kernel has not loaded CUSE): run sudo modprobe "
                    "cuse and start lptdev again, or run your program under lptrun instead");
    }
    Identity identity;
    if (!identify(options, &identity, &why) || !choose_port(&options, &why)) {
        return fail(why);
    }
    const int fd = open("/dev/cuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return fail(std::string("cannot open /dev/cuse: ") + strerror(error) +
                    (error == EACCES ? "; start it as root: sudo lptdev --user " + identity.name
                                     : std::string()));
    }

    Server *server = make_server();
    const std::string devname = "DEVNAME=" + options.name;
    const char *info[] = {devname.c_str()};
    cuse_info ci;
    memset(&ci, 0, sizeof ci);
    ci.dev_info_argc = 1;
    ci.dev_info_argv = info;
    ci.flags = CUSE_UNRESTRICTED_IOCTL; // ppdev's requests carry pointers
    char program[] = "lptdev";
    char *fuse_argv[] = {program, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, fuse_argv);
    fuse_session *session = cuse_lowlevel_new(&args, &ci, operations(), server);
    const std::string fd_path = "/dev/fd/" + std::to_string(fd);
    if (session == nullptr || fuse_session_mount(session, fd_path.c_str()) != 0) {
        return fail("cannot start serving through /dev/cuse");
    }
    // CUSE's own first request, still as root: its answer makes the node,
    // which root then gives to the user and group, as udev gives a real
    // port's to lp.
    fuse_buf first;
    memset(&first, 0, sizeof first);
    if (fuse_session_receive_buf(session, &first) <= 0) {
        return fail("/dev/cuse sent nothing to start with");
    }
    fuse_session_process_buf(session, &first);
    free(first.mem);
    const std::string node = "/dev/" + options.name;
    if (!node_made(node)) {
        return fail("the kernel made no " + node + "; is devtmpfs mounted on /dev?");
    }
    if (geteuid() == 0 && (chown(node.c_str(), identity.uid, identity.node_gid) != 0 ||
                           chmod(node.c_str(), 0660) != 0)) {
        return fail("cannot hand " + node + " to " + identity.name + ": " + strerror(errno));
    }
    if (!drop_privileges(identity, &why)) {
        return fail(why);
    }

    char device_why[700] = "";
    const std::string name = node + " (lptdev)";
    emul::Device *device =
        emul::open_device(options.base, name.c_str(), device_why, sizeof device_why);
    if (device == nullptr) {
        return fail(std::string("the virtual port: ") + device_why);
    }
    start(server, device);
    fuse_set_signal_handlers(session);
    fprintf(stderr,
            "lptdev: serving %s over the virtual port at 0x%X as %s; lptmon --port 0x%X shows it\n",
            node.c_str(), options.base, identity.name.c_str(), options.base);
    fuse_session_loop(session);
    fuse_remove_signal_handlers(session);
    stop(server);
    emul::close_device(device);
    // Closes /dev/cuse: the kernel removes the node.
    fuse_session_destroy(session);
    return 0;
}
