// shell.h -- the numbered-pipe ring of each client, output redirection, and
// the executor that runs one complete command of the current client.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// The ring slot that a command at slot pc with distance pipeN writes into.
// Any distance, negative or huge, is taken modulo 1001, so the slot always
// lies in 0..1000 and distances differing by a multiple of 1001 agree.
int pipe_target(int pc, int pipeN);

bool exist_pipe(int index);
// Makes sure the current command's outgoing slot holds a pipe; false (errno
// set) when no pipe could be made.
bool create_pipe();
void clear_pipe(int index);
// Closes every pending numbered pipe of client cid (it is leaving).
void close_all_pipes(int cid);

// Child side: wire descriptors 0, 1 and 2, then close everything else.
void connect_pipe_in();
void connect_pipe_out();
// Opens (creating or truncating) the output file and, when onto_stdout,
// puts it on descriptor 1; false (errno set) when it cannot be opened.
bool connect_file(bool onto_stdout);
void clear_useless_fd();
// Child side, first of all: joins process group pgid (0: a group of its
// own), and lets SIGHUP end it again.
void join_line_group(pid_t pgid);

// At most this many commands of one client run at a time: processes the
// server started for it and has not reaped. One more does not start.
constexpr int MAX_COMMANDS_PER_USER = 64;
// Reads the test-only settings; call once, before the environment changes.
void init_shell();

// What became of a command handed to the executor. The executor only
// reports; what the client does next is decided by its caller.
struct Outcome {
    enum Result {
        DONE,             // a built-in ran, or the command started in the background
        WAIT_UNTIL,       // it could not start yet: hand it over again at until
        WAIT_FOR_OUTPUT,  // it starts once the client's queued output has gone out
        WAIT_FOR_READERS, // it runs once the clients the line said things to have read them
        FOREGROUND,       // it started, and the line waits for process pid
        GIVEN_UP,         // it could not start; the user has been told
        LEAVES,           // exit: the user leaves
    } result = DONE;
    long long until = 0;   // WAIT_UNTIL: monotonic ms
    pid_t pid = -1;        // FOREGROUND
    bool started = false;  // a process was started (DONE or FOREGROUND)
};

// Runs the current client's complete command, or takes it as far as it can
// go now. A command that has to wait (WAIT_UNTIL, WAIT_FOR_OUTPUT,
// WAIT_FOR_READERS) keeps its fields and its Launch; the next call goes on
// with it where it stopped.
Outcome execute();

// SIGCHLD only wakes the loop, through a pipe whose read end is
// sigchld_fd(); reap_children() then reaps every child that has ended and
// gives back each with the id of the client that started it (0 when that
// client has left).
void sigchld_handler(int signo);
// Installs sigchld_handler for the life of the server; exits on failure.
void install_sigchld_handler();
int sigchld_fd();
struct Reaped {
    pid_t pid;
    int owner;
};
std::vector<Reaped> reap_children();
bool has_children();

// Each command line's processes form a process group, and the signals
// below go to the whole group of a command, so they reach what a script
// started too; only groups that a child of ours is still in are signalled.
void signal_command(pid_t pid, int sig);
void signal_every_command(int sig);
// How many of client cid's commands are in groups where a command writes
// to its connection: what its departure waits for when it leaves in order.
int commands_on_connection(int cid);
// Client cid leaves: its commands are no longer counted as its own. Those
// in groups where one writes to the connection stay with departure (when
// not 0) until it ends; every other group gets SIGHUP now, as a terminal
// hang-up does.
void hang_up_commands(int cid, long long departure);
// SIGHUP to the commands whose departures have ended since the last call.
void hang_up_departed_commands();
