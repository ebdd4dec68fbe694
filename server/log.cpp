// log.cpp -- the operator's log: its descriptor and the lines written to it.
#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <time.h>
#include <unistd.h>

#include "fd.h"

static std::string log_path;
static int log_fd = -1;  // STDERR_FILENO for "-", which is not ours to close

static int open_path(const std::string &path)
{
    if (path == "-")
        return STDERR_FILENO;
    return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
}

bool open_log(const char *path)
{
    log_path = path;
    log_fd = open_path(log_path);
    return log_fd >= 0;
}

void reopen_log()
{
    if (log_fd < 0 || log_path == "-")
        return;
    int fd = open_path(log_path);
    if (fd < 0)
        return;
    close_fd(log_fd);
    log_fd = fd;
}

// A pipe or terminal on standard error could be full: the line is dropped
// rather than wait for it.
static bool may_write_now()
{
    struct pollfd p = {log_fd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);
}

void log_event(const char *fmt, ...)
{
    if (log_fd < 0)
        return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char line[1024];
    std::size_t n = std::strftime(line, sizeof line, "%Y-%m-%dT%H:%M:%S", &utc);
    n += static_cast<std::size_t>(std::snprintf(line + n, sizeof line - n, ".%03ldZ ", now.tv_nsec / 1000000));
    va_list ap;
    va_start(ap, fmt);
    int body = std::vsnprintf(line + n, sizeof line - n - 1, fmt, ap);
    va_end(ap);
    if (body < 0)
        return;
    n = std::min(n + static_cast<std::size_t>(body), sizeof line - 2);
    line[n++] = '\n';
    if (log_fd == STDERR_FILENO && !may_write_now())
        return;
    int saved = errno;
    (void)!write(log_fd, line, n);  // a failed write is lost, never waited for
    errno = saved;
}

std::string log_quoted(const std::string &text)
{
    std::string quoted;
    for (char ch : text) {
        if (ch == '"' || ch == '\\')
            quoted += '\\';
        quoted += ch;
    }
    return quoted;
}
