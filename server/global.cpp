// global.cpp -- storage of the client table and the current client id, the
// ownership rules of a command's words, and the small helpers every unit
// shares: the clock, deadlines, numbers typed by users.
#include "global.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <time.h>

Client clients[CLIENT_SLOTS];
int current_cid = 0;
int line_cid = 0;
bool concurrent_mode = false;
bool flag_shutting_down = false;

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

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

long long now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

void take_earlier(long long &nearest, long long when)
{
    if (when != 0 && (nearest == 0 || when < nearest))
        nearest = when;
}

void read_number(std::string_view text, int &field)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i == text.size())
        return;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-')
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;  // enough to clamp either way
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        value = INT_MAX;
    if (value < INT_MIN)
        value = INT_MIN;
    field = static_cast<int>(value);
}
