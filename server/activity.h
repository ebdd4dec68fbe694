// activity.h -- what each client is doing now (the Line in its record),
// every change of it, and what follows from the executor's reports. The
// loop calls in here; this unit calls the parser, the executor and the
// units below them, never the loop.
//
//   IDLE --a whole line--> LINE                          begin_line
//   LINE --the line is over--> IDLE                      the prompt, then held messages
//   LINE --WAIT_UNTIL, WAIT_FOR_OUTPUT--> STARTING       the command keeps its fields
//   STARTING --its time, or its output gone--> LINE      run_turn hands it over again
//   LINE --FOREGROUND--> FOREGROUND                      the line waits for its pid
//   FOREGROUND --its command reaped--> LINE              commands_ended
//   LINE --WAIT_FOR_READERS--> WAITING                   held messages go out
//   WAITING --its readers have read enough--> LINE       run_turn hands the command over again
//   any but FOREGROUND --leaving--> (slot free)          release_client, from the sweep
//
// A client whose connection ends, or who is dropped, while its foreground
// command runs leaves once that command has ended.
//
// In the default mode a client that is not IDLE holds up every other client
// (the loop's pass waits for it); with --concurrent it holds up only itself,
// and a long line is run in short turns (one started process or about a
// millisecond of work each).
#pragma once

#include <string>

// Creates the hang-up watch; exits on failure.
void init_activity();
// A descriptor select watches for reading: ready when the connection of a
// client with a foreground command has broken (check_hang_ups tells which).
int hangup_watch_fd();
void check_hang_ups();
// Reaps the commands that have ended; a line that waited for one goes on
// at its next turn.
void commands_ended();

// An IDLE client cid may start a line now: false while more than
// OUTPUT_HIGH_WATER of its output waits. wants: it has a line (or an ended
// input) to act on; it is then dropped if it reads nothing of its output
// for DRAIN_TIMEOUT_MS.
bool may_begin_line(int cid, bool wants);
// IDLE -> LINE: starts line (as read, without its newline) and runs its
// first turn.
void begin_line(int cid, std::string line);
// Runs client cid's line in progress for one turn, if it can go on now.
void run_turn(int cid);
// True when client cid, not IDLE, could go on with its line right now.
bool may_go_on(int cid, long long now);

// Acts on deadlines that have passed: SIGKILL for hung-up commands, and
// dropping clients that read nothing of what a line waits for them to read.
void expire_deadlines(long long now);
// Makes nearest the earliest of the clients' deadlines and itself (0: none).
void take_line_deadlines(long long &nearest);

// For the sweep: true when leaving client cid can be released now. A client
// whose foreground command runs waits for it; a dropped one has its
// connection shut down at once, which hangs up that command.
bool ready_to_leave(int cid);
// The one way out of the table: the client's user pipes, its commands still
// running (SIGHUP; those writing to a connection it left in order get it
// when its departure ends), its slot, its connection and its pending pipes
// are let go. Only the loop's sweep calls it.
void release_client(int cid);
