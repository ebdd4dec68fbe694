// test_executor.cpp -- end to end: built-in and external commands, the
// numbered-pipe ring of a client, output files, what a started command
// inherits from the server, and what users see when the server cannot
// start a process or make a pipe.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

using namespace e2e;

class ExecutorTest : public e2e::ModeTest {};
INSTANTIATE_IN_BOTH_MODES(ExecutorTest);

namespace {

const char UNKNOWN_NOSUCHCMD[] = "Unknown command: [nosuchcmd].\n";

// A line of n commands that print nothing and touch no pipe; each one moves
// the client's command counter on by one.
std::string silent_commands(int n)
{
    std::string line;
    for (int i = 0; i < n; ++i)
        line += (i ? " | " : "") + std::string("printenv NOSUCH");
    return line;
}

// Runs n silent commands, in lines short enough to be accepted.
void skip_commands(Conn &c, int n)
{
    while (n > 0) {
        int now = std::min(n, 1000);
        EXPECT_EQ(c.command(silent_commands(now)), "");
        n -= now;
    }
}

// Sends every line at once and returns what arrives up to the prompt after
// the last one, prompts removed: output of a background command may come
// before or after the prompt of its own line.
std::string run_lines(Conn &c, const std::vector<std::string> &lines)
{
    for (const std::string &line : lines)
        c.send(line + "\n");
    std::string all;
    for (std::size_t i = 0; i < lines.size(); ++i)
        all += c.read_prompt();
    for (std::size_t at; (at = all.find("% ")) != std::string::npos;)
        all.erase(at, 2);
    return all;
}

// What descriptor fd of pid refers to, e.g. "socket:[123]" or "pipe:[45]".
std::string fd_target(pid_t pid, int fd)
{
    char buf[256];
    std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// The state letter of a process, from /proc/PID/stat ('S' asleep, 'T'
// stopped); '?' when it is gone.
char state_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(in, text);
    std::size_t close_paren = text.rfind(')');
    return close_paren != std::string::npos && close_paren + 2 < text.size() ? text[close_paren + 2] : '?';
}

// True when pid sleeps inside a write to its standard error.
bool blocked_writing_stderr(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    std::string call;
    std::getline(in, call);
    return state_of(pid) == 'S' && call.rfind(std::to_string(SYS_write) + " 0x2 ", 0) == 0;
}

std::vector<int> sorted_fds(pid_t pid)
{
    std::vector<int> fds = fds_of(pid);
    std::sort(fds.begin(), fds.end());
    return fds;
}

}  // namespace

// ---- built-in commands ----

TEST_P(ExecutorTest, BuiltinsRunInServerAndIgnoreEveryMarker)
{
    Conn &a = login();
    const int base = server.fd_count();
    EXPECT_EQ(a.command("printenv PATH"), "bin:.\n");
    EXPECT_EQ(a.command("printenv NOSUCH"), "");

    // Two built-ins joined by a pipe: no pipe, the value reaches the client.
    EXPECT_EQ(a.command("setenv A 1 | printenv A"), "1\n");
    EXPECT_EQ(a.command("setenv A 2 !1"), "");
    EXPECT_EQ(a.command("printenv A"), "2\n");

    // Markers of a built-in make no pipe and no file.
    std::string who = a.command("who");
    EXPECT_EQ(a.command("who |1"), who);
    EXPECT_EQ(a.command("who > w"), who);
    EXPECT_EQ(a.command("printenv PATH > f"), "bin:.\n");
    EXPECT_EQ(a.command("printenv PATH |3"), "bin:.\n");
    EXPECT_FALSE(file_exists(server.path("w")));
    EXPECT_FALSE(file_exists(server.path("f")));
    EXPECT_EQ(server.fd_count(), base);
}

TEST_P(ExecutorTest, BuiltinsWithMissingArgumentsAnswerWithUsage)
{
    Conn &a = login();
    EXPECT_EQ(a.command("setenv"), "Usage: setenv [name] [value]\n");
    EXPECT_EQ(a.command("setenv A"), "Usage: setenv [name] [value]\n");
    EXPECT_EQ(a.command("printenv"), "Usage: printenv [name]\n");
    EXPECT_EQ(a.command("tell"), "Usage: tell [user id] [message]\n");
    EXPECT_EQ(a.command("name"), "Usage: name [new name]\n");
    EXPECT_EQ(a.command("setenv A=B 1"), "*** Error: 'A=B' is not a variable name. ***\n");
    EXPECT_EQ(a.command("printenv A"), "");
    EXPECT_EQ(a.command("setenv | printenv | setenv B 7 | printenv B"),
              "Usage: setenv [name] [value]\nUsage: printenv [name]\n7\n");
    EXPECT_TRUE(server.alive());
}

