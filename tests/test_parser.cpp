// test_parser.cpp -- the line parser on its own, no sockets and no processes.
// A recording stand-in for the executor snapshots the current client's
// record each time a complete command is handed over, so every case checks
// exactly what the executor would read.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "global.h"
#include "parser.h"

namespace {

// The record as the executor finds it for one command.
struct Call {
    int cid = 0;
    std::vector<std::string> words;
    int argc = 0;
    bool argv_terminated = false;  // argv[argc] exists and is a null pointer
    std::string cmd_name;
    std::string filename;
    int pipeN = 0;
    bool flag_pipe = false;
    bool flag_error_pipe = false;
    bool flag_user_pipe_in = false;
    int user_pipeN_in = 0;
    bool flag_user_pipe_out = false;
    int user_pipeN_out = 0;
    int pc = 0;
    std::string input_backup;
};

std::vector<Call> calls;
// The call (counted from 1) at which the stand-in gives up on the client the
// way the executor does when the client's output cannot be drained.
std::size_t close_at_call = 0;
// The call (counted from 1) at which the stand-in reports that the command
// must wait as the executor does, and how: WAIT_FOR_OUTPUT (the command will
// be handed over again) or FOREGROUND. A command handed over again is
// recorded in resumed.
std::size_t wait_at_call = 0;
Outcome::Result wait_as = Outcome::FOREGROUND;
bool pending = false;  // the last command must be handed over again
std::vector<Call> resumed;

using Words = std::vector<std::string>;

}  // namespace

// The parser's executor. exit reports that the user leaves.
Outcome execute()
{
    const Client &c = current_client();
    Call call;
    call.cid = current_cid;
    call.argc = c.cmd.argc;
    for (int i = 0; i < c.cmd.argc && i < static_cast<int>(c.cmd.argv.size()); ++i)
        call.words.push_back(c.cmd.argv[i] != nullptr ? c.cmd.argv[i] : "(null)");
    call.argv_terminated = c.cmd.argc >= 0 && c.cmd.argv.size() > static_cast<std::size_t>(c.cmd.argc) &&
                           c.cmd.argv[c.cmd.argc] == nullptr;
    call.cmd_name = c.cmd_name;
    call.filename = c.filename;
    call.pipeN = c.pipeN;
    call.flag_pipe = c.flag_pipe;
    call.flag_error_pipe = c.flag_error_pipe;
    call.flag_user_pipe_in = c.flag_user_pipe_in;
    call.user_pipeN_in = c.user_pipeN_in;
    call.flag_user_pipe_out = c.flag_user_pipe_out;
    call.user_pipeN_out = c.user_pipeN_out;
    call.pc = c.pc;
    call.input_backup = c.input_backup;
    Client &live = current_client();
    if (pending) {
        resumed.push_back(call);
        pending = false;
        return Outcome{};
    }
    calls.push_back(call);
    Outcome out;
    if (calls.size() == wait_at_call) {
        out.result = wait_as;
        out.pid = 12345;
        pending = wait_as == Outcome::WAIT_FOR_OUTPUT;
    }
    if (live.cmd_name == "exit")
        out.result = Outcome::LEAVES;
    if (calls.size() == close_at_call)
        live.conn.ending = Ending::NOW;
    return out;
}

class ParserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls.clear();
        resumed.clear();
        close_at_call = 0;
        wait_at_call = 0;
        pending = false;
        for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
            clear_command(client_of(cid).cmd);
            client_of(cid) = Client{};
        }
        log_in(1);
    }

    // Readies slot cid as a new connection does: pc 0, then init_parse.
    static void log_in(int cid)
    {
        client_of(cid).login = true;
        client_of(cid).pc = 0;
        init_parse(cid);
        current_cid = cid;
    }

    // Parses one line of the current client; the commands handed over.
    static std::vector<Call> run(const std::string &line)
    {
        calls.clear();
        parse(line);
        return calls;
    }

    // The only command of a line that must yield exactly one.
    static Call only(const std::string &line)
    {
        std::vector<Call> got = run(line);
        EXPECT_EQ(got.size(), 1u) << "line: " << line;
        return got.empty() ? Call{} : got.front();
    }
};

