// Pipes between users: the announcements every user sees, the error texts,
// end of input for the reader, and the table staying clean when users leave.
#include <sys/resource.h>

#include <algorithm>

#include "harness.h"

using namespace e2e;

namespace {

std::string piped(const std::string &from, int s, const std::string &line, const std::string &to, int r)
{
    return "*** " + from + " (#" + std::to_string(s) + ") just piped '" + line + "' to " + to + " (#" +
           std::to_string(r) + ") ***\n";
}

std::string received(const std::string &to, int r, const std::string &from, int s, const std::string &line)
{
    return "*** " + to + " (#" + std::to_string(r) + ") just received from " + from + " (#" +
           std::to_string(s) + ") by '" + line + "' ***\n";
}

std::string no_user(int id)
{
    return "*** Error: user #" + std::to_string(id) + " does not exist yet. ***\n";
}

std::string no_pipe(int s, int r)
{
    return "*** Error: the pipe #" + std::to_string(s) + "->#" + std::to_string(r) +
           " does not exist yet. ***\n";
}

std::string pipe_exists(int s, int r)
{
    return "*** Error: the pipe #" + std::to_string(s) + "->#" + std::to_string(r) +
           " already exists. ***\n";
}

// The n-th (from 0) descriptor number that pid does not use.
int nth_free_fd(pid_t pid, int n)
{
    std::vector<int> fds = fds_of(pid);
    for (int fd = 0;; ++fd)
        if (std::find(fds.begin(), fds.end(), fd) == fds.end() && n-- == 0)
            return fd;
}

}  // namespace

class UserPipeTest : public e2e::ModeTest {
protected:
    // Logs in one client per name, ids in order, and names them; every
    // rename announcement is drained so that all connections start empty.
    void login_named(const std::vector<std::string> &names)
    {
        for (std::size_t i = 0; i < names.size(); ++i)
            users.push_back(&login());
        for (std::size_t i = 0; i < names.size(); ++i) {
            std::string line = "*** User from 127.0.0.1:" + std::to_string(users[i]->local_port()) +
                               " is named '" + names[i] + "'. ***\n";
            run_seen_by_all(*users[i], "name " + names[i], line);
        }
    }

    // Runs line for one user, who must see exactly announcement and then
    // output; every other user must receive announcement with nothing before.
    void run_seen_by_all(Conn &by, const std::string &line, const std::string &announcement,
                         const std::string &output = "")
    {
        EXPECT_EQ(by.command(line), announcement + output) << line;
        for (Conn *u : users)
            if (u != &by && u->open()) {
                EXPECT_EQ(u->read_until(announcement), announcement) << line;
            }
    }

    // Client 1 (alpha) leaves, by typing exit or by dropping the connection,
    // while pipes to it, from it and to itself wait: all of them go with it.
    void check_leaver_takes_its_pipes(bool typed_exit);

    std::vector<Conn *> users;
};

void UserPipeTest::check_leaver_takes_its_pipes(bool typed_exit)
{
    login_named({"alpha", "beta", "gamma"});
    Conn &a = *users[0], &b = *users[1], &c = *users[2];
    write_file(server.path("f"), "data\n");
    int fds_before = server.fd_count();

    run_seen_by_all(a, "cat f >2", piped("alpha", 1, "cat f >2", "beta", 2));
    run_seen_by_all(b, "cat f >1", piped("beta", 2, "cat f >1", "alpha", 1));
    run_seen_by_all(a, "cat f >1", piped("alpha", 1, "cat f >1", "alpha", 1));

    if (typed_exit) {
        a.send("exit\n");
        EXPECT_TRUE(a.wait_closed());
    } else {
        a.close();
    }
    const std::string left = "*** User 'alpha' left. ***\n";
    EXPECT_EQ(b.read_until(left), left);
    EXPECT_EQ(c.read_until(left), left);
    // The leaver's socket and all six pipe ends are gone.
    EXPECT_TRUE(eventually([&] { return server.fd_count() == fds_before - 1; }))
        << server.fd_count() << " descriptors, " << fds_before - 1 << " expected";

    EXPECT_EQ(b.command("cat <1"), no_user(1));
    EXPECT_EQ(b.command("cat f >1"), no_user(1));

    // The newcomer on id 1 finds no pipe from or to it.
    Conn &d = login();
    EXPECT_EQ(d.command("cat <2"), no_pipe(2, 1));
    EXPECT_EQ(d.command("cat <1"), no_pipe(1, 1));
    EXPECT_EQ(b.command("cat <1"), no_pipe(1, 2));
}

INSTANTIATE_IN_BOTH_MODES(UserPipeTest);

