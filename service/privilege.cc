// Giving up root. A service process needs root for one thing: acquiring the port (setuid(0),
// then iopl(3)). The raised I/O privilege level survives a change of user, so right after it the
// process becomes an unprivileged user for the rest of its life. If that fails, the process
// must not go on as root: the connection is ended.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>

#include "port/log.h"
#include "service/daemon.h"

extern "C" {

const char *service_user = "nobody";

}  // extern "C"

namespace {

// The user's ids, looked up once by the listener: a service process that reads the user
// database (nsswitch.conf, passwd, perhaps a directory service) for every job spends a third of
// a millisecond on it.
struct user_ids {
    bool known = false;  // looked up, found or not
    int error = 0;       // the lookup's errno when not found (0: no such user)
    bool found = false;
    uid_t uid = 0;
    gid_t gid = 0;
} ids;

void look_up() {
    errno = 0;
    const passwd *pw = getpwnam(service_user);
    ids = {true, pw == nullptr ? errno : 0, pw != nullptr, pw ? pw->pw_uid : 0, pw ? pw->pw_gid : 0};
}

}  // namespace

extern "C" {

void service_user_lookup(void) {
    if (geteuid() == 0 || getuid() == 0)
        look_up();
}

int drop_root(void) {
    if (geteuid() != 0 && getuid() != 0)
        return 0;  // nothing to give up
    if (!ids.known)
        look_up();
    if (!ids.found) {
        errno = ids.error;
        if (ids.error != 0)
            log_error_errno("user %s", service_user);
        else
            log_error("user %s does not exist", service_user);
        return -1;
    }
    if (setgroups(0, nullptr) != 0 || setgid(ids.gid) != 0 || setuid(ids.uid) != 0) {
        log_error_errno("dropping privileges to %s failed", service_user);
        return -1;
    }
    if (setuid(0) == 0) {  // must be impossible now
        log_error("dropping privileges to %s failed, root could be regained", service_user);
        return -1;
    }
    return 0;
}

}  // extern "C"