TEST_F(ParserTest, SplitsLineIntoCommandsAtTheirMarkers)
{
    std::vector<Call> got = run("ls | cat |2");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].words, Words{"ls"});
    EXPECT_TRUE(got[0].flag_pipe && got[0].argv_terminated);
    EXPECT_EQ(got[0].pipeN, 1);
    EXPECT_EQ(got[0].pc, 1);
    EXPECT_EQ(got[1].words, Words{"cat"});
    EXPECT_EQ(got[1].cmd_name, "cat");
    EXPECT_TRUE(got[1].flag_pipe);
    EXPECT_EQ(got[1].pipeN, 2);
    EXPECT_EQ(got[1].pc, 2);
    EXPECT_EQ(current_client().pc, 3);

    got = run("cat <2 >3 foo");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].words, Words{"cat"});
    EXPECT_TRUE(got[0].flag_user_pipe_in && got[0].flag_user_pipe_out);
    EXPECT_EQ(got[0].user_pipeN_in, 2);
    EXPECT_EQ(got[0].user_pipeN_out, 3);
    EXPECT_FALSE(got[0].flag_pipe);
    EXPECT_EQ(got[1].words, Words{"foo"});
    EXPECT_FALSE(got[1].flag_user_pipe_in || got[1].flag_user_pipe_out || got[1].flag_pipe);
    // Every command of the line sees the whole line for the announcements.
    EXPECT_EQ(got[0].input_backup, "cat <2 >3 foo");
    EXPECT_EQ(got[1].input_backup, "cat <2 >3 foo");

    got = run("ls > out.txt | wc");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].words, Words{"ls"});
    EXPECT_EQ(got[0].filename, "out.txt");
    EXPECT_TRUE(got[0].flag_pipe);
    EXPECT_EQ(got[0].pipeN, 1);
    EXPECT_EQ(got[1].words, Words{"wc"});
    EXPECT_EQ(got[1].filename, "");

    got = run("cat <2 | wc");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].flag_user_pipe_in && got[0].flag_pipe);
    EXPECT_EQ(got[0].user_pipeN_in, 2);
    EXPECT_EQ(got[1].words, Words{"wc"});
    EXPECT_FALSE(got[1].flag_user_pipe_in);
}

TEST_F(ParserTest, OnlyTheSpaceCharacterSeparatesWords)
{
    EXPECT_EQ(only("ls|cat").words, Words{"ls|cat"});
    EXPECT_EQ(only("ls\t-l").words, Words{"ls\t-l"});
    EXPECT_EQ(only("\tls -l").words, (Words{"\tls", "-l"}));
    // A marker character after a tab is inside an ordinary word.
    Call tabbed = only("ls \t|2");
    EXPECT_EQ(tabbed.words, (Words{"ls", "\t|2"}));
    EXPECT_FALSE(tabbed.flag_pipe);

    Call spaced = only("   ls   -l   ");
    EXPECT_EQ(spaced.words, (Words{"ls", "-l"}));
    EXPECT_EQ(spaced.input_backup, "   ls   -l   ");

    // A marker must stand alone: the number after a lone "|" is a new command.
    std::vector<Call> got = run("ls | 3");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].pipeN, 1);
    EXPECT_EQ(got[1].words, Words{"3"});
}

TEST_F(ParserTest, DropsOneFinalCarriageReturnOnly)
{
    Call crlf = only("ls -l\r");
    EXPECT_EQ(crlf.words, (Words{"ls", "-l"}));
    EXPECT_EQ(crlf.input_backup, "ls -l");

    Call twice = only("ls\r\r");
    EXPECT_EQ(twice.words, Words{"ls\r"});
    EXPECT_EQ(twice.input_backup, "ls\r");

    // The return must not end up in a message taken whole either.
    EXPECT_EQ(only("yell hi \r").words, (Words{"yell", "hi "}));
    EXPECT_EQ(only("ls\r -l").words, (Words{"ls\r", "-l"}));
}

TEST_F(ParserTest, EmptyAndBlankLinesRunNothing)
{
    const char *lines[] = {"", "     ", "\r", "  \r"};
    for (const char *line : lines) {
        SCOPED_TRACE(testing::Message() << "line: \"" << line << "\"");
        EXPECT_TRUE(run(line).empty());
        EXPECT_EQ(current_client().pc, 1);
    }
    EXPECT_EQ(current_client().input_backup, "  ");
    EXPECT_EQ(only("who").pc, 1);
}

