// syscall_faults.cpp -- a library the end-to-end tests preload into talvane
// to make fork() (and posix_spawnp(), the server's other way of starting a
// process), pipe2() and close_range() fail on demand, the way they do
// when the process table or the descriptor table is full, or on a kernel
// without close_range. The tests run as root,
// where no process limit can bring that about.
//
// Configuration, taken from the environment before main() runs (talvane
// points its environment elsewhere once started):
//
//   SYSCALL_FAULTS      a file of rules, read again on every call, so that a
//                       test can arm and clear faults while clients are
//                       logged in. One rule a line:
//                           CALL ERRNO COUNT
//                       CALL is fork (which stands for posix_spawnp too),
//                       pipe2 or close_range; ERRNO a name
//                       from the table below or a number; COUNT how many of
//                       the next calls fail, or * for every call. Each failure counts its
//                       rule down in the file, so what is left can be read
//                       back. The first rule of a call with calls left to
//                       fail applies. No file, or no such rule: the real call.
//   SYSCALL_FAULTS_LOG  a file to which each call appends a line
//                           CALL RESULT MICROSECONDS
//                       RESULT is "ok" for a real call, else the errno name;
//                       MICROSECONDS is the monotonic clock at the call.
//
// Neither file stays open between calls, so the process under test keeps
// exactly the descriptors it would have without this library.
#include <dlfcn.h>
#include <errno.h>
#include <spawn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

char rules_path[4096];
char log_path[4096];

struct ErrnoName {
    const char *name;
    int value;
};

const ErrnoName ERRNO_NAMES[] = {
    {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM}, {"EMFILE", EMFILE}, {"ENFILE", ENFILE},
    {"EINTR", EINTR},   {"ENOSYS", ENOSYS}, {"EFAULT", EFAULT},
};

void copy_env(const char *name, char *to, size_t size)
{
    const char *value = getenv(name);
    if (value && strlen(value) < size)
        strcpy(to, value);
}

__attribute__((constructor)) void read_configuration()
{
    copy_env("SYSCALL_FAULTS", rules_path, sizeof rules_path);
    copy_env("SYSCALL_FAULTS_LOG", log_path, sizeof log_path);
}

int errno_of(const char *text)
{
    for (const ErrnoName &e : ERRNO_NAMES)
        if (strcmp(e.name, text) == 0)
            return e.value;
    return atoi(text);
}

const char *name_of(int err, char *buf, size_t size)
{
    for (const ErrnoName &e : ERRNO_NAMES)
        if (e.value == err)
            return e.name;
    snprintf(buf, size, "%d", err);
    return buf;
}

// Reads all of path into buf as a string; false when there is no such file.
bool read_text(const char *path, char *buf, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t len = 0;
    ssize_t n;
    while (len + 1 < size && (n = read(fd, buf + len, size - 1 - len)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        len += static_cast<size_t>(n);
    }
    buf[len] = '\0';
    close(fd);
    return true;
}

void write_text(const char *path, const char *text, int flags)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0)
        return;
    size_t len = strlen(text), done = 0;
    while (done < len) {
        ssize_t n = write(fd, text + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
}

// The errno this call of `call` is to fail with, or 0 for the real call.
// A rule with a count is counted down in the file.
int take_fault(const char *call)
{
    static char text[8192], rewritten[8192];
    if (!rules_path[0] || !read_text(rules_path, text, sizeof text))
        return 0;
    int err = 0;
    size_t out = 0;
    for (char *line = text, *next; line && *line; line = next) {
        next = strchr(line, '\n');
        if (next)
            *next++ = '\0';
        char name[32], error[32], count[32], counted[128];
        const char *keep = line;
        if (!err && sscanf(line, "%31s %31s %31s", name, error, count) == 3 && strcmp(name, call) == 0 &&
            (strcmp(count, "*") == 0 || atoi(count) > 0)) {
            err = errno_of(error);
            if (strcmp(count, "*") != 0) {
                snprintf(counted, sizeof counted, "%s %s %d", name, error, atoi(count) - 1);
                keep = counted;
            }
        }
        size_t len = strlen(keep);
        if (out + len + 2 > sizeof rewritten)
            return err;  // too long to write back whole; leave the file be
        memcpy(rewritten + out, keep, len);
        out += len;
        rewritten[out++] = '\n';
    }
    rewritten[out] = '\0';
    if (err)
        write_text(rules_path, rewritten, O_TRUNC);
    return err;
}

void log_call(const char *call, int err)
{
    if (!log_path[0])
        return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char name[16], line[128];
    snprintf(line, sizeof line, "%s %s %lld\n", call, err ? name_of(err, name, sizeof name) : "ok",
             now.tv_sec * 1000000LL + now.tv_nsec / 1000);
    write_text(log_path, line, O_APPEND);
}

// Looks up and logs this call; the caller's errno is left as it was.
int fault_for(const char *call)
{
    int saved = errno;
    int err = take_fault(call);
    log_call(call, err);
    errno = saved;
    return err;
}

// The next definition of name after this library's: the C library's, or a
// checker runtime's wrapper around it. Looked up at the first call.
template <typename Fn>
Fn real(Fn &cached, const char *name)
{
    if (!cached)
        cached = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    return cached;
}

pid_t (*real_fork)(void);
int (*real_posix_spawnp)(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                         char *const[], char *const[]);
int (*real_pipe2)(int *, int);
int (*real_close_range)(unsigned, unsigned, int);

}  // namespace

extern "C" pid_t fork(void)
{
    if (int err = fault_for("fork")) {
        errno = err;
        return -1;
    }
    return real(real_fork, "fork")();
}

// Reports its error as its result, as posix_spawnp does.
extern "C" int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                            const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
    if (int err = fault_for("fork"))
        return err;
    return real(real_posix_spawnp, "posix_spawnp")(pid, file, actions, attr, argv, envp);
}

extern "C" int pipe2(int fds[2], int flags)
{
    if (int err = fault_for("pipe2")) {
        errno = err;
        return -1;
    }
    return real(real_pipe2, "pipe2")(fds, flags);
}

// In a started command, before it runs: a kernel without close_range.
extern "C" int close_range(unsigned first, unsigned last, int flags)
{
    if (int err = fault_for("close_range")) {
        errno = err;
        return -1;
    }
    return real(real_close_range, "close_range")(first, last, flags);
}
