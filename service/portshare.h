// The shared state of one parallel port: who holds it, who waits for it and in which order, and
// what the holder has moved; plus room for what must outlive one service process.
//
// It lives in the port lock file itself, mapped MAP_SHARED by the listener before any fork: for
// real hardware a file named after the port (/run/lock/tessal-0378.lock for the onboard port,
// tessal-parport0.lock for the kernel's parport device), so every daemon on the port shares one queue;
// for the simulator an unnamed file that vanishes with its daemon. The exclusive flock(2) on that
// file still decides who drives the port (the kernel drops it when its holder dies, SIGKILL
// included); this region only gives the order and the view.
//
// A process-shared robust mutex guards the region for the few instructions of each change. Every
// process with an entry holds an OFD lock on a byte of its own beyond the region ("slot lock"),
// so a dead entry is told from a live one by the kernel, without trusting pids that may be reused.
// Every change bumps `seq`, a futex word: a process that waits for the port or for a waiter to
// come sleeps on it, so waiting costs no polling.
//
// Rejected: a second lock file per waiter (clutter in /run/lock, and nothing to clean them up
// after a SIGKILL), signals between service processes (they run as different users: root before
// acquiring the port, `--user` after), and polling the flock (20 ms retries lost every hand-over to
// a client cycling INIT/RESET and woke each waiter 50 times a second).
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "ieee1284/ieee1284.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PS_MAGIC 0x31535054u  // "TPS1" in memory
#define PS_VERSION 1
#define PS_ENTRIES 256        // holder and waiters of every daemon on the port; more wait no longer
#define PS_PEER_LEN 48

enum ps_state { PS_FREE = 0, PS_WAITING = 1, PS_HOLDING = 2 };

struct ps_entry {
    uint32_t state;              // enum ps_state
    uint32_t ticket;             // order of arrival; compared modulo 2^32
    int32_t pid;                 // the service process
    uint32_t reserved;
    int64_t since_ms;            // wall clock (ms since the epoch) when it queued or took the port
    uint64_t bytes_to_device;    // holder: payload bytes the peripheral took in this job
    uint64_t bytes_from_device;  // holder: payload bytes read from it in this job
    char peer[PS_PEER_LEN];      // the client's address, printable
};

// The printer's IEEE 1284 Device ID, kept across connections so a query need not take the port
// (service/devid_request.cc). Read and written under the mutex: a query answered from it must
// not wait for the holder of the flock.
struct ps_devid_cache {
    char devid[1024];
    uint16_t devid_len;  // 0: no ID known
    int64_t devid_time;  // wall clock (ms since the epoch) of the read that put it there
};

struct ps_region {
    uint32_t magic;    // written last at initialisation
    uint32_t version;
    uint32_t size;     // sizeof(struct ps_region)
    uint32_t seq;      // futex word: bumped (and every sleeper woken) on every change
    pthread_mutex_t mutex;
    uint32_t next_ticket;
    uint32_t now_serving;  // the holder's ticket
    struct ps_entry entries[PS_ENTRIES];
    // The surplus store: reverse bytes the port pulled in beyond a READ, which belong to the port
    // and so outlive the service process (and the daemon) that read them. Only the holder of the
    // flock touches it.
    alignas(64) struct lp_surplus surplus;
    // The Device ID cache, refreshed by every read of the ID (a probe, a DEVICE_ID request).
    struct ps_devid_cache devid;
    // The service process whose READ left bytes in the surplus store: they are its connection's,
    // dropped when another takes the port (service/device.cc).
    int32_t surplus_owner;
    // 1 while the printer is known to be in compatibility mode, left there by a release that
    // terminated the link; 0 from the daemon's start and while a connection drives it (a holder
    // that dies leaves it 0), so the next open initialises the printer (nInit).
    uint32_t printer_known;
};

// portshare.cc
// The port the lock file and --status are named after: its I/O base, or the kernel's parport
// device (device non-NULL). Before portshare_setup and portshare_status.
void portshare_name(long base, const char *device);
// Create or attach the region of the port (listener, before any fork). 0, or -1 after an error line.
int portshare_setup(int simulated);
// The mapping, or NULL when none was set up (an in-process harness: nothing to arbitrate).
struct ps_region *portshare_region(void);
// This process's own open file description of the lock file, opened on first use (every service
// process needs its own: flock and OFD locks belong to the description). -1 after an error line.
int portshare_fd(void);
// The robust mutex. An owner that died inside is repaired over: dead entries are freed.
void portshare_lock(void);
void portshare_unlock(void);
// Under the mutex: claim a free entry for this process (state, ticket, pid, peer, since) and take
// its slot lock. The entry's index, or -1 when all are in use by live processes.
int portshare_claim(uint32_t state, const char *peer);
// Under the mutex: give the entry back and drop its slot lock.
void portshare_free(int index);
// True while the entry's process lives (its slot lock is held); this process's own entry is alive.
int portshare_alive(int index);
// Under the mutex: the live holder and the live waiter with the oldest ticket, or -1 each; dead
// entries met on the way are freed.
int portshare_holder(void);
int portshare_head(void);
int portshare_waiting(void);  // live waiters
// Under the mutex after a change: bump seq and wake every sleeper.
void portshare_bump(void);
uint32_t portshare_seq(void);
// Sleep until seq differs from seen (returns at once when it already does).
void portshare_sleep(uint32_t seen);
// Print the holder and the waiters in order on standard output: of the hardware port, or, with a
// pid, of the daemon that process belongs to (found through /proc/PID/fd). 0, or -1 after an error.
int portshare_status(int pid);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(ps_region) < (1 << 20), "the slot locks sit beyond the region");
#endif