TEST_F(ParserTest, ReadsTheNumberAfterAPipeMarker)
{
    struct Case {
        const char *marker;
        int pipeN;
    } cases[] = {
        {"|", 1}, {"!", 1}, {"|3x", 3}, {"|x", 0}, {"!x", 0}, {"|+3", 3}, {"|-", 0}, {"|007", 7},
        {"|\t", 1}, {"|\t5", 5}, {"!\t\t12", 12}, {"|-3", -3}, {"!-2", -2}, {"|1000", 1000},
        {"|2147483647", INT_MAX}, {"|2147483648", INT_MAX}, {"|99999999999", INT_MAX},
        {"|-2147483648", INT_MIN}, {"!-99999999999999999999999", INT_MIN},
    };
    for (const Case &k : cases) {
        std::string line = std::string("ls ") + k.marker;
        SCOPED_TRACE("line: " + line);
        Call got = only(line);
        EXPECT_EQ(got.words, Words{"ls"});
        EXPECT_EQ(got.pipeN, k.pipeN);
        EXPECT_EQ(got.flag_pipe, k.marker[0] == '|');
        EXPECT_EQ(got.flag_error_pipe, k.marker[0] == '!');
    }
}

TEST_F(ParserTest, RedirectionTakesTheNextWordWhole)
{
    Call bare = only("ls >");
    EXPECT_EQ(bare.words, Words{"ls"});
    EXPECT_EQ(bare.filename, "");
    EXPECT_FALSE(bare.flag_user_pipe_out);

    Call piped = only("ls > |2");
    EXPECT_EQ(piped.filename, "|2");
    EXPECT_FALSE(piped.flag_pipe);
    EXPECT_EQ(only("ls > <2").filename, "<2");
    EXPECT_FALSE(only("ls > <2").flag_user_pipe_in);

    std::vector<Call> got = run("ls > out.txt foo");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].words, Words{"ls"});
    EXPECT_EQ(got[0].filename, "out.txt");
    EXPECT_EQ(got[1].words, Words{"foo"});
    EXPECT_EQ(got[1].filename, "");

    EXPECT_EQ(only("ls > a > b").filename, "b");
    EXPECT_EQ(only("ls >    spaced.txt   ").filename, "spaced.txt");

    // Redirection and user pipes in any order, then one pipe marker.
    Call all = only("ls >2 > f <3 > g !4");
    EXPECT_EQ(all.filename, "g");
    EXPECT_TRUE(all.flag_user_pipe_out && all.flag_user_pipe_in && all.flag_error_pipe);
    EXPECT_EQ(all.user_pipeN_out, 2);
    EXPECT_EQ(all.user_pipeN_in, 3);
    EXPECT_EQ(all.pipeN, 4);
}

TEST_F(ParserTest, UserPipeMarkersNameTheirUser)
{
    std::vector<Call> got = run("cat <2 foo");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].flag_user_pipe_in);
    EXPECT_EQ(got[0].user_pipeN_in, 2);
    EXPECT_EQ(got[1].words, Words{"foo"});
    EXPECT_FALSE(got[1].flag_user_pipe_in);

    EXPECT_EQ(only("cat <2 <4").user_pipeN_in, 4);
    EXPECT_EQ(only("cat >+7").user_pipeN_out, 7);
    EXPECT_EQ(only("cat >\t9").user_pipeN_out, 9);
    EXPECT_EQ(only("cat >x").user_pipeN_out, 0);

    // A marker without a number names user 0, never the id an earlier
    // command left in the record.
    EXPECT_EQ(only("cat <5 >6").user_pipeN_in, 5);
    Call bare_in = only("cat <");
    EXPECT_TRUE(bare_in.flag_user_pipe_in);
    EXPECT_EQ(bare_in.user_pipeN_in, 0);
    EXPECT_EQ(only("cat <\t").user_pipeN_in, 0);
    only("cat >6");
    Call bare_out = only("cat >>");
    EXPECT_TRUE(bare_out.flag_user_pipe_out);
    EXPECT_EQ(bare_out.user_pipeN_out, 0);
    EXPECT_EQ(bare_out.filename, "");

    got = run("cat <5 | cat < | cat");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].user_pipeN_in, 5);
    EXPECT_TRUE(got[1].flag_user_pipe_in);
    EXPECT_EQ(got[1].user_pipeN_in, 0);
    EXPECT_FALSE(got[2].flag_user_pipe_in);
}

