// load.cpp -- bench_load: the load generator. It talks to two running
// talvane servers, one in the default mode and one with --concurrent, and to
// the bash baseline (bench_bashd) over TCP as their users would, runs the
// floor program (bench_floor) beside them, and prints one table:
//   (a) round trip per line for `ls` and `ls | cat`: both modes, bash, and
//       two floors (commands started by fork and by posix_spawnp);
//   (b) streaming a large file through `cat big | cat`: both modes, bash;
//   (c) 30 clients at once, 50 lines of `ls` each: both modes, bash;
//   (d) 30 clients while one of them yells: both modes;
//   (e) each server's descriptors, resident memory and zombie children;
//   (f) hold-up: how long one user's `ls` takes while another user's
//       `sleep 3` runs, against the same user's `ls` with nobody busy;
//   (g) busy neighbour: one user's `who` while another user's line of
//       10,000 `ls |1` runs in the concurrent mode, against the same `who`
//       while as many `ls` run outside the server;
//   (h) the amplifying line: one user's line of 1,500 `ls >ID cat <ID`, each
//       pair announcing the whole line to every user twice, while a reader
//       takes about 2 MB/s: both modes, once (in the first round);
//   (i) a line of 4,000 `setenv`s: how long it takes in each mode and in
//       bash, and in the concurrent mode how long another user's `who`
//       waits meanwhile.
// Each round runs every figure once, the contenders taking turns (line by
// line where that makes sense), their order changing from turn to turn; the
// table gives medians over rounds.
//
// A "plain" client reads as any client does, so a reply that the sender's
// kernel holds back until our delayed ACK arrives shows as a stall. A
// "quick ACK" client re-arms TCP_QUICKACK after every recv, which takes that
// stall away and leaves the cost of the work itself.
//
// Usage: bench_load --free-port [N]
//        bench_load --server-port P --server-pid PID
//                   --concurrent-port P2 --concurrent-pid PID2 --bash-port Q
//                   --floor PATH --workdir DIR [--quick] [--rounds N]
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

static const int LINE_TIMEOUT_MS = 10000;
static const int LOGIN_TIMEOUT_MS = 5000;
static const char STREAM_FILE[] = "big";
// (h): how long before the slow reader has read everything user 1's prompt
// may come. The line waits while more than 64 KiB is queued for that reader,
// so at the prompt it has that, the last pair's two announcements (about
// 40 KB) and its 32 KiB receive buffer left to read: well under 0.2 MB, a
// tenth of a second at its pace. 0.5 s leaves room for a busy machine.
static const double AMPLIFY_GAP_S = 0.5;

struct Options {
    int server_port = 0;      // the default mode
    pid_t server_pid = -1;
    int concurrent_port = 0;  // --concurrent
    pid_t concurrent_pid = -1;
    int bash_port = 0;
    std::string floor;
    std::string workdir;
    bool flag_quick = false;
    int rounds = 3;
    int lines = 300;           // (a)
    long stream_bytes = 64L << 20;  // (b)
    int stream_reps = 8;       // (b): streams per contender and round
    int clients = 30;          // (c), (d)
    int client_lines = 50;     // (c)
    int yells = 200;           // (d)
    int holdup_idle_ms = 2500; // (f): how long the idle series runs
    int neighbour_commands = 10000;  // (g): `ls` in the busy user's line
    // (h): `ls >ID cat <ID` in the amplifying line. Each reader receives
    // about 2 x pairs x 13 x pairs bytes: 2,000 pairs made 104 MB, which the
    // slow reader took 66 s to read in each mode; 1,500 make 59 MB, under a
    // minute a mode.
    int amplify_pairs = 1500;
    int setenv_lines = 10;     // (i): lines of 4,000 `setenv`s per contender and round
};

static double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

static int ms_left(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// ---- statistics ----

// The value below which the fraction q of the samples lie (nearest rank).
static double percentile(std::vector<double> v, double q)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    std::size_t rank = static_cast<std::size_t>(std::ceil(q * v.size()));
    return v[std::min(v.size(), std::max<std::size_t>(rank, 1)) - 1];
}

static double median(const std::vector<double> &v)
{
    if (v.empty())
        return NAN;
    std::vector<double> s(v);
    std::sort(s.begin(), s.end());
    std::size_t n = s.size();
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}

// Every figure of every round, by name; the table shows their medians.
static std::map<std::string, std::vector<double>> results;

static void record(const std::string &key, double value)
{
    results[key].push_back(value);
}

static double result(const std::string &key)
{
    auto it = results.find(key);
    return it == results.end() ? NAN : median(it->second);
}

static double result_max(const std::string &key)
{
    auto it = results.find(key);
    return it == results.end() || it->second.empty() ? NAN
                                                     : *std::max_element(it->second.begin(), it->second.end());
}

// The value recorded last under key, NaN when none.
static double last(const std::string &key)
{
    auto it = results.find(key);
    return it == results.end() || it->second.empty() ? NAN : it->second.back();
}

// The ratio of two figures taken close together, so that a change in how
// busy the machine is falls on both alike; the table shows the median of
// such ratios. Nothing is kept when either figure is missing.
static void record_ratio(const std::string &key, double over, double under)
{
    if (over > 0 && under > 0)
        record(key, over / under);
}

static double result_sum(const std::string &key)
{
    double sum = 0;
    for (double v : results[key])
        sum += v;
    return sum;
}

// ---- connections ----

// One client connection and the bytes received but not yet consumed.
struct Link {
    int fd = -1;
    bool flag_quickack = false;
    bool flag_closed = false;  // the peer ended the connection
    std::string buf;
};

static void link_close(Link &l)
{
    if (l.fd >= 0)
        close(l.fd);
    l.fd = -1;
}

// rcvbuf, when not 0, is the receive buffer asked for. It is set before
// connect, since the window that the connection starts with is taken from it.
static bool link_connect(Link &l, int port, bool quickack, int rcvbuf = 0)
{
    l = Link();
    l.flag_quickack = quickack;
    l.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (l.fd < 0)
        return false;
    if (rcvbuf > 0 && setsockopt(l.fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf) < 0) {
        link_close(l);
        return false;
    }
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(l.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        link_close(l);
        return false;
    }
    return true;
}

