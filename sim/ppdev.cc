// The kernel's parport device, faked over the simulated port: what /dev/parportN would answer if
// the kernel had found this port. It lets the parport-device backend run end to end on the
// simulator, exactly as it runs on a real kernel.
//
// Every register ioctl is one access of the simulated port, made through the device's own backend
// calls at its configured addresses, so counters and trace read as for any other backend. Like
// the kernel, the fake keeps the direction bit and the line bits apart: PPWCONTROL and PPFCONTROL
// change only the four line bits, PPDATADIR only the direction. It is never kinder than the
// kernel: a register ioctl on an open file that has not claimed the port, a second claim or a
// release without one is refused (EINVAL) and counted as a host error.
//
// Claims belong to an open file, as in the kernel, and open files belong to a process (a service
// process opens the device itself), so the table of open files is this process's own.
#include <errno.h>
#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>

#include "port/log.h"
#include "sim/internal.h"

namespace {

struct open_file {
    int fd = -1;
    bool claimed = false;
};

struct sim *device = nullptr;
std::array<open_file, 8> files;
int kernel_mode = -1;   // the last PPSETMODE, -1 before any
int kernel_phase = -1;  // the last PPSETPHASE
struct lp_ppdev_calls calls;

open_file *find(int fd) {
    for (open_file &f : files)
        if (f.fd >= 0 && f.fd == fd)
            return &f;
    return nullptr;
}

int refuse(const char *what) {
    sim_lock(device);
    device->counters.host_errors++;
    sim_unlock(device);
    log_error("sim: host error: %s", what);
    errno = EINVAL;
    return -1;
}

uint8_t reg_in(uint32_t addr) {
    const lp_io_backend *io = sim_backend(device);
    return io->inb(io->ctx, uint16_t(addr));
}

void reg_out(uint32_t addr, uint8_t v) {
    const lp_io_backend *io = sim_backend(device);
    io->outb(io->ctx, uint16_t(addr), v);
}

// CONTROL as the port holds it; reading it here is no access of the host's.
uint8_t control_now() {
    sim_lock(device);
    const uint8_t c = device->port.control;
    sim_unlock(device);
    return c;
}

int fake_open(void *, const char *, int flags) {
    for (open_file &f : files) {
        if (f.fd >= 0)
            continue;
        f.fd = open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
        f.claimed = false;
        return f.fd;
    }
    errno = EMFILE;
    return -1;
}

int fake_close(void *, int fd) {
    open_file *f = find(fd);
    if (f == nullptr) {
        errno = EBADF;
        return -1;
    }
    f->fd = -1;  // closing the file gives up its claim, as in the kernel
    f->claimed = false;
    return close(fd);
}

int fake_ioctl(void *, int fd, unsigned long request, void *arg) {
    open_file *f = find(fd);
    if (f == nullptr) {
        errno = EBADF;
        return -1;
    }
    auto *byte = static_cast<uint8_t *>(arg);
    const uint32_t data = device->cfg.base, status = data + 1, control = data + 2;
    if (request == PPCLAIM) {
        if (f->claimed)
            return refuse("ppdev: PPCLAIM on a port this open file already claimed");
        f->claimed = true;
        // The kernel's driver uses an ECP port in its byte-wide mode, where the direction bit works.
        if (!sim_impl::fault(device, SIM_FAULT_NO_ECR))
            reg_out(device->cfg.ecp + 2, 0x34);
        return 0;
    }
    if (request == PPRELEASE) {
        if (!f->claimed)
            return refuse("ppdev: PPRELEASE without PPCLAIM");
        f->claimed = false;
        return 0;
    }
    // What the kernel knows of the port, and what it is told: no claim needed, as in the kernel.
    if (request == PPGETMODES) {
        unsigned modes = PARPORT_MODE_PCSPP | PARPORT_MODE_SAFEININT;
        if (!sim_impl::fault(device, SIM_FAULT_OUTPUT_ONLY))
            modes |= PARPORT_MODE_TRISTATE;
        if (!sim_impl::fault(device, SIM_FAULT_NO_ECR))
            modes |= PARPORT_MODE_ECP;
        *static_cast<unsigned *>(arg) = modes;
        return 0;
    }
    if (request == PPSETMODE || request == PPSETPHASE) {
        (request == PPSETMODE ? kernel_mode : kernel_phase) = *static_cast<const int *>(arg);
        return 0;
    }
    const bool reg = request == PPRDATA || request == PPWDATA || request == PPRSTATUS || request == PPRCONTROL ||
                     request == PPWCONTROL || request == PPFCONTROL || request == PPDATADIR;
    if (!reg) {
        errno = ENOTTY;
        return -1;
    }
    if (!f->claimed)
        return refuse("ppdev: register access without PPCLAIM");
    if (request == PPRDATA) {
        *byte = reg_in(data);
    } else if (request == PPWDATA) {
        reg_out(data, *byte);
    } else if (request == PPRSTATUS) {
        *byte = reg_in(status);
    } else if (request == PPRCONTROL) {
        *byte = reg_in(control) & 0x0F;
    } else if (request == PPWCONTROL) {
        reg_out(control, uint8_t((control_now() & 0xF0) | (*byte & 0x0F)));
    } else if (request == PPFCONTROL) {
        const auto *frob = static_cast<const ppdev_frob_struct *>(arg);
        const uint8_t m = frob->mask & 0x0F;
        reg_out(control, uint8_t((control_now() & ~m) | (frob->val & m)));
    } else {  // PPDATADIR
        const bool reverse = *static_cast<const int *>(arg) != 0;
        reg_out(control, uint8_t((control_now() & ~0x20) | (reverse ? 0x20 : 0)));
    }
    return 0;
}

}  // namespace

extern "C" int sim_ppdev_mode(int *phase) {
    if (phase)
        *phase = kernel_phase;
    return kernel_mode;
}

extern "C" const struct lp_ppdev_calls *sim_ppdev_calls(struct sim *sim) {
    device = sim;
    kernel_mode = kernel_phase = -1;
    calls = {fake_open, fake_ioctl, fake_close, sim};
    return &calls;
}
