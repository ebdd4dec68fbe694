// user_pipe.h -- pipes that carry one user's command output into a command
// of another user (or of the same user), indexed by sender and receiver id.
#pragma once

#include <string>

// user_pipefd[S][R]: read and write end of the pipe from client S to client
// R, -1 where there is none. Row and column 0 are never used.
extern int user_pipefd[31][31][2];

void init_user_pipe();
// Server side, before fork. Both return "" on success (the transfer has
// then been announced to everyone) or the complete error text.
std::string create_user_pipe_in(int send_cid);
// When the pipe itself cannot be made, *pipe_errno (if given) gets the
// reason, else 0.
std::string create_user_pipe_out(int recv_cid, int *pipe_errno = nullptr);
// Child side: attach the user pipe, or write error_msg to standard error
// and attach the null device on that side.
void connect_user_pipe_in(int send_cid, const std::string &error_msg);
void connect_user_pipe_out(int recv_cid, const std::string &error_msg);
// Descriptors that client cid's pending pipes hold: its numbered pipes and
// the user pipes it writes.
int pipe_descriptors_held(int cid);
// True when one more pipe stays within client cid's descriptor_share();
// false with errno EMFILE otherwise.
bool may_hold_another_pipe(int cid);
// Closes the pipe from client i to client j, if there is one.
void clear_user_pipe(int i, int j);
// Closes every pipe from or to the current client; its data is lost.
void delete_user_pipe();
