// harness.h -- end-to-end test fixture: runs the real talvane binary in a
// fresh working directory with its own bin/, on a free 127.0.0.1 port, and
// talks to it over real TCP connections. Every wait has a deadline.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace e2e {

extern const char BANNER[];

// How the server is started: as by default, where one user's foreground
// command holds up everybody, or with --concurrent.
enum class Mode { Default, Concurrent };
void PrintTo(Mode mode, std::ostream *out);
constexpr int DEFAULT_TIMEOUT_MS = 5000;

// One TCP connection to the server, with a buffer of bytes received but not
// yet consumed by the test.
class Conn {
public:
    // rcvbuf > 0 shrinks the receive buffer before the handshake, so that
    // output the test does not read soon waits in the server's queue. A
    // small segment size (mss > 0) keeps the server's send buffer for the
    // connection small as well, since the kernel sizes it in segments.
    explicit Conn(int port, int rcvbuf = 0, int mss = 0);
    ~Conn();
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    bool ok() const { return fd_ >= 0; }
    bool open() const { return fd_ >= 0 && !eof_; }
    int fd() const { return fd_; }
    int local_port() const;  // the port the server sees for this client

    void send(const std::string &bytes);
    // Sends line + "\n" and returns what arrives before the next prompt,
    // the prompt itself not included.
    std::string command(const std::string &line, int timeout_ms = DEFAULT_TIMEOUT_MS);
    // Consumes and returns everything up to and including marker. On a
    // timeout or a closed connection it records a test failure and returns
    // what arrived.
    std::string read_until(const std::string &marker, int timeout_ms = DEFAULT_TIMEOUT_MS);
    std::string read_prompt(int timeout_ms = DEFAULT_TIMEOUT_MS) { return read_until("% ", timeout_ms); }
    // True when marker has arrived within timeout_ms; consumes nothing and
    // records no failure.
    bool arrives(const std::string &marker, int timeout_ms);
    // Consumes exactly n bytes (failure on timeout).
    std::string read_exact(std::size_t n, int timeout_ms = DEFAULT_TIMEOUT_MS);
    // Consumes whatever arrives until the connection has been quiet for
    // quiet_ms (bounded by timeout_ms in all).
    std::string read_quiet(int quiet_ms = 300, int timeout_ms = DEFAULT_TIMEOUT_MS);
    // True when the peer closes the connection within timeout_ms; bytes that
    // arrive before are consumed into *rest when given.
    bool wait_closed(int timeout_ms = DEFAULT_TIMEOUT_MS, std::string *rest = nullptr);
    void close();
    // Closes with a reset rather than an orderly end, as a crashed client
    // or a broken network would.
    void reset();

private:
    // Reads once, waiting at most timeout_ms; false on timeout or end.
    bool fill(int timeout_ms);
    int fd_ = -1;
    bool eof_ = false;
    std::string buf_;
};

// The running server and its working directory.
class Server {
public:
    Server() = default;
    ~Server() { stop(); }
    // Starts talvane in a new temporary working directory on a free port.
    // extra_setup runs in the child before exec (e.g. to lower limits).
    bool start(void (*extra_setup)() = nullptr, Mode mode = Mode::Default);
    // Sets a variable in the environment the next start() gives talvane,
    // replacing one of the same name inherited from the tests.
    void add_env(const std::string &name, const std::string &value) { env_.emplace_back(name, value); }
    // Adds an option that the next start() passes to talvane before its port.
    void add_arg(const std::string &arg) { args_.push_back(arg); }
    // SIGTERM, then SIGKILL to the server and its commands' groups if it
    // has not exited within a few seconds.
    void stop();
    bool alive();
    // Waits for the server to exit: its wait status, or -1 on a timeout.
    int wait_exit(int timeout_ms);

    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string &workdir() const { return workdir_; }
    std::string path(const std::string &name) const { return workdir_ + "/" + name; }

    // Observations through /proc.
    int fd_count() const;                 // open descriptors of the server
    std::vector<pid_t> children() const;  // its child processes
    int zombie_children() const;
    long rss_kb() const;

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string workdir_;
    std::vector<std::pair<std::string, std::string>> env_;
    std::vector<std::string> args_;
};

// Fixture: a fresh server per test, and helpers to log clients in.
class ServerTest : public ::testing::Test {
protected:
    // The mode the server of this test runs in.
    virtual Mode mode() const { return Mode::Default; }
    // Starts the server in mode(), with extra_setup as for Server::start.
    void start_server(void (*extra_setup)() = nullptr);
    void SetUp() override;
    void TearDown() override;
    // Connects and consumes the banner, the log-in line and the first prompt,
    // so ids are handed out in the order of the calls; also consumes (and
    // checks) the announcement of the newcomer on every connection that
    // login() opened before and that is still open.
    // rcvbuf and mss as for Conn.
    Conn &login(int rcvbuf = 0, int mss = 0);
    // A connection that has consumed nothing.
    Conn &connect_raw(int rcvbuf = 0, int mss = 0);

    Server server;
    std::vector<std::unique_ptr<Conn>> conns;
    std::vector<Conn *> logged_in;
};

// The same fixture for a test that runs in both modes: TEST_P, and the suite
// instantiated with INSTANTIATE_IN_BOTH_MODES(Suite).
class ModeTest : public ServerTest, public ::testing::WithParamInterface<Mode> {
protected:
    Mode mode() const override { return GetParam(); }
};
std::string mode_name(const ::testing::TestParamInfo<Mode> &info);
#define INSTANTIATE_IN_BOTH_MODES(suite) \
    INSTANTIATE_TEST_SUITE_P(, suite, ::testing::Values(e2e::Mode::Default, e2e::Mode::Concurrent), e2e::mode_name)

// Helpers.
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);
int fd_count_of(pid_t pid);
// Descriptor numbers a process holds open.
std::vector<int> fds_of(pid_t pid);
// "N -> target" for each open descriptor, for failure messages.
std::string fd_listing(pid_t pid);
// The program a process runs, from /proc/PID/comm.
std::string comm_of(pid_t pid);
// The first child of the server running program name, or -1.
pid_t child_running(const Server &server, const std::string &name);
// Processor time a process has used so far, in milliseconds.
long long cpu_ms(pid_t pid);
// The monotonic clock in milliseconds.
long long clock_ms();
// Waits until pred() holds or timeout_ms passes; returns the last result.
bool eventually(const std::function<bool()> &pred, int timeout_ms = DEFAULT_TIMEOUT_MS);
// The log-in announcement of a client with the given port.
std::string login_line(int port, const std::string &name = "(no name)");

}  // namespace e2e
