// The shared state of the port: the mapping, its robust mutex, the entries with their slot locks,
// the futex word, and the administrator's view of it (`tessal --status`).
#include "service/portshare.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "port/log.h"

namespace {

constexpr off_t kSlotLocks = 1 << 20;       // slot i is locked at byte kSlotLocks + i
constexpr off_t kInitByte = kSlotLocks - 1;  // serialises the first look of daemons starting together
// Named after the port, so every daemon on one port shares one queue and daemons on two ports
// never wait for each other: "tessal-0378.lock" (the I/O base in hex), "tessal-parport0.lock".
char lock_name[64] = "";
char port_label[128] = "";  // "port 0x378", "port /dev/parport0": how --status names it

ps_region *region = nullptr;
char lock_path[96] = "";
int own_fd = -1;     // this process's own description (never the one inherited from the listener)
int own_index = -1;  // the entry this process holds, if any

int64_t wall_ms() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int byte_lock(int fd, int cmd, short type, off_t at) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
    return fcntl(fd, cmd, &fl);
}

// Whether some description holds the slot lock of entry i; "alive" when the kernel cannot say.
bool slot_held(int fd, int i) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kSlotLocks + i;
    fl.l_len = 1;
    if (fd < 0 || fcntl(fd, F_OFD_GETLK, &fl) != 0)
        return true;
    return fl.l_type != F_UNLCK;
}

bool before(uint32_t a, uint32_t b) { return int32_t(a - b) < 0; }

void init_region(ps_region *r) {
    std::memset(static_cast<void *>(r), 0, sizeof *r);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&r->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    r->version = PS_VERSION;
    r->size = sizeof *r;
    r->next_ticket = 1;
    __atomic_store_n(&r->magic, PS_MAGIC, __ATOMIC_RELEASE);
}

bool layout_ok(const ps_region *r) { return r->magic == PS_MAGIC && r->version == PS_VERSION && r->size == sizeof *r; }

// Frees entries whose process died; after an owner died inside the mutex, the entries are all
// the repair there is to make (every other field is rewritten whole by the next change).
void free_dead() {
    for (int i = 0; i < PS_ENTRIES; i++)
        if (region->entries[i].state != PS_FREE && !portshare_alive(i))
            region->entries[i].state = PS_FREE;
}

std::string when(int64_t ms, int64_t now) {
    const time_t t = time_t(ms / 1000);
    tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text) + " (" + std::to_string((now - ms) / 1000) + " s)";
}

// The region of the daemon that process `pid` belongs to: the regular file among its descriptors
// that begins like one.
int find_by_pid(int pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    int found = -1;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const int fd = open((dir + "/" + e->d_name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st {};
        uint32_t head[3] = {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) &&
            head[0] == PS_MAGIC) {
            found = fd;
            break;
        }
        close(fd);
    }
    closedir(d);
    if (found < 0)
        errno = ENOENT;
    return found;
}

}  // namespace

