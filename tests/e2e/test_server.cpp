// Connection handling, the client table and the announcements.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "harness.h"

using namespace e2e;

namespace {

// True when text has the shape of pattern, where '9' stands for one or
// more digits and every other character for itself.
bool has_shape(const std::string &text, const std::string &pattern)
{
    std::size_t t = 0;
    for (char p : pattern) {
        if (p != '9') {
            if (t >= text.size() || text[t++] != p)
                return false;
            continue;
        }
        std::size_t start = t;
        while (t < text.size() && text[t] >= '0' && text[t] <= '9')
            ++t;
        if (t == start)
            return false;
    }
    return t == text.size();
}

// In a child: runs talvane with the given arguments; never returns.
[[noreturn]] void exec_talvane(const std::vector<std::string> &args)
{
    std::vector<char *> argv{const_cast<char *>("talvane")};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(TALVANE_BINARY, argv.data());
    _exit(127);
}

// Runs talvane with the given arguments; returns its exit status and output.
int run_talvane(const std::vector<std::string> &args, std::string &out)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        exec_talvane(args);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts talvane with args and waits until it listens on port at address
// (hex as in /proc/net/tcp, e.g. "0100007F"); returns its pid, or -1.
pid_t start_listening(const std::vector<std::string> &args, int port, const std::string &address)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        exec_talvane(args);
    }
    char want[32];
    std::snprintf(want, sizeof want, "%s:%04X", address.c_str(), port);
    bool up = eventually([&] { return read_file("/proc/net/tcp").find(want) != std::string::npos; });
    if (!up) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

int unused_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace

class ConnectionTest : public e2e::ModeTest {};
INSTANTIATE_IN_BOTH_MODES(ConnectionTest);

TEST(StartUp, RejectsMissingOrInvalidPort)
{
    for (const auto &args : std::vector<std::vector<std::string>>{{}, {"abc"}, {"0"}, {"70000"}, {"-5"}, {"12ab"}}) {
        std::string out;
        EXPECT_EQ(run_talvane(args, out), 1);
        EXPECT_EQ(out, "Usage: ./talvane [port]\n");
    }
}

TEST(StartUp, OptionsStandBeforeOrAfterThePort)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"-h"}, {"--help"}, {"7001", "-h"}, {"-c", "--bogus", "--help"}, {"--bind"}}) {
        std::string out;
        if (args.back() == "--bind") {
            // An option without its value is a usage error.
            EXPECT_EQ(run_talvane(args, out), 1);
            EXPECT_EQ(out, "Usage: ./talvane [port]\n");
            continue;
        }
        EXPECT_EQ(run_talvane(args, out), 0) << args[0];
        for (const char *word : {"port", "--concurrent", "--bind", "--help", "-c", "-b", "-h", "--log", "--version"})
            EXPECT_NE(out.find(word), std::string::npos) << word;
    }
    for (const auto &args : std::vector<std::vector<std::string>>{{"--version"}, {"7001", "-V"}}) {
        std::string out;
        EXPECT_EQ(run_talvane(args, out), 0);
        EXPECT_TRUE(has_shape(out, "talvane 9.9.9\n")) << out;
    }
    for (const auto &args : std::vector<std::vector<std::string>>{{"--bogus", "7001"}, {"7001", "-x"}, {"-c"}}) {
        std::string out;
        EXPECT_EQ(run_talvane(args, out), 1);
        EXPECT_EQ(out.rfind("Usage: ./talvane [port]\n", 0), 0u) << out;
    }
    for (const char *address : {"localhost", "1.2.3", "::1", "256.0.0.1"}) {
        std::string out;
        EXPECT_EQ(run_talvane({"--bind", address, "7001"}, out), 1);
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_NE(out.find(address), std::string::npos);
    }

    int port = unused_port();
    pid_t pid = start_listening({std::to_string(port), "-b", "127.0.0.1", "--concurrent", "ignored"}, port,
                                "0100007F");
    EXPECT_GT(pid, 0) << "not listening on 127.0.0.1 only";
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

TEST(StartUp, ReportsPortInUse)
{
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(holder, reinterpret_cast<sockaddr *>(&addr), &len);
    std::string out;
    EXPECT_EQ(run_talvane({std::to_string(ntohs(addr.sin_port))}, out), 1);
    EXPECT_EQ(out, "Error: bind() failed\n");
    close(holder);
}

