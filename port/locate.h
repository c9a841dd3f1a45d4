// Where the port is, and who else has it: the port's I/O addresses from the options, from the
// kernel's description of its parport driver's ports, or from a PCI card's I/O ranges; and the
// kernel drivers that hold those addresses, so tessal never drives lines a driver drives too.
//
// An onboard port sits at 0x378 with its ECP registers 0x400 above; an add-in card sits wherever
// the firmware put it, its ECP registers usually at the start of a second I/O range (base 0xd010,
// ECP 0xd000), which is why the two addresses are separate. The kernel says where: each of its
// parport driver's ports in /proc/sys/dev/parport/parportN/base-addr (two decimal numbers, the
// base and the ECP range, 0 for none), every card's I/O ranges in /sys/bus/pci/devices/*/resource
// (class 0x0701xx is a parallel port), and who claimed what in /proc/ioports (addresses hidden,
// shown as 0, from a reader without CAP_SYS_ADMIN) and /proc/modules.
//
// Nothing here touches the port: these only read files, whose paths the tests point at samples.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// The ECP range of a port that has none: no access is ever made there.
#define LP_NO_ECP 0L
// The onboard port, where every PC has had it: what the options choose when they name no other,
// with its ECP registers where the ISA interface puts them, 0x400 above the base.
#define LP_ONBOARD_BASE 0x378L
#define LP_ISA_ECP_OFFSET 0x400L

struct lp_port_addr {
    long base;  // DATA; STATUS and CONTROL follow
    long ecp;   // the ECP FIFO; the ECR 2 above. LP_NO_ECP: none
};

// The files the kernel describes itself in; tests point them at samples.
struct lp_kernel_files {
    const char *ioports;   // "/proc/ioports"
    const char *modules;   // "/proc/modules"
    const char *parport;   // "/proc/sys/dev/parport": parportN/base-addr
    const char *pci;       // "/sys/bus/pci/devices": SLOT/class, SLOT/resource
    const char *lockdown;  // "/sys/kernel/security/lockdown"
};
extern struct lp_kernel_files lp_kernel_files;

// locate.cc
// An I/O address in hexadecimal, as port addresses are always written ("378", "0x378", "d010"),
// 1 to 0xfffd. 0, or -1.
int lp_parse_ioaddr(const char *text, long *out);
// The port the options name: --port-of WHICH (parportN, pci, or a PCI slot such as 0000:05:00.0
// or 05:00.0), or --base and --ecp (ADDR, or "none" for ecp), each NULL when not given. With
// neither, the onboard port: base 0x378; an ECP range not given lies 0x400 above the base.
// 0, or -1 with a one-line message in err.
int lp_port_choose(const char *port_of, const char *base, const char *ecp, struct lp_port_addr *out, char *err,
                   size_t errlen);
// parportN as the kernel's parport driver describes it. 0, or -1 with a message.
int lp_parport_addr(const char *name, struct lp_port_addr *out, char *err, size_t errlen);
// A PCI parallel-port card's I/O ranges: the first is the base, the second (when there is one)
// the ECP range. slot NULL: the only such card. 0, or -1 with a message.
int lp_pci_addr(const char *slot, struct lp_port_addr *out, char *err, size_t errlen);
// The kernel's lockdown mode ("none", "integrity", "confidentiality"). 0, or -1 when unknown.
int lp_lockdown_mode(char *out, size_t outlen);

// clash.cc
// What the kernel has of the port at base and ecp: drivers in /proc/ioports whose ranges overlap
// them, parport driver ports at those addresses, and loaded lp, parport_pc or parport_serial
// modules, as one printable line in out ("parport0 holds 0x378-0x37a; lp, parport_pc loaded"),
// or "none". Returns how many were found (0: none).
int lp_kernel_claims(long base, long ecp, char *out, size_t outlen);

#ifdef __cplusplus
}
#endif