static bool link_send(Link &l, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(l.fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// One recv of whatever is there, without waiting. The kernel leaves quick-ACK
// mode on its own, so a quick-ACK client sets it again after every read.
static ssize_t link_recv(Link &l, char *data, std::size_t size)
{
    ssize_t n = recv(l.fd, data, size, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        l.flag_closed = true;
    if (l.flag_quickack) {
        int on = 1;
        setsockopt(l.fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    return n;
}

// Waits at most timeout_ms for data and appends what came. False on timeout
// or when the connection has ended.
static bool link_fill(Link &l, int timeout_ms)
{
    struct pollfd p = {l.fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return false;
    static char chunk[1 << 16];
    ssize_t n = link_recv(l, chunk, sizeof chunk);
    if (n > 0)
        l.buf.append(chunk, static_cast<std::size_t>(n));
    return !l.flag_closed;
}

static bool ends_with_prompt(const std::string &s)
{
    return s.size() >= 2 && s.compare(s.size() - 2, 2, "% ") == 0;
}

static bool ends_with(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// talvane tells every client when another one comes or goes, between that
// client's own lines and whenever it gets round to it. Those lines are no
// part of any answer: they are taken out of the received bytes, wherever a
// line may start (at the start, after a newline or after a prompt).
static void strip_announcements(std::string &buf)
{
    static const std::string head = "*** User '";
    std::size_t at = 0;
    while ((at = buf.find(head, at)) != std::string::npos) {
        std::size_t nl = buf.find('\n', at);
        if (nl == std::string::npos)
            return;
        std::string line = buf.substr(at, nl - at);
        bool line_start = at == 0 || buf[at - 1] == '\n' || (at >= 2 && buf.compare(at - 2, 2, "% ") == 0);
        bool coming_or_going = ends_with(line, "' left. ***") || line.find("' entered from ") != std::string::npos;
        if (line_start && coming_or_going)
            buf.erase(at, nl + 1 - at);
        else
            at = nl + 1;
    }
}

// Reads until the received bytes end in the prompt; out gets them without it.
static bool link_read_prompt(Link &l, std::string &out, int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        strip_announcements(l.buf);
        if (ends_with_prompt(l.buf))
            break;
        if (!link_fill(l, ms_left(deadline)))
            return false;
    }
    out.assign(l.buf, 0, l.buf.size() - 2);
    l.buf.clear();
    return true;
}

static std::size_t count_of(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// ---- talvane's resources, through /proc ----

static int fd_count(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(path.c_str());
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n;
}

static long rss_kib(pid_t pid)
{
    FILE *f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld", &kib) == 1)
            break;
    std::fclose(f);
    return kib;
}

// Children of pid: those that have ended and not been reaped, or with
// zombies_only false every one of them.
static int children_of(pid_t pid, bool zombies_only)
{
    DIR *d = opendir("/proc");
    if (!d)
        return -1;
    int n = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        FILE *f = std::fopen((std::string("/proc/") + e->d_name + "/stat").c_str(), "r");
        if (!f)
            continue;
        char text[512];
        std::size_t len = std::fread(text, 1, sizeof text - 1, f);
        std::fclose(f);
        text[len] = '\0';
        // The command name may hold blanks and parentheses: fields follow the
        // last ')'.
        const char *after = std::strrchr(text, ')');
        char state;
        int ppid;
        if (after && std::sscanf(after + 1, " %c %d", &state, &ppid) == 2 && ppid == pid &&
            (state == 'Z' || !zombies_only))
            ++n;
    }
    closedir(d);
    return n;
}

static int zombies_of(pid_t pid)
{
    return children_of(pid, true);
}

static bool wait_for(const std::function<bool()> &pred, int timeout_ms)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred())
            return true;
        if (Clock::now() >= deadline)
            return false;
        usleep(10000);
    }
}

// One running talvane: the default mode or the concurrent one.
struct Server {
    std::string key;    // as used in result names
    std::string label;  // as shown in the table
    int port = 0;
    pid_t pid = -1;
    int fds_idle = -1;  // its descriptors with no client
};

// Waits until the server has removed every client that the benchmark has
// closed: their log-out announcements would otherwise reach the clients of
// the next figure at any moment. False when it takes too long.
static bool wait_server_idle(const Server &s)
{
    bool idle = wait_for([&] { return fd_count(s.pid) <= s.fds_idle; }, 30000);
    if (!idle)
        record("notes.not_idle", 1);
    return idle;
}

// ---- the contenders ----

// A server (or bash) together with the kind of client that talks to it.
struct Target {
    std::string label;  // as shown in the table
    std::string key;    // as used in result names: "<server>.plain" or "<server>.quick"
    int port;
    bool flag_bash;
    bool flag_quickack;
    const Server *server;  // nullptr for bash
};

static void wait_idle(const Target &t)
{
    if (t.server)
        wait_server_idle(*t.server);
}

// A line as the contender wants it: bash gets the prompt written after the
// command, so that both answer each line with output and then "% ".
static std::string wire_line(const Target &t, const std::string &line)
{
    return t.flag_bash ? line + "; printf '%% '\n" : line + "\n";
}

// Connects and, for talvane, consumes the banner, the log-in line and the
// first prompt.
static bool open_session(const Target &t, Link &l, int rcvbuf = 0)
{
    if (!link_connect(l, t.port, t.flag_quickack, rcvbuf))
        return false;
    std::string greeting;
    return t.flag_bash || link_read_prompt(l, greeting, LOGIN_TIMEOUT_MS);
}

// ---- (a) round trip per line ----

static std::string expected_ls;  // what `ls` prints in the working directory

// The floor program, started once per figure and asked for one timed run
// at a time, so that its samples are taken in turn with the others.
struct Floor {
    pid_t pid = -1;
    FILE *to = nullptr;    // a newline asks for one run
    FILE *from = nullptr;  // each run's time in microseconds, one a line
};

// spawn: the floor's commands are started by posix_spawnp, not by fork.
static bool floor_start(const Options &o, const std::string &line, bool spawn, Floor &f)
{
    std::vector<std::string> words = {o.floor};
    if (spawn)
        words.push_back("--spawn");
    words.push_back("-");
    for (std::size_t at = 0; at < line.size();) {
        std::size_t end = line.find(' ', at);
        if (end == std::string::npos)
            end = line.size();
        if (end > at)
            words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    // talvane's children see this environment and this directory too.
    char path[] = "PATH=bin:.";
    char *envp[] = {path, nullptr};
    int down[2], up[2];
    if (pipe2(down, O_CLOEXEC) < 0)
        return false;
    if (pipe2(up, O_CLOEXEC) < 0) {
        close(down[0]);
        close(down[1]);
        return false;
    }
    f.pid = fork();
    if (f.pid == 0) {
        dup2(down[0], STDIN_FILENO);
        dup2(up[1], STDOUT_FILENO);
        if (chdir(o.workdir.c_str()) == 0)
            execve(argv[0], argv.data(), envp);
        _exit(127);
    }
    close(down[0]);
    close(up[1]);
    f.to = fdopen(down[1], "w");
    f.from = fdopen(up[0], "r");
    return f.pid > 0 && f.to && f.from;
}

static bool floor_once(Floor &f, double &ms)
{
    double us;
    if (std::fputc('\n', f.to) == EOF || std::fflush(f.to) != 0 || std::fscanf(f.from, "%lf", &us) != 1)
        return false;
    ms = us / 1000;
    return true;
}

// The floor program ends at the end of its input.
static void floor_stop(Floor &f)
{
    if (f.to)
        std::fclose(f.to);
    if (f.from)
        std::fclose(f.from);
    if (f.pid > 0)
        waitpid(f.pid, nullptr, 0);
    f = Floor();
}

// The floors of (a), in their order among the contenders: fork + execvp
// (result key "floor") and posix_spawnp ("spawn").
static const std::size_t FLOORS = 2;
static const bool FLOOR_SPAWNS[FLOORS] = {false, true};
static const char *const FLOOR_KEYS[FLOORS] = {"floor", "spawn"};

// One line and its answer; false when the answer did not come.
static bool one_round_trip(const Target &t, Link &l, const std::string &line, double &ms, bool &right)
{
    std::string out;
    auto start = Clock::now();
    if (!link_send(l, wire_line(t, line)) || !link_read_prompt(l, out, LINE_TIMEOUT_MS))
        return false;
    ms = ms_since(start);
    right = out == expected_ls;
    return true;
}

// A talvane session receives the log-in line of every session opened after
// it on the same server; read those, so that each link starts empty.
static void drain_logins(const std::vector<Target> &targets, std::vector<Link> &links)
{
    for (std::size_t s = 0; s < targets.size(); ++s) {
        if (!targets[s].server || links[s].fd < 0)
            continue;
        std::size_t later = 0;
        for (std::size_t r = s + 1; r < targets.size(); ++r)
            later += targets[r].server == targets[s].server && links[r].fd >= 0;
        auto deadline = Clock::now() + std::chrono::milliseconds(LOGIN_TIMEOUT_MS);
        while (count_of(links[s].buf, " entered from ") < later && link_fill(links[s], ms_left(deadline))) {
        }
        links[s].buf.clear();
    }
}

// Every contender answers the line o.lines times. They take turns line by
// line, the order rotating from one turn to the next, so that a burst of
// load elsewhere on the machine falls on all of them alike. The two floors
// (fork and posix_spawnp) take their turns among the others.
static void figure_a(const std::string &line, const std::vector<Target> &targets, const Options &o)
{
    std::size_t n = targets.size() + FLOORS;  // the floors come last
    std::vector<std::vector<double>> times(n);
    std::vector<int> errors(n, 0);
    std::vector<bool> alive(n, true);
    std::vector<Link> links(targets.size());
    for (const Target &t : targets)
        wait_idle(t);
    for (std::size_t s = 0; s < targets.size(); ++s)
        alive[s] = open_session(targets[s], links[s]);
    drain_logins(targets, links);
    Floor floors[FLOORS];
    for (std::size_t k = 0; k < FLOORS; ++k)
        alive[targets.size() + k] = floor_start(o, line, FLOOR_SPAWNS[k], floors[k]);
    const int warm_up = 10;  // turns not kept
    for (int turn = 0; turn < warm_up + o.lines; ++turn) {
        for (std::size_t k = 0; k < n; ++k) {
            std::size_t s = (k + static_cast<std::size_t>(turn)) % n;
            if (!alive[s])
                continue;
            double ms = 0;
            bool right = true;
            alive[s] = s >= targets.size() ? floor_once(floors[s - targets.size()], ms)
                                           : one_round_trip(targets[s], links[s], line, ms, right);
            if (turn < warm_up || !alive[s])
                continue;
            times[s].push_back(ms);
            if (!right)
                ++errors[s];
        }
    }
    for (Link &l : links)
        link_close(l);
    for (Floor &f : floors)
        floor_stop(f);
    for (std::size_t s = 0; s < n; ++s) {
        std::string key = "a." + line + "." + (s >= targets.size() ? FLOOR_KEYS[s - targets.size()] : targets[s].key);
        record(key + ".p50", percentile(times[s], 0.5));
        record(key + ".p99", percentile(times[s], 0.99));
        record(key + ".errors", errors[s] + o.lines - static_cast<double>(times[s].size()));
    }
}

// ---- (b) streaming ----

static void make_stream_file(const Options &o)
{
    std::string path = o.workdir + "/" + STREAM_FILE;
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    // 64-byte lines of text, numbered, so that nothing in them looks like a
    // prompt and the file compresses to nothing on no layer.
    char line[128];
    for (long at = 0; at < o.stream_bytes; at += 64) {
        std::snprintf(line, sizeof line, "%012ld %-50s\n", at / 64, "stream line of the talvane benchmark");
        std::fwrite(line, 1, static_cast<std::size_t>(std::min(64L, o.stream_bytes - at)), f);
    }
    std::fclose(f);
}

// Bytes per second from sending the line to the prompt after the file; 0 if
// the file did not arrive whole.
static double stream_once(const Target &t, const Options &o)
{
    Link l;
    wait_idle(t);
    if (!open_session(t, l))
        return 0;
    long want = o.stream_bytes + 2, got = 0;
    char tail[2] = {0, 0};
    static char chunk[1 << 18];
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(60);
    bool ok = link_send(l, wire_line(t, std::string("cat ") + STREAM_FILE + " | cat"));
    while (ok && got < want) {
        struct pollfd p = {l.fd, POLLIN, 0};
        if (poll(&p, 1, ms_left(deadline)) <= 0)
            break;
        ssize_t n = link_recv(l, chunk, sizeof chunk);
        if (l.flag_closed)
            break;
        if (n <= 0)
            continue;
        got += n;
        if (n >= 2) {
            tail[0] = chunk[n - 2];
            tail[1] = chunk[n - 1];
        } else {
            tail[0] = tail[1];
            tail[1] = chunk[0];
        }
    }
    double seconds = ms_since(start) / 1000;
    link_close(l);
    if (got != want || tail[0] != '%' || tail[1] != ' ')
        return 0;
    return o.stream_bytes / seconds;
}

static double figure_b_target(const Target &t, const Options &o)
{
    double rate = stream_once(t, o);
    record("b." + t.key + ".rate", rate);
    record("b." + t.key + ".errors", rate > 0 ? 0 : 1);
    return rate;
}

// ---- (c) many clients at once ----

struct Parallel {
    std::vector<double> times;
    int errors = 0;
    double seconds = 0;
};

// Every link sends the line, waits for its prompt, and again, lines_each
// times; all links at once.
static Parallel run_parallel(const Target &t, std::vector<Link> &links, const std::string &line,
                             int lines_each)
{
    Parallel r;
    std::string wire = wire_line(t, line);
    std::vector<int> done(links.size(), 0);
    std::vector<Clock::time_point> sent(links.size());
    std::vector<bool> active(links.size(), true);
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(120);
    for (std::size_t i = 0; i < links.size(); ++i) {
        sent[i] = Clock::now();
        active[i] = !links[i].flag_closed && link_send(links[i], wire);
    }
    static char chunk[1 << 16];
    for (;;) {
        std::vector<struct pollfd> fds;
        std::vector<std::size_t> which;
        for (std::size_t i = 0; i < links.size(); ++i) {
            if (active[i]) {
                fds.push_back({links[i].fd, POLLIN, 0});
                which.push_back(i);
            }
        }
        if (fds.empty() || poll(fds.data(), fds.size(), ms_left(deadline)) <= 0)
            break;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents)
                continue;
            std::size_t i = which[k];
            Link &l = links[i];
            ssize_t n = link_recv(l, chunk, sizeof chunk);
            if (n > 0)
                l.buf.append(chunk, static_cast<std::size_t>(n));
            strip_announcements(l.buf);
            if (ends_with_prompt(l.buf)) {
                r.times.push_back(ms_since(sent[i]));
                if (l.buf.compare(0, l.buf.size() - 2, expected_ls) != 0 || l.buf.size() - 2 != expected_ls.size())
                    ++r.errors;
                l.buf.clear();
                if (++done[i] < lines_each) {
                    sent[i] = Clock::now();
                    active[i] = link_send(l, wire);
                } else {
                    active[i] = false;
                }
            }
            if (l.flag_closed)
                active[i] = false;
        }
    }
    r.seconds = ms_since(start) / 1000;
    for (std::size_t i = 0; i < links.size(); ++i)
        r.errors += lines_each - done[i];
    return r;
}

static void record_parallel(const std::string &key, const Parallel &r)
{
    record(key + ".rate", r.times.size() / r.seconds);
    record(key + ".p50", percentile(r.times, 0.5));
    record(key + ".p99", percentile(r.times, 0.99));
    record(key + ".errors", r.errors);
}

// Opens n sessions. With talvane every earlier client also receives the
// log-in line of every later one; those are read here, so that each link
// starts the run empty. Returns the number of sessions that failed.
static int open_sessions(const Target &t, std::vector<Link> &links, int n)
{
    links.assign(static_cast<std::size_t>(n), Link());
    int failed = 0;
    for (Link &l : links)
        if (!open_session(t, l))
            l.flag_closed = true, ++failed;
    if (t.flag_bash)
        return failed;
    for (int i = 0; i < n; ++i) {
        Link &l = links[static_cast<std::size_t>(i)];
        auto deadline = Clock::now() + std::chrono::milliseconds(LOGIN_TIMEOUT_MS);
        while (!l.flag_closed && count_of(l.buf, " entered from ") < static_cast<std::size_t>(n - 1 - i))
            if (!link_fill(l, ms_left(deadline)))
                break;
        l.buf.clear();
    }
    return failed;
}

static void close_sessions(std::vector<Link> &links)
{
    for (Link &l : links)
        link_close(l);
}

// (c) alone, for a contender whose other figures are taken elsewhere.
static void figure_c(const Target &t, const Options &o)
{
    wait_idle(t);
    std::vector<Link> links;
    open_sessions(t, links, o.clients);  // one that fails shows as lines missing
    Parallel r = run_parallel(t, links, "ls", o.client_lines);
    close_sessions(links);
    record_parallel("c." + t.key, r);
}

// ---- (d) yells ----

// Consumes whole lines from the link's buffer; a leading prompt counts as
// one prompt. Each yell line must be the next one expected.
static void take_yells(Link &l, int &next_yell, int &prompts, int &errors)
{
    static const std::string head = "*** (no name) yelled ***: y";
    for (;;) {
        if (l.buf.compare(0, 2, "% ") == 0) {
            ++prompts;
            l.buf.erase(0, 2);
            continue;
        }
        std::size_t nl = l.buf.find('\n');
        if (nl == std::string::npos)
            return;
        std::string line = l.buf.substr(0, nl);
        l.buf.erase(0, nl + 1);
        if (line == head + std::to_string(next_yell))
            ++next_yell;
        else
            ++errors;
    }
}

// Client 1 yells, each yell after its prompt; every client counts what it
// receives. The time runs until the last yell has reached everybody.
static void figure_d(const std::string &key, std::vector<Link> &links, const Options &o)
{
    std::size_t n = links.size();
    std::vector<int> next(n, 0);
    int prompts = 0, errors = 0, sent = 0;
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(60);
    bool ok = link_send(links[0], "yell y0\n");
    sent = ok ? 1 : 0;
    static char chunk[1 << 16];
    auto all_done = [&] {
        for (std::size_t i = 0; i < n; ++i)
            if (next[i] < o.yells && !links[i].flag_closed)
                return false;
        return true;
    };
    while (ok && !all_done()) {
        std::vector<struct pollfd> fds;
        for (Link &l : links)
            fds.push_back({l.flag_closed ? -1 : l.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), ms_left(deadline)) <= 0)
            break;
        for (std::size_t i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            ssize_t got = link_recv(links[i], chunk, sizeof chunk);
            if (got > 0)
                links[i].buf.append(chunk, static_cast<std::size_t>(got));
            strip_announcements(links[i].buf);
            int ignored = 0;
            take_yells(links[i], next[i], i == 0 ? prompts : ignored, errors);
        }
        if (prompts == sent && sent < o.yells) {
            ok = link_send(links[0], "yell y" + std::to_string(sent) + "\n");
            ++sent;
        }
    }
    double seconds = ms_since(start) / 1000;
    double delivered = 0;
    for (int got : next)
        delivered += got;
    record(key + ".rate", o.yells / seconds);
    record(key + ".delivered", delivered);
    record(key + ".expected", static_cast<double>(o.yells) * n);
    record(key + ".errors", errors);
}

// (c), (d) and (e) on one talvane server: 30 log-ins, the parallel run, the
// yells, and the server's descriptors and memory at each step.
static void figures_cde_server(const Target &t, const Options &o)
{
    const Server &server = *t.server;
    pid_t pid = server.pid;
    std::string e = "e." + server.key;
    // The clients of earlier figures must have been removed before 30 new
    // ones can all get a slot.
    wait_server_idle(server);
    record(e + ".fds.start", fd_count(pid));
    std::vector<Link> links;
    int failed = open_sessions(t, links, o.clients);
    record(e + ".fds.login", fd_count(pid));
    record(e + ".rss.login", rss_kib(pid));
    Parallel r = run_parallel(t, links, "ls", o.client_lines);
    record_parallel("c." + t.key, r);
    figure_d("d." + server.key, links, o);
    // The children of the last lines may still be on their way out.
    wait_for([&] { return zombies_of(pid) == 0; }, 1000);
    record(e + ".fds.run", fd_count(pid));
    record(e + ".rss.run", rss_kib(pid));
    record(e + ".login_failed", failed);
    close_sessions(links);
    wait_server_idle(server);
    record(e + ".fds.left", fd_count(pid));
    record(e + ".zombies", zombies_of(pid));
}

// ---- (f) hold-up ----

// Takes in whatever has arrived on the link, without waiting; true once the
// received bytes end in the prompt.
static bool prompt_arrived(Link &l)
{
    while (link_fill(l, 0)) {
    }
    strip_announcements(l.buf);
    return ends_with_prompt(l.buf);
}

// User 2 sends `ls` line after line for a while with nobody else busy (the
// idle series, half before and half after the held one, so that neither
// series has the fresher connection or the quieter stretch of the machine).
// In between user 1 starts `sleep 3` in the foreground, and from 0.5 s later
// user 2 sends `ls` line after line again, each once the last was answered,
// until user 1's prompt is back (the held series). Where one user's command
// holds up the others, the first held line is answered only once the sleep
// is over and the series has that one line; where it does not, the series
// fills the 2.5 s with lines as fast as idle ones.
static void figure_f(const Target &t, const Options &o)
{
    static const int HOLD_AFTER_MS = 500;
    static const int WARM_UP_LINES = 10;  // not kept
    std::string key = "f." + t.key;
    wait_idle(t);
    std::vector<Target> both = {t, t};
    std::vector<Link> links(2);
    if (!open_session(t, links[0]) || !open_session(t, links[1])) {
        record(key + ".errors", 1);
        close_sessions(links);
        return;
    }
    drain_logins(both, links);
    Link &busy = links[0], &user = links[1];
    int errors = 0;
    auto series = [&](std::vector<double> &times, const std::function<bool()> &go_on) {
        while (go_on()) {
            double ms = 0;
            bool right = true;
            if (!one_round_trip(t, user, "ls", ms, right)) {
                ++errors;
                return;
            }
            times.push_back(ms);
            errors += !right;
        }
    };
    auto idle_for = [&](std::vector<double> &times, int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        series(times, [&] { return Clock::now() < end; });
    };
    std::vector<double> warm_up, idle, held;
    int warm_up_lines = 0;
    series(warm_up, [&] { return warm_up_lines++ < WARM_UP_LINES; });
    idle_for(idle, o.holdup_idle_ms / 2);
    auto start = Clock::now();
    bool sent = link_send(busy, wire_line(t, "sleep 3"));
    usleep(static_cast<useconds_t>(ms_left(start + std::chrono::milliseconds(HOLD_AFTER_MS)) * 1000));
    series(held, [&] { return sent && !prompt_arrived(busy) && !busy.flag_closed; });
    std::string after_sleep;
    if (!sent || !link_read_prompt(busy, after_sleep, LINE_TIMEOUT_MS) || !after_sleep.empty())
        ++errors;
    idle_for(idle, o.holdup_idle_ms - o.holdup_idle_ms / 2);
    close_sessions(links);
    if (!idle.empty())
        record(key + ".idle", median(idle));
    if (!held.empty()) {
        record(key + ".first", held[0]);
        record(key + ".held", median(held));
    } else {
        ++errors;
    }
    record(key + ".lines", static_cast<double>(held.size()));
    record(key + ".errors", errors);
}

// ---- (g) busy neighbour ----

// Starts the floor program on its own, running `ls` count times one after
// the other with its report thrown away, in the directory and environment
// that talvane's children have. The pid, or -1.
static pid_t floor_background(const Options &o, int count)
{
    std::string n = std::to_string(count), ls = "ls";
    std::string floor = o.floor;
    char *argv[] = {&floor[0], &n[0], &ls[0], nullptr};
    char path[] = "PATH=bin:.";
    char *envp[] = {path, nullptr};
    int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDOUT_FILENO);
        if (chdir(o.workdir.c_str()) == 0)
            execve(argv[0], argv, envp);
        _exit(127);
    }
    close(null_fd);
    return pid;
}

