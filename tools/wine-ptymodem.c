/* Preloaded into wine for the Windows checks: a pseudo-terminal has no modem lines, and wine's
 * serial wait cancels itself whenever TIOCMGET fails, so a Windows program could never wait for
 * a byte on a COM port linked to a pty. Only where the real ioctl fails for that reason on a pty
 * slave are the lines faked (CTS, DSR and CD up; setting them accepted). Every other call, its
 * result and its errno pass through unchanged: a hung-up pty still reports EIO.
 *
 * gcc -shared -fPIC -O2 -o wine-ptymodem.so wine-ptymodem.c   (glibc 2.34 or later: dlsym in libc)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static int is_pty_slave(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    /* UNIX98 pty slaves: majors 136 to 143. */
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

int ioctl(int fd, unsigned long request, ...)
{
    static ioctl_fn real;
    va_list args;
    void *arg;
    int result, saved, before = errno;

    va_start(args, request);
    arg = va_arg(args, void *);
    va_end(args);
    if (!real)
        *(void **)&real = dlsym(RTLD_NEXT, "ioctl"); /* the POSIX way to take a function from dlsym */
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    result = real(fd, request, arg);
    if (result != -1 || (errno != ENOTTY && errno != EINVAL))
        return result;
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)
        return result;
    saved = errno;
    if (!is_pty_slave(fd)) {
        errno = saved;
        return result;
    }
    if (request == TIOCMGET) {
        if (!arg) {
            errno = saved;
            return result;
        }
        *(int *)arg = TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
    }
    errno = before;
    return 0;
}
