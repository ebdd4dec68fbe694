// fd.cpp -- closing once, and pipes that leave room for connections.
#include "fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

void close_fd(int &fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

void close_pair(int (&fds)[2])
{
    close_fd(fds[0]);
    close_fd(fds[1]);
}

// select can watch only descriptors below FD_SETSIZE, and a connection
// takes the lowest free number. Pipes that would land in the upper half of
// that range are moved above it when the descriptor limit allows, so that
// however many pipes users keep pending, new connections still find a
// number select can watch. Pipes below the mark cost nothing extra.
static const int PIPE_FD_MARK = FD_SETSIZE / 2;

static int move_out_of_select_range(int fd)
{
    if (fd < PIPE_FD_MARK || fd >= FD_SETSIZE)
        return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, FD_SETSIZE);
    if (high < 0)
        return fd;
    close_fd(fd);
    return high;
}

bool make_pipe(int (&fds)[2])
{
    int err;
    do {
        if (pipe2(fds, O_CLOEXEC) == 0) {
            fds[0] = move_out_of_select_range(fds[0]);
            fds[1] = move_out_of_select_range(fds[1]);
            return true;
        }
        err = errno;
    } while (err == EINTR);
    fds[0] = fds[1] = -1;
    errno = err;
    return false;
}
