// Hardening: the server keeps serving everybody, loses nothing and leaks
// nothing whatever one client does: connections dropped at any moment, a
// stream of random lines from several clients, a client that never reads,
// and a process that runs out of descriptors.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>
#include <time.h>

#include "harness.h"

using namespace e2e;

namespace {

class HardeningTest : public e2e::ModeTest {};
INSTANTIATE_IN_BOTH_MODES(HardeningTest);

const std::string LEFT = "*** User '(no name)' left. ***\n";
const std::string WHO_HEADER = "<ID>\t<nickname>\t<IP:port>\t<indicate me>\n";

// a yells messages of `size` bytes at everybody until its line waits for a
// client that reads nothing: the server's own queue for that client has
// then passed the high-water mark. Each message starts with its number,
// "#0 ", "#1 ", ..., so that a loss or a repeat can be pointed at. all is
// what the non-reader will receive of the yells, the one whose line waits
// included; pending is a's answer to that one, for the caller to read once
// the non-reader has caught up or gone.
struct Yells {
    std::string all, pending;
};

Yells yell_until_waiting(Conn &a, std::size_t size)
{
    Yells y;
    for (int i = 0; i < 400; ++i) {
        std::string msg = "#" + std::to_string(i) + " " + std::string(size, static_cast<char>('a' + i % 26));
        std::string line = "*** (no name) yelled ***: " + msg + "\n";
        a.send("yell " + msg + "\n");
        y.all += line;
        if (!a.arrives("% ", 500)) {
            y.pending = line + "% ";
            return y;
        }
        EXPECT_EQ(a.read_prompt(), line + "% ");
    }
    ADD_FAILURE() << "a's lines never waited for a client that reads nothing";
    return y;
}

// Where got first departs from want, and in which numbered message.
std::string first_difference(const std::string &want, const std::string &got)
{
    std::size_t at = 0;
    while (at < want.size() && at < got.size() && want[at] == got[at])
        ++at;
    if (at == want.size() && at == got.size())
        return "no difference";
    std::string where = "first difference at byte " + std::to_string(at) + " of " + std::to_string(want.size());
    std::size_t msg = want.rfind("***: #", at);
    if (msg != std::string::npos)
        where += ", in message " + want.substr(msg + 5, want.find(' ', msg + 5) - msg - 5);
    return where + "; received " + std::to_string(got.size()) + " bytes, from there: \"" + got.substr(at, 60) + "\"";
}

#if defined(__SANITIZE_ADDRESS__)
// Freed memory sits in the checker's quarantine for a while, so resident
// memory grows with the traffic even when nothing leaks.
const long RSS_GROWTH_LIMIT_KB = 8 * 1024;
#else
const long RSS_GROWTH_LIMIT_KB = 2 * 1024;
#endif

}  // namespace

// ---- connections that vanish ----

TEST_P(HardeningTest, ThousandAbruptDisconnectsLeaveNoTrace)
{
    Conn &keeper = login();  // id 1: hears every announcement, receives user pipes
    const int fds_at_start = server.fd_count();
    long rss_warm = 0;
    const int TOTAL = 1000, BATCH = 10;
    for (int i = 0; i < TOTAL; ++i) {
        Conn c(server.port());
        ASSERT_TRUE(c.ok()) << "connection " << i;
        switch (i % 5) {
        case 0:  // gone before the banner is even read
            break;
        case 1:  // gone in the middle of a line
            c.send("ls -l | wc");
            break;
        case 2:  // gone while a command writes to it
            c.read_prompt();
            c.send("benivox\n");
            c.read_until("We wish you the best!\n");
            break;
        case 3:  // gone with numbered pipes pending, one writer blocked
            c.read_prompt();
            c.command("ls |3");
            c.command("benivox |2");
            break;
        case 4:  // gone with a user pipe to the keeper pending, or its writer blocked
            c.read_prompt();
            c.command(i % 10 == 4 ? "ls >1" : "benivox | cat >1");
            break;
        }
        c.reset();
        if (i % BATCH == BATCH - 1) {
            keeper.read_quiet(10, 1000);
            ASSERT_TRUE(eventually([&] { return server.fd_count() == fds_at_start; }, 15000))
                << "after " << i + 1 << " connections the server holds " << server.fd_count()
                << " descriptors, " << fds_at_start << " at the start";
        }
        if (i == 99)
            rss_warm = server.rss_kb();
    }
    ASSERT_TRUE(server.alive());
    EXPECT_TRUE(eventually([&] { return server.zombie_children() == 0; }));
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }))
        << "a command of a client that left is still running";
    long rss_end = server.rss_kb();
    std::fprintf(stderr, "[ figures ] descriptors %d at the start, %d at the end; "
                         "resident memory %ld KiB after 100 connections, %ld KiB after %d\n",
                 fds_at_start, server.fd_count(), rss_warm, rss_end, TOTAL);
    EXPECT_LT(rss_end - rss_warm, RSS_GROWTH_LIMIT_KB);

    // The keeper was served all along and still is.
    std::string out = keeper.command("echo still here");
    EXPECT_EQ(out.substr(out.size() >= 11 ? out.size() - 11 : 0), "still here\n");
    EXPECT_EQ(keeper.command("who"), WHO_HEADER + "1\t(no name)\t127.0.0.1:" +
                                         std::to_string(keeper.local_port()) + "\t<-me\n");
}