// ---- external commands and their pipes ----

TEST_P(ExecutorTest, PipesJoinCommandsAndSharedPipeEndsAfterLastWriter)
{
    Conn &a = login();
    write_file(server.path("note"), "late\n");
    const std::string here = a.command("ls");
    const std::string in_bin = a.command("ls bin");
    ASSERT_NE(here.find("note\n"), std::string::npos);
    ASSERT_NE(in_bin.find("cat\n"), std::string::npos);

    EXPECT_EQ(a.command("ls bin | cat | cat"), in_bin);

    // Two commands numbered to the same later one write into one pipe; the
    // first writer has ended before the second starts, so the order is fixed.
    EXPECT_EQ(a.command("ls |2"), "");
    ASSERT_TRUE(eventually([&] { return server.children().empty(); }));
    EXPECT_EQ(a.command("ls bin |1"), "");
    EXPECT_EQ(a.command("cat"), here + in_bin);

    // The reader sees the end of its input only once the delayed writer has
    // written and ended too.
    EXPECT_EQ(a.command("ls |2"), "");
    ASSERT_TRUE(eventually([&] { return server.children().empty(); }));
    EXPECT_EQ(a.command("slovrel 1 note |1"), "");
    EXPECT_EQ(a.command("cat"), here + "late\n");
}

TEST_P(ExecutorTest, ErrorPipeCarriesStandardErrorToo)
{
    Conn &a = login();
    const std::string err = a.command("ls nosuchfile");
    ASSERT_NE(err.find("nosuchfile"), std::string::npos);

    EXPECT_EQ(a.command("ls nosuchfile !1"), "");
    EXPECT_EQ(a.command("cat"), err);

    // With |1 the error goes straight to the client and the reader gets
    // only standard output: nothing.
    EXPECT_EQ(run_lines(a, {"ls nosuchfile |1", "cat"}), err);

    // Both streams into one pipe.
    EXPECT_EQ(a.command("ls bin nosuchfile !1"), "");
    std::string both = a.command("cat");
    EXPECT_NE(both.find(err), std::string::npos);
    EXPECT_NE(both.find("cat\n"), std::string::npos);
}

TEST_P(ExecutorTest, UnknownCommandsOfAnyLengthAreReportedWhole)
{
    Conn &a = login();
    EXPECT_EQ(a.command("nosuchcmd"), UNKNOWN_NOSUCHCMD);
    EXPECT_EQ(a.command("nosuchcmd some words"), UNKNOWN_NOSUCHCMD);
    // Into |1 the text reaches the client and the reader gets an empty input.
    EXPECT_EQ(run_lines(a, {"nosuchcmd |1", "cat"}), UNKNOWN_NOSUCHCMD);
    // Into !1 the text is the reader's input.
    EXPECT_EQ(a.command("nosuchcmd !1"), "");
    EXPECT_EQ(a.command("cat"), UNKNOWN_NOSUCHCMD);

    const std::string long_name(5000, 'q');
    EXPECT_EQ(a.command(long_name), "Unknown command: [" + long_name + "].\n");

    // Every word reaches the program, however many there are.
    std::string line = "echo", expected;
    for (int i = 0; i < 600; ++i) {
        line += " w" + std::to_string(i);
        expected += (i ? " w" : "w") + std::to_string(i);
    }
    EXPECT_EQ(a.command(line), expected + "\n");
    EXPECT_EQ(a.command("printenv PATH"), "bin:.\n");
}

// What a child sharing the server's memory must not do before its exec is
// done by a forked one: a script without #! runs through /bin/sh, and an
// unknown command's report into a full pipe holds up nobody meanwhile.
TEST_P(ExecutorTest, StartsThatCannotBeSpawnedAreForked)
{
    Conn &a = login();
    Conn &b = login();
    write_file(server.path("bin/hello"), "echo hello from a script\n");
    ASSERT_EQ(chmod(server.path("bin/hello").c_str(), 0755), 0);
    EXPECT_EQ(a.command("hello"), "hello from a script\n");
    EXPECT_EQ(a.command("benivox |2 nosuchcmd !1", 2000), "");
    EXPECT_NE(b.command("who", 2000).find("<-me"), std::string::npos);
    EXPECT_EQ(a.command("wc -l"), "5001\n");
}