// Waits until the server has no child left, running or ended: the last
// commands of a long line may still be on their way out when its prompt is
// back, and they would load the machine during the next series.
static void wait_no_children(const Server &s)
{
    if (!wait_for([&] { return children_of(s.pid, false) == 0; }, 30000))
        record("notes.children_left", 1);
}

// User 1 sends one line of o.neighbour_commands `ls |1` (each ls writes
// into a numbered pipe that the next one gets as its input and ignores) and
// user 2 sends `who` lines one after another, each once the last was
// answered, until user 1's prompt is back: the held series. The control
// series is the same `who` lines while the floor program runs as many `ls`
// one after another outside the server, with both users idle. A server that
// serves its users while a long line runs lets user 2 feel that line no
// more than the same work done elsewhere on the machine. The two series take
// turns from round to round; both users stay logged in throughout, so that
// every `who` answers the same table.
static void figure_g(const Target &t, const Options &o, int round)
{
    static const int BOUND_MS = 180000;   // for each series
    static const int WARM_UP_LINES = 10;  // not kept
    const Server &server = *t.server;
    wait_server_idle(server);
    wait_no_children(server);
    std::vector<Target> both = {t, t};
    std::vector<Link> links(2);
    int errors = 0;
    if (!open_session(t, links[0]) || !open_session(t, links[1])) {
        record("g.errors", 1);
        close_sessions(links);
        wait_server_idle(server);
        return;
    }
    drain_logins(both, links);
    Link &busy = links[0], &user = links[1];
    std::string expected_who;
    bool ok = true;
    auto who = [&](double &ms) {
        std::string out;
        auto start = Clock::now();
        if (!link_send(user, "who\n") || !link_read_prompt(user, out, LINE_TIMEOUT_MS))
            return false;
        ms = ms_since(start);
        if (expected_who.empty())
            expected_who = out;
        else if (out != expected_who)
            ++errors;
        return true;
    };
    // Lines until go_on says no or the series has taken BOUND_MS; false on
    // a lost answer or when the bound was reached.
    auto series = [&](std::vector<double> &times, const std::function<bool()> &go_on) {
        auto deadline = Clock::now() + std::chrono::milliseconds(BOUND_MS);
        while (ok && go_on()) {
            double ms = 0;
            if (Clock::now() >= deadline || !who(ms))
                return false;
            times.push_back(ms);
        }
        return ok;
    };
    std::vector<double> warm_up, held, control;
    int warm_up_lines = 0;
    ok = series(warm_up, [&] { return warm_up_lines++ < WARM_UP_LINES; });
    std::string line;
    for (int i = 0; i < o.neighbour_commands; ++i)
        line += "ls |1 ";
    for (int turn = 0; turn < 2 && ok; ++turn) {
        if ((turn + round) % 2 == 0) {
            auto start = Clock::now();
            bool sent = link_send(busy, line + "\n");
            ok = series(held, [&] { return sent && !prompt_arrived(busy) && !busy.flag_closed; });
            record("g.held.seconds", ms_since(start) / 1000);
            // Every `ls` wrote into a numbered pipe, so the prompt is all
            // that user 1 receives.
            std::string out;
            if (!sent || !link_read_prompt(busy, out, LINE_TIMEOUT_MS) || !out.empty())
                ++errors;
        } else {
            auto start = Clock::now();
            pid_t pid = floor_background(o, o.neighbour_commands);
            int status = 0;
            bool ended = pid < 0;
            ok = series(control, [&] {
                ended = ended || waitpid(pid, &status, WNOHANG) == pid;
                return !ended;
            });
            if (!ended) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
            }
            record("g.control.seconds", ms_since(start) / 1000);
            if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
                ++errors;
        }
        wait_no_children(server);
    }
    if (!ok)
        ++errors;
    close_sessions(links);
    wait_server_idle(server);
    for (auto &s : {std::make_pair("held", &held), std::make_pair("control", &control)}) {
        std::string key = std::string("g.") + s.first;
        if (s.second->empty()) {
            ++errors;
            continue;
        }
        record(key + ".p50", percentile(*s.second, 0.5));
        record(key + ".p99", percentile(*s.second, 0.99));
        record(key + ".lines", static_cast<double>(s.second->size()));
    }
    if (!held.empty() && !control.empty())
        record_ratio("g.ratio", percentile(held, 0.5), percentile(control, 0.5));
    record("g.errors", errors);
}

