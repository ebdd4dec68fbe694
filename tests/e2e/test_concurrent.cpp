// One user's command and the others: in the default mode a foreground
// command holds up everybody until it ends; with --concurrent it holds up
// only its own user, who gets what others said meanwhile after the line's
// prompt. In both modes a broken connection hangs up its foreground
// command, while a half-closed one still gets everything.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <thread>
#include <time.h>

#include "harness.h"

using namespace e2e;

namespace {

const std::string LEFT = "*** User '(no name)' left. ***\n";

std::string yelled(const std::string &msg)
{
    return "*** (no name) yelled ***: " + msg + "\n";
}

}  // namespace

// ---- both modes ----

class ForegroundTest : public e2e::ModeTest {};
INSTANTIATE_IN_BOTH_MODES(ForegroundTest);

TEST_P(ForegroundTest, LineGoesOnAfterItsForegroundCommandsWithTheSameCounter)
{
    Conn &a = login();
    write_file(server.path("small.txt"), "one\ntwo\n");
    EXPECT_EQ(a.command("slovrel 1 small.txt > out.txt cat out.txt"), "one\ntwo\n");
    // A numbered pipe crosses a foreground command of the same line.
    EXPECT_EQ(a.command("cat small.txt |2 slovrel 1 small.txt > out.txt cat"), "one\ntwo\n");
}

TEST_P(ForegroundTest, ResetConnectionHangsUpItsCommandAndTheUserLeaves)
{
    Conn &a = login();
    Conn &b = login();
    a.send("sleep 30\n");
    ASSERT_TRUE(eventually([&] { return child_running(server, "sleep") > 0; }));
    long long start = clock_ms();
    a.reset();
    EXPECT_EQ(b.read_until(LEFT, 3000), LEFT);
    EXPECT_LT(clock_ms() - start, 2000);
    EXPECT_NE(b.command("who").find("<-me"), std::string::npos);
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
}

// A command that ignores the hang-up is killed 2 s later; in the default
// mode everybody waits for that, and no longer.
TEST_P(ForegroundTest, CommandThatIgnoresTheHangUpIsKilled)
{
    ASSERT_EQ(symlink("/usr/bin/nohup", server.path("bin/nohup").c_str()), 0);
    Conn &a = login();
    Conn &b = login();
    a.send("nohup sleep 30\n");
    ASSERT_TRUE(eventually([&] { return child_running(server, "sleep") > 0; }));
    long long start = clock_ms();
    a.reset();
    EXPECT_EQ(b.read_until(LEFT, 5000), LEFT);
    long long took = clock_ms() - start;
    EXPECT_GE(took, 1500);
    EXPECT_LT(took, 4000);
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
}

// nc -N: the script, then a half-close. The client still reads, so its
// command runs to its end and its output arrives whole.
TEST_P(ForegroundTest, HalfCloseIsNoHangUp)
{
    Conn &a = login();
    Conn &b = login();
    write_file(server.path("small.txt"), "kept\n");
    long long start = clock_ms();
    a.send("slovrel 1 small.txt\n");
    shutdown(a.fd(), SHUT_WR);
    std::string rest;
    EXPECT_TRUE(a.wait_closed(5000, &rest));
    EXPECT_EQ(rest, "kept\n% ");
    EXPECT_GE(clock_ms() - start, 900);
    EXPECT_EQ(b.read_until(LEFT), LEFT);
    Conn &c = login();  // id 1 is free again
    EXPECT_NE(c.command("who").find("1\t(no name)\t127.0.0.1:" + std::to_string(c.local_port()) + "\t<-me"),
              std::string::npos);
    EXPECT_EQ(server.zombie_children(), 0);
}

// ---- default mode ----

class SerialTest : public e2e::ServerTest {};

TEST_F(SerialTest, ForegroundCommandHoldsUpEveryOtherUser)
{
    Conn &a = login();
    Conn &b = login();
    long long start = clock_ms();
    a.send("sleep 2\n");
    ASSERT_TRUE(eventually([&] { return child_running(server, "sleep") > 0; }));
    b.send("who\n");
    EXPECT_NE(b.read_prompt(5000).find("<-me"), std::string::npos);
    EXPECT_GE(clock_ms() - start, 1800);
    EXPECT_EQ(a.read_prompt(), "% ");
}

