// test_lifetime.cpp -- nothing outlives its user, and no user takes the
// machine: keepalive, process groups, the orderly stop, the bounds on
// running commands and on pending pipes, and the departure that waits for
// the commands still writing to a connection.
#include "harness.h"

#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace e2e;

namespace {

const std::string LEFT = "*** User '(no name)' left. ***\n";
const std::string GREETING = "We wish you the best!\n";

// Ended: no such process, or only a zombie left for whoever adopted it.
bool gone(pid_t pid)
{
    if (pid <= 0)
        return false;
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t paren = stat.rfind(')');
    return paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0;
}

void write_script(const Server &server, const std::string &name, const std::string &body)
{
    write_file(server.path(name), "#!/bin/sh\n" + body);
    chmod(server.path(name).c_str(), 0755);
}

std::size_t count_of(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

}  // namespace

// ---- keepalive ----

class KeepaliveTest : public ModeTest {
protected:
    void SetUp() override
    {
        server.add_env("TALVANE_TEST_KEEPALIVE_IDLE", "1");
        start_server();
    }
};
INSTANTIATE_IN_BOTH_MODES(KeepaliveTest);

// The client closes in order under a command that never writes; its kernel
// forgets the connection after 1 s, and the next probe draws a reset.
TEST_P(KeepaliveTest, ClosedClientUnderSilentCommandIsHungUp)
{
    Conn &a = login();
    Conn &b = login();
    a.send("sleep 100000\n");
    pid_t sleeper = -1;
    ASSERT_TRUE(eventually([&] { return (sleeper = child_running(server, "sleep")) > 0; }));
    int linger = 1;
    ASSERT_EQ(setsockopt(a.fd(), IPPROTO_TCP, TCP_LINGER2, &linger, sizeof linger), 0);
    a.close();
    EXPECT_EQ(b.read_until(LEFT, 15000), LEFT);
    EXPECT_TRUE(eventually([&] { return gone(sleeper); }));
    EXPECT_EQ(b.command("echo still serving"), "still serving\n");
}

// A half-closed peer answers the probes: its command runs to its end.
TEST_P(KeepaliveTest, HalfClosedClientIsNotTakenForGone)
{
    Conn &a = login();
    a.send("sleep 4\n");
    shutdown(a.fd(), SHUT_WR);
    long long began = clock_ms();
    EXPECT_EQ(a.read_until("% ", 10000), "% ");
    EXPECT_GE(clock_ms() - began, 3500);
    EXPECT_TRUE(a.wait_closed());
}

// ---- process groups ----

using GroupTest = ModeTest;
INSTANTIATE_IN_BOTH_MODES(GroupTest);

TEST_P(GroupTest, KillZeroReachesOnlyItsOwnLine)
{
    Conn &a = login();
    Conn &b = login();
    write_script(server, "killer", "kill -TERM 0\n");
    write_script(server, "trapper", "trap 'kill 0' EXIT\nexit 0\n");
    EXPECT_EQ(b.command("sleep 100 |1"), "");
    pid_t other = -1;
    ASSERT_TRUE(eventually([&] { return (other = child_running(server, "sleep")) > 0; }));
    for (const char *line : {"./killer", "./trapper", "./killer | cat", "sleep 100 |1 ./killer"})
        EXPECT_EQ(a.command(line), "") << line;
    EXPECT_TRUE(server.alive());
    EXPECT_FALSE(gone(other));
    // The last line's sleep was in the killer's group, b's is not.
    EXPECT_TRUE(eventually([&] { return server.children().size() == 1; }));
    EXPECT_EQ(a.command("echo served"), "served\n");
}

TEST_P(GroupTest, HangUpReachesWhatAScriptStarted)
{
    Conn &a = login();
    write_script(server, "spawner", "sleep 1000 &\necho $! > grandchild\nwait\n");
    a.send("./spawner\n");
    ASSERT_TRUE(eventually([&] { return read_file(server.path("grandchild")).size() > 1; }));
    pid_t grandchild = std::stoi(read_file(server.path("grandchild")));
    a.reset();
    EXPECT_TRUE(eventually([&] { return gone(grandchild); }));
}

// ---- stopping the server ----

using StopTest = ModeTest;
INSTANTIATE_IN_BOTH_MODES(StopTest);

TEST_P(StopTest, SigtermHangsUpEveryCommandAndEndsEveryConnection)
{
    Conn &a = login();
    Conn &b = login();
    write_script(server, "stubborn", "trap '' HUP\nsleep 300 &\necho $! > ready\nwait\n");
    EXPECT_EQ(a.command("sleep 300 |1"), "");
    b.send("./stubborn\n");
    ASSERT_TRUE(eventually([&] { return read_file(server.path("ready")).size() > 1; }));
    std::vector<pid_t> commands = server.children();
    ASSERT_EQ(commands.size(), 2u);
    commands.push_back(std::stoi(read_file(server.path("ready"))));  // ignores SIGHUP: SIGKILL 2 s later

    long long began = clock_ms();
    ASSERT_EQ(kill(server.pid(), SIGTERM), 0);
    int status = server.wait_exit(6000);
    EXPECT_LT(clock_ms() - began, 5000);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (Conn *c : {&a, &b}) {
        std::string rest = "unread";
        EXPECT_TRUE(c->wait_closed(1000, &rest));
        EXPECT_EQ(rest, "");  // no new text, as for a user who left
    }
    for (pid_t pid : commands)
        EXPECT_TRUE(eventually([&] { return gone(pid); })) << comm_of(pid);
}

TEST_F(ServerTest, SecondStopSignalEndsTheServerAtOnce)
{
    Conn &a = login();
    write_script(server, "stubborn", "trap '' HUP\necho > ready\nsleep 300\n");
    a.send("./stubborn\n");
    ASSERT_TRUE(eventually([&] { return file_exists(server.path("ready")); }));
    pid_t group = getpgid(server.children().front());
    kill(server.pid(), SIGTERM);
    usleep(200 * 1000);
    kill(server.pid(), SIGTERM);
    int status = server.wait_exit(1000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    if (group > 1)
        kill(-group, SIGKILL);  // the first signal's SIGKILL never came
}

// ---- bounds per user ----

class CommandLimitTest : public ModeTest {
protected:
    void SetUp() override
    {
        server.add_env("TALVANE_TEST_COMMAND_LIMIT", "3");
        start_server();
    }
};
INSTANTIATE_IN_BOTH_MODES(CommandLimitTest);

TEST_P(CommandLimitTest, CommandPastTheBoundDoesNotStartNorDoesItsLine)
{
    Conn &a = login();
    Conn &b = login();
    const std::string refused = "*** Error: you have 3 commands running; this one did not start. ***\n";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(a.command("sleep 100 |1"), "");
    EXPECT_EQ(a.command("sleep 100 |1 echo never"), refused);
    EXPECT_EQ(a.command("echo never"), refused);
    EXPECT_EQ(b.command("echo other user"), "other user\n");
    EXPECT_EQ(server.children().size(), 3u);

    kill(child_running(server, "sleep"), SIGKILL);
    EXPECT_TRUE(eventually([&] { return server.children().size() == 2; }));
    EXPECT_EQ(a.command("echo back"), "back\n");
}

namespace {

// (376 - 76) / 30 = 10 descriptors a user: five pending pipes.
void limit_descriptors()
{
    struct rlimit limit = {376, 376};
    setrlimit(RLIMIT_NOFILE, &limit);
}

class DescriptorShareTest : public ServerTest {
protected:
    void SetUp() override { start_server(limit_descriptors); }
};

}  // namespace

TEST_F(DescriptorShareTest, PendingPipesOfOneUserStayWithinItsShare)
{
    Conn &a = login();
    Conn &b = login();
    const int base = server.fd_count();
    const std::string no_pipe =
        "*** Error: cannot create a pipe now (Too many open files); the command did not run. ***\n";
    for (Conn *c : {&a, &b}) {
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(c->command("echo parked |1000"), "") << i;
        EXPECT_EQ(c->command("echo parked |1000"), no_pipe);
        EXPECT_EQ(c->command("ls | cat"), no_pipe);
    }
    EXPECT_EQ(a.command("echo lost >2"), "*** Error: the pipe #1->#2 cannot be created now. ***\n");
    EXPECT_EQ(server.fd_count(), base + 20) << fd_listing(server.pid());
    Conn &c = login();
    EXPECT_EQ(c.command("echo fine | cat |1"), "");
    EXPECT_EQ(c.command("cat"), "fine\n");
}

// ---- a departure that waits for the commands writing to it ----

using DepartureTest = ModeTest;
INSTANTIATE_IN_BOTH_MODES(DepartureTest);

// a leaves, without reading, after starting a background command that
// does not write to its connection and a line whose last command writes
// 5000 lines there after 2 s.
TEST_P(DepartureTest, OutputOfBackgroundCommandArrivesWholeAfterLeaving)
{
    Conn &watcher = login();
    for (const char *how : {"exit", "half-close"}) {
        Conn &a = login(4096, 536);
        const int base = server.fd_count() - 1;
        a.send("sleep 100 |1\n");
        pid_t sleeper = -1;
        ASSERT_TRUE(eventually([&] { return (sleeper = child_running(server, "sleep")) > 0; }));
        a.send("benivox | slovrel 2 |0\n");
        ASSERT_TRUE(eventually([&] { return child_running(server, "slovrel") > 0; }));
        if (how == std::string("exit"))
            a.send("exit\n");
        else
            shutdown(a.fd(), SHUT_WR);
        EXPECT_EQ(watcher.read_until(LEFT), LEFT) << how;
        EXPECT_TRUE(eventually([&] { return gone(sleeper); })) << how << ": not written there, hung up at once";
        EXPECT_GT(child_running(server, "slovrel"), 0) << how;
        std::string rest;
        EXPECT_TRUE(a.wait_closed(20000, &rest)) << how;
        EXPECT_EQ(count_of(rest, GREETING), 5000u) << how;
        EXPECT_TRUE(eventually([&] { return server.fd_count() == base; })) << fd_listing(server.pid());
        logged_in.pop_back();
        ASSERT_TRUE(eventually([&] { return server.children().empty(); }));
    }
}

TEST_P(DepartureTest, PeerThatStopsReadingEndsTheWait)
{
    Conn &a = login(4096, 536);
    a.send("yes |0\nexit\n");
    ASSERT_TRUE(eventually([&] { return child_running(server, "yes") > 0; }));
    pid_t writer = child_running(server, "yes");
    long long began = clock_ms();
    EXPECT_TRUE(eventually([&] { return gone(writer); }, 15000));
    EXPECT_GE(clock_ms() - began, 4000);
}