// A write that blocks on a full pipe returns short when a signal comes after
// part of the text went in; a stop and continue (job control, a debugger)
// is such a signal. The child must write the rest, and only the rest.
TEST_P(ExecutorTest, ErrorTextWrittenInPiecesArrivesWholeAndOnce)
{
    Conn &a = login();
    // 50000 bytes wait for the reader, less than the pipe holds, so cat ends.
    const std::string fill(50000, 'f');
    write_file(server.path("fill"), fill);
    EXPECT_EQ(a.command("cat fill !2"), "");
    ASSERT_TRUE(eventually([&] { return server.children().empty(); }));
    // 20021 bytes of error text into the same pipe: part fits, then it blocks.
    const std::string name(20000, 'q');
    EXPECT_EQ(a.command(name + " !1"), "");
    pid_t writer = -1;
    ASSERT_TRUE(eventually([&] {
        std::vector<pid_t> kids = server.children();
        writer = kids.size() == 1 ? kids[0] : -1;
        return writer > 0 && blocked_writing_stderr(writer);
    })) << "no child blocked writing its error text";
    kill(writer, SIGSTOP);
    EXPECT_TRUE(eventually([&] { return state_of(writer) == 'T'; }));
    kill(writer, SIGCONT);
    const std::string want = fill + "Unknown command: [" + name + "].\n";
    const std::string got = a.command("cat");
    EXPECT_TRUE(got == want) << "received " << got.size() << " bytes of " << want.size()
                             << ", first wrong at byte "
                             << std::mismatch(want.begin(), want.end(), got.begin(), got.end()).first - want.begin();
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
}

// ---- output files ----

TEST_P(ExecutorTest, OutputFileTakesStandardOutputOnly)
{
    Conn &a = login();
    write_file(server.path("f"), std::string(10000, 'x'));

    // The file replaces the pipe on standard output: the reader gets nothing
    // (and may end before ls has written the file).
    EXPECT_EQ(a.command("ls > f |1"), "");
    EXPECT_EQ(a.command("cat"), "");
    const std::string here = a.command("ls");
    EXPECT_TRUE(eventually([&] { return read_file(server.path("f")) == here; }))
        << "f holds: " << read_file(server.path("f"));

    // With !1 standard error still goes into the pipe.
    const std::string err = a.command("ls nosuchfile");
    EXPECT_EQ(a.command("ls nosuchfile > f !1"), "");
    EXPECT_EQ(a.command("cat"), err);
    EXPECT_EQ(read_file(server.path("f")), "");

    // The file is created or truncated even when no program runs.
    write_file(server.path("g"), "old contents\n");
    EXPECT_EQ(a.command("> g"), "Unknown command: [].\n");
    EXPECT_TRUE(file_exists(server.path("g")));
    EXPECT_EQ(read_file(server.path("g")), "");
    EXPECT_EQ(a.command("nosuchcmd > h"), UNKNOWN_NOSUCHCMD);
    EXPECT_TRUE(file_exists(server.path("h")));
    EXPECT_EQ(read_file(server.path("h")), "");

    EXPECT_EQ(a.command("ls bin > bin/../copy"), "");
    EXPECT_EQ(read_file(server.path("copy")), a.command("ls bin"));
}

TEST_P(ExecutorTest, FileThatCannotBeOpenedIsReportedAndProgramDoesNotRun)
{
    Conn &a = login();
    EXPECT_EQ(a.command("ls > nodir/f"),
              "*** Error: cannot open 'nodir/f' for writing: No such file or directory. ***\n");
    EXPECT_EQ(a.command("ls > bin"), "*** Error: cannot open 'bin' for writing: Is a directory. ***\n");
    EXPECT_EQ(a.command("> nodir/f"),
              "*** Error: cannot open 'nodir/f' for writing: No such file or directory. ***\n");
    // Into !1: the pipe holds the error text and nothing from ls, which never ran.
    EXPECT_EQ(a.command("ls > nodir/f !1"), "");
    EXPECT_EQ(a.command("cat"),
              "*** Error: cannot open 'nodir/f' for writing: No such file or directory. ***\n");
    EXPECT_FALSE(file_exists(server.path("nodir")));
    EXPECT_EQ(a.command("printenv PATH"), "bin:.\n");
    EXPECT_TRUE(eventually([&] { return server.zombie_children() == 0; }));
}

