// user_pipe.cpp -- the user-pipe table. Between the command that writes a
// user pipe and the command that reads it, the server holds both ends, so
// the data waits in the pipe while the two users type other lines; the
// reader sees end of input once the writer has ended, because the server
// closes its ends right after forking the reader.
#include "user_pipe.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "client.h"
#include "fd.h"
#include "global.h"
#include "log.h"
#include "message.h"

int user_pipefd[31][31][2];

void init_user_pipe()
{
    for (auto &row : user_pipefd)
        for (auto &pair : row)
            pair[0] = pair[1] = -1;
}

std::string create_user_pipe_in(int send_cid)
{
    const int recv_cid = current_cid;
    const std::string line_cmd = current_client().input_backup;
    if (!check_client_exist(send_cid))
        return format_text("*** Error: user #%d does not exist yet. ***", send_cid);
    if (user_pipefd[send_cid][recv_cid][0] == -1)
        return format_text("*** Error: the pipe #%d->#%d does not exist yet. ***", send_cid, recv_cid);
    broadcast_user_pipe_in(send_cid, recv_cid, line_cmd);
    return std::string();
}

std::string create_user_pipe_out(int recv_cid, int *pipe_errno)
{
    if (pipe_errno)
        *pipe_errno = 0;
    const int send_cid = current_cid;
    const std::string line_cmd = current_client().input_backup;
    if (!check_client_exist(recv_cid))
        return format_text("*** Error: user #%d does not exist yet. ***", recv_cid);
    int(&pair)[2] = user_pipefd[send_cid][recv_cid];
    if (pair[1] != -1)
        return format_text("*** Error: the pipe #%d->#%d already exists. ***", send_cid, recv_cid);
    if (!may_hold_another_pipe(send_cid) || !make_pipe(pair)) {
        log_event("refused id=%d bound=pipes error=\"%s\"", send_cid, std::strerror(errno));
        if (pipe_errno)
            *pipe_errno = errno;
        return format_text("*** Error: the pipe #%d->#%d cannot be created now. ***", send_cid, recv_cid);
    }
    broadcast_user_pipe_out(send_cid, recv_cid, line_cmd);
    return std::string();
}

// In the child. Closing target first lets open() hand back that very number
// (every number below it is in use), so this works even when the server has
// run out of descriptors; otherwise the command would stay wired to the
// user's socket, reading the user's keystrokes or writing to the screen.
// Should the open fail all the same, target stays closed: still no socket.
static void attach_null_device(int target, int flags)
{
    close(target);
    int fd = open("/dev/null", flags);
    if (fd >= 0 && fd != target) {
        dup2(fd, target);
        close(fd);
    }
}

void connect_user_pipe_in(int send_cid, const std::string &error_msg)
{
    if (!error_msg.empty()) {
        write_fd(STDERR_FILENO, error_msg + "\n");
        attach_null_device(STDIN_FILENO, O_RDONLY);
        return;
    }
    dup2(user_pipefd[send_cid][current_cid][0], STDIN_FILENO);
}

void connect_user_pipe_out(int recv_cid, const std::string &error_msg)
{
    if (!error_msg.empty()) {
        write_fd(STDERR_FILENO, error_msg + "\n");
        attach_null_device(STDOUT_FILENO, O_WRONLY);
        return;
    }
    dup2(user_pipefd[current_cid][recv_cid][1], STDOUT_FILENO);
}

int pipe_descriptors_held(int cid)
{
    int held = 0;
    for (const auto &fds : client_of(cid).pipefd)
        held += (fds[0] >= 0) + (fds[1] >= 0);
    for (const auto &fds : user_pipefd[cid])
        held += (fds[0] >= 0) + (fds[1] >= 0);
    return held;
}

bool may_hold_another_pipe(int cid)
{
    if (pipe_descriptors_held(cid) + 2 <= descriptor_share())
        return true;
    errno = EMFILE;  // as if the table were full: to this user, it is
    return false;
}

void clear_user_pipe(int i, int j)
{
    close_pair(user_pipefd[i][j]);
}

void delete_user_pipe()
{
    const int cid = current_cid;
    for (int i = 1; i <= CLIENT_SLOTS; ++i) {
        clear_user_pipe(i, cid);
        clear_user_pipe(cid, i);
    }
}
