// harness.cpp -- the end-to-end fixture: a real talvane process per test,
// started in its own process group so that teardown also ends whatever
// commands it left running.
#include "harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace e2e {

const char BANNER[] =
    "****************************************\n"
    "** Welcome to the information server. **\n"
    "****************************************\n";

long long clock_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static void sleep_ms(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

// ---- Conn ----

Conn::Conn(int port, int rcvbuf, int mss)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    if (mss > 0)
        setsockopt(fd_, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof mss);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Conn::~Conn() { close(); }

void Conn::reset()
{
    struct linger hard = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close();
}

void Conn::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

int Conn::local_port() const
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

void Conn::send(const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ADD_FAILURE() << "send failed: " << std::strerror(errno);
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

bool Conn::fill(int timeout_ms)
{
    if (eof_ || fd_ < 0)
        return false;
    struct pollfd p = {fd_, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r <= 0)
        return false;
    char chunk[65536];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    buf_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

std::string Conn::read_until(const std::string &marker, int timeout_ms)
{
    long long deadline = clock_ms() + timeout_ms;
    for (;;) {
        std::size_t at = buf_.find(marker);
        if (at != std::string::npos) {
            std::string out = buf_.substr(0, at + marker.size());
            buf_.erase(0, at + marker.size());
            return out;
        }
        long long left = deadline - clock_ms();
        bool got = left > 0 && fill(static_cast<int>(left));
        if (!got && (eof_ || clock_ms() >= deadline)) {
            ADD_FAILURE() << "no \"" << marker << "\" within " << timeout_ms << " ms"
                          << (eof_ ? " (connection closed)" : "") << "; got: \"" << buf_ << "\"";
            std::string out;
            out.swap(buf_);
            return out;
        }
    }
}

bool Conn::arrives(const std::string &marker, int timeout_ms)
{
    long long deadline = clock_ms() + timeout_ms;
    while (buf_.find(marker) == std::string::npos) {
        long long left = deadline - clock_ms();
        if (left <= 0 || (!fill(static_cast<int>(left)) && eof_))
            return false;
    }
    return true;
}

std::string Conn::command(const std::string &line, int timeout_ms)
{
    send(line + "\n");
    std::string out = read_prompt(timeout_ms);
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, "% ") == 0)
        out.resize(out.size() - 2);
    return out;
}

std::string Conn::read_exact(std::size_t n, int timeout_ms)
{
    long long deadline = clock_ms() + timeout_ms;
    while (buf_.size() < n) {
        long long left = deadline - clock_ms();
        if (left <= 0 || (!fill(static_cast<int>(left)) && eof_))
            break;
    }
    if (buf_.size() < n)
        ADD_FAILURE() << "wanted " << n << " bytes, got " << buf_.size();
    std::string out = buf_.substr(0, n);
    buf_.erase(0, out.size());
    return out;
}

std::string Conn::read_quiet(int quiet_ms, int timeout_ms)
{
    long long deadline = clock_ms() + timeout_ms;
    while (clock_ms() < deadline) {
        int wait = static_cast<int>(std::min<long long>(quiet_ms, deadline - clock_ms()));
        if (!fill(wait))
            break;
    }
    std::string out;
    out.swap(buf_);
    return out;
}

bool Conn::wait_closed(int timeout_ms, std::string *rest)
{
    long long deadline = clock_ms() + timeout_ms;
    while (!eof_) {
        long long left = deadline - clock_ms();
        if (left <= 0)
            break;
        fill(static_cast<int>(left));
    }
    if (rest)
        rest->swap(buf_);
    buf_.clear();
    return eof_;
}

// ---- Server ----

static int pick_free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// True when some socket listens on port, read from /proc without connecting
// (a probe connection would itself become a client).
static bool port_listening(int port)
{
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char want[8];
    std::snprintf(want, sizeof want, ":%04X", port);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string sl, local, remote, state;
        fields >> sl >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0)
            return true;
    }
    return false;
}

static void make_workdir(const std::string &dir)
{
    mkdir((dir + "/bin").c_str(), 0755);
    const char *tools[] = {"ls", "cat", "wc", "grep", "head", "tail", "sort", "uniq", "tr", "echo",
                           "sleep", "sed", "true", "yes", "date", "cut"};
    for (const char *tool : tools) {
        for (const char *prefix : {"/usr/bin/", "/bin/"}) {
            std::string from = std::string(prefix) + tool;
            if (access(from.c_str(), X_OK) == 0) {
                symlink(from.c_str(), (dir + "/bin/" + tool).c_str());
                break;
            }
        }
    }
    symlink(SLOVREL_BINARY, (dir + "/bin/slovrel").c_str());
    symlink(BENIVOX_BINARY, (dir + "/bin/benivox").c_str());
}

bool Server::start(void (*extra_setup)(), Mode mode)
{
    char tmpl[] = "/tmp/talvane-e2e-XXXXXX";
    if (!mkdtemp(tmpl))
        return false;
    workdir_ = tmpl;
    make_workdir(workdir_);
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = pick_free_port();
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            if (chdir(workdir_.c_str()) != 0)
                _exit(127);
            int log = open("server.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            ::close(log);
            for (const auto &var : env_)
                setenv(var.first.c_str(), var.second.c_str(), 1);
            if (extra_setup)
                extra_setup();
            std::string port = std::to_string(port_);
            std::vector<char *> argv{const_cast<char *>("talvane")};
            if (mode == Mode::Concurrent)
                argv.push_back(const_cast<char *>("--concurrent"));
            for (std::string &arg : args_)
                argv.push_back(&arg[0]);
            argv.push_back(&port[0]);
            argv.push_back(nullptr);
            execv(TALVANE_BINARY, argv.data());
            _exit(127);
        }
        setpgid(pid_, pid_);
        long long deadline = clock_ms() + 10000;
        while (clock_ms() < deadline) {
            if (!alive())
                break;  // another socket took the port first: try another one
            if (port_listening(port_))
                return true;
            sleep_ms(10);
        }
        stop();
    }
    return false;
}