// ---- the ring ----

TEST_P(ExecutorTest, RingWrapsAndPendingPipeWaitsFullCircle)
{
    Conn &a = login();
    const std::string here = a.command("ls");       // pc 1
    const std::string in_bin = a.command("ls bin");  // pc 2
    // pc 3: its pipe lands in the slot of the built-in at pc 4, which
    // leaves it there for the command at that slot 1001 commands later.
    EXPECT_EQ(a.command("ls |1"), "");
    std::string who = a.command("who");  // pc 4
    EXPECT_NE(who.find("<-me"), std::string::npos);
    skip_commands(a, 995);  // pc 5..999
    // pc 1000 writes into slot 0, read by the next command.
    EXPECT_EQ(a.command("ls bin |1"), "");
    EXPECT_EQ(a.command("cat"), in_bin);  // pc 0
    skip_commands(a, 3);                 // pc 1..3
    EXPECT_EQ(a.command("cat"), here);    // pc 4, back at the built-in's slot
    EXPECT_EQ(a.command("ls | cat"), here);
}

TEST_P(ExecutorTest, DistancesAreTakenModuloRingSize)
{
    Conn &a = login();
    const std::string here = a.command("ls");  // pc 1

    // -1 is 1000: read 1000 commands later, not earlier.
    EXPECT_EQ(a.command("ls |-1"), "");  // pc 2 -> slot 1
    skip_commands(a, 999);                // pc 3..1000, 0
    EXPECT_EQ(a.command("cat"), here);    // pc 1

    // The largest int is brought into range, not overflowed: 2147483647 % 1001 == 309.
    EXPECT_EQ(a.command("ls |2147483647"), "");  // pc 2 -> slot 311
    skip_commands(a, 308);
    EXPECT_EQ(a.command("cat"), here);  // pc 311

    // A multiple of 1001 names the command's own slot: with nothing pending
    // the command reads an immediate end of input, writes to the client, and
    // the server does not wait for it.
    EXPECT_EQ(a.command("cat |0"), "");
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
    EXPECT_EQ(a.command("cat !-2002"), "");
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
    // A pipe pending in the own slot is read, and the output still goes to
    // the client.
    EXPECT_EQ(a.command("ls bin |1"), "");
    std::string out = a.command("cat |1001");
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
    out += a.read_quiet(200);
    EXPECT_EQ(out, a.command("ls bin"));
    EXPECT_EQ(a.command("printenv PATH"), "bin:.\n");
}

// ---- children ----

TEST_P(ExecutorTest, ForegroundWaitOutlastsBackgroundChildren)
{
    Conn &a = login();
    write_file(server.path("note"), "late\n");
    // The prompt comes back while the background writer still runs; the
    // reader then waits for it.
    EXPECT_EQ(a.command("slovrel 1 note |1"), "");
    EXPECT_EQ(a.command("cat"), "late\n");

    // A background child ending during a foreground wait does not end the
    // wait early: the output comes before the prompt.
    EXPECT_EQ(a.command("sleep 1 |5"), "");
    EXPECT_EQ(a.command("slovrel 2 note"), "late\n");
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
    EXPECT_EQ(server.zombie_children(), 0);
}