TEST_P(UserPipeTest, DataWaitsForTheReaderAndIsReadOnce)
{
    login_named({"alpha", "beta", "gamma"});
    Conn &a = *users[0], &b = *users[1];
    write_file(server.path("first.txt"), "first data\n");
    write_file(server.path("second.txt"), "second data\n");

    // The sender sees only the announcement, not the command's output.
    run_seen_by_all(a, "cat first.txt >2", piped("alpha", 1, "cat first.txt >2", "beta", 2));

    // A second pipe to the same user is refused; its output goes nowhere and
    // nobody else hears of it (the next reads below start with nothing else).
    EXPECT_EQ(a.command("cat second.txt >2"), pipe_exists(1, 2));

    // The reader gets the first command's data, and only once.
    run_seen_by_all(b, "cat <1", received("beta", 2, "alpha", 1, "cat <1"), "first data\n");
    EXPECT_EQ(b.command("cat <1"), no_pipe(1, 2));

    // Once read, the pair is free for a new pipe.
    run_seen_by_all(a, "cat second.txt >2", piped("alpha", 1, "cat second.txt >2", "beta", 2));
    run_seen_by_all(b, "cat <1", received("beta", 2, "alpha", 1, "cat <1"), "second data\n");
}

TEST_P(UserPipeTest, AnnouncementQuotesTheWholeLineAsTyped)
{
    login_named({"alpha", "beta"});
    Conn &a = *users[0], &b = *users[1];
    write_file(server.path("f"), "one two\n");

    // Extra blanks stay, the carriage return of the line ending does not.
    a.send("cat  f  >2 |  \r\n");
    std::string sent = piped("alpha", 1, "cat  f  >2 |  ", "beta", 2);
    EXPECT_EQ(a.read_prompt(), sent + "% ");
    EXPECT_EQ(b.read_until(sent), sent);
    // The output went to the user pipe, not into the numbered pipe.
    EXPECT_EQ(a.command("cat"), "");

    run_seen_by_all(b, "cat <1 | wc  -w ", received("beta", 2, "alpha", 1, "cat <1 | wc  -w "), "2\n");
}

TEST_P(UserPipeTest, MissingUsersAreReportedWithTheIdAsTyped)
{
    login_named({"alpha", "beta"});
    Conn &a = *users[0], &b = *users[1];
    write_file(server.path("f"), "data\n");

    for (int id : {7, 0, 31, -1, 3})
        EXPECT_EQ(a.command("cat <" + std::to_string(id)), no_user(id)) << "<" << id;
    EXPECT_EQ(a.command("cat <"), no_user(0));
    EXPECT_EQ(a.command("cat <99999 | cat"), no_user(99999));

    // A failed ">N" discards the output and keeps the command in the foreground.
    for (int id : {7, 0, 31, -1})
        EXPECT_EQ(a.command("cat f >" + std::to_string(id)), no_user(id)) << ">" << id;
    EXPECT_EQ(a.command("cat f >>"), no_user(0));
    EXPECT_EQ(a.command("cat f >x"), no_user(0));

    // Both sides failing: the reading side is reported first.
    EXPECT_EQ(a.command("cat >8 <7"), no_user(7) + no_user(8));

    // None of this reached the other user, and no pipe was made for user 2.
    EXPECT_EQ(b.command("cat <1"), no_pipe(1, 2));
}

TEST_P(UserPipeTest, UserCanPipeToItself)
{
    login_named({"alpha", "beta"});
    Conn &a = *users[0];
    write_file(server.path("f"), "to myself\n");

    run_seen_by_all(a, "cat f >1", piped("alpha", 1, "cat f >1", "alpha", 1));
    run_seen_by_all(a, "cat <1", received("alpha", 1, "alpha", 1, "cat <1"), "to myself\n");
    EXPECT_EQ(a.command("cat <1"), no_pipe(1, 1));
}

TEST_P(UserPipeTest, ReceiptIsAnnouncedBeforeSendingWhateverTheOrderOnTheLine)
{
    login_named({"alpha", "beta", "gamma"});
    Conn &a = *users[0], &b = *users[1], &c = *users[2];
    write_file(server.path("f"), "relayed\n");

    for (const std::string line : {"cat <2 >3", "cat >3 <2"}) {
        run_seen_by_all(b, "cat f >1", piped("beta", 2, "cat f >1", "alpha", 1));
        run_seen_by_all(a, line, received("alpha", 1, "beta", 2, line) + piped("alpha", 1, line, "gamma", 3));
        run_seen_by_all(c, "cat <1", received("gamma", 3, "alpha", 1, "cat <1"), "relayed\n");
    }
}

