// parser.h -- turns one line of a client into commands. Each command's words
// and markers are written straight into the current client's record and the
// command is handed to execute() the moment it is complete.
#pragma once

#include <string>
#include <string_view>

// Advances client cid's command counter (modulo 1001) and resets the
// per-command fields for the next command.
void init_parse(int cid);
// Runs every command of one line of the current client (the line without
// its newline) that can run without waiting: start_line, then
// continue_line without a limit.
void parse(std::string input);
// Makes input (less a final CR) the current client's line in progress.
void start_line(std::string input);
// Runs commands of the current client's line in progress, at most budget of
// them (no limit when negative). True when the line is over: used up, or
// cut short by exit, by the client being dropped or by a command that could
// not start. False when it stopped early: the budget is spent, a command
// waits to start, or a foreground command runs (see Activity); the next call
// goes on where this one stopped.
bool continue_line(int budget);

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
// Reads the number after a marker character into field: white space skipped,
// an optional sign and the digits, stopping at the first other character,
// clamped to the int range; 0 without a digit; field untouched when the text
// is empty or blank.
void read_number(std::string_view text, int &field);

// Provided by the executor; reads the current client's record.
void execute();
