// fd.h -- the server's own descriptors: closing once, making pipes, and
// keeping pipes out of the range that select watches. A leaf: it knows
// nothing of clients.
#pragma once

// Closes fd if open and marks it closed, so a second call is harmless.
void close_fd(int &fd);
// Closes both ends of a pipe pair and marks them closed; a pair holds both
// ends or neither.
void close_pair(int (&fds)[2]);
// pipe2(O_CLOEXEC), both ends moved out of the range select watches where
// possible; false (errno set, both ends -1) when no pipe can be made now.
bool make_pipe(int (&fds)[2]);
