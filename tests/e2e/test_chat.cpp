// The chat commands who, tell, yell and name, seen from several real clients.
#include "harness.h"

using namespace e2e;

namespace {

const char WHO_HEADER[] = "<ID>\t<nickname>\t<IP:port>\t<indicate me>\n";

std::string who_row(int id, const std::string &name, const Conn &c, bool me = false)
{
    return std::to_string(id) + "\t" + name + "\t127.0.0.1:" + std::to_string(c.local_port()) +
           (me ? "\t<-me\n" : "\n");
}

std::string named(const Conn &c, const std::string &name)
{
    return "*** User from 127.0.0.1:" + std::to_string(c.local_port()) + " is named '" + name + "'. ***\n";
}

std::string no_user(int id)
{
    return "*** Error: user #" + std::to_string(id) + " does not exist yet. ***\n";
}

std::string exists(const std::string &name)
{
    return "*** User '" + name + "' already exists. ***\n";
}

}  // namespace

class ChatTest : public e2e::ModeTest {
protected:
    // Logs in n clients; ids 1..n in order.
    void login_many(int n)
    {
        for (int i = 0; i < n; ++i)
            users.push_back(&login());
    }

    // Renames a user; the caller and every other open connection must see
    // the announcement with nothing before it.
    void rename(Conn &c, const std::string &name)
    {
        expect_everyone(c, "name " + name, named(c, name));
    }

    // Runs line for by; every open connection, by included, must receive
    // exactly text next (by then gets its prompt).
    void expect_everyone(Conn &by, const std::string &line, const std::string &text)
    {
        EXPECT_EQ(by.command(line), text) << line;
        for (Conn *u : users)
            if (u != &by && u->open()) {
                EXPECT_EQ(u->read_until(text), text) << line;
            }
    }

    void leave(Conn &c, const std::string &name)
    {
        c.send("exit\n");
        EXPECT_TRUE(c.wait_closed());
        const std::string left = "*** User '" + name + "' left. ***\n";
        for (Conn *u : users)
            if (u != &c && u->open()) {
                EXPECT_EQ(u->read_until(left), left);
            }
    }

    std::vector<Conn *> users;
};

INSTANTIATE_IN_BOTH_MODES(ChatTest);

TEST_P(ChatTest, WhoListsLoggedInUsersInIdOrderAndMarksTheCaller)
{
    login_many(3);
    Conn &a = *users[0], &b = *users[1], &c = *users[2];
    rename(c, "gamma");

    EXPECT_EQ(b.command("who"), WHO_HEADER + who_row(1, "(no name)", a) + who_row(2, "(no name)", b, true) +
                                    who_row(3, "gamma", c));
    // Further words and markers do not apply to who.
    EXPECT_EQ(b.command("who is there > w.txt"),
              WHO_HEADER + who_row(1, "(no name)", a) + who_row(2, "(no name)", b, true) + who_row(3, "gamma", c));
    EXPECT_FALSE(file_exists(server.path("w.txt")));

    leave(b, "(no name)");
    EXPECT_EQ(c.command("who"), WHO_HEADER + who_row(1, "(no name)", a) + who_row(3, "gamma", c, true));
    EXPECT_EQ(a.command("who"), WHO_HEADER + who_row(1, "(no name)", a, true) + who_row(3, "gamma", c));
}

TEST_P(ChatTest, TellReachesOnlyTheAddressedUser)
{
    login_many(3);
    Conn &a = *users[0], &b = *users[1], &c = *users[2];
    rename(a, "alpha");

    // Inner and trailing blanks are kept; the teller sees only its prompt.
    EXPECT_EQ(a.command("tell 3 hello  world "), "");
    EXPECT_EQ(c.read_until("\n"), "*** alpha told you ***: hello  world \n");
    // Markers are part of the message; nothing runs and no file is made.
    EXPECT_EQ(a.command("tell   3   a | b > c >2"), "");
    EXPECT_EQ(c.read_until("\n"), "*** alpha told you ***: a | b > c >2\n");
    EXPECT_FALSE(file_exists(server.path("c")));
    EXPECT_EQ(a.command("tell 3"), "");
    EXPECT_EQ(c.read_until("\n"), "*** alpha told you ***: \n");
    // Telling oneself is allowed.
    EXPECT_EQ(a.command("tell 1 note"), "*** alpha told you ***: note\n");

    // Client 2 heard none of it: its next output is its own.
    EXPECT_EQ(b.command("tell 1 back"), "");
    EXPECT_EQ(a.read_until("\n"), "*** (no name) told you ***: back\n");
}

TEST_P(ChatTest, TellToMissingUserIsAnErrorForTheCallerOnly)
{
    login_many(3);
    Conn &a = *users[0], &b = *users[1], &c = *users[2];

    EXPECT_EQ(a.command("tell 9 hi"), no_user(9));
    EXPECT_EQ(a.command("tell 0 hi"), no_user(0));
    EXPECT_EQ(a.command("tell 31 hi"), no_user(31));
    EXPECT_EQ(a.command("tell -2 hi"), no_user(-2));
    EXPECT_EQ(a.command("tell x hi"), no_user(0));
    EXPECT_EQ(a.command("tell"), "Usage: tell [user id] [message]\n");

    leave(b, "(no name)");
    EXPECT_EQ(a.command("tell 2 hi"), no_user(2));
    // Nobody else heard of the failures.
    EXPECT_EQ(c.command("who"), WHO_HEADER + who_row(1, "(no name)", a) + who_row(3, "(no name)", c, true));
}

