// activity.h -- what each client is doing now (the Activity in its record),
// and every place where that changes.
//
//   IDLE --a whole line--> LINE                      begin_line
//   LINE --the line is over--> IDLE                  run_turn: prompt, then held messages
//   LINE --a command must wait--> STARTING           wait_to_start, wait_for_output
//   STARTING --started or given up--> LINE           end_start
//   STARTING --started in the foreground--> FOREGROUND  end_start
//   FOREGROUND --its command ended--> LINE           foreground_ended
//
// A client leaves at the end of a pass (the loop's sweep), from any of these
// except FOREGROUND: a client whose connection ends or who is dropped while
// its foreground command runs is removed once that command has ended.
//
// In the default mode a client that is not IDLE holds up every other client
// (the loop's pass waits for it); with --concurrent it holds up only itself,
// and a long line is run a few commands per turn.
#pragma once

#include <string>
#include <sys/types.h>

// Creates the hang-up watch; exits on failure.
void init_activity();
// A descriptor select watches for reading: ready when the connection of a
// client with a foreground command has broken (check_hang_ups tells which).
int hangup_watch_fd();
void check_hang_ups();

// IDLE -> LINE: starts line (as read, without its newline) and runs its
// first turn.
void begin_line(int cid, std::string line);
// Runs client cid's line in progress for one turn, if it can go on now.
void run_turn(int cid);
// True when client cid, not IDLE, could go on with its line right now.
bool may_go_on(int cid, long long now);

// The executor's side. The current client's command waits until retry_at
// (monotonic ms), or until its queued output has gone out.
void wait_to_start(int cid, long long retry_at);
void wait_for_output(int cid);
// Client cid has a line that waits for its queued output to go out; if it
// has not gone out DRAIN_TIMEOUT_MS after the wait began, the client is
// dropped (expire_deadlines). A wait ends when its line goes on.
void wait_for_reader(int cid, long long now);
// The command has started, as a foreground command when fg_pid > 0, or has
// been given up; the line goes on.
void end_start(int cid, pid_t fg_pid);
// The foreground command of cid has ended (reaped).
void foreground_ended(int cid);

// The connection of cid has broken or been dropped: its foreground command,
// if any, gets SIGHUP now and SIGKILL if it is still there 2 s later, and
// the rest of its line does not run.
void hang_up(int cid);
// Acts on deadlines that have passed: SIGKILL for hung-up commands, and
// dropping clients that do not read what must go out before their line
// can go on.
void expire_deadlines(long long now);
// The nearest deadline of any client (monotonic ms), or 0 when none.
long long next_deadline();
// Forgets a leaving or arriving client's activity.
void reset_activity(int cid);
