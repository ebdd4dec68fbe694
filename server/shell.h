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
bool connect_file();
void clear_useless_fd();

// pipe2(O_CLOEXEC) with a few short retries; false when it keeps failing.
bool make_pipe(int fds[2]);

void execute();
void sigchld_handler(int signo);
// Installs sigchld_handler for the life of the server.
void install_sigchld_handler();