// Commands started by anyone after the writer must not hold the pipe open:
// the reader sees end of input once the writer itself has ended.
TEST_P(UserPipeTest, ReaderSeesEndOfInputWhileOtherCommandsStillRun)
{
    login_named({"alpha", "beta", "gamma"});
    Conn &a = *users[0], &b = *users[1], &c = *users[2];
    write_file(server.path("f"), "payload\n");

    run_seen_by_all(a, "cat f >2", piped("alpha", 1, "cat f >2", "beta", 2));
    // Long-lived background commands of the writer and of a third user, one
    // of them itself behind a user pipe.
    EXPECT_EQ(a.command("sleep 30 |1"), "");
    EXPECT_EQ(c.command("sleep 30 |2"), "");
    run_seen_by_all(c, "sleep 30 >1", piped("gamma", 3, "sleep 30 >1", "alpha", 1));

    run_seen_by_all(b, "cat <1", received("beta", 2, "alpha", 1, "cat <1"), "payload\n");
}

TEST_P(UserPipeTest, LongOutputArrivesWhole)
{
    login_named({"alpha", "beta"});
    Conn &a = *users[0], &b = *users[1];
    std::string lines;
    for (int i = 0; i < 5000; ++i)
        lines += "We wish you the best!\n";

    // More than a pipe holds: the writer waits in the background for a reader.
    run_seen_by_all(a, "benivox >2", piped("alpha", 1, "benivox >2", "beta", 2));
    run_seen_by_all(b, "cat <1 > out.txt", received("beta", 2, "alpha", 1, "cat <1 > out.txt"));
    EXPECT_EQ(read_file(server.path("out.txt")), lines);

    run_seen_by_all(a, "benivox >2", piped("alpha", 1, "benivox >2", "beta", 2));
    run_seen_by_all(b, "cat <1 | wc -c", received("beta", 2, "alpha", 1, "cat <1 | wc -c"), "110000\n");
}

TEST_P(UserPipeTest, ErrorOfReadingSideGoesIntoErrorPipe)
{
    Conn &a = login();
    // The error text is the command's standard error, which !1 carries to
    // the next command; the command itself reads nothing.
    EXPECT_EQ(a.command("cat <5 !1"), "");
    EXPECT_EQ(a.command("cat"), no_user(5));
    // With |1 only the output is carried, so the text reaches the user, by
    // the time the next command has read the empty pipe at the latest.
    std::string out = a.command("cat <5 |1");
    out += a.command("cat");
    EXPECT_EQ(out, no_user(5));
}

TEST_P(UserPipeTest, ExitDropsPipesFromAndToTheLeaver)
{
    check_leaver_takes_its_pipes(true);
}

TEST_P(UserPipeTest, DroppedConnectionDropsPipesFromAndToTheLeaver)
{
    check_leaver_takes_its_pipes(false);
}

TEST_P(UserPipeTest, ConsumedPipesLeaveNoDescriptorsBehind)
{
    login_named({"alpha", "beta"});
    Conn &a = *users[0], &b = *users[1];
    write_file(server.path("f"), "x\n");
    int fds_before = server.fd_count();
    for (int round = 0; round < 20 && !HasFailure(); ++round) {
        run_seen_by_all(a, "cat f >2", piped("alpha", 1, "cat f >2", "beta", 2));
        run_seen_by_all(b, "cat <1", received("beta", 2, "alpha", 1, "cat <1"), "x\n");
    }
    EXPECT_EQ(server.fd_count(), fds_before);
}

// With the server out of descriptors the pipe cannot be made: the sender is
// told, nobody hears of a transfer, and the pair works once room returns.
TEST_P(UserPipeTest, PipeThatCannotBeCreatedIsReportedAndLeavesTableUsable)
{
    login_named({"alpha", "beta", "gamma"});
    Conn &a = *users[0], &b = *users[1], &c = *users[2];
    write_file(server.path("f"), "data\n");

    // Room for exactly one more pipe: it takes the two lowest free numbers.
    struct rlimit old;
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, nullptr, &old), 0);
    struct rlimit tight = {static_cast<rlim_t>(nth_free_fd(server.pid(), 1) + 1), old.rlim_max};
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &tight, nullptr), 0);

    run_seen_by_all(a, "cat f >2", piped("alpha", 1, "cat f >2", "beta", 2));
    EXPECT_EQ(a.command("cat f >3"), "*** Error: the pipe #1->#3 cannot be created now. ***\n");
    EXPECT_EQ(c.command("cat <1"), no_pipe(1, 3));

    // Reading the first pipe frees its descriptors; now the second fits.
    run_seen_by_all(b, "cat <1", received("beta", 2, "alpha", 1, "cat <1"), "data\n");
    run_seen_by_all(a, "cat f >3", piped("alpha", 1, "cat f >3", "gamma", 3));
    run_seen_by_all(c, "cat <1", received("gamma", 3, "alpha", 1, "cat <1"), "data\n");
}