TEST_P(ExecutorTest, StartedCommandHoldsOnlyItsStandardDescriptors)
{
    Conn &a = login();
    Conn &b = login();
    // B holds a user pipe to A and pending numbered pipes.
    const std::string piped = "*** (no name) (#2) just piped 'ls >1' to (no name) (#1) ***\n";
    EXPECT_EQ(b.command("ls >1"), piped);  // pc 1
    EXPECT_EQ(a.read_until("***\n"), piped);
    EXPECT_EQ(b.command("ls |2"), "");  // pc 2 -> slot 4
    EXPECT_EQ(b.command("ls |5"), "");  // pc 3 -> slot 8

    EXPECT_EQ(a.command("sleep 30 |1"), "");
    pid_t sleeper = -1;
    EXPECT_TRUE(eventually([&] {
        sleeper = child_running(server, "sleep");
        return sleeper > 0 && sorted_fds(sleeper) == std::vector<int>{0, 1, 2};
    })) << "descriptors of the command: " << ::testing::PrintToString(sorted_fds(sleeper));
    EXPECT_EQ(fd_target(sleeper, 0).rfind("socket:", 0), 0u);
    EXPECT_EQ(fd_target(sleeper, 1).rfind("pipe:", 0), 0u);
    EXPECT_EQ(fd_target(sleeper, 2), fd_target(sleeper, 0));

    // The sleeper holds none of B's pipes: B's reader ends at once.
    EXPECT_EQ(b.command("cat"), a.command("ls"));
    const std::string received = "*** (no name) (#1) just received from (no name) (#2) by 'cat <2' ***\n";
    std::string got = a.command("cat <2");
    EXPECT_EQ(got.substr(0, received.size()), received);
    EXPECT_EQ(b.read_until("***\n"), received);

    // Nor B's socket: when B leaves its connection really closes.
    b.send("exit\n");
    EXPECT_TRUE(b.wait_closed(3000));
    EXPECT_EQ(a.read_until("\n"), "*** User '(no name)' left. ***\n");
    EXPECT_GT(child_running(server, "sleep"), 0);
}

// A child that blocks writing its error text into a full pipe, or opening
// a FIFO nobody reads, holds nothing but its own 0, 1 and 2 meanwhile: the
// readers of every other pipe, its own user's and other users', still see
// the end of their input.
TEST_P(ExecutorTest, ChildBlockedBeforeStartingHoldsNoOtherPipe)
{
    Conn &a = login();
    Conn &h = login();
    ASSERT_EQ(mkfifo(server.path("fifo").c_str(), 0644), 0);
    std::string listing = a.command("ls");
    EXPECT_EQ(a.command("benivox |4"), "");       // fills the pipe 4 commands on
    EXPECT_EQ(a.command("ls |2"), "");
    EXPECT_EQ(a.command("ls >31 !2"), "");        // its error text meets the full pipe
    EXPECT_EQ(a.command("cat", 3000), listing);   // reads what ls |2 wrote

    const std::string piped = "*** (no name) (#2) just piped 'ls >1' to (no name) (#1) ***\n";
    EXPECT_EQ(h.command("ls >1"), piped);
    EXPECT_EQ(a.read_until("***\n"), piped);
    EXPECT_EQ(h.command("benivox |2"), "");
    EXPECT_EQ(h.command("ls >31 !1"), "");
    EXPECT_EQ(h.command("ls > fifo |1"), "");    // opening the FIFO waits for a reader
    const std::string received = "*** (no name) (#1) just received from (no name) (#2) by 'cat <2' ***\n";
    EXPECT_EQ(a.command("cat <2", 3000), received + listing);
    EXPECT_EQ(h.read_until("***\n"), received);
}

TEST_P(ExecutorTest, DepartingClientsPendingPipesAreClosed)
{
    Conn &a = login();
    const int base = server.fd_count();
    Conn &b = login();
    // A writer that never stops on its own: it ends only when the pipe's
    // last reader, held by the server for B's later command, is closed.
    EXPECT_EQ(b.command("yes |5"), "");
    EXPECT_EQ(b.command("ls |7"), "");
    b.send("exit\n");
    EXPECT_TRUE(b.wait_closed());
    EXPECT_EQ(a.read_until("\n"), "*** User '(no name)' left. ***\n");
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
    EXPECT_TRUE(eventually([&] { return server.fd_count() == base; })) << server.fd_count() << " vs " << base;

    // The same when the input simply ends.
    Conn &c = login();
    EXPECT_EQ(c.command("yes |3"), "");
    shutdown(c.fd(), SHUT_WR);
    EXPECT_TRUE(c.wait_closed());
    EXPECT_EQ(a.read_until("\n"), "*** User '(no name)' left. ***\n");
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
    EXPECT_TRUE(eventually([&] { return server.fd_count() == base; })) << server.fd_count() << " vs " << base;
}

