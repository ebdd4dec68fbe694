// global.cpp -- storage of the client table and the current client id, and
// the ownership rules of a command's words.
#include "global.h"

#include <cstdlib>
#include <cstring>

Client clients[CLIENT_SLOTS];
int current_cid = 0;
int line_cid = 0;
bool concurrent_mode = false;

void add_word(Command &cmd, const std::string &word)
{
    if (cmd.argv.empty())
        cmd.argv.reserve(ARGV_SLOTS);
    else
        cmd.argv.pop_back();  // the terminating null pointer
    char *copy = static_cast<char *>(std::malloc(word.size() + 1));
    std::memcpy(copy, word.data(), word.size());
    copy[word.size()] = '\0';
    cmd.argv.push_back(copy);
    cmd.argv.push_back(nullptr);
    ++cmd.argc;
}

void clear_command(Command &cmd)
{
    for (char *word : cmd.argv)
        std::free(word);
    cmd.argv.clear();
    cmd.argv.push_back(nullptr);
    cmd.argc = 0;
}
