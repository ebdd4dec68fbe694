// log.h -- the operator's log, written only when the server was started
// with --log. One line per event, each starting with the UTC time to the
// millisecond. It never holds up the loop: each line goes out with one
// write of the whole line, or not at all. A leaf: it knows nothing of
// clients. Command lines and messages are never logged.
#pragma once

#include <string>

// Opens path for appending ("-": standard error). False when it cannot be
// opened; nothing is logged without a call that succeeded.
bool open_log(const char *path);
// Opens the same path again, for log rotation; on failure the old one stays.
void reopen_log();
// Logs one event: text in printf style, without the time or a newline.
void log_event(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// text with backslashes and double quotes escaped, for a quoted field.
std::string log_quoted(const std::string &text);