// ---- (h) the amplifying line ----

// Bytes that the server's end of the connection from 127.0.0.1:client_port
// to server_port has been given and its peer has not acknowledged (its send
// queue, as /proc/net/tcp shows it); -1 when it is not found.
static long server_send_queue(int server_port, int client_port)
{
    FILE *f = std::fopen("/proc/net/tcp", "r");
    if (!f)
        return -1;
    char text[512];
    long queued = -1;
    while (queued < 0 && std::fgets(text, sizeof text, f)) {
        unsigned local_ip, local_port, remote_ip, remote_port, state;
        unsigned long tx = 0, rx = 0;
        if (std::sscanf(text, " %*d: %x:%x %x:%x %x %lx:%lx", &local_ip, &local_port, &remote_ip, &remote_port,
                        &state, &tx, &rx) == 7 &&
            static_cast<int>(local_port) == server_port && static_cast<int>(remote_port) == client_port)
            queued = static_cast<long>(tx);
    }
    std::fclose(f);
    return queued;
}

static int local_port_of(int fd)
{
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) < 0)
        return -1;
    return ntohs(addr.sin_port);
}

// What one user of (h) receives, taken in line by line as it arrives: the
// two announcements that each pair of the line makes, every other line, and
// each prompt. Only the unfinished last line is kept, however much arrives.
struct Tally {
    std::string piped, received;  // the two announcements, newline included
    long long bytes = 0;          // received since the line was sent
    long pipes = 0, receipts = 0;
    long out_of_order = 0;        // an announcement out of its turn
    long prompts = 0;
    bool flag_left_seen = false;  // somebody's log-out reached this user
    std::string rest;             // the start of a line not yet whole
    std::string other;            // other lines since the last prompt
};

static bool is_logout(const std::string &text, std::size_t at, std::size_t len)
{
    static const std::string head = "*** User '", tail = "' left. ***\n";
    return len >= head.size() + tail.size() && text.compare(at, head.size(), head) == 0 &&
           text.compare(at + len - tail.size(), tail.size(), tail) == 0;
}

// Takes in one chunk. At each prompt on_prompt gets the other lines that came
// before it, and they are forgotten.
static void tally_take(Tally &t, const char *data, std::size_t n,
                       const std::function<void(const std::string &)> &on_prompt)
{
    t.bytes += static_cast<long long>(n);
    t.rest.append(data, n);
    std::size_t at = 0;
    for (;;) {
        if (t.rest.compare(at, 2, "% ") == 0) {
            ++t.prompts;
            on_prompt(t.other);
            t.other.clear();
            at += 2;
            continue;
        }
        std::size_t nl = t.rest.find('\n', at);
        if (nl == std::string::npos)
            break;
        std::size_t len = nl + 1 - at;
        if (len == t.piped.size() && t.rest.compare(at, len, t.piped) == 0) {
            t.out_of_order += t.pipes != t.receipts;
            ++t.pipes;
        } else if (len == t.received.size() && t.rest.compare(at, len, t.received) == 0) {
            ++t.receipts;
            t.out_of_order += t.receipts != t.pipes;
        } else if (is_logout(t.rest, at, len)) {
            t.flag_left_seen = true;
        } else {
            t.other.append(t.rest, at, len);
        }
        at = nl + 1;
    }
    t.rest.erase(0, at);
}

// Milliseconds until when, rounded up, so that a poll does not wake early
// and spin.
static int ms_until(Clock::time_point when)
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(when - Clock::now()).count();
    return us > 0 ? static_cast<int>((us + 999) / 1000) : 0;
}

