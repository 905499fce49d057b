// What programs see of ppdev beyond the system's headers: the IEEE 1284
// phases (the kernel's own header has them) and the time requests in both
// sizes of struct timeval, as 32-bit and 64-bit programs send them.
#ifndef LPT_EMUL_PPDEV_H
#define LPT_EMUL_PPDEV_H

#include <linux/parport.h>
#include <linux/ppdev.h>
#include <stdint.h>
#include <sys/ioctl.h>

namespace emul {

enum Phase {
    phase_fwd_data,
    phase_fwd_idle,
    phase_terminate,
    phase_negotiation,
    phase_hbusy_dna,
    phase_rev_idle,
};

const unsigned long get_time_32 = _IOR(PP_IOCTL, 0x95, int32_t[2]);
const unsigned long set_time_32 = _IOW(PP_IOCTL, 0x96, int32_t[2]);
const unsigned long get_time_64 = _IOR(PP_IOCTL, 0x95, int64_t[2]);
const unsigned long set_time_64 = _IOW(PP_IOCTL, 0x96, int64_t[2]);

} // namespace emul

#endif