// ---- random lines from several clients ----

namespace {

// Lines of the command language, drawn from a fixed seed. No command that
// reads its input is ever left reading the client's own connection (that
// would hold the server until the client sends more): such commands appear
// only after "|", with a user pipe "<N", or with a file argument. Nothing
// produces a "%" so that the prompt can be counted in the output.
class LineMaker {
public:
    explicit LineMaker(unsigned seed) : rng_(seed) {}

    std::string line()
    {
        int kind = pick(100);
        if (kind < 40)
            return pipeline();
        if (kind < 75)
            return builtin();
        if (kind < 95)
            return nonsense();
        if (kind < 98)
            return "echo" + many_words(300);
        return std::string(70000, 'a');  // refused as too long
    }

private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
    template <std::size_t N>
    const char *one_of(const char *const (&list)[N]) { return list[pick(N)]; }

    std::string many_words(int n)
    {
        std::string s;
        for (int i = 0; i < n; ++i)
            s += " w" + std::to_string(pick(1000));
        return s;
    }

    std::string file() { return "out/f" + std::to_string(pick(4)); }

    std::string producer()
    {
        static const char *const plain[] = {"ls", "ls -l", "ls out", "echo alpha beta", "date", "true",
                                            "benivox", "yes | head -3", "slovrel"};
        static const char *const on_file[] = {"cat", "wc", "head -3", "sort", "grep e", "tail -2",
                                              "uniq", "cut -c1-5", "sed s/e/E/", "slovrel 0"};
        int kind = pick(10);
        if (kind < 5)
            return one_of(plain);
        if (kind < 8)
            return std::string(one_of(on_file)) + " " + file();
        return std::string(one_of(on_file)) + " <" + std::to_string(pick(8));
    }

    std::string consumer()
    {
        static const char *const list[] = {"cat", "wc", "wc -l", "head -2", "tail -1", "sort", "uniq",
                                           "tr a-z A-Z", "grep e", "cut -c1-3", "sed s/a/A/",
                                           "slovrel 0"};
        return one_of(list);
    }

    std::string ending()
    {
        static const char *const distances[] = {"1", "2", "3", "5", "10", "0", "-1", "1000", "999999999999"};
        switch (pick(12)) {
        case 0: return " |" + std::string(one_of(distances));
        case 1: return " !" + std::string(one_of(distances));
        case 2: return " > " + file();
        case 3: return " > nodir/f";
        case 4: return " >" + std::to_string(pick(8));
        case 5: return " >" + std::to_string(pick(8)) + " |2";
        default: return "";
        }
    }

    std::string pipeline()
    {
        std::string s = producer();
        for (int stages = pick(3); stages > 0; --stages)
            s += " | " + consumer();
        std::string end = ending();
        s += end;
        if (!end.empty() && pick(3) == 0)
            s += " " + producer() + ending();  // a second command on the line
        if (pick(10) == 0)
            s += "\r";
        return s;
    }