// User 1 sends one line of o.amplify_pairs `ls >ID cat <ID` (ID its own
// number): each pair announces the whole line twice to every user, so the
// line says to each reader about 2 x pairs x its own length, far more than
// any queue may hold. User 2 reads at most 20 KB every 10 ms through a
// 16 KiB receive buffer; user 1 reads at full speed; in the concurrent mode
// user 3 sends `who` lines one after another until user 1's prompt is back,
// in the default mode it only reads. A line that waits for its readers
// brings user 1's prompt only once user 2 has read nearly everything, drops
// nobody, keeps the server's memory small, and in the concurrent mode lets
// user 3 be served meanwhile.
static void figure_h(const Target &t, const Options &o)
{
    static const int BOUND_MS = 240000;     // for the line and its readers
    static const int SLOW_RCVBUF = 16 << 10;
    static const std::size_t SLOW_CHUNK = 20000;
    static const int SLOW_PERIOD_MS = 10;
    static const int RSS_PERIOD_MS = 50;
    static const int LINGER_MS = 100;       // for anything arriving after the last announcement
    static const long MAX_SPINS = 20000000;
    static const int WARM_UP_LINES = 10;    // user 3's, not kept
    const Server &server = *t.server;
    const bool concurrent = server.key == "concurrent";
    const std::string key = "h." + server.key;
    const long pairs = o.amplify_pairs;
    int errors = 0;
    wait_server_idle(server);
    wait_no_children(server);
    std::vector<Target> three = {t, t, t};
    Target slow = t;
    slow.flag_quickack = false;
    std::vector<Link> links(3);
    bool opened = open_session(t, links[0]) && open_session(slow, links[1], SLOW_RCVBUF) && open_session(t, links[2]);
    if (opened)
        drain_logins(three, links);
    // User 1's number and name, as its announcements give them.
    std::string table, name;
    int id = 0;
    if (opened && link_send(links[0], "who\n") && link_read_prompt(links[0], table, LINE_TIMEOUT_MS)) {
        std::size_t me = table.find("\t<-me\n");
        std::size_t row = me == std::string::npos ? me : table.rfind('\n', me);
        if (row != std::string::npos) {
            std::size_t tab = table.find('\t', row + 1);
            id = std::atoi(table.c_str() + row + 1);
            name = table.substr(tab + 1, table.find('\t', tab + 1) - tab - 1);
        }
    }
    std::string expected_who;
    for (int i = 0; opened && id > 0 && concurrent && i < WARM_UP_LINES; ++i) {
        std::string out;
        if (!link_send(links[2], "who\n") || !link_read_prompt(links[2], out, LINE_TIMEOUT_MS))
            opened = false;
        else if (expected_who.empty())
            expected_who = out;
        else if (out != expected_who)
            ++errors;
    }
    if (!opened || id <= 0) {
        record(key + ".errors", 1);
        close_sessions(links);
        wait_server_idle(server);
        return;
    }
    const std::string n = std::to_string(id);
    std::string line;
    for (long i = 0; i < pairs; ++i)
        line += "ls >" + n + " cat <" + n + " ";
    std::vector<Tally> tallies(3);
    for (Tally &tally : tallies) {
        tally.piped = "*** " + name + " (#" + n + ") just piped '" + line + "' to " + name + " (#" + n + ") ***\n";
        tally.received =
            "*** " + name + " (#" + n + ") just received from " + name + " (#" + n + ") by '" + line + "' ***\n";
    }
    const long long per_pair = static_cast<long long>(tallies[0].piped.size() + tallies[0].received.size());
    const long long expected_slow = pairs * per_pair;
    const long long expected_own = pairs * (per_pair + static_cast<long long>(expected_ls.size())) + 2;
    std::string expected_output;
    for (long i = 0; i < pairs; ++i)
        expected_output += expected_ls;

    double prompt_ms = -1, slow_done_ms = -1;
    long long slow_at_prompt = -1;
    long kernel_at_prompt = -1;
    const int slow_port = local_port_of(links[1].fd);
    bool own_output_ok = false;
    std::vector<double> who_times;
    bool who_in_flight = false;
    Clock::time_point who_sent;
    long peak_kib = rss_kib(server.pid);
    auto start = Clock::now();
    auto deadline = start + std::chrono::milliseconds(BOUND_MS);
    auto next_slow = start, next_rss = start + std::chrono::milliseconds(RSS_PERIOD_MS);
    Clock::time_point linger_end{};
    bool lingering = false;
    // User 1's only prompt ends its line, whose output is every `ls` in turn.
    auto on_own_prompt = [&](const std::string &out) {
        if (prompt_ms >= 0) {
            ++errors;
            return;
        }
        prompt_ms = ms_since(start);
        slow_at_prompt = tallies[1].bytes;
        kernel_at_prompt = server_send_queue(server.port, slow_port);
        own_output_ok = out == expected_output;
    };
    auto on_slow_prompt = [&](const std::string &) { ++errors; };
    auto on_who_prompt = [&](const std::string &out) {
        if (!who_in_flight) {
            ++errors;
            return;
        }
        who_times.push_back(ms_since(who_sent));
        who_in_flight = false;
        if (out != expected_who)
            ++errors;
    };
    const std::function<void(const std::string &)> on_prompt[3] = {on_own_prompt, on_slow_prompt, on_who_prompt};
    auto done = [&] {
        bool own = prompt_ms >= 0 || links[0].flag_closed;
        bool slow_read = tallies[1].receipts >= pairs || links[1].flag_closed;
        bool other_read = (tallies[2].receipts >= pairs && !who_in_flight) || links[2].flag_closed;
        return own && slow_read && other_read;
    };
    bool sent = link_send(links[0], line + "\n");
    static char chunk[1 << 16];
    for (long spins = 0; sent && spins < MAX_SPINS; ++spins) {
        auto now = Clock::now();
        if (!lingering && done()) {
            lingering = true;
            linger_end = now + std::chrono::milliseconds(LINGER_MS);
        }
        if (lingering && now >= linger_end)
            break;
        if (now >= deadline) {
            ++errors;
            break;
        }
        if (now >= next_rss) {
            peak_kib = std::max(peak_kib, rss_kib(server.pid));
            next_rss = now + std::chrono::milliseconds(RSS_PERIOD_MS);
        }
        if (concurrent && prompt_ms < 0 && !who_in_flight && !links[2].flag_closed) {
            who_sent = Clock::now();
            who_in_flight = link_send(links[2], "who\n");
            if (!who_in_flight)
                links[2].flag_closed = true;
        }
        struct pollfd fds[3];
        auto wake = std::min(next_rss, lingering ? linger_end : deadline);
        for (std::size_t i = 0; i < 3; ++i) {
            bool resting = i == 1 && now < next_slow;
            fds[i] = {links[i].flag_closed || resting ? -1 : links[i].fd, POLLIN, 0};
            if (resting && !links[i].flag_closed)
                wake = std::min(wake, next_slow);
        }
        if (poll(fds, 3, ms_until(wake)) < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; i < 3; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            ssize_t got = link_recv(links[i], chunk, i == 1 ? SLOW_CHUNK : sizeof chunk);
            if (i == 1)
                next_slow = Clock::now() + std::chrono::milliseconds(SLOW_PERIOD_MS);
            if (got > 0)
                tally_take(tallies[i], chunk, static_cast<std::size_t>(got), on_prompt[i]);
            if (i == 1 && slow_done_ms < 0 && tallies[1].receipts >= pairs)
                slow_done_ms = ms_since(start);
        }
    }
    peak_kib = std::max(peak_kib, rss_kib(server.pid));
    const Tally &own = tallies[0], &reader = tallies[1], &other = tallies[2];
    bool own_ok = sent && own.bytes == expected_own && own.pipes == pairs && own.receipts == pairs &&
                  own.out_of_order == 0 && own_output_ok && own.rest.empty() && own.prompts == 1 &&
                  !own.flag_left_seen && !links[0].flag_closed;
    bool slow_ok = reader.bytes == expected_slow && reader.pipes == pairs && reader.receipts == pairs &&
                   reader.out_of_order == 0 && reader.other.empty() && reader.rest.empty() && reader.prompts == 0 &&
                   !reader.flag_left_seen && !links[1].flag_closed;
    bool other_ok = other.pipes == pairs && other.receipts == pairs && other.out_of_order == 0 &&
                    other.rest.empty() && other.other.empty() && !other.flag_left_seen && !links[2].flag_closed;
    errors += !own_ok + !slow_ok + !other_ok;
    close_sessions(links);
    wait_server_idle(server);
    wait_no_children(server);
    record(key + ".own.bytes", static_cast<double>(own.bytes));
    record(key + ".own.expected", static_cast<double>(expected_own));
    record(key + ".own.announcements", static_cast<double>(own.pipes + own.receipts));
    record(key + ".own.output_ok", own_output_ok);
    record(key + ".own.connected", !links[0].flag_closed && !own.flag_left_seen);
    record(key + ".own.ok", own_ok);
    record(key + ".slow.bytes", static_cast<double>(reader.bytes));
    record(key + ".slow.expected", static_cast<double>(expected_slow));
    record(key + ".slow.announcements", static_cast<double>(reader.pipes + reader.receipts));
    record(key + ".slow.connected", !links[1].flag_closed && !reader.flag_left_seen);
    record(key + ".slow.ok", slow_ok);
    record(key + ".other.announcements", static_cast<double>(other.pipes + other.receipts));
    record(key + ".other.connected", !links[2].flag_closed && !other.flag_left_seen);
    record(key + ".other.ok", other_ok);
    record(key + ".expected_announcements", 2.0 * pairs);
    record(key + ".line_bytes", static_cast<double>(line.size()));
    if (prompt_ms >= 0)
        record(key + ".prompt_s", prompt_ms / 1000);
    if (slow_done_ms >= 0)
        record(key + ".slow_done_s", slow_done_ms / 1000);
    if (prompt_ms >= 0 && slow_done_ms >= 0)
        record(key + ".gap_s", (prompt_ms - slow_done_ms) / 1000);
    if (slow_at_prompt >= 0)
        record(key + ".slow_left_at_prompt", static_cast<double>(expected_slow - slow_at_prompt));
    if (kernel_at_prompt >= 0)
        record(key + ".slow_kernel_at_prompt", static_cast<double>(kernel_at_prompt));
    record(key + ".rss_peak", static_cast<double>(peak_kib));
    if (concurrent) {
        if (who_times.empty()) {
            ++errors;
        } else {
            record(key + ".who.p50", percentile(who_times, 0.5));
            record(key + ".who.p99", percentile(who_times, 0.99));
            record(key + ".who.lines", static_cast<double>(who_times.size()));
        }
    }
    record(key + ".errors", errors);
}

// ---- (i) a line of setenvs ----

// 4,000 assignments of distinct variables in one line under the server's
// 64 KiB bound: `setenv eXXX x | ` for talvane (a built-in ignores the
// pipe), `export eXXX=x; ` for bash.
static std::string setenv_line(bool bash)
{
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string line;
    for (int i = 0; i < 4000; ++i) {
        std::string name = std::string("e") + digits[i / 1296] + digits[i / 36 % 36] + digits[i % 36];
        line += bash ? "export " + name + "=x; " : "setenv " + name + " x | ";
    }
    line.resize(line.size() - (bash ? 2 : 3));
    return line;
}

