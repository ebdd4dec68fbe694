// message.h -- everything the server itself says to its users: plain output
// to the current user, the announcements to several users, and the per-client
// output queue that keeps one slow reader from stalling everybody else.
#pragma once

#include <cstddef>
#include <string>

// A client whose unsent output passes this bound is disconnected.
constexpr std::size_t OUTPUT_QUEUE_LIMIT = 1 << 20;
// How long the server waits for a client's queued output to drain before it
// starts a command whose output goes straight to that client's socket.
constexpr int DRAIN_TIMEOUT_MS = 5000;

// Milliseconds of the monotonic clock, for bounded waits.
long long now_ms();

// printf-style formatting into a string of whatever length the text needs.
std::string format_text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Queues text for client cid, writing as much as the socket takes at once
// without blocking. Drops it for a client that is leaving or whose peer has
// gone; marks a client whose queue passes OUTPUT_QUEUE_LIMIT for closing.
void send_to_client(int cid, const std::string &text);
// Writes queued output of cid that the socket now takes; called when select
// reports the socket writable.
void flush_output(int cid);
// Waits, at most DRAIN_TIMEOUT_MS, until cid's queue is written. On timeout
// the client is marked for closing and false comes back.
bool drain_output(int cid);
// Marks client cid to be removed at the end of the loop's pass.
void mark_closing(int cid);

// Output to the current user.
void normal_output(const std::string &msg);
void error_output(const std::string &msg);
// Writes all of text to fd, retrying short writes; for children, whose
// descriptors are plain blocking ones.
void write_fd(int fd, const std::string &text);

void broadcast(const std::string &msg);
void broadcast_login(const std::string &ip, int port, const char *name);
void broadcast_logout(const char *name);
void broadcast_name(const std::string &ip, int port, const char *name);
void broadcast_yell(const char *sender, const std::string &yell_msg);
void tell_one(const char *sender, int cid, const std::string &tell_msg);
void broadcast_user_pipe_in(int send_cid, int recv_cid, const std::string &line_cmd);
void broadcast_user_pipe_out(int send_cid, int recv_cid, const std::string &line_cmd);
