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

int drop_root(void) {
    if (geteuid() != 0 && getuid() != 0)
        return 0;  // nothing to give up
    errno = 0;
    const passwd *pw = getpwnam(service_user);
    if (pw == nullptr) {
        if (errno != 0)
            log_error_errno("user %s", service_user);
        else
            log_error("user %s does not exist", service_user);
        return -1;
    }
    if (setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) {
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