TEST_P(ExecutorTest, ManyMixedLinesLeaveNoDescriptorsOrZombies)
{
    Conn &a = login();
    write_file(server.path("note"), "late\n");
    write_file(server.path("out"), "");
    const std::string here = a.command("ls");
    const std::string in_bin = a.command("ls bin");
    const std::string err = a.command("ls nosuchfile");
    const int base = server.fd_count();
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(a.command("ls | cat"), here);
        EXPECT_EQ(a.command("ls |2 ls bin |1 cat | wc -l"),
                  std::to_string(std::count(here.begin(), here.end(), '\n') +
                                 std::count(in_bin.begin(), in_bin.end(), '\n')) + "\n");
        EXPECT_EQ(a.command("nosuchcmd !1 cat"), UNKNOWN_NOSUCHCMD);
        EXPECT_EQ(a.command("ls nosuchfile > out !1 cat"), err);
        EXPECT_EQ(a.command("ls > nodir/f"),
                  "*** Error: cannot open 'nodir/f' for writing: No such file or directory. ***\n");
        EXPECT_EQ(a.command("setenv A 1 | printenv A"), "1\n");
        EXPECT_EQ(a.command("cat note |2 true !1 cat"), "late\n");
        EXPECT_EQ(a.command("true |0"), "");
        std::string user_pipe = a.command("ls bin >1 cat <1");
        EXPECT_NE(user_pipe.find(in_bin), std::string::npos);
    }
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
    EXPECT_EQ(server.zombie_children(), 0);
    EXPECT_TRUE(eventually([&] { return server.fd_count() == base; })) << server.fd_count() << " vs " << base;
}

// ---- a server short of descriptors ----

namespace {

void limit_descriptors()
{
    struct rlimit lim = {24, 24};
    setrlimit(RLIMIT_NOFILE, &lim);
}

}  // namespace

class ExecutorLowFdTest : public ExecutorTest {
protected:
    void SetUp() override { start_server(limit_descriptors); }
};

INSTANTIATE_IN_BOTH_MODES(ExecutorLowFdTest);

TEST_P(ExecutorLowFdTest, PipeShortageIsReportedAndServerRecovers)
{
    Conn &a = login();
    const int base = server.fd_count();
    const std::string here = a.command("ls");  // pc 1
    int pc = 2;
    // Every line leaves a pipe pending in its own slot 500 commands ahead,
    // until the descriptor table is full.
    const std::string refusal =
        "*** Error: cannot create a pipe now (Too many open files); the command did not run. ***\n";
    int pending = 0;
    bool refused = false;
    for (int i = 0; i < 30 && !refused; ++i, ++pc) {
        std::string out = a.command("ls |500");
        refused = out == refusal;
        if (!refused) {
            EXPECT_EQ(out, "");
            ++pending;
        }
    }
    ASSERT_TRUE(refused);
    ASSERT_GT(pending, 0);
    // Still serving, built-ins and commands that need no pipe alike.
    EXPECT_EQ(a.command("ls |500"), refusal);
    EXPECT_EQ(a.command("printenv PATH"), "bin:.\n");
    EXPECT_EQ(a.command("ls"), here);
    pc += 3;

    // Reading the pending pipes frees their descriptors again.
    skip_commands(a, 502 - pc);
    for (int i = 0; i < pending; ++i)
        EXPECT_EQ(a.command("cat"), here) << "pending pipe " << i;
    EXPECT_EQ(a.command("ls | cat"), here);
    EXPECT_TRUE(eventually([&] { return server.fd_count() == base; })) << server.fd_count() << " vs " << base;
}

// ---- processes and pipes that cannot be had ----

namespace {

const std::string NO_PROCESS =
    "*** Error: cannot start a process now (Resource temporarily unavailable); the command did not run. ***\n";
const std::string NO_PIPE =
    "*** Error: cannot create a pipe now (Too many open files); the command did not run. ***\n";

using Calls = std::vector<std::string>;

}  // namespace

// A server with tests/preload/syscall_faults.cpp preloaded, so that its
// fork and pipe2 fail when a test arms them to.
class StartFaultTest : public ExecutorTest {
protected:
    void SetUp() override
    {
        // Memory-backed if possible: the library reads and writes these
        // files on every call, and its own delay must not hide the pauses.
        char shm[] = "/dev/shm/talvane-faults-XXXXXX", tmp[] = "/tmp/talvane-faults-XXXXXX";
        const char *dir = mkdtemp(shm);
        ASSERT_TRUE(dir || (dir = mkdtemp(tmp)));
        dir_ = dir;
        server.add_env("LD_PRELOAD", SYSCALL_FAULTS_LIBRARY);
        server.add_env("SYSCALL_FAULTS", dir_ + "/rules");
        server.add_env("SYSCALL_FAULTS_LOG", dir_ + "/calls");
        // The checked build's runtime will not start behind a preloaded library
        // unless told that this is meant.
        const char *asan = std::getenv("ASAN_OPTIONS");
        server.add_env("ASAN_OPTIONS",
                       (asan && *asan ? std::string(asan) + ":" : std::string()) + "verify_asan_link_order=0");
        start_server();
    }
    void TearDown() override
    {
        ExecutorTest::TearDown();
        if (!dir_.empty() && std::system(("rm -rf '" + dir_ + "'").c_str()) != 0) {
        }
    }