    std::string builtin()
    {
        std::string id = std::to_string(pick(10) - 2);
        switch (pick(12)) {
        case 0: return "who";
        case 1: return "name n" + std::to_string(pick(6));
        case 2: return "name a-name-that-is-far-too-long";
        case 3: return "tell " + id + " hello |2 > there <1";
        case 4: return "yell" + many_words(1 + pick(5));
        case 5: return "setenv V" + std::to_string(pick(4)) + " v" + std::to_string(pick(100));
        case 6: return "printenv V" + std::to_string(pick(4));
        case 7: return "setenv A=B c";
        case 8: return "tell";
        case 9: return "setenv V1";
        case 10: return "name";
        default: return "printenv";
        }
    }

    // Words that name no program, and markers with odd numbers after them.
    std::string nonsense()
    {
        static const char chars[] = "Xqz09-+|!<>";
        std::string s;
        for (int words = 1 + pick(6); words > 0; --words) {
            static const char *const starts[] = {"X", "|", "!", "<", ">", ">", "X"};
            std::string w = one_of(starts);
            for (int n = pick(6); n > 0; --n)
                w += chars[pick(sizeof chars - 1)];
            if (w == ">")
                w += " X" + std::to_string(pick(5));  // a file name, never a path
            s += w + std::string(1 + pick(3), ' ');
        }
        return s;
    }

    std::mt19937 rng_;
};

// Several connections read at once, so that no command's output waits for
// the test to finish reading another client. Counts the prompts each
// connection has received.
class Prompts {
public:
    explicit Prompts(const std::vector<Conn *> &conns)
        : conns_(conns), count_(conns.size(), 0), last_(conns.size(), '\0'), tail_(conns.size())
    {
    }

    // Reads every connection until each has received want[i] prompts more;
    // false on timeout or a closed connection.
    bool await(const std::vector<int> &want, int timeout_ms, std::string &why)
    {
        std::vector<long> target(conns_.size());
        for (std::size_t i = 0; i < conns_.size(); ++i)
            target[i] = count_[i] + want[i];
        long long deadline = clock_ms() + timeout_ms;
        for (;;) {
            bool done = true;
            for (std::size_t i = 0; i < conns_.size(); ++i)
                done = done && count_[i] >= target[i];
            if (done)
                return true;
            long long left = deadline - clock_ms();
            if (left <= 0) {
                why = "timeout";
                return false;
            }
            if (!read_some(static_cast<int>(left), why))
                return false;
        }
    }

    std::string tail(std::size_t i) const { return tail_[i]; }

private:
    bool read_some(int timeout_ms, std::string &why)
    {
        std::vector<pollfd> fds;
        for (Conn *c : conns_)
            fds.push_back({c->fd(), POLLIN, 0});
        if (poll(fds.data(), fds.size(), timeout_ms) <= 0)
            return true;
        char chunk[65536];
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = recv(fds[i].fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                why = "client " + std::to_string(i + 1) + " was disconnected";
                return false;
            }
            for (ssize_t k = 0; k < n; ++k) {
                if (last_[i] == '%' && chunk[k] == ' ')
                    ++count_[i];
                last_[i] = chunk[k];
            }
            tail_[i].append(chunk, static_cast<std::size_t>(n));
            if (tail_[i].size() > 2000)
                tail_[i].erase(0, tail_[i].size() - 2000);
        }
        return true;
    }

    std::vector<Conn *> conns_;
    std::vector<long> count_;
    std::vector<char> last_;
    std::vector<std::string> tail_;
};

}  // namespace

