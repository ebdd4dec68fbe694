// global.h -- the per-user records and the state that every unit of the
// server shares: the table of 30 clients and the id of the client whose line
// is being handled. The records live for the whole life of the process.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
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

// What a client is doing now. Every change of it lives in activity.cpp,
// whose header draws the diagram.
enum class Activity {
    IDLE,        // between lines: its input is read, and a whole line starts
    LINE,        // in a line whose next command may run on its next turn
    STARTING,    // a command of its line waits to start (see Launch)
    FOREGROUND,  // its line waits for a foreground command to end
    WAITING,     // its line waits, before its next command, for the clients
                 // that its output went to to read enough of it
};

// An external command between its preparation and its fork: the executor's
// own progress on it (shell.cpp writes it). It may have to wait: for a pipe
// or a process the system cannot give yet, and for the client's queued
// output to go out, so that the command's own output cannot overtake it.
struct Launch {
    enum Stage { NONE, PIPE, USER_PIPE_IN, USER_PIPE_OUT, FORK } stage = NONE;
    bool is_pipe = false;            // ends in |N or !N
    bool blocking = false;           // a foreground command
    std::string error_user_pipe_in;  // "" when fine or absent
    std::string error_user_pipe_out;
    int tries = 0;                   // failed attempts at the current stage
};

// Appends a copy of word and keeps argv terminated by a null pointer.
void add_word(Command &cmd, const std::string &word);
// Frees every word; argc becomes 0 and argv holds only the null pointer.
void clear_command(Command &cmd);

// How a connection is to end.
enum class Ending {
    NONE,          // it goes on
    AFTER_OUTPUT,  // exit, ended input, hang-up: what is queued still goes out
    NOW,           // given up on (it does not read): cut at once
};

// Why a client leaves, as the operator's log tells it.
enum class Leave {
    NONE,
    EXIT,          // typed exit
    END_OF_INPUT,  // its peer ended its input
    RESET,         // the connection broke: reset, or keepalive gave up
    HANG_UP,       // the connection broke under a foreground command
    OUTPUT_BOUND,  // dropped: more than OUTPUT_QUEUE_LIMIT queued
    NOT_READING,   // dropped: read nothing for 5 s while a line waited for it
    SHUTDOWN,      // the server stops
};

// The connection: what has come in and not been handled yet, and what the
// server has said that the socket could not take yet. The input side is
// written by the loop (main.cpp), the output side and the ending by
// message.cpp.
struct Connection {
    std::string inbuf;
    std::size_t inbuf_pos = 0;       // start of the unhandled bytes in inbuf
    bool flag_discard_line = false;  // dropping the rest of an overlong line
    TelnetState telnet;              // where the last read left a telnet sequence
    bool flag_eof = false;           // peer ended its input; lines left still run
    std::string outq;
    std::size_t outq_sent = 0;       // bytes of outq already written
    bool flag_write_failed = false;  // peer gone: output is dropped
    long long progress_at = 0;       // when its peer was last seen to read
    std::size_t unread_seen = 0;     // what it had not read then
    Ending ending = Ending::NONE;    // acted on by the loop's sweep
    Leave leave = Leave::NONE;       // why, once ending is set
};

// The line in progress: written by activity.cpp, but for held, which
// message.cpp fills and empties, and rest_pos, the parser's. A client that
// something waits for to read (flag_for_output, and in WAITING the clients
// its line's output went to) is dropped once its queue has not moved for
// DRAIN_TIMEOUT_MS. What a deadline means depends on the activity:
//   STARTING    without flag_for_output: the time of the next try;
//   FOREGROUND  the command was hung up: SIGKILL then;
//   otherwise   none.
struct Line {
    Activity activity = Activity::IDLE;
    std::size_t rest_pos = 0;    // where the rest of input_backup begins
    // IDLE: a whole line waits for this client to read its output;
    // STARTING: the command waits for the client's queue to go out.
    bool flag_for_output = false;
    long long deadline = 0;      // monotonic ms; 0 when none
    int fg_pid = -1;             // FOREGROUND: the command waited for
    bool flag_hung_up = false;   // the connection broke under its command
    // Messages from others that arose while the line was in progress; they
    // follow the line's prompt, as if sent just after the line ended.
    std::string held;
};

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
    Launch launch;               // the command on its way to its fork
    // The process group of the line's commands, set by the executor at the
    // line's first fork (the pid of that child); 0 until then. Reset with
    // each line by start_line().
    int line_pgid = 0;

    // The client's own environment, and the same as a block of "NAME=VALUE"
    // strings that the process environment is pointed at for its commands.
    // All written by client.cpp: the block is made again only when stale,
    // when a command is to see it.
    std::map<std::string, std::string> env;
    std::size_t env_bytes = 0;   // as ENV_SIZE_LIMIT counts them
    bool flag_env_stale = false;
    std::vector<std::string> env_strings;
    std::vector<char *> envp;

    Connection conn;
    Line line;
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
// The server has been told to stop (main.cpp sets it): every client is
// leaving, and none is told anything new.
extern bool flag_shutting_down;

inline Client &client_of(int cid) { return clients[cid - 1]; }
inline Client &current_client() { return clients[current_cid - 1]; }

// Sets a record back to its initial state, giving up the memory its strings
// held (a plain assignment may keep their capacity).
template <class T> void reset_record(T &record)
{
    T fresh;
    std::swap(record, fresh);
}

// Milliseconds of the monotonic clock, for bounded waits; microseconds of
// it, for short ones.
long long now_ms();
long long now_us();
// Makes nearest the earlier of itself and when; 0 stands for none in both.
void take_earlier(long long &nearest, long long when);
// Reads the decimal number at the start of text into field: white space
// skipped, an optional sign and the digits, stopping at the first other
// character, clamped to the int range; 0 without a digit; field untouched
// when the text is empty or blank.
void read_number(std::string_view text, int &field);