TEST_F(ParserTest, CommandsWithoutWordsAreHandedOverAndCounted)
{
    Call lone = only("|2");
    EXPECT_EQ(lone.argc, 0);
    EXPECT_TRUE(lone.argv_terminated);
    EXPECT_EQ(lone.cmd_name, "");
    EXPECT_TRUE(lone.flag_pipe);
    EXPECT_EQ(lone.pipeN, 2);
    EXPECT_EQ(lone.pc, 1);
    EXPECT_EQ(current_client().pc, 2);

    std::vector<Call> got = run("<2 cat");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].argc, 0);
    EXPECT_TRUE(got[0].flag_user_pipe_in);
    EXPECT_EQ(got[1].words, Words{"cat"});
    EXPECT_FALSE(got[1].flag_user_pipe_in);
    EXPECT_EQ(current_client().pc, 4);
}

TEST_F(ParserTest, TellAndYellTakeTheRestOfTheLine)
{
    EXPECT_EQ(only("tell 3 hi  there | x").words, (Words{"tell", "3", "hi  there | x"}));
    EXPECT_EQ(only("tell   3   spaced out  ").words, (Words{"tell", "3", "spaced out  "}));
    EXPECT_EQ(only("tell 3").words, (Words{"tell", "3", ""}));
    EXPECT_EQ(only("tell").words, Words{"tell"});
    EXPECT_EQ(only("yell").words, (Words{"yell", ""}));
    Call yell = only("yell hi | cat > f <2");
    EXPECT_EQ(yell.words, (Words{"yell", "hi | cat > f <2"}));
    EXPECT_FALSE(yell.flag_pipe || yell.flag_user_pipe_in);
    EXPECT_EQ(yell.filename, "");

    // name and wrongly cased names have no such rule.
    EXPECT_EQ(only("name Bob Smith").words, (Words{"name", "Bob", "Smith"}));
    EXPECT_EQ(only("Yell a b").words, (Words{"Yell", "a", "b"}));
    // The rule applies to the command's own name, not to a later word.
    std::vector<Call> got = run("ls tell 3 a | yell b c");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].words, (Words{"ls", "tell", "3", "a"}));
    EXPECT_EQ(got[1].words, (Words{"yell", "b c"}));
}

TEST_F(ParserTest, CounterCountsCommandsAndWrapsAfterTheLastSlot)
{
    std::vector<Call> got = run("ls | cat");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].pc, 1);
    EXPECT_EQ(got[1].pc, 2);
    EXPECT_EQ(only("who").pc, 3);

    current_client().pc = 999;
    got = run("a | b | c");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].pc, 999);
    EXPECT_EQ(got[1].pc, 1000);
    EXPECT_EQ(got[2].pc, 0);

    // Nothing of a command carries over into the next line.
    const Client &c = current_client();
    EXPECT_EQ(c.pc, 1);
    EXPECT_EQ(c.cmd.argc, 0);
    ASSERT_FALSE(c.cmd.argv.empty());
    EXPECT_EQ(c.cmd.argv[0], nullptr);
    EXPECT_TRUE(c.cmd_name.empty() && c.filename.empty());
    EXPECT_EQ(c.pipeN, 1);
    EXPECT_FALSE(c.flag_pipe || c.flag_error_pipe || c.flag_user_pipe_in || c.flag_user_pipe_out ||
                 c.parse_done);
}