TEST_P(HardeningTest, RandomLinesFromFiveClientsAreEachAnsweredWithAPrompt)
{
    ASSERT_EQ(mkdir(server.path("out").c_str(), 0755), 0);
    const int fds_at_start = server.fd_count();
    std::vector<Conn *> clients;
    for (int i = 0; i < 5; ++i)
        clients.push_back(&login());
    for (Conn *c : clients)
        ASSERT_EQ(c->read_quiet(50), "");  // from here on the test reads the sockets itself

    LineMaker maker(20240611);
    Prompts prompts(clients);
    const int ROUNDS = 250;
    int lines = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        std::vector<int> want(clients.size(), 0);
        std::string sent[5];
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if ((round + i) % 4 == 3)
                continue;  // some rounds leave a client idle
            int count = round % 3 == 0 ? 2 : 1;  // now and then a burst of two lines
            std::string burst;
            for (int k = 0; k < count; ++k)
                burst += maker.line() + "\n";
            clients[i]->send(burst);
            sent[i] = burst;
            want[i] = count;
            lines += count;
        }
        std::string why;
        if (!prompts.await(want, 20000, why)) {
            std::string detail;
            for (std::size_t i = 0; i < clients.size(); ++i)
                detail += "\nclient " + std::to_string(i + 1) + " sent \"" + sent[i].substr(0, 300) +
                          "\", last received: \"" + prompts.tail(i).substr(prompts.tail(i).size() > 300 ? prompts.tail(i).size() - 300 : 0) + "\"";
            FAIL() << "round " << round << ": " << why << detail;
        }
        ASSERT_TRUE(server.alive()) << "round " << round;
    }
    std::fprintf(stderr, "[ figures ] %d lines sent by 5 clients\n", lines);

    // Everyone leaves; whatever they started ends, and nothing stays open.
    for (Conn *c : clients) {
        c->send("exit\n");
        EXPECT_TRUE(c->wait_closed(10000));
    }
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }, 15000))
        << "commands of clients that left are still running";
    EXPECT_TRUE(eventually([&] { return server.fd_count() == fds_at_start; }))
        << server.fd_count() << " descriptors open, " << fds_at_start << " at the start:"
        << fd_listing(server.pid());
    EXPECT_EQ(server.zombie_children(), 0);

    logged_in.clear();
    Conn &late = login();
    EXPECT_EQ(late.command("echo fine"), "fine\n");
}

// ---- a server with nothing to do ----

// It sleeps in select, whatever it did before. A deadline left set after
// its reason has gone (a hang-up, a departure, a start that waited) would
// have it spin instead.
TEST_P(HardeningTest, IdleServerUsesNoProcessorTime)
{
    Conn &a = login();
    Conn &b = login();
    EXPECT_EQ(a.command("ls |1"), "");
    a.send("sleep 100\n");
    ASSERT_TRUE(eventually([&] { return child_running(server, "sleep") > 0; }));
    a.reset();
    EXPECT_EQ(b.read_until(LEFT), LEFT);
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
    b.send("exit\n");
    EXPECT_TRUE(b.wait_closed());
    long long before = cpu_ms(server.pid());
    usleep(1000000);
    long long used = cpu_ms(server.pid()) - before;
    EXPECT_LT(used, 200) << "processor time used in a second of nothing, in ms";
}

// ---- clients that do not read ----

TEST_P(HardeningTest, ClientThatNeverReadsIsDroppedWhileOthersAreServed)
{
    Conn &a = login();
    Conn &b = login();
    Conn x(server.port(), 4096);
    ASSERT_TRUE(x.ok());
    std::string x_login = login_line(x.local_port());
    a.read_until(x_login);
    b.read_until(x_login);
    // b has said something to x too, but x had room for it: b's lines do
    // not wait for what others send x later.
    const std::string hello = "*** (no name) yelled ***: hello\n";
    EXPECT_EQ(b.command("yell hello"), hello);
    a.read_until(hello);

    // a's yells fill what the kernel holds for x; then a's next line waits
    // for x, which reads nothing and is dropped 5 s later. b is served at
    // once all along, and gets every yell.
    const std::string msg(65000, 'y');
    const std::string yelled = "*** (no name) yelled ***: " + msg + "\n";
    std::string seen_by_b;
    int yells = 0;
    long long started_at = clock_ms(), cpu_before = cpu_ms(server.pid());
    while (seen_by_b.find(LEFT) == std::string::npos && yells < 150 && !::testing::Test::HasFailure()) {
        a.send("yell " + msg + "\n");
        ++yells;
        long long started = clock_ms();
        seen_by_b += b.command("who", 3000);
        EXPECT_LT(clock_ms() - started, 1000) << "b waited for a's line";
        EXPECT_NE(a.read_prompt(10000).find(yelled), std::string::npos);
    }
    ASSERT_NE(seen_by_b.find(LEFT), std::string::npos) << "a client that never reads is still there after "
                                                        << yells << " yells";
    std::fprintf(stderr, "[ figures ] the non-reader was dropped after %d yells of %zu bytes\n", yells,
                 yelled.size());
    // Most of that time a's line waited for x: the server slept meanwhile.
    EXPECT_LT(cpu_ms(server.pid()) - cpu_before, (clock_ms() - started_at) / 10);
    EXPECT_TRUE(x.wait_closed(5000));

    // Nothing was lost for the readers, and the server goes on as before.
    seen_by_b += b.read_quiet(200, 1000);
    std::size_t count = 0;
    for (std::size_t at = 0; (at = seen_by_b.find(yelled, at)) != std::string::npos; at += yelled.size())
        ++count;
    EXPECT_EQ(count, static_cast<std::size_t>(yells));
    EXPECT_EQ(a.command("echo after"), "after\n");
    Conn &c = login();
    EXPECT_EQ(c.command("who"), WHO_HEADER +
                                    "1\t(no name)\t127.0.0.1:" + std::to_string(a.local_port()) + "\n" +
                                    "2\t(no name)\t127.0.0.1:" + std::to_string(b.local_port()) + "\n" +
                                    "3\t(no name)\t127.0.0.1:" + std::to_string(c.local_port()) + "\t<-me\n");
}