    // Replaces the rules ("CALL ERRNO COUNT" lines) and forgets the calls so far.
    void arm(const std::string &rules)
    {
        write_file(dir_ + "/rules", rules);
        write_file(dir_ + "/calls", "");
    }
    std::string rules_left() const { return read_file(dir_ + "/rules"); }
    // How each call of `call` since the last arm() ended: "ok" or an errno name.
    Calls calls(const std::string &call) const { return log_fields(call).first; }
    // The first four tries of `call` since the last arm() came 1, 2 and 4 ms
    // apart: time for a shortage to pass. The earlier pauses are checked
    // loosely, and a clock counting whole milliseconds may cut each by one.
    void expect_paced(const std::string &call) const
    {
        std::vector<long long> at = log_fields(call).second;
        ASSERT_GE(at.size(), 4u);
        EXPECT_GE(at[2] - at[1], 1000) << "microseconds between the second and third try";
        EXPECT_GE(at[3] - at[2], 3000) << "microseconds between the third and fourth try";
    }

private:
    std::pair<Calls, std::vector<long long>> log_fields(const std::string &call) const
    {
        std::pair<Calls, std::vector<long long>> fields;
        std::istringstream log(read_file(dir_ + "/calls"));
        std::string name, result;
        long long at;
        while (log >> name >> result >> at) {
            if (name == call) {
                fields.first.push_back(result);
                fields.second.push_back(at);
            }
        }
        return fields;
    }

    std::string dir_;
};

INSTANTIATE_IN_BOTH_MODES(StartFaultTest);

TEST_P(StartFaultTest, ShortShortagesAreRetriedUnseen)
{
    Conn &a = login();
    const std::string here = a.command("ls");

    arm("fork EAGAIN 3\n");
    EXPECT_EQ(a.command("ls | cat"), here);
    EXPECT_EQ(calls("fork"), (Calls{"EAGAIN", "EAGAIN", "EAGAIN", "ok", "ok"}));
    EXPECT_EQ(rules_left(), "fork EAGAIN 0\n");
    expect_paced("fork");

    // Short of memory passes too.
    arm("fork ENOMEM 2\nfork EAGAIN 1\n");
    EXPECT_EQ(a.command("ls"), here);
    EXPECT_EQ(calls("fork"), (Calls{"ENOMEM", "ENOMEM", "EAGAIN", "ok"}));

    // A pipe: the process's or the system's descriptor table full, memory
    // short, a signal in the way.
    arm("pipe2 EMFILE 1\npipe2 ENFILE 1\npipe2 ENOMEM 1\n");
    EXPECT_EQ(a.command("ls | cat"), here);
    EXPECT_EQ(calls("pipe2"), (Calls{"EMFILE", "ENFILE", "ENOMEM", "ok"}));
    expect_paced("pipe2");
    arm("pipe2 EINTR 3\n");
    EXPECT_EQ(a.command("ls |1 cat"), here);
    EXPECT_EQ(calls("pipe2"), (Calls{"EINTR", "EINTR", "EINTR", "ok"}));
}