extern "C" {

void portshare_name(long base, const char *device) {
    if (device != nullptr) {
        const char *leaf = std::strrchr(device, '/');
        std::snprintf(lock_name, sizeof lock_name, "tessal-%.40s.lock", leaf ? leaf + 1 : device);
        std::snprintf(port_label, sizeof port_label, "port %s", device);
    } else {
        std::snprintf(lock_name, sizeof lock_name, "tessal-%04lx.lock", base);
        std::snprintf(port_label, sizeof port_label, "port 0x%lx", base);
    }
}

int portshare_setup(int simulated) {
    int fd;
    if (simulated) {
        fd = open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        std::snprintf(lock_path, sizeof lock_path, "/proc/self/fd/%d", fd);  // kept open for ever
    } else {
        const char *dir = access("/run/lock", W_OK) == 0 ? "/run/lock" : "/tmp";
        std::snprintf(lock_path, sizeof lock_path, "%s/%s", dir, lock_name);
        fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        // 0600 whatever the umask, and for a file an older daemon left readable by all: the queue
        // names the clients, and only the daemon's user may take the port.
        if (struct stat own{}; fd >= 0 && fstat(fd, &own) == 0 && own.st_uid == geteuid() && (own.st_mode & 0777) != 0600)
            fchmod(fd, 0600);
    }
    if (fd < 0) {
        const bool not_root = errno == EACCES && geteuid() != 0;
        log_error_errno("port lock %s failed", simulated ? "file" : lock_path);
        if (struct stat st{}; not_root && stat(lock_path, &st) == 0)
            log_error("not root: the port lock belongs to user %d; run tessal as that user (root for the port's registers)",
                      int(st.st_uid));
        return -1;
    }
    // A daemon of an older tessal leaves an empty file (it only flocks it); one of another layout
    // is started afresh. Two daemons starting at once must not both initialise it.
    byte_lock(fd, F_OFD_SETLKW, F_WRLCK, kInitByte);
    struct stat st {};
    void *map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && (st.st_size >= off_t(sizeof(ps_region)) || ftruncate(fd, sizeof(ps_region)) == 0))
        map = mmap(nullptr, sizeof(ps_region), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        log_error_errno("port lock %s failed", simulated ? "file" : lock_path);
        byte_lock(fd, F_OFD_SETLK, F_UNLCK, kInitByte);
        close(fd);
        return -1;
    }
    region = static_cast<ps_region *>(map);
    if (!layout_ok(region))
        init_region(region);
    byte_lock(fd, F_OFD_SETLK, F_UNLCK, kInitByte);
    return 0;  // the listener's descriptor stays open: the mapping and /proc/self/fd need it
}

struct ps_region *portshare_region(void) { return region; }

int portshare_fd(void) {
    if (own_fd < 0 && lock_path[0] != '\0') {
        own_fd = open(lock_path, O_RDWR | O_CLOEXEC);
        if (own_fd < 0)
            log_error_errno("port lock %s failed", lock_path);
    }
    return own_fd;
}

void portshare_lock(void) {
    if (pthread_mutex_lock(&region->mutex) == EOWNERDEAD) {
        free_dead();
        pthread_mutex_consistent(&region->mutex);
        portshare_bump();  // whoever slept on the dead owner's change looks again
    }
}

void portshare_unlock(void) { pthread_mutex_unlock(&region->mutex); }

int portshare_claim(uint32_t state, const char *peer) {
    const int fd = portshare_fd();
    if (fd < 0)
        return -1;
    for (int pass = 0; pass < 2; pass++) {
        for (int i = 0; i < PS_ENTRIES; i++) {
            ps_entry &e = region->entries[i];
            // A slot still locked belongs to a process that is just letting go of it.
            if (e.state != PS_FREE || byte_lock(fd, F_OFD_SETLK, F_WRLCK, kSlotLocks + i) != 0)
                continue;
            e.ticket = region->next_ticket++;
            e.pid = int32_t(getpid());
            e.since_ms = wall_ms();
            e.bytes_to_device = 0;
            e.bytes_from_device = 0;
            std::snprintf(e.peer, sizeof e.peer, "%s", peer);
            e.state = state;
            own_index = i;
            return i;
        }
        free_dead();  // full: entries of processes that died may be taking the room
    }
    return -1;
}

void portshare_free(int index) {
    region->entries[index].state = PS_FREE;
    byte_lock(own_fd, F_OFD_SETLK, F_UNLCK, kSlotLocks + index);
    if (own_index == index)
        own_index = -1;
}

int portshare_alive(int index) { return index == own_index || slot_held(portshare_fd(), index); }

int portshare_holder(void) {
    for (int i = 0; i < PS_ENTRIES; i++) {
        if (region->entries[i].state != PS_HOLDING)
            continue;
        if (portshare_alive(i))
            return i;
        region->entries[i].state = PS_FREE;  // died holding: the kernel has dropped its flock
    }
    return -1;
}

