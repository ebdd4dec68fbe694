// bashd.cpp -- bench_bashd: the baseline that talvane is measured against,
// a remote shell made of bash and a socket. Every accepted connection gets a
// `bash --norc --noprofile` of its own, with the socket as its input, output
// and error, running in the benchmark's working directory and finding
// commands in that directory's bin/. The socket keeps the kernel's defaults
// (no TCP_NODELAY), as a plain listener would leave it.
//
// Usage: bench_bashd WORKDIR [LIFETIME_SECONDS]
// Listens on a free 127.0.0.1 port and prints its number on a line of its
// own. It ends when killed, or by itself after LIFETIME_SECONDS (default
// 3600), so that a benchmark that dies midway leaves nothing running for long.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

[[noreturn]] static void fail(const char *what)
{
    std::fprintf(stderr, "bench_bashd: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

static int listen_on_free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
        fail("bind");
    if (listen(fd, 64) < 0)
        fail("listen");
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) < 0)
        fail("getsockname");
    std::printf("%d\n", ntohs(addr.sin_port));
    std::fflush(stdout);
    return fd;
}

// In the child: the connection becomes bash's 0, 1 and 2. Never returns.
[[noreturn]] static void run_bash(int sock, const std::string &path_entry)
{
    signal(SIGCHLD, SIG_DFL);  // bash waits for its own children
    dup2(sock, STDIN_FILENO);
    dup2(sock, STDOUT_FILENO);
    dup2(sock, STDERR_FILENO);
    char *argv[] = {const_cast<char *>("bash"), const_cast<char *>("--norc"),
                    const_cast<char *>("--noprofile"), nullptr};
    char *envp[] = {const_cast<char *>(path_entry.c_str()), nullptr};
    execve("/usr/bin/bash", argv, envp);
    execve("/bin/bash", argv, envp);
    _exit(127);
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "Usage: bench_bashd WORKDIR [LIFETIME_SECONDS]\n");
        return 2;
    }
    if (chdir(argv[1]) < 0)
        fail("chdir");
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        fail("getcwd");
    std::string path_entry = std::string("PATH=") + cwd + "/bin";
    unsigned lifetime = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 3600;

    int listen_fd = listen_on_free_port();
    signal(SIGCHLD, SIG_IGN);  // sessions are reaped by the kernel
    alarm(lifetime);           // SIGALRM's default action ends the listener
    for (;;) {
        int sock = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            fail("accept");
        }
        pid_t pid = fork();
        if (pid == 0)
            run_bash(sock, path_entry);
        close(sock);
    }
}
