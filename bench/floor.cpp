// floor.cpp -- bench_floor: the least that running one command line can cost
// on this machine. It runs the same command over and over with nothing but
// fork, execvp and waitpid (and pipe for a two-command pipeline), with the
// commands' output thrown into /dev/null, and prints how long each run took.
// With --spawn each command is started by posix_spawnp instead, its
// descriptors wired by file actions: no copy of the caller's address space
// is made, which is the least a server that starts commands that way pays.
//
// Usage: bench_floor [--spawn] ITERATIONS WORD... [| WORD...]
//   Prints one line: the time of every run in microseconds, separated by
//   blanks.
// Usage: bench_floor [--spawn] - WORD... [| WORD...]
//   Runs once for every line read from standard input and answers each with
//   the time of that run on a line of its own, so that a caller can take its
//   samples in turn with those of other contenders. Ends at end of input.
// A few unmeasured runs come first, so that the program's pages are in
// memory, as they are for a server that has been running for a while.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

static const int WARM_UP_RUNS = 10;

static int null_fd = -1;
static bool flag_spawn = false;  // posix_spawnp instead of fork + execvp

extern char **environ;

// In the child: input and output as given, everything else closed, then the
// program. Never returns.
[[noreturn]] static void exec_stage(std::vector<char *> &argv, int fd_in, int fd_out)
{
    dup2(fd_in, STDIN_FILENO);
    dup2(fd_out, STDOUT_FILENO);
    dup2(null_fd, STDERR_FILENO);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "bench_floor: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

// The same stage as exec_stage's, without a child of our own to wire it in:
// the file actions do the dup2s, and every other descriptor of ours is
// close-on-exec.
static pid_t spawn_stage(std::vector<char *> &argv, int fd_in, int fd_out)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd_in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fd_out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, null_fd, STDERR_FILENO);
    pid_t pid;
    int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        std::fprintf(stderr, "bench_floor: cannot run %s: %s\n", argv[0], std::strerror(err));
        std::exit(1);
    }
    return pid;
}

static pid_t start_stage(std::vector<char *> &argv, int fd_in, int fd_out)
{
    if (flag_spawn)
        return spawn_stage(argv, fd_in, fd_out);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("bench_floor: fork");
        std::exit(1);
    }
    if (pid == 0)
        exec_stage(argv, fd_in, fd_out);
    return pid;
}

static void wait_for(pid_t pid)
{
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

static void run_once(std::vector<char *> &first, std::vector<char *> &second)
{
    if (second.size() <= 1) {
        wait_for(start_stage(first, null_fd, null_fd));
        return;
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0) {
        std::perror("bench_floor: pipe");
        std::exit(1);
    }
    pid_t writer = start_stage(first, null_fd, ends[1]);
    pid_t reader = start_stage(second, ends[0], null_fd);
    // The reader sees end of input only once every write end is gone.
    close(ends[0]);
    close(ends[1]);
    wait_for(reader);
    wait_for(writer);
}

// One run, in microseconds.
static double timed_run(std::vector<char *> &first, std::vector<char *> &second)
{
    auto start = std::chrono::steady_clock::now();
    run_once(first, second);
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

int main(int argc, char **argv)
{
    int at = 1;
    if (argc > 1 && std::strcmp(argv[1], "--spawn") == 0) {
        flag_spawn = true;
        ++at;
    }
    if (argc - at < 2) {
        std::fprintf(stderr, "Usage: bench_floor [--spawn] ITERATIONS|- WORD... [| WORD...]\n");
        return 2;
    }
    const char *count = argv[at];
    int iterations = std::atoi(count);
    std::vector<char *> first, second;
    std::vector<char *> *stage = &first;
    for (int i = at + 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "|") == 0)
            stage = &second;
        else
            stage->push_back(argv[i]);
    }
    first.push_back(nullptr);
    second.push_back(nullptr);
    if (first.size() == 1 || (stage == &second && second.size() == 1)) {
        std::fprintf(stderr, "bench_floor: a command is missing\n");
        return 2;
    }
    null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);

    for (int i = 0; i < WARM_UP_RUNS; ++i)
        run_once(first, second);
    if (std::strcmp(count, "-") == 0) {
        for (int c; (c = std::getchar()) != EOF;) {
            if (c != '\n')
                continue;
            std::printf("%.1f\n", timed_run(first, second));
            std::fflush(stdout);
        }
        return 0;
    }
    std::string out;
    for (int i = 0; i < iterations; ++i) {
        char num[32];
        std::snprintf(num, sizeof num, "%s%.1f", i ? " " : "", timed_run(first, second));
        out += num;
    }
    std::printf("%s\n", out.c_str());
    return 0;
}