TEST_P(ConnectionTest, GreetsWithBannerLoginLineAndPrompt)
{
    Conn &c = connect_raw();
    std::string expected = std::string(BANNER) + login_line(c.local_port()) + "% ";
    EXPECT_EQ(std::string(BANNER).size(), 123u);
    EXPECT_EQ(c.read_exact(expected.size()), expected);
    EXPECT_EQ(c.read_quiet(200), "");
}

TEST_P(ConnectionTest, AnnouncesLoginToEveryoneAndLogoutOnlyToOthers)
{
    Conn &a = login();
    Conn &b = connect_raw();
    b.read_prompt();
    EXPECT_EQ(a.read_until("\n"), login_line(b.local_port()));
    Conn &c = connect_raw();
    c.read_prompt();
    EXPECT_EQ(a.read_until("\n"), login_line(c.local_port()));
    EXPECT_EQ(b.read_until("\n"), login_line(c.local_port()));

    b.send("exit\n");
    EXPECT_TRUE(b.wait_closed());
    EXPECT_EQ(a.read_until("\n"), "*** User '(no name)' left. ***\n");
    EXPECT_EQ(c.read_until("\n"), "*** User '(no name)' left. ***\n");
}

TEST_P(ConnectionTest, NewcomerTakesLowestFreeIdWithFreshRecord)
{
    Conn &a = login();
    Conn &b = login();
    Conn &c = login();
    b.command("name bee");
    b.command("setenv X old");
    b.send("exit\n");
    ASSERT_TRUE(b.wait_closed());
    a.read_quiet(100);
    c.read_quiet(100);

    Conn &d = login();
    std::string who = d.command("who");
    EXPECT_EQ(who, "<ID>\t<nickname>\t<IP:port>\t<indicate me>\n"
                   "1\t(no name)\t127.0.0.1:" + std::to_string(a.local_port()) + "\n"
                   "2\t(no name)\t127.0.0.1:" + std::to_string(d.local_port()) + "\t<-me\n"
                   "3\t(no name)\t127.0.0.1:" + std::to_string(c.local_port()) + "\n");
    EXPECT_EQ(d.command("printenv X"), "");
}

TEST_P(ConnectionTest, ThirtyFirstConnectionIsClosedWithoutAnId)
{
    Conn &first = login();
    for (int i = 1; i < 30; ++i)
        login();
    first.read_quiet(200);
    Conn &extra = connect_raw();
    std::string rest;
    EXPECT_TRUE(extra.wait_closed(DEFAULT_TIMEOUT_MS, &rest));
    EXPECT_EQ(rest, std::string(BANNER) + "% ");
    EXPECT_EQ(first.read_quiet(200), "");  // no announcement for it
    EXPECT_EQ(first.command("printenv PATH"), "bin:.\n");
}

TEST_P(ConnectionTest, EachClientHasItsOwnEnvironment)
{
    Conn &a = login();
    Conn &b = login();
    symlink("/usr/bin/env", server.path("bin/env").c_str());
    EXPECT_EQ(a.command("env"), "PATH=bin:.\n");
    a.command("setenv A one");
    b.command("setenv A two");
    EXPECT_EQ(a.command("printenv A"), "one\n");
    EXPECT_EQ(b.command("printenv A"), "two\n");
    EXPECT_EQ(a.command("env"), "A=one\nPATH=bin:.\n");
}

TEST_P(ConnectionTest, EnvironmentIsBoundedInTotalSize)
{
    Conn &a = login();
    Conn &b = login();
    auto refused = [](const std::string &name) {
        return "*** Error: an environment holds at most 262144 bytes; '" + name + "' was not set. ***\n";
    };
    const std::string big(60000, 'a'), same_size(60000, 'b');

    // A variable counts as "NAME=VALUE", its NUL and a pointer: PATH=bin:.
    // 19 bytes; four variables of 60012 bytes, and a fifth that fills the
    // environment to the byte.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(a.command("setenv V" + std::to_string(i) + " " + big), "");
    const std::string rest(262144 - 19 - 4 * 60012 - 12, 'r');
    EXPECT_EQ(a.command("setenv V4 " + rest), "");
    EXPECT_EQ(a.command("setenv V5 x"), refused("V5"));
    EXPECT_EQ(a.command("printenv V5"), "");

    // A replaced variable counts with its new value only: the same size
    // fits, one byte more does not and leaves the old value.
    EXPECT_EQ(a.command("setenv V0 " + same_size), "");
    EXPECT_EQ(a.command("setenv V0 " + same_size + "b"), refused("V0"));
    EXPECT_EQ(a.command("printenv V0"), same_size + "\n");
    EXPECT_EQ(a.command("setenv PATH bin:.:"), refused("PATH"));
    EXPECT_EQ(a.command("printenv PATH"), "bin:.\n");

    // Shrinking makes room again; other clients have bounds of their own.
    EXPECT_EQ(a.command("setenv V0 c"), "");
    EXPECT_EQ(a.command("setenv V5 x"), "");
    EXPECT_EQ(a.command("printenv V5"), "x\n");
    EXPECT_EQ(b.command("setenv V0 " + big), "");
    EXPECT_EQ(b.command("printenv V0"), big + "\n");
}