// User 1 sends the line o.setenv_lines times, each once the last was
// answered; in the concurrent mode user 2 sends `who` lines one after
// another meanwhile. The line prints nothing, so its answer is the prompt.
static void figure_i(const Target &t, const Options &o)
{
    std::string key = "i." + t.key;
    wait_idle(t);
    bool neighbour = t.server && t.key.compare(0, 10, "concurrent") == 0;
    std::vector<Target> both = {t, t};
    std::vector<Link> links(neighbour ? 2 : 1);
    int errors = 0;
    for (Link &l : links)
        if (!open_session(t, l))
            ++errors;
    if (errors == 0 && neighbour)
        drain_logins(both, links);
    const std::string line = wire_line(t, setenv_line(t.flag_bash));
    std::vector<double> times, who;
    std::string expected_who;
    for (int i = 0; i < o.setenv_lines && errors == 0; ++i) {
        Link &busy = links[0];
        auto start = Clock::now();
        if (!link_send(busy, line)) {
            ++errors;
            break;
        }
        while (neighbour && !prompt_arrived(busy) && !busy.flag_closed) {
            std::string out;
            auto asked = Clock::now();
            if (!link_send(links[1], "who\n") || !link_read_prompt(links[1], out, LINE_TIMEOUT_MS)) {
                ++errors;
                break;
            }
            who.push_back(ms_since(asked));
            if (expected_who.empty())
                expected_who = out;
            errors += out != expected_who;
        }
        std::string out;
        if (!link_read_prompt(busy, out, LINE_TIMEOUT_MS) || !out.empty())
            ++errors;
        times.push_back(ms_since(start));
    }
    close_sessions(links);
    wait_idle(t);
    if (!times.empty())
        record(key + ".line", median(times));
    if (!who.empty()) {
        record(key + ".who.p50", percentile(who, 0.5));
        record(key + ".who.max", percentile(who, 1.0));
        record(key + ".who.lines", static_cast<double>(who.size()));
    }
    record(key + ".errors", errors);
}

// ---- the table ----

static const char *mark(bool ok)
{
    return ok ? "ok" : "MISSED";
}

// The three load averages, NaN where they cannot be read.
static void load_average(double (&load)[3])
{
    load[0] = load[1] = load[2] = NAN;
    if (FILE *f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3)
            load[0] = load[1] = load[2] = NAN;
        std::fclose(f);
    }
}

static void print_machine(const Options &o)
{
    char date[64];
    std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::string cpu = "unknown processor";
    if (FILE *f = std::fopen("/proc/cpuinfo", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::strncmp(line, "model name", 10) == 0) {
                const char *colon = std::strchr(line, ':');
                cpu = colon ? colon + 2 : line;
                cpu.erase(cpu.find_last_not_of("\n ") + 1);
                break;
            }
        }
        std::fclose(f);
    }
    double load[3];
    load_average(load);
    struct utsname u;
    uname(&u);
    std::printf("talvane benchmark, %s\n", date);
    std::printf("machine: %s, %ld cores, Linux %s; load average at the start %.2f %.2f %.2f\n",
                cpu.c_str(), sysconf(_SC_NPROCESSORS_ONLN), u.release, load[0], load[1], load[2]);
    std::printf("talvane default: one foreground command at a time for all users;\n"
                "talvane concurrent (--concurrent): a foreground command holds up only its user.\n");
    std::printf("%d round%s%s; each figure is the median over the rounds. Within a round the\n"
                "contenders take turns: line by line in (a), stream by stream in (b, %d each),\n"
                "one after the other in (c) and (f), series by series in (g); their order\n"
                "changes from turn to turn.\n"
                "Ratios in (b) and (c) are taken between runs side by side (within a turn, within\n"
                "a round), and the median of those is shown: a machine that grows busier between\n"
                "two runs far apart would otherwise pass for a difference between contenders.\n",
                o.rounds, o.rounds == 1 ? "" : "s", o.flag_quick ? " (quick mode)" : "", o.stream_reps);
    std::printf("plain client: reads as any client does, so a reply held back until its delayed\n"
                "  ACK arrives shows as a stall.\n"
                "quick-ACK client: sets TCP_QUICKACK after every recv, which removes that stall\n"
                "  (bash leaves its socket without TCP_NODELAY); the cost of the work remains.\n\n");
}

static void print_load_at_end()
{
    double load[3];
    load_average(load);
    std::printf("\nload average at the end %.2f %.2f %.2f\n", load[0], load[1], load[2]);
}

// The two modes as they appear in result names and in the table.
static const char *const MODES[][2] = {{"default", "talvane default"}, {"concurrent", "talvane concurrent"}};

static void print_figure_a(const Options &o)
{
    std::printf("(a) Round trip per line, %d lines                     median       p99   errors\n", o.lines);
    const char *subjects[][2] = {{"default.plain", "talvane default, plain client"},
                                 {"default.quick", "talvane default, quick-ACK client"},
                                 {"concurrent.plain", "talvane concurrent, plain client"},
                                 {"concurrent.quick", "talvane concurrent, quick-ACK client"},
                                 {"bash.plain", "bash, plain client"},
                                 {"bash.quick", "bash, quick-ACK client"},
                                 {"floor", "floor (fork+execvp+waitpid)"},
                                 {"spawn", "floor (posix_spawnp+waitpid)"}};
    for (const char *line : {"ls", "ls | cat"}) {
        bool first = true;
        for (auto &s : subjects) {
            std::string key = std::string("a.") + line + "." + s[0];
            std::printf("    %-9s %-37s %7.3f ms %7.3f ms %5.0f\n", first ? line : "", s[1],
                        result(key + ".p50"), result(key + ".p99"), result_sum(key + ".errors"));
            first = false;
        }
    }
    std::printf("    %-52s %6s   %s\n", "ratios of the medians", "value", "target");
    for (const char *line : {"ls", "ls | cat"}) {
        std::string a = std::string("a.") + line + ".";
        double floor = result(a + "floor.p50");
        double spawn = result(a + "spawn.p50");
        const char *shown = line;
        for (auto &m : MODES) {
            std::string mode = m[0];
            double vs_bash = result(a + mode + ".quick.p50") / result(a + "bash.quick.p50");
            double vs_bash_plain = result(a + mode + ".plain.p50") / result(a + "bash.plain.p50");
            double vs_floor_q = result(a + mode + ".quick.p50") / floor;
            double vs_floor_p = result(a + mode + ".plain.p50") / floor;
            std::printf("    %-9s %-42s %6.2f   <= 1.0   %s\n", shown, (mode + "/bash, quick-ACK clients").c_str(),
                        vs_bash, mark(vs_bash <= 1.0));
            std::printf("    %-9s %-42s %6.2f\n", "", (mode + "/bash, plain clients").c_str(), vs_bash_plain);
            // Once the server starts commands without copying itself, its
            // quick-ACK round trip should come near the spawn floor and
            // well under the fork floor.
            double vs_spawn_q = result(a + mode + ".quick.p50") / spawn;
            std::printf("    %-9s %-42s %6.2f   <= 1.3   %s; <= 0.90  %s\n", "",
                        (mode + "/fork floor, quick-ACK client").c_str(), vs_floor_q, mark(vs_floor_q <= 1.3),
                        mark(vs_floor_q <= 0.90));
            std::printf("    %-9s %-42s %6.2f   <= 1.3   %s\n", "", (mode + "/fork floor, plain client").c_str(),
                        vs_floor_p, mark(vs_floor_p <= 1.3));
            std::printf("    %-9s %-42s %6.2f   <= 1.10  %s\n", "", (mode + "/spawn floor, quick-ACK client").c_str(),
                        vs_spawn_q, mark(vs_spawn_q <= 1.10));
            shown = "";
        }
        for (const char *client : {"plain", "quick"}) {
            double ratio = result(a + "concurrent." + client + ".p50") / result(a + "default." + client + ".p50");
            std::string label = std::string("concurrent/default, ") +
                                (std::strcmp(client, "plain") == 0 ? "plain" : "quick-ACK") + " clients";
            std::printf("    %-9s %-42s %6.2f   <= 1.05  %s\n", "", label.c_str(), ratio, mark(ratio <= 1.05));
        }
    }
    double spawn_vs_fork[2];
    for (int k = 0; k < 2; ++k) {
        std::string a = std::string("a.") + (k ? "ls | cat" : "ls") + ".";
        spawn_vs_fork[k] = result(a + "spawn.p50") / result(a + "floor.p50");
    }
    std::printf("    spawn floor/fork floor: `ls` %.2f, `ls | cat` %.2f\n", spawn_vs_fork[0], spawn_vs_fork[1]);
    std::printf("\n");
}

static void print_figure_b(const Options &o)
{
    std::printf("(b) Streaming %ld MiB through `cat %s | cat`, plain clients\n", o.stream_bytes >> 20,
                STREAM_FILE);
    double bash = result("b.bash.plain.rate");
    double rate[2];
    for (int m = 0; m < 2; ++m) {
        std::string key = std::string("b.") + MODES[m][0] + ".plain";
        rate[m] = result(key + ".rate");
        std::printf("    %-40s %8.1f MiB/s   errors %.0f\n", MODES[m][1], rate[m] / (1 << 20),
                    result_sum(key + ".errors"));
    }
    std::printf("    %-40s %8.1f MiB/s   errors %.0f\n", "bash", bash / (1 << 20), result_sum("b.bash.plain.errors"));
    std::printf("    ratios within a turn: median (middle half)             target\n");
    for (const char *ratio : {"default/bash", "concurrent/bash", "concurrent/default"}) {
        std::vector<double> &v = results[std::string("b.ratio.") + ratio];
        double mid = result(std::string("b.ratio.") + ratio);
        std::printf("    %-28s %6.2f (%.2f to %.2f)    >= 0.95  %s\n", ratio, mid, percentile(v, 0.25),
                    percentile(v, 0.75), mark(mid >= 0.95));
    }
    std::printf("\n");
}