// Nobody who reads is disconnected, however much a line makes for them: a
// line waits for its readers instead. v reads more slowly than a's lines
// produce; in each case everything arrives whole and in order, and the
// server's memory stays small.
TEST_P(HardeningTest, LinesWaitForTheirReadersInsteadOfDroppingThem)
{
    Conn &a = login();
    Conn v(server.port(), 4096);
    ASSERT_TRUE(v.ok());
    std::string v_login = login_line(v.local_port());
    ASSERT_EQ(v.read_until("% "), std::string(BANNER) + v_login + "% ");
    a.read_until(v_login);
    const std::string listing = a.command("ls");
    const std::string yell(64000, 'y'), value(60000, 'x');
    const std::string yelled = "*** (no name) yelled ***: " + yell + "\n";
    std::string amplifier, printenvs, setenvs[7];
    for (int i = 0; i < 400; ++i)
        amplifier += "ls >1 cat <1 ";
    for (int i = 0; i < 30; ++i)
        printenvs += "printenv X |1 ";
    const std::string piped = "*** (no name) (#1) just piped '" + amplifier + "' to (no name) (#1) ***\n";
    const std::string received = "*** (no name) (#1) just received from (no name) (#1) by '" + amplifier + "' ***\n";

    struct Case {
        const char *name;
        std::vector<std::string> v_lines, a_lines;  // v's go first
        std::string v_gets, a_gets;
    };
    std::vector<Case> cases(4);
    // Messages held for v while its command runs.
    cases[0] = {"held", {"sleep 1"}, std::vector<std::string>(17, "yell " + yell), "% ", ""};
    for (int i = 0; i < 17; ++i) {
        cases[0].v_gets += yelled;
        cases[0].a_gets += yelled + "% ";
    }
    // One line whose every command announces the whole line to everybody.
    // It waits for v hundreds of times, often while v's kernel buffers
    // drain: a wait decided on one look and timed on another slept for good.
    cases[1] = {"amplifier", {}, {amplifier}, "", ""};
    for (int i = 0; i < 400; ++i) {
        cases[1].v_gets += piped + received;
        cases[1].a_gets += piped + received + listing;
    }
    cases[1].a_gets += "% ";
    // v's own built-in output, 1.8 MB of it from one line.
    cases[2] = {"own output", {"setenv X " + value, printenvs}, {}, "% % ", ""};
    cases[2].v_gets.insert(2, 30 * (value.size() + 1), 'x');
    for (std::size_t at = 2 + value.size(); at < cases[2].v_gets.size(); at += value.size() + 1)
        cases[2].v_gets[at] = '\n';
    // An environment filled with small variables: each counts with its
    // NUL and a pointer, so 15419 of these fit beside PATH.
    cases[3] = {"environment", {}, {}, "", ""};
    for (int i = 0; i < 24000; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "v%05d", i);
        setenvs[i / 3500] += "setenv " + std::string(name) + " x | ";
        if (i >= 15419)
            cases[3].a_gets += "*** Error: an environment holds at most 262144 bytes; '" + std::string(name) +
                               "' was not set. ***\n";
        if (i % 3500 == 3499 || i == 23999)
            cases[3].a_gets += "% ";
    }
    cases[3].a_lines.assign(setenvs, setenvs + 7);
    cases[3].a_lines.push_back("printenv v15418");
    cases[3].a_lines.push_back("printenv v15419");
    cases[3].a_gets += "x\n% % ";

    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        for (const std::string &line : k.v_lines)
            v.send(line + "\n");
        if (k.name == std::string("held")) {
            ASSERT_TRUE(eventually([&] { return child_running(server, "sleep") > 0; }));
        }
        for (const std::string &line : k.a_lines)
            a.send(line + "\n");
        // v takes 4 KB every 5 ms, less than a's lines make.
        std::string v_got;
        std::thread reader([&] {
            while (v_got.size() < k.v_gets.size() && v.open() && !::testing::Test::HasFailure()) {
                v_got += v.read_exact(std::min<std::size_t>(4096, k.v_gets.size() - v_got.size()), 60000);
                usleep(5000);
            }
        });
        std::string a_got = a.read_exact(k.a_gets.size(), 60000);
        reader.join();
        EXPECT_TRUE(a_got == k.a_gets) << first_difference(k.a_gets, a_got);
        EXPECT_TRUE(v_got == k.v_gets) << first_difference(k.v_gets, v_got);
        EXPECT_TRUE(v.open());