TEST_P(ConnectionTest, TelnetSequencesAreAnsweredAndLeftOutOfTheLine)
{
    Conn &a = login();
    // Ctrl-C in telnet, then a line: the refusal comes first, then the output.
    a.send("\xff\xf4\xff\xfd\x06" "ls\r\n");
    EXPECT_EQ(a.read_prompt(), "\xff\xfc\x06" "bin\nserver.log\n% ");
    // An offer is refused too; a doubled IAC is one 255 byte of the line.
    EXPECT_EQ(a.command("\xff\xfb\x1f" "yell a\xff\xff" "b"), "\xff\xfe\x1f*** (no name) yelled ***: a\xff" "b\n");
}

TEST_P(ConnectionTest, PartialLineDoesNotBlockOthers)
{
    Conn &a = login();
    Conn &b = login();
    a.send("printenv PA");
    EXPECT_EQ(b.command("printenv PATH", 2000), "bin:.\n");
    a.send("TH\n");
    EXPECT_EQ(a.read_prompt(), "bin:.\n% ");
}

TEST_P(ConnectionTest, LinesOfOneBurstRunInOrder)
{
    Conn &a = login();
    a.send("setenv A 1\r\nprintenv A\nsetenv A 2\nprintenv A\n");
    EXPECT_EQ(a.read_prompt(), "% ");
    EXPECT_EQ(a.read_prompt(), "1\n% ");
    EXPECT_EQ(a.read_prompt(), "% ");
    EXPECT_EQ(a.read_prompt(), "2\n% ");
}

TEST_P(ConnectionTest, OverlongLineIsRefusedWholeAndServerStaysResponsive)
{
    Conn &a = login();
    Conn &b = login();
    const std::string refusal = "*** Error: the line is longer than 65536 bytes; it was not run. ***\n";
    // Arriving in pieces: refused as soon as it passes the bound, the rest
    // dropped up to its newline, then one prompt.
    a.send("setenv A " + std::string(70000, 'x'));
    EXPECT_EQ(a.read_until("\n"), refusal);
    EXPECT_EQ(b.command("printenv PATH"), "bin:.\n");
    a.send(std::string(10000, 'y') + "\nprintenv A\n");
    EXPECT_EQ(a.read_prompt(), "% ");
    EXPECT_EQ(a.read_prompt(), "% ");  // A was never set
    EXPECT_EQ(a.command("printenv PATH"), "bin:.\n");  // nothing of the dropped line is left

    // Arriving whole, newline included.
    a.send("setenv A " + std::string(65600, 'z') + "\nprintenv A\n");
    EXPECT_EQ(a.read_prompt(), refusal + "% ");
    EXPECT_EQ(a.read_prompt(), "% ");

    // The longest line that runs.
    std::string value(65536 - 9, 'v');
    a.send("setenv A " + value + "\n");
    EXPECT_EQ(a.read_prompt(), "% ");
    EXPECT_EQ(a.command("printenv A"), value + "\n");

    // And again in pieces, behind lines that came in the same reads: only
    // what follows the lines already run counts towards the bound.
    std::string lines;
    for (int i = 0; i < 1000; ++i)
        lines += "printenv PATH\n";
    a.send(lines + "setenv B " + value.substr(0, 60000));
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(a.read_prompt(), "bin:.\n% ");
    a.send(value.substr(60000) + "\n");
    EXPECT_EQ(a.read_prompt(), "% ");
    EXPECT_EQ(a.command("printenv B"), value + "\n");
}