static void print_figure_c(const Options &o)
{
    std::printf("(c) %d clients at once, %d lines of `ls` each   lines/s    median       p99   errors\n",
                o.clients, o.client_lines);
    const char *subjects[][2] = {{"default.plain", "talvane default, plain clients"},
                                 {"concurrent.plain", "talvane concurrent, plain clients"},
                                 {"concurrent.quick", "talvane concurrent, quick-ACK clients"},
                                 {"bash.plain", "bash, plain clients"},
                                 {"bash.quick", "bash, quick-ACK clients"}};
    for (auto &s : subjects) {
        std::string key = std::string("c.") + s[0];
        std::printf("    %-40s %8.0f %7.3f ms %7.3f ms %5.0f\n", s[1], result(key + ".rate"),
                    result(key + ".p50"), result(key + ".p99"), result_sum(key + ".errors"));
    }
    std::printf("    lines/s ratios, runs side by side: median (lowest, highest)   target\n");
    const char *ratios[][2] = {{"concurrent/bash.quick", "concurrent/bash, quick-ACK clients"},
                               {"concurrent/bash.plain", "concurrent/bash, plain clients"},
                               {"default/bash.plain", "default/bash, plain clients"}};
    for (auto &r : ratios) {
        std::string key = std::string("c.ratio.") + r[0];
        std::vector<double> &v = results[key];
        double mid = result(key);
        std::printf("    %-36s %6.2f (%.2f, %.2f)", r[1], mid, percentile(v, 0), percentile(v, 1));
        if (std::strcmp(r[0], "concurrent/bash.quick") == 0)
            std::printf("   >= 1.0   %s; >= 1.2  %s", mark(mid >= 1.0), mark(mid >= 1.2));
        std::printf("\n");
    }
    double errors = result_sum("c.default.plain.errors") + result_sum("c.concurrent.plain.errors") +
                    result_sum("c.concurrent.quick.errors");
    std::printf("    talvane errors, both modes, all rounds   %8.0f          target 0  %s\n", errors,
                mark(errors == 0));
    std::printf("    bash runs its %d sessions in %d processes in parallel; talvane's default\n"
                "    mode runs one foreground command at a time for all users, the concurrent\n"
                "    mode one per user.\n\n",
                o.clients, o.clients);
}

static void print_figure_d(const Options &o)
{
    std::printf("(d) %d clients, one yells %d times (each yell after its prompt)\n", o.clients, o.yells);
    for (auto &m : MODES) {
        std::string key = std::string("d.") + m[0];
        double rate = result(key + ".rate");
        double delivered = result_sum(key + ".delivered"), expected = result_sum(key + ".expected");
        double errors = result_sum(key + ".errors");
        std::printf("    %s: %.0f yells/s delivered to all %d (%.0f deliveries/s);\n"
                    "      delivered %.0f of %.0f over all rounds, %.0f out of order   %s\n",
                    m[1], rate, o.clients, rate * o.clients, delivered, expected, errors,
                    mark(delivered == expected && errors == 0));
    }
    std::printf("\n");
}

static void print_figure_e()
{
    std::printf("(e) talvane's resources (worst over the rounds)\n");
    for (auto &m : MODES) {
        std::string e = std::string("e.") + m[0];
        double start = result_max(e + ".fds.start"), login = result_max(e + ".fds.login");
        double run = result_max(e + ".fds.run"), left = result_max(e + ".fds.left");
        bool fds_ok = true;
        for (std::size_t i = 0; i < results[e + ".fds.run"].size(); ++i)
            fds_ok = fds_ok && results[e + ".fds.run"][i] == results[e + ".fds.login"][i] &&
                     results[e + ".fds.left"][i] == results[e + ".fds.start"][i];
        std::printf("    %s\n", m[1]);
        std::printf("      descriptors: before log-ins %.0f, after the log-ins %.0f, after the run %.0f,\n"
                    "                   after everybody left %.0f                                 %s\n",
                    start, login, run, left, mark(fds_ok));
        double rss_login = result_max(e + ".rss.login"), rss_run = result_max(e + ".rss.run");
        std::printf("      resident memory: after the log-ins %.0f KiB, after the run %.0f KiB   < 8 MiB  %s\n",
                    rss_login, rss_run, mark(std::max(rss_login, rss_run) < 8 * 1024));
        double zombies = result_max(e + ".zombies");
        std::printf("      zombie children at the end: %.0f                               target 0  %s\n",
                    zombies, mark(zombies == 0));
        if (result_sum(e + ".login_failed") > 0)
            std::printf("      log-ins that failed: %.0f\n", result_sum(e + ".login_failed"));
    }
    if (result_sum("notes.not_idle") > 0)
        std::printf("    a server took more than 30 s to remove closed clients %.0f times\n",
                    result_sum("notes.not_idle"));
    std::printf("\n");
}

static void print_figure_f(const Options &o)
{
    std::printf("(f) Hold-up: user 2's `ls` while user 1's `sleep 3` runs, quick-ACK clients.\n"
                "    idle: user 2's `ls` lines for %.1f s with nobody else busy, half before and\n"
                "    half after the held series (median).\n"
                "    held: user 2 sends `ls` from 0.5 s after user 1's `sleep 3` began, each line\n"
                "    once the last is answered, until user 1's prompt is back: the first line's\n"
                "    round trip, and the median and number of the lines in that series.\n",
                o.holdup_idle_ms / 1000.0);
    std::printf("                                  idle       first held   held median  lines  held/idle\n");
    const char *subjects[][2] = {{"default.quick", "talvane default"},
                                 {"concurrent.quick", "talvane concurrent"},
                                 {"bash.quick", "bash"}};
    for (auto &s : subjects) {
        std::string key = std::string("f.") + s[0];
        double idle = result(key + ".idle"), held = result(key + ".held");
        std::printf("    %-24s %8.3f ms %10.3f ms %10.3f ms %6.0f %8.2f", s[1], idle, result(key + ".first"), held,
                    result(key + ".lines"), held / idle);
        if (std::strcmp(s[0], "concurrent.quick") == 0)
            std::printf("  <= 1.3  %s", mark(held / idle <= 1.3));
        std::printf("\n");
    }
    double errors = result_sum("f.default.quick.errors") + result_sum("f.concurrent.quick.errors") +
                    result_sum("f.bash.quick.errors");
    std::printf("    lines missing or wrong, all rounds       %5.0f                      target 0  %s\n", errors,
                mark(errors == 0));
    std::printf("    In the default mode user 2's first line waits for the sleep to end, so the\n"
                "    series holds that one line; in the concurrent mode only user 1 waits.\n");
}

static void print_figure_g(const Options &o)
{
    std::printf("\n(g) Busy neighbour, concurrent mode, quick-ACK client: user 2's `who` lines one\n"
                "    after another. held: while user 1's line of %d `ls |1` runs, until its\n"
                "    prompt is back. control: while the floor program runs %d `ls` one after\n"
                "    another (fork+execvp+waitpid) outside the server, both users idle.\n",
                o.neighbour_commands, o.neighbour_commands);
    std::printf("                                  median        p99    lines   the `ls` took\n");
    for (const char *s : {"held", "control"}) {
        std::string key = std::string("g.") + s;
        std::printf("    %-24s %8.3f ms %8.3f ms %8.0f %10.1f s\n", s, result(key + ".p50"), result(key + ".p99"),
                    result(key + ".lines"), result(key + ".seconds"));
    }
    double ratio = result("g.ratio");
    std::printf("    held/control (medians, within a round)   %6.2f               <= 2     %s\n", ratio,
                mark(ratio <= 2));
    double errors = result_sum("g.errors");
    std::printf("    lines missing or wrong, all rounds       %5.0f               target 0  %s\n", errors,
                mark(errors == 0));
    if (result_sum("notes.children_left") > 0)
        std::printf("    the server still had children 30 s after a series %.0f times\n",
                    result_sum("notes.children_left"));
}

