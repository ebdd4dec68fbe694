// test_telnet.cpp -- the telnet filter on its own: what stays in the line,
// what is answered, and that a sequence split across reads is taken the
// same as a whole one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "telnet.h"

namespace {

struct Filtered {
    std::string line;
    std::string reply;
};

// Feeds the pieces one after the other, as successive reads would bring them.
Filtered filter(const std::vector<std::string> &pieces)
{
    TelnetState state;
    Filtered out;
    for (const std::string &piece : pieces)
        filter_telnet(state, piece, out.line, out.reply);
    return out;
}

Filtered filter(const std::string &input) { return filter(std::vector<std::string>{input}); }

}  // namespace

TEST(TelnetTest, BytesOutsideSequencesPassUnchanged)
{
    std::string all;
    for (int byte = 0; byte < 255; ++byte)
        all += static_cast<char>(byte);  // command bytes too, when no IAC leads them
    Filtered out = filter(all + "\r\n");
    EXPECT_EQ(out.line, all + "\r\n");
    EXPECT_EQ(out.reply, "");
    // IAC before a byte that is no command is no sequence either.
    EXPECT_EQ(filter("a\xff" "b\xff\x01").line, "a\xff" "b\xff\x01");
}

TEST(TelnetTest, OptionRequestsAreRefusedInOrderAndLeftOutOfTheLine)
{
    // Ctrl-C: interrupt, then DO TIMING-MARK.
    Filtered ctrl_c = filter("\xff\xf4\xff\xfd\x06" "ls\r\n");
    EXPECT_EQ(ctrl_c.line, "ls\r\n");
    EXPECT_EQ(ctrl_c.reply, "\xff\xfc\x06");
    // WILL 1, DO 3, WONT 5, DONT 24, DO 255: answered DONT 1, WONT 3, WONT 255.
    Filtered out = filter("a\xff\xfb\x01" "b\xff\xfd\x03" "c\xff\xfc\x05\xff\xfe\x18" "d\xff\xfd\xff" "e");
    EXPECT_EQ(out.line, "abcde");
    EXPECT_EQ(out.reply, "\xff\xfe\x01\xff\xfc\x03\xff\xfc\xff");
}

TEST(TelnetTest, OtherSequencesAreDroppedUnanswered)
{
    for (int command = 240; command <= 249; ++command) {
        Filtered out = filter(std::string("x\xff") + static_cast<char>(command) + "y");
        EXPECT_EQ(out.line, "xy") << "command " << command;
        EXPECT_EQ(out.reply, "") << "command " << command;
    }
    // A doubled IAC is one data byte.
    EXPECT_EQ(filter("a\xff\xff" "b").line, "a\xff" "b");
    EXPECT_EQ(filter("\xff\xff\xff\xf4\xff\xff\xff\xff").line, "\xff\xff\xff");
    // Subnegotiations: terminal type; then window size holding an escaped
    // 255 and what looks like a request, which inside one is neither.
    using namespace std::string_literals;  // the first one holds a NUL
    Filtered out = filter("a\xff\xfa\x18\x00xterm\xff\xf0"
                          "b\xff\xfa\x1f\xff\xff\xf0\xff\xfd\x06\xff\xf0" "c"s);
    EXPECT_EQ(out.line, "abc");
    EXPECT_EQ(out.reply, "");
}

TEST(TelnetTest, SequencesSplitAcrossReadsAreTakenAsWhole)
{
    const std::string input = "p\xff\xf4\xff\xfd\x06q\xff\xff" "r\xff\xfa\x18\x01\xff\xff\xff\xf0s\xff\xfb\x22t\xff" "u";
    const Filtered whole = filter(input);
    ASSERT_EQ(whole.line, "pq\xffrst\xffu");
    ASSERT_EQ(whole.reply, "\xff\xfc\x06\xff\xfe\x22");
    for (std::size_t i = 0; i <= input.size(); ++i) {
        for (std::size_t j = i; j <= input.size(); ++j) {
            Filtered split = filter({input.substr(0, i), input.substr(i, j - i), input.substr(j)});
            EXPECT_EQ(split.line, whole.line) << "split at " << i << " and " << j;
            EXPECT_EQ(split.reply, whole.reply) << "split at " << i << " and " << j;
        }
    }
}
