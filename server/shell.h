// shell.h -- the numbered-pipe ring of each client, output redirection, and
// the executor that runs one complete command of the current client.
#pragma once

#include <string>
#include <sys/types.h>

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

// pipe2(O_CLOEXEC), both ends moved out of the range select watches where
// possible; false (errno set, both ends -1) when no pipe can be made now.
bool make_pipe(int fds[2]);

// Runs the current client's complete command, or takes it as far as it can
// go now: a command that has to wait leaves its client STARTING, and a
// later call goes on with it (see activity.h).
void execute();

// SIGCHLD only wakes the loop, through a pipe whose read end is
// sigchld_fd(); reap_children() then reaps every child that has ended and
// tells the activity of a client whose foreground command it was.
void sigchld_handler(int signo);
// Installs sigchld_handler for the life of the server; exits on failure.
void install_sigchld_handler();
int sigchld_fd();
void reap_children();
// SIGHUP to every command that client cid started and that still runs, as
// a terminal hang-up does; they are no longer counted as that client's.
void hang_up_commands(int cid);