static std::string format_row(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

static std::string format_row(const char *fmt, ...)
{
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

// One row of (h) that has a target: the text, then the target and whether
// it was met, in columns of their own.
static void print_h_row(const std::string &text, const std::string &target, bool ok)
{
    std::printf("      %-68s %-10s %s\n", text.c_str(), target.c_str(), mark(ok));
}

static void print_figure_h(const Options &o)
{
    double line_bytes = result("h.default.line_bytes");
    if (std::isnan(line_bytes))
        line_bytes = result("h.concurrent.line_bytes");
    std::printf("\n(h) Amplifying line, once per mode: user 1 sends one line of %d `ls >ID cat <ID`\n"
                "    (%.0f bytes); each pair announces the whole line to every user twice.\n"
                "    user 1 (the line's owner) and user 3 read at full speed (quick-ACK); user 2\n"
                "    reads at most 20 KB every 10 ms through a 16 KiB receive buffer (at most\n"
                "    2 MB/s). In the concurrent mode user 3 sends `who` lines one after another\n"
                "    until user 1's prompt is back.\n",
                o.amplify_pairs, line_bytes);
    for (auto &m : MODES) {
        std::string h = std::string("h.") + m[0];
        double announcements = result(h + ".expected_announcements");
        auto yes = [&](const std::string &what) { return result(h + what) > 0 ? "yes" : "NO"; };
        std::printf("    %-22s bytes received  of expected  announcements  connected\n", m[1]);
        std::printf("      user 2 (slow)     %12.0f %12.0f %8.0f of %-5.0f %5s       %s\n", result(h + ".slow.bytes"),
                    result(h + ".slow.expected"), result(h + ".slow.announcements"), announcements,
                    yes(".slow.connected"), mark(result(h + ".slow.ok") > 0));
        std::printf("      user 1 (owner)    %12.0f %12.0f %8.0f of %-5.0f %5s       %s\n", result(h + ".own.bytes"),
                    result(h + ".own.expected"), result(h + ".own.announcements"), announcements,
                    yes(".own.connected"), mark(result(h + ".own.ok") > 0));
        std::printf("      user 3            %12s %12s %8.0f of %-5.0f %5s       %s\n", "", "",
                    result(h + ".other.announcements"), announcements, yes(".other.connected"),
                    mark(result(h + ".other.ok") > 0));
        std::printf("      (user 1's expected bytes include the output of every `ls`; it came whole: %s)\n",
                    yes(".own.output_ok"));
        double gap = result(h + ".gap_s"), left = result(h + ".slow_left_at_prompt");
        double done = result(h + ".slow_done_s");
        std::printf("      user 1's prompt %.2f s after the line was sent; user 2 done reading at\n",
                    result(h + ".prompt_s"));
        print_h_row(format_row("%.2f s (%.2f MB/s over the line); gap (prompt - done) %+.2f s", done,
                               result(h + ".slow.bytes") / done / 1e6, gap),
                    format_row(">= -%.1f s", AMPLIFY_GAP_S), gap >= -AMPLIFY_GAP_S);
        std::printf("      user 2 still to read at the prompt: %.0f KiB, %.0f KiB of it in the server's\n"
                    "      socket send queue\n",
                    left / 1024, result(h + ".slow_kernel_at_prompt") / 1024);
        double rss = result(h + ".rss_peak");
        print_h_row(format_row("server's peak resident memory (every 50 ms) %.0f KiB", rss), "< 64 MiB",
                    rss < 64 * 1024);
        if (std::strcmp(m[0], "concurrent") == 0) {
            double p50 = result(h + ".who.p50");
            print_h_row(format_row("user 3's `who`: median %.3f ms, p99 %.3f ms, %.0f lines", p50,
                                   result(h + ".who.p99"), result(h + ".who.lines")),
                        "<= 10 ms", p50 <= 10);
        }
        double errors = result_sum(h + ".errors");
        print_h_row(format_row("lines or bytes missing or wrong %.0f", errors), "target 0", errors == 0);
    }
}

// In the default mode the line holds up everybody for as long as it takes,
// so its time is the figure: against bash's for the same assignments.
static void print_figure_i(const Options &o)
{
    std::printf("\n(i) A line of 4,000 `setenv`s (bash: `export`s), sent %d times a round, each once\n"
                "    the last was answered; in the concurrent mode user 2 sends `who` lines one\n"
                "    after another meanwhile. Quick-ACK clients.\n",
                o.setenv_lines);
    double bash = result("i.bash.quick.line");
    std::printf("    %-24s %10.2f ms a line\n", "bash", bash);
    for (auto &m : MODES) {
        std::string key = std::string("i.") + m[0] + ".quick";
        double line = result(key + ".line");
        std::printf("    %-24s %10.2f ms a line, %.2f of bash's  <= 1.0   %s\n", m[1], line, line / bash,
                    mark(line <= bash));
    }
    double p50 = result("i.concurrent.quick.who.p50"), worst = result_max("i.concurrent.quick.who.max");
    std::printf("    user 2's `who` meanwhile: median %.3f ms, slowest of all rounds %.3f ms, %.0f lines  <= 5 ms  %s\n",
                p50, worst, result_sum("i.concurrent.quick.who.lines"), mark(worst <= 5));
    double errors = 0;
    for (const char *k : {"i.default.quick.errors", "i.concurrent.quick.errors", "i.bash.quick.errors"})
        errors += result_sum(k);
    std::printf("    lines missing or wrong, all rounds       %5.0f               target 0  %s\n", errors,
                mark(errors == 0));
}

// ---- main ----

// Prints n different free ports, one a line. Every socket stays bound until
// all have their port, so that no two of them get the same one.
static bool print_free_ports(int n)
{
    std::vector<int> fds;
    std::vector<int> ports;
    bool ok = n > 0;
    for (int i = 0; ok && i < n; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
             getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0;
        if (fd >= 0)
            fds.push_back(fd);
        ports.push_back(ntohs(addr.sin_port));
    }
    for (int fd : fds)
        close(fd);
    if (ok)
        for (int port : ports)
            std::printf("%d\n", port);
    return ok;
}

static bool parse_options(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "--quick") {
            o.flag_quick = true;
        } else if (a == "--server-port" && has_value) {
            o.server_port = std::atoi(argv[++i]);
        } else if (a == "--server-pid" && has_value) {
            o.server_pid = std::atoi(argv[++i]);
        } else if (a == "--concurrent-port" && has_value) {
            o.concurrent_port = std::atoi(argv[++i]);
        } else if (a == "--concurrent-pid" && has_value) {
            o.concurrent_pid = std::atoi(argv[++i]);
        } else if (a == "--bash-port" && has_value) {
            o.bash_port = std::atoi(argv[++i]);
        } else if (a == "--floor" && has_value) {
            o.floor = argv[++i];
        } else if (a == "--workdir" && has_value) {
            o.workdir = argv[++i];
        } else if (a == "--rounds" && has_value) {
            o.rounds = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    if (o.flag_quick) {
        o.rounds = 1;
        o.lines = 60;
        o.client_lines = 10;
        o.holdup_idle_ms = 1000;
        o.stream_reps = 3;
        o.neighbour_commands = 1000;
        o.amplify_pairs = 300;
        o.setenv_lines = 3;
    }
    return o.server_port > 0 && o.server_pid > 0 && o.concurrent_port > 0 && o.concurrent_pid > 0 &&
           o.bash_port > 0 && !o.floor.empty() && !o.workdir.empty() && o.rounds > 0;
}

// What `ls` prints in the working directory, as the first contender answers
// it; every other one must answer the same.
static bool learn_expected(const std::vector<const Target *> &contenders)
{
    std::string first;
    for (const Target *t : contenders) {
        Link l;
        std::string out;
        if (!open_session(*t, l) || !link_send(l, wire_line(*t, "ls")) ||
            !link_read_prompt(l, out, LINE_TIMEOUT_MS)) {
            std::fprintf(stderr, "bench_load: %s does not answer\n", t->label.c_str());
            return false;
        }
        link_close(l);
        if (t == contenders[0]) {
            first = out;
        } else if (out != first) {
            std::fprintf(stderr, "bench_load: %s lists the directory as\n%s\nbut %s as\n%s\n", t->label.c_str(),
                         out.c_str(), contenders[0]->label.c_str(), first.c_str());
            return false;
        }
    }
    expected_ls = first;
    return true;
}

// The contenders in turn: the order rotates by `turn` and is reversed in odd
// rounds, so that over the rounds none is always first or always last.
static std::vector<const Target *> in_turn(std::vector<const Target *> list, int round, int turn)
{
    std::rotate(list.begin(), list.begin() + turn % static_cast<int>(list.size()), list.end());
    if (round % 2)
        std::reverse(list.begin(), list.end());
    return list;
}

// targets: default plain, default quick, concurrent plain, concurrent quick,
// bash plain, bash quick.
static void run_round(int round, const Options &o, const std::vector<Target> &targets)
{
    for (const char *line : {"ls", "ls | cat"})
        figure_a(line, targets, o);
    // (b): a turn is one stream through each; the ratios are taken within
    // the turn, a second or so apart.
    for (int rep = 0; rep < o.stream_reps; ++rep) {
        std::map<std::string, double> rate;
        for (const Target *t : in_turn({&targets[0], &targets[2], &targets[4]}, round, rep))
            rate[t->key] = figure_b_target(*t, o);
        record_ratio("b.ratio.concurrent/default", rate["concurrent.plain"], rate["default.plain"]);
        record_ratio("b.ratio.default/bash", rate["default.plain"], rate["bash.plain"]);
        record_ratio("b.ratio.concurrent/bash", rate["concurrent.plain"], rate["bash.plain"]);
    }
    // (c): the servers' runs also take (d) and (e) on their 30 clients. The
    // runs compared with bash come right before or after bash's own.
    for (const Target *t : in_turn({&targets[0], &targets[2], &targets[4], &targets[3], &targets[5]}, round, 0)) {
        if (t->server && !t->flag_quickack)
            figures_cde_server(*t, o);
        else
            figure_c(*t, o);
    }
    record_ratio("c.ratio.concurrent/bash.quick", last("c.concurrent.quick.rate"), last("c.bash.quick.rate"));
    record_ratio("c.ratio.concurrent/bash.plain", last("c.concurrent.plain.rate"), last("c.bash.plain.rate"));
    record_ratio("c.ratio.default/bash.plain", last("c.default.plain.rate"), last("c.bash.plain.rate"));
    for (const Target *t : in_turn({&targets[1], &targets[3], &targets[5]}, round, round))
        figure_f(*t, o);
    figure_g(targets[3], o, round);
    // (h) takes about a minute a mode, most of it the slow reader's: once is
    // enough, since what it shows is whether the line waits for that reader.
    if (round == 0) {
        figure_h(targets[1], o);
        figure_h(targets[3], o);
    }
    for (const Target *t : in_turn({&targets[1], &targets[3], &targets[5]}, round, round))
        figure_i(*t, o);
}

int main(int argc, char **argv)
{
    if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "--free-port") == 0)
        return print_free_ports(argc == 3 ? std::atoi(argv[2]) : 1) ? 0 : 1;
    Options o;
    if (!parse_options(argc, argv, o)) {
        std::fprintf(stderr, "Usage: bench_load --free-port [N]\n"
                             "       bench_load --server-port P --server-pid PID\n"
                             "                  --concurrent-port P2 --concurrent-pid PID2 --bash-port Q\n"
                             "                  --floor PATH --workdir DIR [--quick] [--rounds N]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    Server serial{"default", "talvane default", o.server_port, o.server_pid, -1};
    Server concurrent{"concurrent", "talvane concurrent", o.concurrent_port, o.concurrent_pid, -1};
    std::vector<Target> targets = {
        {serial.label, "default.plain", serial.port, false, false, &serial},
        {serial.label, "default.quick", serial.port, false, true, &serial},
        {concurrent.label, "concurrent.plain", concurrent.port, false, false, &concurrent},
        {concurrent.label, "concurrent.quick", concurrent.port, false, true, &concurrent},
        {"bash", "bash.plain", o.bash_port, true, false, nullptr},
        {"bash", "bash.quick", o.bash_port, true, true, nullptr}};
    print_machine(o);
    std::fflush(stdout);
    serial.fds_idle = fd_count(serial.pid);
    concurrent.fds_idle = fd_count(concurrent.pid);
    make_stream_file(o);
    if (!learn_expected({&targets[0], &targets[2], &targets[4]}))
        return 1;
    for (int round = 0; round < o.rounds; ++round) {
        std::fprintf(stderr, "round %d of %d\n", round + 1, o.rounds);
        run_round(round, o, targets);
    }
    print_figure_a(o);
    print_figure_b(o);
    print_figure_c(o);
    print_figure_d(o);
    print_figure_e();
    print_figure_f(o);
    print_figure_g(o);
    print_figure_h(o);
    print_figure_i(o);
    print_load_at_end();
    return 0;
}