bool Server::alive()
{
    if (pid_ <= 0)
        return false;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int Server::wait_exit(int timeout_ms)
{
    long long deadline = clock_ms() + timeout_ms;
    while (pid_ > 0) {
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return status;
        }
        if (clock_ms() >= deadline)
            break;
        sleep_ms(10);
    }
    return -1;
}

// The server stops in order on SIGTERM and hangs up the commands it runs,
// each in a process group of its own. Should it not be gone in time, those
// groups get SIGKILL, with the server's own.
void Server::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGTERM);
    if (wait_exit(8000) != -1)
        return;
    for (pid_t kid : children()) {
        pid_t group = getpgid(kid);
        if (group > 1 && group != getpgrp())
            kill(-group, SIGKILL);
    }
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

int fd_count_of(pid_t pid)
{
    return static_cast<int>(fds_of(pid).size());
}

std::vector<int> fds_of(pid_t pid)
{
    std::vector<int> fds;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return fds;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            fds.push_back(std::atoi(e->d_name));
    closedir(d);
    return fds;
}

std::string fd_listing(pid_t pid)
{
    std::string out;
    for (int fd : fds_of(pid)) {
        std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        char target[256] = "";
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        out += "\n  " + std::to_string(fd) + " -> " + std::string(target, n > 0 ? n : 0);
    }
    return out;
}

int Server::fd_count() const { return fd_count_of(pid_); }

// Fields of /proc/PID/stat after the command name: state, ppid, ...
static bool read_stat(pid_t pid, char &state, pid_t &ppid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text))
        return false;
    std::size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos)
        return false;
    std::istringstream rest(text.substr(close_paren + 1));
    rest >> state >> ppid;
    return true;
}

std::vector<pid_t> Server::children() const
{
    std::vector<pid_t> kids;
    DIR *d = opendir("/proc");
    if (!d)
        return kids;
    while (struct dirent *e = readdir(d)) {
        pid_t pid = std::atoi(e->d_name);
        char state;
        pid_t ppid;
        if (pid > 0 && read_stat(pid, state, ppid) && ppid == pid_)
            kids.push_back(pid);
    }
    closedir(d);
    return kids;
}

int Server::zombie_children() const
{
    int zombies = 0;
    for (pid_t kid : children()) {
        char state;
        pid_t ppid;
        if (read_stat(kid, state, ppid) && state == 'Z')
            ++zombies;
    }
    return zombies;
}

long Server::rss_kb() const
{
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// ---- fixture ----

void ServerTest::start_server(void (*extra_setup)())
{
    ASSERT_TRUE(server.start(extra_setup, mode())) << "talvane did not start";
}

void ServerTest::SetUp()
{
    start_server();
}

void PrintTo(Mode mode, std::ostream *out)
{
    *out << (mode == Mode::Concurrent ? "concurrent" : "default");
}

std::string mode_name(const ::testing::TestParamInfo<Mode> &info)
{
    return info.param == Mode::Concurrent ? "Concurrent" : "Default";
}

void ServerTest::TearDown()
{
    logged_in.clear();
    conns.clear();
    server.stop();
    if (!server.workdir().empty() && server.workdir().rfind("/tmp/talvane-e2e-", 0) == 0) {
        std::string cmd = "rm -rf '" + server.workdir() + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
}

Conn &ServerTest::connect_raw(int rcvbuf, int mss)
{
    conns.push_back(std::make_unique<Conn>(server.port(), rcvbuf, mss));
    EXPECT_TRUE(conns.back()->ok()) << "cannot connect";
    return *conns.back();
}

Conn &ServerTest::login(int rcvbuf, int mss)
{
    Conn &c = connect_raw(rcvbuf, mss);
    c.read_until("% ");
    std::string announcement = login_line(c.local_port());
    for (Conn *earlier : logged_in) {
        if (earlier->open()) {
            EXPECT_EQ(earlier->read_until(announcement), announcement);
        }
    }
    logged_in.push_back(&c);
    return c;
}

// ---- helpers ----

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

bool eventually(const std::function<bool()> &pred, int timeout_ms)
{
    long long deadline = clock_ms() + timeout_ms;
    for (;;) {
        if (pred())
            return true;
        if (clock_ms() >= deadline)
            return false;
        sleep_ms(10);
    }
}

std::string login_line(int port, const std::string &name)
{
    return "*** User '" + name + "' entered from 127.0.0.1:" + std::to_string(port) + ". ***\n";
}

std::string comm_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

pid_t child_running(const Server &server, const std::string &name)
{
    for (pid_t kid : server.children())
        if (comm_of(kid) == name)
            return kid;
    return -1;
}

long long cpu_ms(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    std::size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos)
        return -1;
    // After the name: state (field 3) ... utime (14), stime (15).
    std::istringstream fields(text.substr(close_paren + 2));
    std::string field;
    long long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stoll(field);
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

}  // namespace e2e