TEST_P(ConnectionTest, EndOfInputRunsBufferedLinesThenLeaves)
{
    Conn &a = login();
    Conn &b = login();
    b.send("setenv A 1\nprintenv A\nprintenv PATH\nprintenv A");
    shutdown(b.fd(), SHUT_WR);
    std::string rest;
    EXPECT_TRUE(b.wait_closed(DEFAULT_TIMEOUT_MS, &rest));
    EXPECT_EQ(rest, "% 1\n% bin:.\n% ");  // the unfinished last line does not run
    EXPECT_EQ(a.read_until("\n"), "*** User '(no name)' left. ***\n");
    Conn &c = login();
    EXPECT_NE(c.command("who").find("2\t(no name)\t127.0.0.1:" + std::to_string(c.local_port()) + "\t<-me\n"),
              std::string::npos);
}

// A script that half-closes after its lines still reads: everything its
// lines print arrives before the connection ends, however much more slowly
// it reads than they print.
TEST_P(ConnectionTest, LeavingClientReceivesEverythingQueuedForIt)
{
    Conn &a = login();
    std::string value(50000, 'v');
    a.command("setenv X " + value);
    std::string lines;
    for (int i = 0; i < 120; ++i)
        lines += "printenv X\n";
    a.send(lines + "who\n");
    shutdown(a.fd(), SHUT_WR);
    std::string rest;
    EXPECT_TRUE(a.wait_closed(20000, &rest));
    std::string expected;
    for (int i = 0; i < 120; ++i)
        expected += value + "\n% ";
    expected += "<ID>\t<nickname>\t<IP:port>\t<indicate me>\n1\t(no name)\t127.0.0.1:" +
                std::to_string(a.local_port()) + "\t<-me\n% ";
    EXPECT_EQ(rest.size(), expected.size());
    EXPECT_TRUE(rest == expected);
}

// The connection ends for the peer when the user leaves, although commands
// the user started still hold it; and those commands are hung up.
TEST_P(ConnectionTest, LeavingEndsTheConnectionAndHangsUpTheUsersCommands)
{
    Conn &a = login();
    Conn &b = login();
    write_file(server.path("small.txt"), "x\n");
    EXPECT_EQ(a.command("slovrel 30 small.txt |1"), "");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(a.command("sleep 100 |1"), "");
    EXPECT_EQ(b.command("sleep 100 |1"), "");
    EXPECT_EQ(server.children().size(), 5u);
    a.send("exit\n");
    EXPECT_TRUE(a.wait_closed(1000));
    EXPECT_TRUE(eventually([&] { return server.children().size() == 1; }, 3000));  // B's own
    EXPECT_EQ(server.zombie_children(), 0);
}

TEST_P(ConnectionTest, ClientVanishingMidCommandDoesNotKillServer)
{
    Conn &a = login();
    for (int i = 0; i < 5; ++i) {
        Conn &gone = connect_raw();
        gone.read_prompt();
        gone.send("benivox\nbenivox\nwho\n");
        gone.close();
        a.read_until("*** User '(no name)' left. ***\n");
    }
    EXPECT_TRUE(server.alive());
    EXPECT_EQ(a.command("printenv PATH"), "bin:.\n");
}

TEST_P(ConnectionTest, LongAnnouncementArrivesWhole)
{
    Conn &a = login();
    Conn &b = login();
    std::string msg(5000, 'm');
    a.send("yell " + msg + "\n");
    std::string expected = "*** (no name) yelled ***: " + msg + "\n";
    EXPECT_EQ(a.read_prompt(), expected + "% ");
    EXPECT_EQ(b.read_exact(expected.size()), expected);
}

// ---- the operator's log ----

class LogTest : public e2e::ServerTest {
protected:
    void SetUp() override
    {
        server.add_arg("--log");
        server.add_arg("events.log");
        start_server();
    }
    // The events logged since the file was last read, less their times;
    // every line must start with one.
    std::vector<std::string> events(const std::string &name = "events.log")
    {
        const std::size_t stamp = std::string("2026-12-09T10:25:13.803Z ").size();
        std::vector<std::string> out;
        std::istringstream in(read_file(server.path(name)));
        for (std::string text; std::getline(in, text);) {
            bool stamped = text.size() > stamp && has_shape(text.substr(0, stamp), "9-9-9T9:9:9.9Z ");
            EXPECT_TRUE(stamped) << text;
            out.push_back(stamped ? text.substr(stamp) : text);
        }
        return out;
    }
};