int portshare_head(void) {
    for (;;) {
        int head = -1;
        for (int i = 0; i < PS_ENTRIES; i++)
            if (region->entries[i].state == PS_WAITING &&
                (head < 0 || before(region->entries[i].ticket, region->entries[head].ticket)))
                head = i;
        if (head < 0 || portshare_alive(head))
            return head;
        region->entries[head].state = PS_FREE;
    }
}

int portshare_waiting(void) {
    int n = 0;
    for (int i = 0; i < PS_ENTRIES; i++) {
        if (region->entries[i].state != PS_WAITING)
            continue;
        if (portshare_alive(i))
            n++;
        else
            region->entries[i].state = PS_FREE;
    }
    return n;
}

void portshare_bump(void) {
    __atomic_add_fetch(&region->seq, 1, __ATOMIC_SEQ_CST);
    syscall(SYS_futex, &region->seq, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

uint32_t portshare_seq(void) { return __atomic_load_n(&region->seq, __ATOMIC_SEQ_CST); }

void portshare_sleep(uint32_t seen) { syscall(SYS_futex, &region->seq, FUTEX_WAIT, seen, nullptr, nullptr, 0); }

int portshare_status(int pid) {
    char path[96];
    std::snprintf(path, sizeof path, "/run/lock/%s", lock_name);
    int fd = -1;
    if (pid > 0) {
        std::snprintf(path, sizeof path, "/proc/%d/fd", pid);
        fd = find_by_pid(pid);
        if (fd < 0) {
            log_error_errno("no tessal port state in process %d", pid);
            return -1;
        }
    } else {
        fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            std::snprintf(path, sizeof path, "/tmp/%s", lock_name);
            fd = open(path, O_RDONLY | O_CLOEXEC);
        }
        if (fd < 0 && errno == ENOENT) {
            std::printf("%s: free\n", port_label);  // no daemon has used it since the machine started
            return 0;
        }
        if (fd < 0) {
            log_error_errno("port lock %s", path);
            return -1;
        }
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size < off_t(sizeof(ps_region))) {
        std::printf("%s: free\n", port_label);  // the empty lock file of an older daemon, which keeps no queue
        close(fd);
        return 0;
    }
    void *map = mmap(nullptr, sizeof(ps_region), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        log_error_errno("port lock %s", path);
        close(fd);
        return -1;
    }
    const auto *r = static_cast<const ps_region *>(map);
    if (!layout_ok(r)) {
        std::printf("%s: in use by another version of tessal\n", port_label);
        munmap(map, sizeof(ps_region));
        close(fd);
        return 0;
    }
    // A snapshot without the mutex: the view must never wait on a daemon, and a line that is a
    // moment old is still the truth an administrator asked for.
    std::vector<ps_entry> live;
    for (int i = 0; i < PS_ENTRIES; i++) {
        const ps_entry e = r->entries[i];
        if (e.state != PS_FREE && slot_held(fd, i))
            live.push_back(e);
    }
    const int64_t now = wall_ms();
    bool held = false;
    for (const ps_entry &e : live) {
        if (e.state != PS_HOLDING)
            continue;
        held = true;
        std::printf("%s: held by %s, pid %d, since %s, %llu bytes to the device, %llu from it\n", port_label, e.peer, e.pid,
                    when(e.since_ms, now).c_str(), static_cast<unsigned long long>(e.bytes_to_device),
                    static_cast<unsigned long long>(e.bytes_from_device));
    }
    if (!held)
        std::printf("%s: free\n", port_label);
    std::vector<ps_entry> waiting;
    for (const ps_entry &e : live)
        if (e.state == PS_WAITING)
            waiting.push_back(e);
    std::sort(waiting.begin(), waiting.end(), [](const ps_entry &a, const ps_entry &b) { return before(a.ticket, b.ticket); });
    for (size_t i = 0; i < waiting.size(); i++)
        std::printf("waiting %zu: %s, pid %d, since %s\n", i + 1, waiting[i].peer, waiting[i].pid,
                    when(waiting[i].since_ms, now).c_str());
    munmap(map, sizeof(ps_region));
    close(fd);
    return 0;
}

}  // extern "C"
