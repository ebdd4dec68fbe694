// global.h -- the per-user records and the state that every unit of the
// server shares: the table of 30 clients and the id of the client whose line
// is being handled. The records live for the whole life of the process.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "telnet.h"

constexpr int CLIENT_SLOTS = 30;   // ids 1..30, slot id - 1
constexpr int PIPE_SLOTS = 1001;   // numbered-pipe ring of each client
constexpr int ARGV_SLOTS = 257;    // room reserved for a command's words
constexpr int NAME_SIZE = 20;      // 19 characters and the terminating NUL

// The words of one command. argv holds argc separately allocated copies and
// then a null pointer; the words belong to the Command and are freed by
// clear_command(). The vector grows past ARGV_SLOTS rather than drop words.
struct Command {
    int argc = 0;
    std::vector<char *> argv;
};

// What a client is doing now. The transitions all live in activity.cpp;
// the comments there say when each happens.
enum class Activity {
    IDLE,        // between lines: its input is read, and a whole line starts
    LINE,        // in a line whose next command may run on its next turn
    STARTING,    // a command of its line waits to start (see Launch)
    FOREGROUND,  // its line waits for a foreground command to end
};

// An external command between its preparation and its fork. It may have to
// wait: for a pipe or a process the system cannot give yet, and for the
// client's queued output to go out, so that the command's own output cannot
// overtake it.
struct Launch {
    enum Stage { PIPE, USER_PIPE_IN, USER_PIPE_OUT, FORK } stage = PIPE;
    bool is_pipe = false;            // ends in |N or !N
    bool blocking = false;           // a foreground command
    std::string error_user_pipe_in;  // "" when fine or absent
    std::string error_user_pipe_out;
    int tries = 0;                   // failed attempts at the current stage
    long long retry_at = 0;          // monotonic ms; 0 when not waiting
};

// Appends a copy of word and keeps argv terminated by a null pointer.
void add_word(Command &cmd, const std::string &word);
// Frees every word; argc becomes 0 and argv holds only the null pointer.
void clear_command(Command &cmd);

struct Client {
    bool login = false;          // slot in use: served, listed, broadcast to
    int sockfd = -1;             // owned; closed only by remove_client()
    std::string ip;              // peer address, dotted
    int port = 0;                // peer port, host order
    char name[NAME_SIZE] = {};   // nickname, "(no name)" until renamed

    // Per-command state, written by the parser, read by the executor and
    // reset by init_parse() after every command.
    bool parse_done = false;
    int pc = 0;                  // own slot in the ring, 0..1000
    int pipeN = 1;               // distance of the outgoing numbered pipe
    bool flag_pipe = false;      // ends in |N
    bool flag_error_pipe = false;  // ends in !N
    int user_pipeN_in = 0;       // sender of the user pipe read (<N)
    int user_pipeN_out = 0;      // receiver of the user pipe written (>N)
    bool flag_user_pipe_in = false;
    bool flag_user_pipe_out = false;
    int pipefd[PIPE_SLOTS][2];   // ring: read and write end, -1 where none
    std::string filename;        // output redirection target, empty if none
    std::string cmd_name;        // first word of the command
    Command cmd;
    std::string input_backup;    // the line as typed, less a final CR
    // A command of the line could not start: the commands after it would
    // find their pipes missing and read the client's connection instead.
    bool flag_line_failed = false;

    // What the client is doing now, and the state of a line in progress:
    // where the rest of input_backup begins, the command waiting to start,
    // and the foreground command the line waits for.
    Activity activity = Activity::IDLE;
    std::size_t rest_pos = 0;
    Launch launch;
    int fg_pid = -1;
    long long kill_at = 0;       // SIGKILL for a hung-up command; 0 = none
    // A client whose line waits for its queued output to go out (before a
    // command starts, or before a line starts while the queue is long) is
    // dropped if it has not read it by then; 0 when not waiting.
    long long output_deadline = 0;
    bool flag_hung_up = false;   // the connection broke under the command
    // Messages from others that arose while the line was in progress; they
    // follow the line's prompt, as if sent just after the line ended.
    std::string held;

    // The client's own environment, and the same as a block of "NAME=VALUE"
    // strings that the process environment is pointed at before each line.
    std::map<std::string, std::string> env;
    std::vector<std::string> env_strings;
    std::vector<char *> envp;

    // Connection state: bytes read but not yet handled as lines, and the
    // server's own output that the socket could not take yet.
    std::string inbuf;
    std::size_t inbuf_pos = 0;   // start of the unhandled bytes in inbuf
    bool flag_discard_line = false;  // dropping the rest of an overlong line
    TelnetState telnet;          // where the last read left a telnet sequence
    bool flag_eof = false;       // peer ended its input; lines left still run
    std::string outq;
    std::size_t outq_sent = 0;   // bytes of outq already written
    bool flag_write_failed = false;  // peer gone: output is dropped
    bool flag_closing = false;   // to be removed at the end of the pass
    bool flag_dropped = false;   // given up on: its connection is cut at once
};

extern Client clients[CLIENT_SLOTS];
extern int current_cid;
// The client whose line is being run right now; 0 between turns. What the
// server says to a client with a line in progress is held unless it comes
// from that very line.
extern int line_cid;
// Started with --concurrent: a line waits for its foreground command
// without holding up the other clients.
extern bool concurrent_mode;
// The listening socket; owned by the main loop.
extern int server_sockfd;

inline Client &client_of(int cid) { return clients[cid - 1]; }
inline Client &current_client() { return clients[current_cid - 1]; }