TEST_P(ChatTest, YellReachesEveryoneWithTheRestOfTheLine)
{
    login_many(3);
    Conn &b = *users[1];
    rename(b, "beta");

    expect_everyone(b, "yell   hello  world ", "*** beta yelled ***: hello  world \n");
    expect_everyone(b, "yell", "*** beta yelled ***: \n");
    // Markers are text: no pipe and no file.
    expect_everyone(b, "yell a | b > c", "*** beta yelled ***: a | b > c\n");
    EXPECT_FALSE(file_exists(server.path("c")));
}

TEST_P(ChatTest, NameMustBeUnusedAndShort)
{
    login_many(3);
    Conn &a = *users[0], &b = *users[1], &c = *users[2];
    rename(a, "alpha");
    rename(b, "beta");

    // Taken by another user, and by the caller itself; case counts.
    EXPECT_EQ(c.command("name beta"), exists("beta"));
    EXPECT_EQ(a.command("name alpha"), exists("alpha"));
    rename(c, "Beta");

    // 19 characters fit, 20 do not; a refused name changes nothing.
    const std::string longest(19, 'n');
    rename(c, longest);
    EXPECT_EQ(c.command("name " + std::string(20, 'x')), "*** Error: a name has at most 19 characters. ***\n");
    EXPECT_EQ(c.command("name " + std::string(300, 'y')), "*** Error: a name has at most 19 characters. ***\n");
    EXPECT_EQ(c.command("name"), "Usage: name [new name]\n");
    // Only the first word counts.
    rename(a, "first");
    EXPECT_EQ(a.command("name second third"), named(a, "second"));
    EXPECT_EQ(b.read_until("\n"), named(a, "second"));
    EXPECT_EQ(c.read_until("\n"), named(a, "second"));

    // Nobody heard of the refusals; the old names stand.
    EXPECT_EQ(b.command("who"), WHO_HEADER + who_row(1, "second", a) + who_row(2, "beta", b, true) +
                                    who_row(3, longest, c));

    // Once beta has left, its name is free.
    leave(b, "beta");
    rename(a, "beta");
}

TEST_P(ChatTest, NewNameShowsEverywhere)
{
    login_many(3);
    Conn &a = *users[0], &b = *users[1], &c = *users[2];
    rename(a, "alpha");
    rename(b, "beta");
    write_file(server.path("f"), "data\n");

    expect_everyone(a, "cat f >2", "*** alpha (#1) just piped 'cat f >2' to beta (#2) ***\n");
    rename(a, "ann");
    rename(b, "bob");

    EXPECT_EQ(c.command("who"), WHO_HEADER + who_row(1, "ann", a) + who_row(2, "bob", b) +
                                    who_row(3, "(no name)", c, true));
    expect_everyone(a, "yell hi", "*** ann yelled ***: hi\n");
    EXPECT_EQ(a.command("tell 3 psst"), "");
    EXPECT_EQ(c.read_until("\n"), "*** ann told you ***: psst\n");
    // The pipe made under the old names is announced with the new ones.
    const std::string got = "*** bob (#2) just received from ann (#1) by 'cat <1' ***\n";
    EXPECT_EQ(b.command("cat <1"), got + "data\n");
    EXPECT_EQ(a.read_until(got), got);
    EXPECT_EQ(c.read_until(got), got);
}

TEST_P(ChatTest, NameWithControlCharactersIsRefusedUnannounced)
{
    login_many(3);
    Conn &a = *users[0], &b = *users[1], &c = *users[2];
    rename(a, "alpha");

    // Escape sequences, tab, a carriage return inside the word, DEL, and the
    // edges of the control range.
    const std::string refused = "*** Error: a name cannot hold control characters. ***\n";
    for (const std::string name : {"\x1b[2Kbeta", "a\tb", "a\rb", "del\x7f", "x\x01", "\x1f", "ok\x1b"})
        EXPECT_EQ(c.command("name " + name), refused) << "name: " << name;
    // C1 controls in UTF-8 (U+0080, U+009B, U+009F) and the bidirectional
    // controls at both edges of their two ranges (U+202A..U+202E,
    // U+2066..U+2069).
    for (const std::string name : {"a\xc2\x80", "\xc2\x9b" "2J", "z\xc2\x9f", "\xe2\x80\xaa" "ab", "ab\xe2\x80\xae",
                                   "\xe2\x81\xa6" "x", "x\xe2\x81\xa9"})
        EXPECT_EQ(c.command("name " + name), refused) << "name: " << name;
    // Their neighbours are ordinary characters: U+00A0, U+2029, U+202F, U+206A.
    for (const std::string name : {"nb\xc2\xa0sp", "p\xe2\x80\xa9", "n\xe2\x80\xaf", "i\xe2\x81\xaa"})
        rename(c, name);

    // Bytes from 128 up are no control bytes: names in UTF-8 stay allowed.
    // The others' next line is this rename, so no refusal was announced.
    rename(b, "b\xc3\xa9ta");
    EXPECT_EQ(c.command("who"), WHO_HEADER + who_row(1, "alpha", a) + who_row(2, "b\xc3\xa9ta", b) +
                                    who_row(3, "i\xe2\x81\xaa", c, true));
}

TEST_P(ChatTest, TellAndYellPassEveryByteAsTyped)
{
    login_many(3);
    Conn &a = *users[0], &b = *users[1], &c = *users[2];

    // Control bytes are the sender's business: chat delivers them untouched.
    const std::string msg = "\x1b[31mred\x1b[0m \t\a\x7f a\rb \xc3\xa9 \x01 \xc2\x9b \xe2\x80\xae \xe2\x81\xa6";
    expect_everyone(b, "yell " + msg, "*** (no name) yelled ***: " + msg + "\n");
    EXPECT_EQ(a.command("tell 3 " + msg), "");
    EXPECT_EQ(c.read_until("\n"), "*** (no name) told you ***: " + msg + "\n");
}