TEST_F(ParserTest, EveryWordOfALongCommandReachesTheProgram)
{
    Words words{"echo"};
    std::string line = "echo";
    for (int i = 1; i < 300; ++i) {
        words.push_back("w" + std::to_string(i));
        line += " " + words.back();
    }
    std::vector<Call> got = run(line + " | wc -l");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].argc, 300);
    EXPECT_EQ(got[0].words, words);
    EXPECT_TRUE(got[0].argv_terminated);
    EXPECT_EQ(got[1].words, (Words{"wc", "-l"}));
    EXPECT_TRUE(got[1].argv_terminated);

    EXPECT_EQ(only("tell 3 " + line).words, (Words{"tell", "3", line}));
}

TEST_F(ParserTest, NothingRunsAfterTheClientLeaves)
{
    const char *lines[] = {"exit |1 ls", "exit > f ls -l", "exit <2 who", "exit !3 | who"};
    for (const char *line : lines) {
        SCOPED_TRACE(line);
        Call got = only(line);
        EXPECT_EQ(got.words, Words{"exit"});
    }

    std::vector<Call> got = run("ls | exit now | who");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].words, (Words{"exit", "now"}));

    // Given up on by the server halfway through the line.
    close_at_call = 1;
    got = run("ls | cat | wc");
    EXPECT_EQ(got.size(), 1u);
}

// Whether a command leaves its client waiting, to start or to end, and
// however few commands a turn may run, the line goes on where it stopped:
// the same commands, each with the same record, and a command that could
// not start is handed over again unchanged.
TEST_F(ParserTest, LineStoppedAtAnyCommandGoesOnWhereItStopped)
{
    const std::string line = "ls | cat |2 x > f wc <2 >3 foo !1   yell  a | b ";
    std::vector<Call> whole = run(line);
    ASSERT_EQ(whole.size(), 6u);
    for (std::size_t stop = 1; stop <= whole.size(); ++stop) {
        for (Outcome::Result how : {Outcome::FOREGROUND, Outcome::WAIT_FOR_OUTPUT}) {
            for (int budget : {-1, 1, 2}) {
                SCOPED_TRACE("stop " + std::to_string(stop) + ", budget " + std::to_string(budget) +
                             (how == Outcome::WAIT_FOR_OUTPUT ? ", starting" : ", foreground"));
                log_in(1);
                calls.clear();
                resumed.clear();
                wait_at_call = stop;
                wait_as = how;
                start_line(line);
                int turns = 1;
                // A command that waits to start is handed over again first.
                for (LineProgress p; !(p = continue_line(TurnLimit{budget}, pending)).over && turns < 20;)
                    ++turns;
                EXPECT_LE(turns, budget < 0 ? 2 : 8);
                ASSERT_EQ(calls.size(), whole.size());
                for (std::size_t i = 0; i < whole.size(); ++i) {
                    EXPECT_EQ(calls[i].words, whole[i].words) << i;
                    EXPECT_EQ(calls[i].pc, whole[i].pc) << i;
                    EXPECT_EQ(calls[i].filename, whole[i].filename) << i;
                    EXPECT_EQ(calls[i].flag_error_pipe, whole[i].flag_error_pipe) << i;
                    EXPECT_EQ(calls[i].flag_user_pipe_out, whole[i].flag_user_pipe_out) << i;
                }
                if (how == Outcome::WAIT_FOR_OUTPUT) {
                    ASSERT_EQ(resumed.size(), 1u);
                    EXPECT_EQ(resumed[0].words, whole[stop - 1].words);
                    EXPECT_EQ(resumed[0].pc, whole[stop - 1].pc);
                } else {
                    EXPECT_TRUE(resumed.empty());
                }
                EXPECT_EQ(current_client().pc, whole.back().pc + 1);
            }
        }
    }
}

TEST_F(ParserTest, ActsOnTheCurrentClientOnly)
{
    log_in(7);
    log_in(30);
    std::vector<Call> got = run("ls <5 | cat");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].cid, 30);
    EXPECT_EQ(client_of(30).pc, 3);
    EXPECT_EQ(client_of(7).pc, 1);
    EXPECT_EQ(client_of(1).pc, 1);
    EXPECT_EQ(client_of(7).user_pipeN_in, 0);
    EXPECT_EQ(client_of(7).input_backup, "");

    current_cid = 7;
    EXPECT_EQ(only("who").pc, 1);
    EXPECT_EQ(client_of(7).pc, 2);
    EXPECT_EQ(client_of(30).input_backup, "ls <5 | cat");
}
