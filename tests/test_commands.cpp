// test_commands.cpp -- slovrel and benivox, run as real processes on pipes.
// Every wait is bounded by a poll deadline, and a Child record kills and
// reaps its process if a case ends while it still runs. Delays are measured
// loosely: a wait of s seconds passes if output starts no sooner than 0.9 * s
// after the fork and no later than s + 2 after the wait was seen to begin.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const std::string GREETING = "We wish you the best!\n";

std::string
expected_greetings()
{
    std::string all;
    for (int i = 0; i < 5000; i++)
        all += GREETING;
    return all;
}

double
seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Clock::time_point
deadline_in(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int
ms_left(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

void
close_fd(int &fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

bool
exited_zero(int status)
{
    return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A started command and what came out of it. Times are seconds from the fork.
struct Child {
    pid_t pid = -1;
    int in = -1;                  // our end of its stdin pipe, if we made one
    int out = -1;
    int err = -1;
    std::string pending;          // still to be fed; in is closed once it is empty
    std::string output;
    std::string error;
    double first_output = -1;
    double first_error = -1;
    double done = -1;             // stdout and stderr both at end of file
    int status = -1;
    Clock::time_point start;

    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close_fd(in);
        close_fd(out);
        close_fd(err);
    }
};

// Descriptors the caller wants the child to have instead of fresh pipes; the
// caller keeps owning them.
struct Wiring {
    int in = -1;
    int out = -1;
    bool ignore_sigpipe = false;  // then a write to a dead reader fails with EPIPE
};

// Starts path with argv (argv[0] included); whatever is not given in wiring
// becomes a pipe whose other end lands in c.
void
spawn(Child &c, const char *path, const std::vector<std::string> &argv, Wiring wiring = {})
{
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    ASSERT_EQ(0, pipe2(err_pipe, O_CLOEXEC));
    if (wiring.in < 0) {
        ASSERT_EQ(0, pipe2(in_pipe, O_CLOEXEC));
        fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
        wiring.in = in_pipe[0];
    }
    if (wiring.out < 0) {
        ASSERT_EQ(0, pipe2(out_pipe, O_CLOEXEC));
        wiring.out = out_pipe[1];
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    c.start = Clock::now();
    c.pid = fork();
    ASSERT_GE(c.pid, 0);
    if (c.pid == 0) {
        // The test runner ignores SIGPIPE; the commands get the usual default.
        signal(SIGPIPE, wiring.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        dup2(wiring.in, 0);
        dup2(wiring.out, 1);
        dup2(err_pipe[1], 2);
        execv(path, args.data());
        _exit(127);
    }
    // Keeping the child's ends would hide its end of file from us.
    close_fd(in_pipe[0]);
    close_fd(out_pipe[1]);
    close_fd(err_pipe[1]);
    c.in = in_pipe[1];
    c.out = out_pipe[0];
    c.err = err_pipe[0];
}

// Reaps c by the deadline, or kills it; false when it had to be killed.
bool
reap(Child &c, Clock::time_point deadline)
{
    for (;;) {
        pid_t r = waitpid(c.pid, &c.status, WNOHANG);
        if (r == c.pid) {
            c.pid = -1;
            return true;
        }
        if (Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(c.pid, SIGKILL);
    waitpid(c.pid, nullptr, 0);
    c.pid = -1;
    c.status = -1;
    return false;
}

// Reaps c if it has ended, so its pid is never killed after reuse.
bool
still_running(Child &c)
{
    if (c.pid <= 0)
        return false;
    if (waitpid(c.pid, &c.status, WNOHANG) == 0)
        return true;
    c.pid = -1;
    return false;
}

// Reads what is ready on *fd into text; closes *fd at end of file.
void
drain_ready(Child &c, int *fd, std::string &text, double &first)
{
    char buf[65536];
    ssize_t n = read(*fd, buf, sizeof buf);
    if (n > 0) {
        if (first < 0)
            first = seconds_since(c.start);
        text.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_fd(*fd);
        if (c.out < 0 && c.err < 0)
            c.done = seconds_since(c.start);
    }
}

// Feeds every child its pending input and reads its stdout and stderr to the
// end, all at once so that children running side by side are timed side by
// side; then reaps them. False if anything missed the deadline.
bool
collect(const std::vector<Child *> &kids, double limit_seconds)
{
    Clock::time_point deadline = deadline_in(limit_seconds);
    struct Watch { Child *c; int *fd; };
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Watch> watches;
        for (Child *c : kids) {
            if (c->in >= 0 && c->pending.empty())
                close_fd(c->in);                  // end of input for the child
            for (int *fd : {&c->in, &c->out, &c->err}) {
                if (*fd < 0)
                    continue;
                fds.push_back({*fd, static_cast<short>(fd == &c->in ? POLLOUT : POLLIN), 0});
                watches.push_back({c, fd});
            }
        }
        if (fds.empty())
            break;
        if (ms_left(deadline) == 0)
            return false;
        if (poll(fds.data(), fds.size(), ms_left(deadline)) < 0 && errno != EINTR)
            return false;
        for (size_t i = 0; i < fds.size(); i++) {
            Child &c = *watches[i].c;
            int *fd = watches[i].fd;
            if (fds[i].revents == 0)
                continue;
            if (fd == &c.in) {
                ssize_t n = write(c.in, c.pending.data(), c.pending.size());
                if (n > 0)
                    c.pending.erase(0, static_cast<size_t>(n));
                else if (errno != EAGAIN && errno != EINTR)
                    c.pending.clear();            // the child is gone; so is its input
            } else {
                drain_ready(c, fd, fd == &c.out ? c.output : c.error,
                            fd == &c.out ? c.first_output : c.first_error);
            }
        }
    }
    bool ok = true;
    for (Child *c : kids)
        ok = reap(*c, deadline) && ok;
    return ok;
}

bool
collect(Child &c, double limit_seconds)
{
    return collect(std::vector<Child *>{&c}, limit_seconds);
}

// A pipe holding text and already closed for writing, for use as a child's
// stdin: whatever the child does not read is still in read_end afterwards.
struct FilledPipe {
    int read_end = -1;

    explicit FilledPipe(const std::string &text)
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return;
        if (write(ends[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            ADD_FAILURE() << "could not fill the pipe";
        close(ends[1]);
        read_end = ends[0];
    }
    ~FilledPipe() { close_fd(read_end); }

    // What nobody read; never blocks, as the write end is closed.
    std::string leftover()
    {
        std::string rest;
        char buf[4096];
        ssize_t n;
        while ((n = read(read_end, buf, sizeof buf)) > 0)
            rest.append(buf, static_cast<size_t>(n));
        return rest;
    }
};

// A private directory under the test temp directory, removed with its files.
struct ScratchDir {
    std::string path;
    std::vector<std::string> files;

    ScratchDir()
    {
        std::string pattern = ::testing::TempDir() + "talvane_cmd_XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr)
            path = buf.data();
    }
    ~ScratchDir()
    {
        for (const std::string &f : files)
            unlink(f.c_str());
        rmdir(path.c_str());
    }
    std::string file(const std::string &name)
    {
        files.push_back(path + "/" + name);
        return files.back();
    }
};

void
write_file(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary);
    f << content;
}

// For each child, the time (from its fork) it was first seen asleep after
// exec'ing slovrel, i.e. in its wait; -1 for one not seen so by the deadline.
std::vector<double>
seen_asleep(const std::vector<Child *> &kids, Clock::time_point deadline)
{
    std::vector<double> when(kids.size(), -1);
    size_t found = 0;
    while (found < kids.size() && Clock::now() < deadline) {
        for (size_t i = 0; i < kids.size(); i++) {
            if (when[i] >= 0)
                continue;
            std::ifstream f("/proc/" + std::to_string(kids[i]->pid) + "/stat");
            std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
            size_t open = stat.find('('), close = stat.rfind(')');
            if (open != std::string::npos && close != std::string::npos && close + 2 < stat.size() &&
                stat.substr(open + 1, close - open - 1) == "slovrel" && stat[close + 2] == 'S') {
                when[i] = seconds_since(kids[i]->start);
                found++;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return when;
}

// Writes all of text to the child's stdin and closes it; text must fit in the pipe.
void
feed(Child &c, const std::string &text)
{
    if (write(c.in, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        ADD_FAILURE() << "could not feed the child";
    close_fd(c.in);
}

// Every byte value, some carriage returns, no final newline; larger than a
// pipe holds, so the copy must keep both sides moving.
std::string
binary_sample()
{
    std::string data;
    for (int i = 0; i < 70000; i++)
        data += static_cast<char>(i % 256);
    data += "\r\nlast line, no newline";
    return data;
}

class CommandTest : public ::testing::Test {
protected:
    // A writer whose reader is gone must see EPIPE here, not kill the runner.
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
};

using SlovrelTest = CommandTest;
using BenivoxTest = CommandTest;

}  // namespace

namespace {

// Each delay must copy its input at once. They run beside a 3 s waiter, so a
// slow machine slows them alike: each must be done before the waiter even
// begins to copy. With its input already there, a slovrel that does not wait
// is never seen asleep, while even a one-second wait would be.
void
expect_no_wait(const std::vector<const char *> &delays)
{
    std::vector<Child> kids(delays.size());
    Child waiter;
    std::vector<Child *> all = {&waiter}, quick;
    spawn(waiter, SLOVREL_BINARY, {"slovrel", "3"});
    waiter.pending = "hello\n";
    for (size_t i = 0; i < delays.size(); i++) {
        spawn(kids[i], SLOVREL_BINARY, {"slovrel", delays[i]});
        feed(kids[i], "hello\n");
        all.push_back(&kids[i]);
        quick.push_back(&kids[i]);
    }
    std::vector<double> asleep = seen_asleep(quick, deadline_in(1.5));
    ASSERT_TRUE(collect(all, 8));
    ASSERT_EQ("hello\n", waiter.output);
    for (size_t i = 0; i < delays.size(); i++) {
        SCOPED_TRACE(std::string("delay \"") + delays[i] + "\"");
        EXPECT_EQ("hello\n", kids[i].output);
        EXPECT_EQ("", kids[i].error);
        EXPECT_LT(kids[i].done, waiter.first_output);
        EXPECT_EQ(asleep[i], -1) << "seen waiting";
        EXPECT_TRUE(exited_zero(kids[i].status));
    }
}

}  // namespace

TEST_F(SlovrelTest, DelayWithoutLeadingPositiveNumberMeansNoWait)
{
    // A wrong wait here would be 5 s (the sign dropped) or endless (a
    // negative made unsigned).
    expect_no_wait({"0", "abc", "", "-5", "-99999999999999999999"});
}

TEST_F(SlovrelTest, DelayBeyondThirtyTwoBitsMeansNoWait)
{
    // Clamped, these would wait 136 years; cut to 32 bits, 4294967297 would
    // still wait 1 s and 8589934597 5 s.
    expect_no_wait({"4294967296", "4294967297", "8589934597", "99999999999", "99999999999999999999999"});
}

TEST_F(SlovrelTest, DelayIsTheLeadingNumberAndOutputStartsAfterIt)
{
    struct { const char *arg; double seconds; } cases[] = {
        {"2xyz", 2}, {" 3", 3}, {"+3", 3}};
    Child kids[3];
    std::vector<Child *> all;
    for (int i = 0; i < 3; i++) {
        spawn(kids[i], SLOVREL_BINARY, {"slovrel", cases[i].arg});
        feed(kids[i], "x");
        all.push_back(&kids[i]);
    }
    // The upper bound counts from the start of the wait, not from the fork,
    // so a slow start on a busy machine is not taken for a long wait.
    std::vector<double> asleep = seen_asleep(all, deadline_in(5));
    ASSERT_TRUE(collect(all, 8));
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(std::string("delay \"") + cases[i].arg + "\"");
        EXPECT_EQ("x", kids[i].output);
        EXPECT_GE(kids[i].first_output, 0.9 * cases[i].seconds);
        ASSERT_GE(asleep[i], 0) << "never seen waiting";
        EXPECT_LE(kids[i].first_output - asleep[i], cases[i].seconds + 2);
        EXPECT_TRUE(exited_zero(kids[i].status));
    }
}

TEST_F(SlovrelTest, HugeDelayIsNotCutShort)
{
    // The longest delay that still waits, and ones a signed 32-bit number
    // would turn negative (no wait at all).
    const char *delays[] = {"4294967295", "2147483648", "3000000000", "4294967295xyz"};
    Child kids[4];
    std::vector<Child *> all;
    for (int i = 0; i < 4; i++) {
        spawn(kids[i], SLOVREL_BINARY, {"slovrel", delays[i]});
        close_fd(kids[i].in);
        all.push_back(&kids[i]);
    }
    std::vector<double> asleep = seen_asleep(all, deadline_in(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (int i = 0; i < 4; i++) {
        SCOPED_TRACE(std::string("delay \"") + delays[i] + "\"");
        EXPECT_GE(asleep[i], 0) << "never seen waiting";
        EXPECT_TRUE(still_running(kids[i]));
        pollfd p = {kids[i].out, POLLIN, 0};
        EXPECT_EQ(0, poll(&p, 1, 0));             // nothing written, not even end of file
    }
}

TEST_F(SlovrelTest, EmptyInputGivesEmptyOutput)
{
    Child c;
    spawn(c, SLOVREL_BINARY, {"slovrel", "0"});
    ASSERT_TRUE(collect(c, 5));
    EXPECT_EQ("", c.output);
    EXPECT_EQ("", c.error);
    EXPECT_TRUE(exited_zero(c.status));
}

TEST_F(SlovrelTest, InputAndNamedFileAreCopiedByteForByte)
{
    ScratchDir dir;
    std::string path = dir.file("sample");
    write_file(path, binary_sample());

    Child from_stdin, from_file;
    spawn(from_stdin, SLOVREL_BINARY, {"slovrel", "0"});
    from_stdin.pending = binary_sample();
    spawn(from_file, SLOVREL_BINARY, {"slovrel", "0", path});
    from_file.pending = "standard input, not to be copied";
    ASSERT_TRUE(collect({&from_stdin, &from_file}, 20));

    EXPECT_TRUE(from_stdin.output == binary_sample()) << from_stdin.output.size() << " bytes out";
    EXPECT_TRUE(from_file.output == binary_sample()) << from_file.output.size() << " bytes out";
    EXPECT_TRUE(exited_zero(from_stdin.status));
    EXPECT_TRUE(exited_zero(from_file.status));
}

TEST_F(SlovrelTest, MissingFileWaitsCopiesNothingAndLeavesStdinAlone)
{
    ScratchDir dir;
    FilledPipe stdin_pipe("still here\n");
    Wiring wiring;
    wiring.in = stdin_pipe.read_end;
    Child c;
    spawn(c, SLOVREL_BINARY, {"slovrel", "1", dir.path + "/absent"}, wiring);
    ASSERT_TRUE(collect(c, 5));
    EXPECT_EQ("", c.output);
    EXPECT_EQ("", c.error);
    EXPECT_GE(c.done, 0.9);
    EXPECT_TRUE(exited_zero(c.status));
    EXPECT_EQ("still here\n", stdin_pipe.leftover());
}

TEST_F(SlovrelTest, FileCreatedDuringTheWaitIsNotCopied)
{
    ScratchDir dir;
    std::string path = dir.file("late");
    Child c;
    spawn(c, SLOVREL_BINARY, {"slovrel", "2", path});
    c.pending = "standard input\n";
    ASSERT_GE(seen_asleep({&c}, deadline_in(5))[0], 0) << "never seen waiting";
    write_file(path, "too late\n");
    ASSERT_TRUE(collect(c, 6));
    EXPECT_EQ("", c.output);
    EXPECT_TRUE(exited_zero(c.status));
}

TEST_F(SlovrelTest, ThreeArgumentsWarnBeforeTheWaitThenCopyStdin)
{
    ScratchDir dir;
    std::string path = dir.file("named");
    write_file(path, "named file\n");
    Child c;
    spawn(c, SLOVREL_BINARY, {"slovrel", "2", path, "extra"});
    c.pending = "standard input\n";
    ASSERT_TRUE(collect(c, 6));
    EXPECT_EQ("usage: slovrel [seconds] [filename]\n", c.error);
    EXPECT_EQ("standard input\n", c.output);
    EXPECT_GE(c.first_output, 1.8);
    EXPECT_LE(c.first_error + 1, c.first_output);   // the warning came before the wait
    EXPECT_TRUE(exited_zero(c.status));
}

TEST_F(SlovrelTest, NoArgumentGivesUsageUnderTheInvokedNameAndEnds)
{
    FilledPipe stdin_pipe("still here\n");
    Wiring wiring;
    wiring.in = stdin_pipe.read_end;
    Child c;
    spawn(c, SLOVREL_BINARY, {"bin/slovrel"}, wiring);
    ASSERT_TRUE(collect(c, 5));
    EXPECT_EQ("usage: bin/slovrel [seconds] [filename]\n", c.error);
    EXPECT_EQ("", c.output);
    EXPECT_TRUE(exited_zero(c.status));
    EXPECT_EQ("still here\n", stdin_pipe.leftover());
}

TEST_F(SlovrelTest, EachByteIsPassedOnBeforeTheNextArrives)
{
    Child c;
    spawn(c, SLOVREL_BINARY, {"slovrel", "0"});
    const std::string bytes("a\0\xff\n\r", 5);
    for (char byte : bytes) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(1, write(c.in, &byte, 1));
        pollfd p = {c.out, POLLIN, 0};
        ASSERT_EQ(1, poll(&p, 1, 2000)) << "byte " << int(static_cast<unsigned char>(byte)) << " held back";
        char got[16];
        ASSERT_EQ(1, read(c.out, got, sizeof got));
        EXPECT_EQ(byte, got[0]);
    }
    ASSERT_TRUE(collect(c, 5));
    EXPECT_EQ("", c.output);
    EXPECT_TRUE(exited_zero(c.status));
}

TEST_F(SlovrelTest, WriteErrorsDoNotStopTheCopy)
{
    // More than one stdio buffer, so stopping at the first failed write
    // would leave input behind.
    FilledPipe stdin_pipe(std::string(20000, 'x'));
    int out_pipe[2];
    ASSERT_EQ(0, pipe2(out_pipe, O_CLOEXEC));
    close(out_pipe[0]);
    Wiring wiring;
    wiring.in = stdin_pipe.read_end;
    wiring.out = out_pipe[1];
    wiring.ignore_sigpipe = true;
    Child c;
    spawn(c, SLOVREL_BINARY, {"slovrel", "0"}, wiring);
    close(out_pipe[1]);
    ASSERT_TRUE(collect(c, 10));
    EXPECT_TRUE(exited_zero(c.status));
    EXPECT_EQ("", stdin_pipe.leftover());
}

TEST_F(BenivoxTest, WritesExactly5000GreetingsWithOrWithoutArguments)
{
    Child plain, with_args;
    spawn(plain, BENIVOX_BINARY, {"benivox"});
    spawn(with_args, BENIVOX_BINARY, {"benivox", "3", "--help", ""});
    ASSERT_TRUE(collect({&plain, &with_args}, 10));
    for (Child *c : {&plain, &with_args}) {
        EXPECT_EQ(110000u, c->output.size());
        EXPECT_TRUE(c->output == expected_greetings());
        EXPECT_EQ("", c->error);
        EXPECT_TRUE(exited_zero(c->status));
    }
}

TEST_F(BenivoxTest, EachLineLeavesOnItsOwn)
{
    // A packet socket keeps write boundaries: a record longer than one line
    // means lines were held back and sent together.
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv));
    Wiring wiring;
    wiring.out = sv[1];
    Child c;
    spawn(c, BENIVOX_BINARY, {"benivox"}, wiring);
    close(sv[1]);

    std::string all;
    size_t longest = 0;
    std::vector<char> buf(256 * 1024);
    Clock::time_point deadline = deadline_in(10);
    for (;;) {
        pollfd p = {sv[0], POLLIN, 0};
        ASSERT_EQ(1, poll(&p, 1, ms_left(deadline))) << "timed out after " << all.size() << " bytes";
        ssize_t n = read(sv[0], buf.data(), buf.size());
        if (n <= 0)
            break;
        longest = std::max(longest, static_cast<size_t>(n));
        all.append(buf.data(), static_cast<size_t>(n));
    }
    close(sv[0]);
    EXPECT_LE(longest, GREETING.size());
    EXPECT_TRUE(all == expected_greetings()) << all.size() << " bytes";
    ASSERT_TRUE(reap(c, deadline));
    EXPECT_TRUE(exited_zero(c.status));
}

TEST_F(BenivoxTest, BlocksOnAFullPipeUntilItIsDrained)
{
    Child c;
    spawn(c, BENIVOX_BINARY, {"benivox"});
    // Wait until the pipe has filled and stopped filling: the writer is stuck.
    Clock::time_point deadline = deadline_in(5);
    int queued = 0, previous = -1;
    while ((queued == 0 || queued != previous) && Clock::now() < deadline) {
        previous = queued;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_EQ(0, ioctl(c.out, FIONREAD, &queued));
    }
    EXPECT_GT(queued, 0);
    EXPECT_LT(queued, 110000);
    EXPECT_TRUE(still_running(c));

    ASSERT_TRUE(collect(c, 10));
    EXPECT_TRUE(c.output == expected_greetings()) << c.output.size() << " bytes";
    EXPECT_TRUE(exited_zero(c.status));
}

TEST_F(BenivoxTest, WriteErrorsAreIgnored)
{
    int out_pipe[2];
    ASSERT_EQ(0, pipe2(out_pipe, O_CLOEXEC));
    close(out_pipe[0]);
    Wiring wiring;
    wiring.out = out_pipe[1];
    wiring.ignore_sigpipe = true;
    Child c;
    spawn(c, BENIVOX_BINARY, {"benivox"}, wiring);
    close(out_pipe[1]);
    ASSERT_TRUE(collect(c, 10));
    EXPECT_EQ("", c.error);
    EXPECT_TRUE(exited_zero(c.status));
}