#ifndef __SANITIZE_ADDRESS__  // the checker's own bookkeeping takes far more
        EXPECT_LT(server.rss_kb(), 64 * 1024);
#endif
    }
}

TEST_P(HardeningTest, CommandOutputComesAfterEverythingQueuedBeforeIt)
{
    Conn &a = login();
    Conn b(server.port(), 16384);
    ASSERT_TRUE(b.ok());
    std::string b_login = login_line(b.local_port());
    EXPECT_EQ(b.read_until("% ", 5000), std::string(BANNER) + b_login + "% ");
    a.read_until(b_login);

    // b reads nothing while a yells more than the kernel holds for it.
    Yells yells = yell_until_waiting(a, 60000);
    // b's own command starts only once all of that has gone out.
    b.send("echo mine\n");
    std::string got = b.read_until("mine\n% ", 20000);
    EXPECT_EQ(got.size(), yells.all.size() + 7);
    EXPECT_TRUE(got == yells.all + "mine\n% ") << "queued messages and command output are out of order";
    EXPECT_EQ(a.read_prompt(), yells.pending);
    EXPECT_EQ(a.command("echo after"), "after\n");
}

TEST_P(HardeningTest, QueuedOutputResumesWholeAndInOrderAfterStall)
{
    Conn &a = login();
    Conn x(server.port(), 4096, 536);
    ASSERT_TRUE(x.ok());
    std::string x_login = login_line(x.local_port());
    EXPECT_EQ(x.read_until("% ", 5000), std::string(BANNER) + x_login + "% ");
    a.read_until(x_login);

    // More than the high-water mark waits in the server for x, with a's
    // next yell waiting for x to read it, far below the bound at which it
    // would give up on x, and more than its kernel buffers hold at once.
    Yells yells = yell_until_waiting(a, 4000);
    std::string expected = yells.all;
    // A built-in's answer queues behind them; it starts nothing that would
    // wait for the queue to drain, so only the loop sends the queue.
    x.send("who\n");
    expected += WHO_HEADER + "1\t(no name)\t127.0.0.1:" + std::to_string(a.local_port()) + "\n" +
                "2\t(no name)\t127.0.0.1:" + std::to_string(x.local_port()) + "\t<-me\n% ";
    std::string got = x.read_until("<-me\n% ", 10000);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << first_difference(expected, got);
    EXPECT_EQ(a.read_prompt(), yells.pending);
    EXPECT_EQ(a.command("echo after"), "after\n");
}