// Each kind of event, in order, with nothing of what users typed or said.
TEST_F(LogTest, TellsTheOperatorWhoCameWentAndMetABound)
{
    Conn &a = login();
    Conn &b = login();
    Conn x(server.port(), 4096, 536);
    ASSERT_TRUE(x.ok());
    a.read_until(login_line(x.local_port()));
    b.read_until(login_line(x.local_port()));
    const std::string peer_a = "peer=127.0.0.1:" + std::to_string(a.local_port());
    const std::string peer_b = "peer=127.0.0.1:" + std::to_string(b.local_port());
    const std::string peer_x = "peer=127.0.0.1:" + std::to_string(x.local_port());

    EXPECT_EQ(b.command("name bob"), "*** User from 127.0.0.1:" + std::to_string(b.local_port()) +
                                          " is named 'bob'. ***\n");
    EXPECT_NE(a.command(std::string(70000, 'l')).find("longer than"), std::string::npos);
    const std::string big(60000, 'v');
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(a.command("setenv V" + std::to_string(i) + " " + big), "");
    EXPECT_NE(a.command("setenv V4 " + big).find("was not set"), std::string::npos);
    // x never reads what its own line prints: dropped 5 s later.
    std::string printenvs;
    for (int i = 0; i < 40; ++i)
        printenvs += "printenv X |1 ";
    x.send("setenv X " + big + "\n" + printenvs + "\n");
    EXPECT_NE(a.read_until("left. ***\n", 15000).find("*** User '(no name)' left. ***"), std::string::npos);
    EXPECT_TRUE(x.wait_closed());
    // A full table: a 31st connection gets no id.
    std::vector<std::unique_ptr<Conn>> more;
    for (int i = 0; i < 28; ++i) {
        more.push_back(std::make_unique<Conn>(server.port()));
        more.back()->read_prompt();
    }
    Conn extra(server.port());
    EXPECT_TRUE(extra.wait_closed());

    ASSERT_EQ(rename(server.path("events.log").c_str(), server.path("events.1").c_str()), 0);
    kill(server.pid(), SIGUSR1);
    EXPECT_TRUE(eventually([&] { return file_exists(server.path("events.log")); }));
    a.send("exit\n");
    EXPECT_TRUE(a.wait_closed());
    ::shutdown(b.fd(), SHUT_WR);
    EXPECT_TRUE(eventually([&] { return events().size() >= 3; }));
    more.clear();
    kill(server.pid(), SIGTERM);
    EXPECT_EQ(server.wait_exit(6000), 0);

    std::vector<std::string> before = events("events.1");
    ASSERT_GE(before.size(), 11u);
    const std::string where = " mode=default address=0.0.0.0 port=" + std::to_string(server.port());
    std::size_t at = before[0].find(where);
    EXPECT_TRUE(at != std::string::npos && at + where.size() == before[0].size() &&
                has_shape(before[0].substr(0, at), "start version=9.9.9"))
        << before[0];
    std::vector<std::string> want = {
        "accept " + peer_a + " id=1", "login id=1", "accept " + peer_b + " id=2", "login id=2",
        "accept " + peer_x + " id=3", "login id=3", "rename id=2 name=\"bob\"", "refused id=1 bound=line-length",
        "refused id=1 bound=environment", "logout id=3 reason=dropped-not-reading"};
    EXPECT_EQ(std::vector<std::string>(before.begin() + 1, before.begin() + 11), want);
    EXPECT_EQ(before.back().rfind("accept peer=127.0.0.1:", 0), 0u);
    EXPECT_NE(before.back().find(" table-full"), std::string::npos);

    std::vector<std::string> after = events();
    ASSERT_GE(after.size(), 4u);
    EXPECT_EQ(after[0], "reopen");
    EXPECT_EQ(after[1], "logout id=1 reason=exit");
    EXPECT_EQ(after[2], "logout id=2 reason=end-of-input");
    // Whoever is left when the server stops leaves with it.
    auto stop = std::find(after.begin(), after.end(), "shutdown signal=TERM");
    ASSERT_NE(stop, after.end());
    for (auto it = stop + 1; it != after.end(); ++it)
        EXPECT_TRUE(has_shape(*it, "logout id=9 reason=shutdown")) << *it;
}
