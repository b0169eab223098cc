/* Preloaded into a program by the tests to make one platform call fail or
 * behave as on another system. FAIL_CALL names it:
 * - socket, bind, sendto (fails with ENOBUFS), short_sendto (sends nothing,
 *   yet reports one byte less than asked), lookup_ipv6 (an answer with a
 *   16-byte address) or lookup_empty (an answer with no address): for the
 *   sender;
 * - clamp_rcvbuf (SO_RCVBUFFORCE refused and SO_RCVBUF held to 212992 bytes,
 *   as for an unprivileged service on a stock host), slow_first_store (the
 *   first sync of a report, by fdatasync of its temporary or by syncfs,
 *   takes a second), syncfs (fails with EIO, as for a write error elsewhere
 *   on the filesystem) or renameat2 (fails with EINVAL, as where the
 *   filesystem has no RENAME_NOREPLACE): for the collector.
 * Every other call goes to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int failing(const char *call)
{
    const char *chosen = getenv("FAIL_CALL");
    return chosen != NULL && strcmp(chosen, call) == 0;
}

static void *next(const char *symbol)
{
    return dlsym(RTLD_NEXT, symbol);
}

int socket(int domain, int type, int protocol)
{
    if (failing("socket")) {
        errno = EMFILE;
        return -1;
    }
    int (*real)(int, int, int) = (int (*)(int, int, int))next("socket");
    return real(domain, type, protocol);
}

int bind(int fd, const struct sockaddr *address, socklen_t length)
{
    if (failing("bind")) {
        errno = EADDRINUSE;
        return -1;
    }
    int (*real)(int, const struct sockaddr *, socklen_t) =
        (int (*)(int, const struct sockaddr *, socklen_t))next("bind");
    return real(fd, address, length);
}

ssize_t sendto(int fd, const void *buffer, size_t length, int flags, const struct sockaddr *to, socklen_t toLength)
{
    if (failing("sendto")) {
        errno = ENOBUFS;
        return -1;
    }
    ssize_t (*real)(int, const void *, size_t, int, const struct sockaddr *, socklen_t) =
        (ssize_t (*)(int, const void *, size_t, int, const struct sockaddr *, socklen_t))next("sendto");
    if (failing("short_sendto") && length > 0)
        return (ssize_t)length - 1;
    return real(fd, buffer, length, flags, to, toLength);
}

struct hostent *gethostbyname(const char *name)
{
    static char address[16] = {0x20, 0x01, 0x0d, 0xb8};
    static char *addresses[2] = {address, NULL};
    static char *noAddresses[1] = {NULL};
    static char *aliases[1] = {NULL};
    static struct hostent answer;
    if (failing("lookup_ipv6") || failing("lookup_empty")) {
        answer.h_name = (char *)name;
        answer.h_aliases = aliases;
        answer.h_addrtype = failing("lookup_ipv6") ? AF_INET6 : AF_INET;
        answer.h_length = failing("lookup_ipv6") ? 16 : 4;
        answer.h_addr_list = failing("lookup_ipv6") ? addresses : noAddresses;
        return &answer;
    }
    struct hostent *(*real)(const char *) = (struct hostent * (*)(const char *)) next("gethostbyname");
    return real(name);
}

int setsockopt(int fd, int level, int name, const void *value, socklen_t length)
{
    int (*real)(int, int, int, const void *, socklen_t) =
        (int (*)(int, int, int, const void *, socklen_t))next("setsockopt");
    if (failing("clamp_rcvbuf") && level == SOL_SOCKET && name == SO_RCVBUFFORCE) {
        errno = EPERM;
        return -1;
    }
    if (failing("clamp_rcvbuf") && level == SOL_SOCKET && name == SO_RCVBUF && length == sizeof(int)) {
        int clamped = *(const int *)value < 212992 ? *(const int *)value : 212992;
        /* The kernel doubles what it is asked for, up to twice the limit. */
        return real(fd, level, SO_RCVBUFFORCE, &clamped, sizeof clamped) == 0
                   ? 0
                   : real(fd, level, name, &clamped, sizeof clamped);
    }
    return real(fd, level, name, value, length);
}

/* Sleeps a second the first time a report is synced. */
static void slowFirstStore(void)
{
    static int slowed;
    if (failing("slow_first_store") && !slowed) {
        slowed = 1;
        sleep(1);
    }
}

int syncfs(int fd)
{
    int (*real)(int) = (int (*)(int))next("syncfs");
    if (failing("syncfs")) {
        errno = EIO;
        return -1;
    }
    slowFirstStore();
    return real(fd);
}

int fdatasync(int fd)
{
    int (*real)(int) = (int (*)(int))next("fdatasync");
    char link[64];
    char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length > 0) {
        path[length] = '\0';
        const char *name = strrchr(path, '/');
        if (name != NULL && strncmp(name + 1, ".incoming-", 10) == 0)
            slowFirstStore();
    }
    return real(fd);
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    if (failing("renameat2")) {
        errno = EINVAL;
        return -1;
    }
    int (*real)(int, const char *, int, const char *, unsigned int) =
        (int (*)(int, const char *, int, const char *, unsigned int))next("renameat2");
    return real(fromDir, from, toDir, to, flags);
}
