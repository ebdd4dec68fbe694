// message.h -- everything the server itself says to its users: plain output
// to the current user, the announcements to several users, and the per-client
// output queue that keeps one slow reader from stalling everybody else.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <sys/select.h>

#include "global.h"

constexpr char PROMPT[] = "% ";
// A client whose unsent output passes this bound is disconnected. A line
// waits for its readers long before (OUTPUT_HIGH_WATER), so only a client
// that does not read can get there.
constexpr std::size_t OUTPUT_QUEUE_LIMIT = 1 << 20;
// While more than this waits for a client (in its queue, or held for it
// while its own line runs), a line whose output went to that client waits
// before its next command, and its own next line does not start: a client
// that reads more slowly than the lines produce output slows them down
// and is never dropped for it.
constexpr std::size_t OUTPUT_HIGH_WATER = 1 << 16;
// How long a client that something waits for may leave its queued output
// without reading any of it: before its own line or command goes on, while
// another's line waits for it, and after it has left, before its
// connection is cut.
constexpr int DRAIN_TIMEOUT_MS = 5000;
// A client that leaves in order (exit, or the end of its input) while its
// peer still reads keeps its connection for the commands that write to it
// (benivox |0) until they end, but at most this long; then they get SIGHUP.
constexpr long long DEPARTURE_COMMANDS_MS = 60000;
// How often a departed connection that such commands write to is looked
// at: whether the peer still reads, and whether it has broken.
constexpr long long DEPARTURE_CHECK_MS = 1000;

// printf-style formatting into a string of whatever length the text needs.
std::string format_text(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Queues text for client cid, writing as much as the socket takes at once
// without blocking. Drops it for a client that is leaving or whose peer has
// gone; drops a client whose queue passes OUTPUT_QUEUE_LIMIT. While cid
// runs a line, text that does not come from that line is held until the
// line's prompt or an earlier release (release_held); a line that waits for
// its readers holds nothing, so no two lines can wait on each other's held
// messages.
void send_to_client(int cid, const std::string &text);
// Bytes queued for cid and not yet written.
std::size_t queued_output(int cid);
// Queues what was held for cid, after everything else.
void release_held(int cid);

// The readers of a client's lines: the client itself, and every client
// that its lines said something to (announcements, yells, tells) while that
// reader had more than OUTPUT_HIGH_WATER waiting for it. forget_reader
// takes a leaving client out of every set, and empties its own.
void forget_reader(int cid);
// True while some reader of cid's lines has more than OUTPUT_HIGH_WATER
// waiting for it: in its queue, or, for another client, held for it.
bool readers_behind(int cid);
// True when cid has output queued that has not moved for DRAIN_TIMEOUT_MS.
bool reader_stalled(int cid, long long now);
// Drops the readers of cid's lines that keep it waiting and have stalled.
void drop_stalled_readers(int cid, long long now);
// Makes nearest the earliest time at which reader r (or, for the readers
// of a line, one of those that keep it waiting) would have stalled.
void take_stall_deadline(int r, long long &nearest);
void take_reader_deadlines(int cid, long long &nearest);
// Writes queued output of cid that the socket now takes; called when select
// reports the socket writable.
void flush_output(int cid);
// Client cid is to leave (exit, ended input, hang-up): the loop's sweep
// removes it, and what is queued for it still goes out.
void end_after_output(int cid, Leave why);
// The server gives up on cid (it does not read): the sweep removes it, its
// output discarded and its connection cut at once.
void drop_client(int cid, Leave why);
// The word the operator's log uses for why.
const char *leave_name(Leave why);
// The peer of cid has reset the connection, or stopped answering: its
// output is dropped, and nothing will wait for it to read.
void connection_broke(int cid);
// True once cid is to leave, either way.
bool is_leaving(int cid);
// Shuts a connection down both ways (the peer and any command holding it
// see its end now); the descriptor stays open for its owner to close.
void shut_connection(int fd);

// A departed client's connection, taken over from its record. What is still
// queued for it goes out as long as it reads (DRAIN_TIMEOUT_MS without
// progress ends that); then the connection is shut down and closed, whatever
// copies of it the client's commands still hold. commands: how many of its
// commands write to the connection; it then stays until they have ended
// (departed_command_ended), at most DEPARTURE_COMMANDS_MS, and less when
// the peer stops reading for DRAIN_TIMEOUT_MS or the connection breaks.
// fd becomes -1: the departures own it now. Returns the departure's ticket
// when it waits for commands (0 otherwise); once it has ended, the ticket
// comes back from take_ended_departures().
long long depart(int &fd, std::string &outq, std::size_t sent, int commands);
void departed_command_ended(long long ticket);
std::vector<long long> take_ended_departures();
// Cuts a connection at once: shut down both ways, closed (fd becomes -1).
void cut_connection(int &fd);
// For the loop: adds departures with output to wset (raising max_fd),
// writes to those select found writable, and gives up on those past their
// deadline. take_departure_deadlines() makes nearest the earliest of their
// deadlines and itself (0 for none).
void watch_departures(fd_set &wset, int &max_fd);
void serve_departures(const fd_set &wset, long long now);
void take_departure_deadlines(long long &nearest);
// For a server shutting down: whether any departure is left, and cutting
// every one.
bool has_departures();
void cut_departures();

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