// A user whose lines keep coming still lets the others have their turn:
// one line each, in ascending order.
TEST_F(SerialTest, UsersTakeTurnsLineByLine)
{
    Conn &a = login();
    Conn &b = login();
    std::string lines;
    for (int i = 0; i < 20; ++i)
        lines += "sleep 0.2\n";
    a.send(lines);
    ASSERT_TRUE(eventually([&] { return child_running(server, "sleep") > 0; }));
    long long start = clock_ms();
    EXPECT_NE(b.command("who", 5000).find("<-me"), std::string::npos);
    EXPECT_LT(clock_ms() - start, 1000);  // a's twenty lines take four seconds
}

// Users who typed while a foreground command held everybody up are served
// in ascending id order once it has ended, whoever typed first, and a
// newcomer who connected meanwhile is announced before their lines.
TEST_F(SerialTest, AfterAHoldTheWaitingAreServedInIdOrderAfterNewcomers)
{
    Conn &a = login();
    Conn &b = login();
    Conn &c = login();
    b.send("sleep 1\n");
    ASSERT_TRUE(eventually([&] { return child_running(server, "sleep") > 0; }));
    c.send("yell three\n");
    a.send("yell one\n");
    Conn &d = connect_raw();
    std::string newcomer = login_line(d.local_port());
    std::string after = newcomer + yelled("one") + yelled("three");
    EXPECT_EQ(b.read_prompt(3000), "% ");
    EXPECT_EQ(b.read_until(yelled("three")), after);
    EXPECT_EQ(a.read_until(yelled("three")), newcomer + yelled("one") + "% " + yelled("three"));
    EXPECT_EQ(c.read_until(yelled("three")), newcomer + yelled("one") + yelled("three"));
    EXPECT_EQ(d.read_until(yelled("three")), BANNER + newcomer + "% " + yelled("one") + yelled("three"));
}

// ---- concurrent mode ----

class ConcurrentTest : public e2e::ServerTest {
protected:
    Mode mode() const override { return Mode::Concurrent; }
};

// While A's head reads two lines of A's connection, B and a newcomer are
// served; A gets their messages after its prompt, in their order. Bytes
// the server had read before the command started stay A's next line.
TEST_F(ConcurrentTest, OthersAreServedAndTheirMessagesFollowThePrompt)
{
    Conn &a = login();
    Conn &b = login();
    a.send("head -n 2\nprintenv PATH\n");
    ASSERT_TRUE(eventually([&] { return child_running(server, "head") > 0; }));
    EXPECT_NE(b.command("who", 1000).find("<-me"), std::string::npos);
    Conn &c = connect_raw();
    std::string newcomer = login_line(c.local_port());
    EXPECT_NE(c.read_prompt().find(newcomer), std::string::npos);
    EXPECT_EQ(b.read_until(newcomer), newcomer);
    EXPECT_EQ(b.command("yell hello", 1000), yelled("hello"));
    EXPECT_EQ(c.read_until("\n"), yelled("hello"));
    EXPECT_EQ(c.command("tell 1 psst"), "");
    EXPECT_EQ(a.read_quiet(200, 300), "");  // nothing reaches A meanwhile

    a.send("first\nsecond\n");
    EXPECT_EQ(a.read_prompt(), "first\nsecond\n% ");
    EXPECT_EQ(a.read_until("psst\n"), newcomer + yelled("hello") + "*** (no name) told you ***: psst\n");
    EXPECT_EQ(a.read_prompt(), "bin:.\n% ");  // the line read before head started
}

// Through a small window: most of them are still queued when A is gone,
// and go out in many pieces after.
TEST_F(ConcurrentTest, MessagesHeldForALineThatEndsWithExitGoOutBeforeTheClose)
{
    Conn &a = login(4096, 536);
    Conn &b = login();
    write_file(server.path("small.txt"), "x\n");
    a.send("slovrel 2 small.txt > out.txt exit\n");
    ASSERT_TRUE(eventually([&] { return child_running(server, "slovrel") > 0; }));
    std::string all;
    for (int i = 0; i < 2; ++i) {
        std::string msg = "#" + std::to_string(i) + " " + std::string(50000, static_cast<char>('a' + i));
        EXPECT_EQ(b.command("yell " + msg, 1000), yelled(msg));
        all += yelled(msg);
    }
    // Past the high-water mark b's next line waits for a's to end.
    EXPECT_EQ(b.command("yell bye", 5000), LEFT + yelled("bye"));
    std::string rest;
    EXPECT_TRUE(a.wait_closed(5000, &rest));
    EXPECT_EQ(rest.size(), all.size());
    EXPECT_TRUE(rest == all);
}