TEST_P(StartFaultTest, LastingShortageIsReportedOnceAndStopsTheLine)
{
    Conn &a = login();
    const std::string here = a.command("ls");

    // Four tries, then the report; cat is never tried.
    arm("fork EAGAIN *\n");
    EXPECT_EQ(a.command("ls | cat"), NO_PROCESS);
    EXPECT_EQ(calls("fork"), Calls(4, "EAGAIN"));
    arm("pipe2 EMFILE *\n");
    EXPECT_EQ(a.command("ls | cat"), NO_PIPE);
    EXPECT_EQ(calls("pipe2"), Calls(4, "EMFILE"));
    EXPECT_EQ(calls("fork"), Calls{});

    // Four failures are enough for the report even though a fifth try would
    // work; the rest of the line, which could run, does not.
    arm("fork EAGAIN 4\n");
    EXPECT_EQ(a.command("ls |1 echo rest"), NO_PROCESS);
    EXPECT_EQ(a.command("cat"), "");  // reads the pipe ls never wrote
    arm("pipe2 EMFILE 4\n");
    EXPECT_EQ(a.command("ls |1 echo rest"), NO_PIPE);
    EXPECT_EQ(a.command("ls | cat"), here);

    // A failure that waiting cannot cure is reported at the first try.
    arm("fork ENOSYS *\n");
    EXPECT_EQ(a.command("ls"),
              "*** Error: cannot start a process now (Function not implemented); the command did not run. ***\n");
    EXPECT_EQ(calls("fork"), Calls{"ENOSYS"});
    arm("pipe2 EFAULT *\n");
    EXPECT_EQ(a.command("ls | cat"),
              "*** Error: cannot create a pipe now (Bad address); the command did not run. ***\n");
    EXPECT_EQ(calls("pipe2"), Calls{"EFAULT"});

    arm("");
    EXPECT_EQ(a.command("ls | cat"), here);
    EXPECT_TRUE(eventually([&] { return server.children().empty(); }));
}

// On a kernel without close_range a started command still holds nothing but
// 0, 1 and 2, even while it waits to open its output file. Only a forked
// child calls close_range itself (the one with a file to open); a spawned
// one is closed by the C library's own fallback.
TEST_P(StartFaultTest, CommandHoldsOnlyItsStandardDescriptorsWithoutCloseRange)
{
    Conn &a = login();
    Conn &b = login();
    // Armed first: a command started just before could still be on its way
    // to the call when the log is reset.
    arm("close_range ENOSYS *\n");
    const std::string piped = "*** (no name) (#2) just piped 'ls >1' to (no name) (#1) ***\n";
    EXPECT_EQ(b.command("ls >1"), piped);
    EXPECT_EQ(a.read_until("***\n"), piped);
    EXPECT_EQ(b.command("ls |2"), "");
    ASSERT_EQ(mkfifo(server.path("fifo").c_str(), 0644), 0);
    EXPECT_EQ(a.command("ls > fifo |1"), "");
    EXPECT_EQ(a.command("sleep 30 |2"), "");
    for (const char *name : {"talvane", "sleep"}) {
        pid_t kid = -1;
        EXPECT_TRUE(eventually([&] {
            kid = child_running(server, name);
            return kid > 0 && sorted_fds(kid) == std::vector<int>{0, 1, 2};
        })) << name << fd_listing(kid);
    }
    EXPECT_TRUE(eventually([&] { return calls("close_range") == Calls(1, "ENOSYS"); }));
}

TEST_P(StartFaultTest, UserPipeThatCannotBeHadIsReportedAndLeftFree)
{
    Conn &a = login();
    Conn &b = login();
    const std::string here = a.command("ls");
    const std::string piped = "*** (no name) (#1) just piped 'ls >2' to (no name) (#2) ***\n";
    const std::string received = "*** (no name) (#2) just received from (no name) (#1) by 'cat <1' ***\n";
    const std::string none = "*** Error: the pipe #1->#2 does not exist yet. ***\n";

    // No pipe: ls runs with its output dropped, and nobody is told of a pipe.
    arm("pipe2 EMFILE *\n");
    EXPECT_EQ(a.command("ls >2"), "*** Error: the pipe #1->#2 cannot be created now. ***\n");
    EXPECT_EQ(calls("pipe2"), Calls(4, "EMFILE"));
    arm("");
    EXPECT_EQ(b.command("cat <1"), none);

    // No process: the pipe made for ls goes with it, so it can be made again.
    arm("fork EAGAIN *\n");
    EXPECT_EQ(a.command("ls >2"), piped + NO_PROCESS);
    EXPECT_EQ(b.read_until(piped), piped);
    arm("");
    EXPECT_EQ(b.command("cat <1"), none);
    EXPECT_EQ(a.command("ls >2"), piped);
    EXPECT_EQ(b.read_until(piped), piped);
    EXPECT_EQ(b.command("cat <1"), received + here);
    EXPECT_EQ(a.read_until(received), received);
}