TEST_P(HardeningTest, CommandOfClientWhoseQueueCannotDrainIsNotRun)
{
    Conn &a = login();
    Conn x(server.port(), 4096);
    ASSERT_TRUE(x.ok());
    a.read_until(login_line(x.local_port()));
    Yells yells = yell_until_waiting(a, 60000);
    x.send("ls > made_by_x\n");
    // The server gives x a few seconds to read, then gives up on it, and
    // a's line that waited for x goes on.
    EXPECT_EQ(a.read_until(LEFT, 20000), LEFT);
    EXPECT_EQ(a.read_prompt(), yells.pending);
    EXPECT_TRUE(x.wait_closed(5000));
    EXPECT_FALSE(file_exists(server.path("made_by_x")));
    EXPECT_EQ(a.command("echo after"), "after\n");
}

// ---- running out of descriptors ----

namespace {

// A server started with its descriptor limits set to SOFT and HARD.
template <rlim_t SOFT, rlim_t HARD = SOFT>
class DescriptorLimitTest : public HardeningTest {
protected:
    static void set_limit()
    {
        struct rlimit limit = {SOFT, HARD};
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    void SetUp() override
    {
        struct rlimit ours;
        if (getrlimit(RLIMIT_NOFILE, &ours) == 0 && ours.rlim_max < HARD && geteuid() != 0)
            GTEST_SKIP() << "the hard descriptor limit here is below " << HARD;
        start_server(set_limit);
    }
};

using LowDescriptorLimitTest = DescriptorLimitTest<64>;
using ManyPipesTest = DescriptorLimitTest<4096>;
INSTANTIATE_IN_BOTH_MODES(LowDescriptorLimitTest);
INSTANTIATE_IN_BOTH_MODES(ManyPipesTest);
using LowSoftDescriptorLimitTest = DescriptorLimitTest<64, 4096>;
INSTANTIATE_IN_BOTH_MODES(LowSoftDescriptorLimitTest);

// The "Max open files" row of a /proc/PID/limits text: soft and hard.
std::string open_files_row(const std::string &limits)
{
    std::size_t at = limits.find("Max open files");
    if (at == std::string::npos)
        return "";
    std::string row = limits.substr(at + 14, limits.find('\n', at) - at - 14);
    std::istringstream fields(row);
    std::string soft, hard;
    fields >> soft >> hard;
    return soft + " " + hard;
}

}  // namespace

TEST_P(LowDescriptorLimitTest, ExtraClientsAreRefusedCleanlyAndServiceRecovers)
{
    Conn &a = login();
    Conn &b = login();
    const int fds_at_start = server.fd_count();

    // a parks pipes until its share is spent: on a server this small, the
    // two pipes every user may keep.
    const std::string no_pipe =
        "*** Error: cannot create a pipe now (Too many open files); the command did not run. ***\n";
    int parked = 0;
    std::string out;
    while (parked < 40 && (out = a.command("echo parked |1000")) != no_pipe) {
        ASSERT_EQ(out, "");
        ++parked;
    }
    ASSERT_EQ(out, no_pipe);
    EXPECT_EQ(parked, 2);

    // Others do the same, each within its share, until the server has no
    // descriptor left for another pipe or another connection.
    std::vector<std::unique_ptr<Conn>> fillers;
    for (bool full = false; !full && fillers.size() < 28;) {
        fillers.push_back(std::make_unique<Conn>(server.port()));
        Conn &f = *fillers.back();
        std::string got = f.read_until("% ");
        if (!f.open())
            break;
        a.read_until(login_line(f.local_port()));
        b.read_until(login_line(f.local_port()));
        full = f.command("echo parked |1000").find(no_pipe) != std::string::npos;
        parked += !full;
    }
    EXPECT_GE(parked, 10);

    // Newcomers: at most one more fits (a pipe needs two descriptors); the
    // next ones are closed without a word and cost the server nothing.
    int admitted = 0, refused = 0;
    std::vector<std::unique_ptr<Conn>> extra;
    for (int i = 0; i < 4; ++i) {
        extra.push_back(std::make_unique<Conn>(server.port()));
        Conn &c = *extra.back();
        std::string got = c.read_quiet(300, 5000);
        if (c.open()) {
            EXPECT_EQ(got, std::string(BANNER) + login_line(c.local_port()) + "% ");
            a.read_until(login_line(c.local_port()));
            b.read_until(login_line(c.local_port()));
            ++admitted;
        } else {
            EXPECT_EQ(got, "");
            ++refused;
        }
    }
    EXPECT_LE(admitted, 1);
    EXPECT_GE(refused, 3);
    std::fprintf(stderr, "[ figures ] %d descriptors in use, %d pipes parked, %d newcomer(s) admitted, %d refused\n",
                 server.fd_count(), parked, admitted, refused);

    // The logged-in clients keep working; what needs a descriptor fails
    // with a message, and nothing ends up reading or writing where it
    // should not: the failed pipe's reader does not take the user's input,
    // and output meant for a user pipe that could not be made is dropped.
    EXPECT_EQ(b.command("yell still here"), "*** (no name) yelled ***: still here\n");
    EXPECT_EQ(a.read_until("still here\n"), "*** (no name) yelled ***: still here\n");
    EXPECT_EQ(b.command("echo no pipe needed"), "no pipe needed\n");
    EXPECT_EQ(b.command("tell 1 hi"), "");
    EXPECT_EQ(a.read_until("hi\n"), "*** (no name) told you ***: hi\n");
    EXPECT_EQ(b.command("echo lost >1"), "*** Error: the pipe #2->#1 cannot be created now. ***\n");
    EXPECT_EQ(a.command("ls | cat"), no_pipe);
    EXPECT_EQ(b.command("cat <1"), "*** Error: the pipe #1->#2 does not exist yet. ***\n");

    // Everyone leaves, a with its pipes; everything works again.
    extra.clear();
    fillers.clear();
    a.reset();
    b.reset();
    EXPECT_TRUE(eventually([&] { return server.fd_count() == fds_at_start - 2; }))
        << server.fd_count() << " descriptors open, " << fds_at_start - 2 << " expected";
    logged_in.clear();
    Conn &c = login();
    EXPECT_EQ(c.command("echo back | cat"), "back\n");
    Conn &d = login();
    const std::string piped = "*** (no name) (#2) just piped 'ls | cat >1' to (no name) (#1) ***\n";
    EXPECT_EQ(d.command("ls | cat >1"), piped);
    EXPECT_EQ(c.read_until(piped), piped);
    EXPECT_EQ(c.command("cat <2 | wc -l"),
              "*** (no name) (#1) just received from (no name) (#2) by 'cat <2 | wc -l' ***\n"
              "2\n");  // bin and server.log
}

// Over a thousand descriptors held by pending pipes must not push new
// connections past what select can watch.
TEST_P(ManyPipesTest, PendingPipesLeaveRoomForNewConnections)
{
    // Ten users, each within its share ((4096 - 76) / 30 descriptors).
    std::string line;
    for (int i = 0; i < 64; ++i)
        line += "!1000 ";  // each parks a pipe 1000 commands ahead, read only after the ring wraps
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(login().command(line, 60000), "");
    ASSERT_GT(server.fd_count(), 1200);
    for (int i = 0; i < 5; ++i) {
        Conn &c = login();
        EXPECT_EQ(c.command("printenv PATH"), "bin:.\n");
    }
}

// The server takes the hard limit for itself at start-up, so one user's
// pending pipes, far more than the soft limit allows, leave room for
// another user's pipeline. Its commands still run under the soft limit.
TEST_P(LowSoftDescriptorLimitTest, ServerRaisesItsLimitSoPendingPipesLeaveRoom)
{
    EXPECT_EQ(open_files_row(read_file("/proc/" + std::to_string(server.pid()) + "/limits")), "4096 4096");
    Conn &a = login();
    Conn &b = login();
    std::string line;
    for (int i = 0; i < 60; ++i)
        line += "!1000 ";  // each parks a pipe, read only after the ring wraps
    EXPECT_EQ(a.command(line, 60000), "");
    EXPECT_GT(server.fd_count(), 120);
    EXPECT_EQ(b.command("ls | wc -l"), "2\n");  // bin and server.log
    EXPECT_EQ(open_files_row(b.command("cat /proc/self/limits")), "64 4096");
}