// What others say to a client whose line runs is held for it; past the
// high-water mark their lines wait rather than have it dropped. A's cat
// waits for B's background command while B's lines wait for A's held
// messages: nobody waits for good.
TEST_F(ConcurrentTest, HeldMessagesHoldUpTheirSendersNotTheHolder)
{
    Conn &a = login();
    Conn &b = login();
    const std::string piped = "*** (no name) (#2) just piped 'ls |1 slovrel 1 >1' to (no name) (#1) ***\n";
    EXPECT_EQ(b.command("ls |1 slovrel 1 >1"), piped);
    a.read_until(piped);
    a.send("cat <2\n");
    const std::string received = "*** (no name) (#1) just received from (no name) (#2) by 'cat <2' ***\n";
    EXPECT_EQ(a.read_until(received), received);
    EXPECT_EQ(b.read_until(received), received);
    std::string big(60000, 'y'), yells, answers;
    for (int i = 0; i < 18; ++i) {
        b.send("yell " + big + "\n");
        yells += yelled(big);
        answers += yelled(big) + "% ";
    }
    // Both read all along: each waits for what the other's line says.
    std::string b_got;
    std::thread reader([&] { b_got = b.read_exact(answers.size(), 10000); });
    EXPECT_EQ(a.read_until("% ", 10000), "bin\nserver.log\n% ");
    EXPECT_EQ(a.read_exact(yells.size(), 10000), yells);
    reader.join();
    EXPECT_EQ(b_got, answers);
    EXPECT_TRUE(a.open() && b.open());
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
}

// benivox waits for someone to read the pipe to its own user, while cat
// waits for benivox: that user is stuck, nobody else is.
TEST_F(ConcurrentTest, SelfInflictedDeadlockHoldsOnlyItsUser)
{
    Conn &a = login();
    Conn &b = login();
    a.send("benivox >1 ! cat\n");
    EXPECT_EQ(a.read_until("***\n"), "*** (no name) (#1) just piped 'benivox >1 ! cat' to (no name) (#1) ***\n");
    EXPECT_EQ(b.read_until("***\n"), "*** (no name) (#1) just piped 'benivox >1 ! cat' to (no name) (#1) ***\n");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(b.command("ls | wc -l", 1000), "2\n");  // bin and server.log
    a.reset();
    EXPECT_EQ(b.read_until(LEFT), LEFT);
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
}

TEST_F(ConcurrentTest, ThirtyShortCommandsAtOnceEndTogether)
{
    std::vector<Conn *> users;
    for (int i = 0; i < 30; ++i)
        users.push_back(&login());
    for (Conn *u : users)
        u->read_quiet(50, 200);  // later log-ins
    long long start = clock_ms();
    for (Conn *u : users)
        u->send("sleep 1\n");
    for (Conn *u : users)
        EXPECT_EQ(u->read_prompt(3000), "% ");
    EXPECT_LT(clock_ms() - start, 2500);

    // The last id is a user like any other: it can be told, and its
    // connection is watched and its command hung up and killed.
    EXPECT_EQ(users[0]->command("tell 30 last"), "");
    EXPECT_EQ(users[29]->read_until("\n"), "*** (no name) told you ***: last\n");
    ASSERT_EQ(symlink("/usr/bin/nohup", server.path("bin/nohup").c_str()), 0);
    users[29]->send("nohup sleep 30\n");
    ASSERT_TRUE(eventually([&] { return child_running(server, "sleep") > 0; }));
    users[29]->reset();
    EXPECT_EQ(users[0]->read_until(LEFT, 5000), LEFT);
}

// A line of thousands of commands is run a few at a time, between other
// clients' work.
TEST_F(ConcurrentTest, LongLineTakesTurnsWithOthers)
{
    Conn &a = login();
    Conn &b = login();
    std::string line;
    while (line.size() < 65000)
        line += "true |1 ";
    a.send(line + "\n");
    std::vector<long long> trips;
    for (int i = 0; i < 5; ++i) {
        long long start = clock_ms();
        EXPECT_EQ(b.command("printenv PATH", 2000), "bin:.\n");
        trips.push_back(clock_ms() - start);
    }
    EXPECT_EQ(a.read_quiet(1, 1), "");  // still running
    std::sort(trips.begin(), trips.end());
    EXPECT_LT(trips[2], 500);  // the whole line takes seconds
}
