// fuzz_parser.cpp -- the line parser under libFuzzer. The input is split at
// its newlines into lines, which one logged-in client sends in turn; a
// checking stand-in for the executor verifies, for every command handed over,
// what the real executor relies on: a terminated argument vector whose words
// are all there, a ring slot in range, and markers reset between commands.
// Memory faults and undefined behaviour are left to the sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "global.h"
#include "parser.h"

namespace {

const int CID = 7;
int expected_pc = 0;     // the slot the next command must find
bool line_over = false;  // the client left or was dropped during the line
std::size_t cursor = 0;  // how far into the line the words handed over reach

[[noreturn]] void fail(const char *what)
{
    const Client &c = client_of(CID);
    std::fprintf(stderr, "invariant broken: %s\nline: \"%s\"\ncommand: \"%s\" argc %d pc %d\n", what,
                 c.input_backup.c_str(), c.cmd_name.c_str(), c.cmd.argc, c.pc);
    std::abort();
}

void check(bool ok, const char *what)
{
    if (!ok)
        fail(what);
}

// The message word of tell and yell holds the rest of the line as typed.
bool is_message_word(const Client &c, int i)
{
    return (c.cmd_name == "tell" && i == 2) || (c.cmd_name == "yell" && i == 1);
}

void check_words(const Client &c)
{
    const Command &cmd = c.cmd;
    check(cmd.argc >= 0, "negative argc");
    check(cmd.argv.size() == static_cast<std::size_t>(cmd.argc) + 1, "argv holds other than argc words and a null");
    check(cmd.argv[cmd.argc] == nullptr, "argv not terminated by a null pointer");
    for (int i = 0; i < cmd.argc; ++i) {
        const char *word = cmd.argv[i];
        check(word != nullptr, "null word inside argv");
        const std::string &line = c.input_backup;
        std::size_t len = std::strlen(word);
        bool has_nul = line.find('\0') != std::string::npos;
        if (is_message_word(c, i)) {
            check(has_nul || (len <= line.size() && line.compare(line.size() - len, len, word) == 0),
                  "a message that is not the rest of the line");
            cursor = line.size();
            continue;
        }
        // A NUL byte typed into a word ends it there for the program.
        check(len > 0 || has_nul, "empty word");
        check(std::strchr(word, ' ') == nullptr, "word with a space in it");
        check(len == 0 || std::strchr("|!<>", word[0]) == nullptr, "a marker taken as a word");
        // Words come in the order typed, so each lies after the one before.
        std::size_t at = line.find(word, cursor);
        check(at != std::string::npos, "a word that is not in the line, or out of order");
        cursor = at + len;
    }
    if (cmd.argc == 0)
        check(c.cmd_name.empty(), "a command name without words");
    else
        check(std::strcmp(c.cmd_name.c_str(), cmd.argv[0]) == 0, "command name is not the first word");
    check(c.cmd_name != "tell" || cmd.argc <= 3, "tell with more than three words");
    check(c.cmd_name != "yell" || cmd.argc <= 2, "yell with more than two words");
}

void check_markers(const Client &c)
{
    check(c.pc >= 0 && c.pc < PIPE_SLOTS, "ring slot out of range");
    check(c.pc == expected_pc, "the counter skipped or repeated a command");
    check(!(c.flag_pipe && c.flag_error_pipe), "both |N and !N on one command");
    check(c.flag_pipe || c.flag_error_pipe || c.pipeN == 1, "a distance without a pipe marker");
    check(c.filename.find(' ') == std::string::npos, "file name with a space in it");
}

void reset_client()
{
    Client &c = client_of(CID);
    clear_command(c.cmd);
    c = Client{};
    c.login = true;
    c.pc = 0;
    init_parse(CID);
    current_cid = CID;
    expected_pc = c.pc;
}

}  // namespace

// The executor's place. exit and a made-up "drop" end the line the way
// leaving and being disconnected do in the server.
Outcome execute()
{
    Client &c = client_of(CID);
    check(current_cid == CID, "current client changed");
    check(!line_over, "a command ran after its client was gone");
    check(c.login && c.conn.ending == Ending::NONE, "a command of a client that is gone");
    check_words(c);
    check_markers(c);
    expected_pc = (expected_pc + 1) % PIPE_SLOTS;
    if (c.cmd_name == "exit") {
        line_over = true;
        return Outcome{Outcome::LEAVES};
    }
    if (c.cmd_name == "drop") {
        c.conn.ending = Ending::NOW;
        line_over = true;
    }
    return Outcome{};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    reset_client();
    std::string input(reinterpret_cast<const char *>(data), size);
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        std::string line = input.substr(start, end - start);
        line_over = false;
        cursor = 0;
        parse(line);
        const Client &c = client_of(CID);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        check(c.input_backup == line, "the line kept is not the line typed");
        check(c.cmd.argc == 0 && c.cmd_name.empty() && c.filename.empty() && !c.parse_done,
              "command state left over after the line");
        if (line_over)
            reset_client();  // a new connection takes the slot
        start = end + 1;
    }
    return 0;
}
