// parser.h -- turns one line of a client into commands. Each command's words
// and markers are written straight into the current client's record and the
// command is handed to execute() the moment it is complete.
#pragma once

#include <string>
#include <string_view>

#include "global.h"
#include "shell.h"

// Advances client cid's command counter (modulo 1001) and resets the
// per-command fields for the next command.
void init_parse(int cid);
// Runs every command of one line of the current client (the line without
// its newline) that can run without waiting: start_line, then
// continue_line without a limit.
void parse(std::string input);
// Makes input (less a final CR) the current client's line in progress.
void start_line(std::string input);
// What a run of continue_line came to: the outcome of the last command
// handed to execute() (DONE when none was), and whether the line is over.
struct LineProgress {
    Outcome last;
    bool over = false;
};
// How much of a line one turn may run: at most commands of them (no limit
// when negative), none after a command that started a process when
// stop_after_start, and none more once the monotonic clock has passed
// until_us (0: no time limit).
struct TurnLimit {
    int commands = -1;
    bool stop_after_start = false;
    long long until_us = 0;
};
// Runs commands of the current client's line in progress, as far as limit
// lets one turn go. resume: the command handed over last is to
// be handed over again first, unchanged, as it could not start. The line is
// over when used up, or cut short by exit, by a command that could not
// start or by the client leaving. Otherwise it stopped early: the turn is
// over, a command waits to start, or a foreground command runs; the next
// call goes on where this one stopped.
LineProgress continue_line(const TurnLimit &limit, bool resume);

void parse_pipe(std::string pipe_str);
void parse_error_pipe(std::string pipe_str);
void parse_filename(std::string_view &input);
void parse_user_pipe_out(std::string pipe_str, std::string_view input);
void parse_user_pipe_in(std::string pipe_str, std::string_view input);
// True when the rest of the line does not go on with a marker of this command.
bool check_cmd_end(std::string_view input);
void remove_space(std::string_view &str);
// Takes the text before the first delim out of str; the delim stays.
std::string split(std::string_view &str, std::string_view delim);

