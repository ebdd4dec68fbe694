// activity.cpp -- what each client is doing now, and every change of it
// (the diagram is in activity.h). The executor reports what became of each
// command; only this unit decides what the client does next.
//
// Owns the hang-up watch: an epoll set, itself watched by select, that holds
// the connection of every client whose foreground command runs. It asks for
// no events, so only an error or a hang-up on the connection is reported:
// bytes the user types and a half-close are left to the command, which may
// be reading them.
#include "activity.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/epoll.h>
#include <unistd.h>

#include "client.h"
#include "global.h"
#include "log.h"
#include "message.h"
#include "parser.h"
#include "shell.h"
#include "user_pipe.h"

// In the concurrent mode a turn of a line is short in time, so that a line
// of thousands of commands holds up nobody else: it ends after the first
// command that started a process, or after about this much work.
static const long long TURN_US = 1000;
// How long a hung-up command has to end after SIGHUP before SIGKILL.
static const long long HANGUP_GRACE_MS = 2000;

static int hangup_fd = -1;

void init_activity()
{
    hangup_fd = epoll_create1(EPOLL_CLOEXEC);
    if (hangup_fd < 0) {
        std::printf("Error: epoll_create1() failed\n");
        std::exit(1);
    }
}

int hangup_watch_fd()
{
    return hangup_fd;
}

static void watch_connection(int cid)
{
    struct epoll_event ev = {};
    ev.events = 0;  // errors and hang-ups are always reported
    ev.data.u32 = static_cast<uint32_t>(cid);
    epoll_ctl(hangup_fd, EPOLL_CTL_ADD, client_of(cid).sockfd, &ev);
}

// Must come before the socket is closed: the command keeps the connection
// open, and with it the registration.
static void unwatch_connection(int cid)
{
    const Client &c = client_of(cid);
    if (c.sockfd >= 0)
        epoll_ctl(hangup_fd, EPOLL_CTL_DEL, c.sockfd, nullptr);
}

// Every change of activity goes through here, and sets the fields that
// belong to the new state together, so none is left over from an earlier
// one (a foreground pid, a deadline).
static void enter(Client &c, Activity activity, long long deadline = 0, bool for_output = false,
                  int fg_pid = -1)
{
    c.line.activity = activity;
    c.line.deadline = deadline;
    c.line.flag_for_output = for_output;
    c.line.fg_pid = fg_pid;
}

// The foreground command's whole group, what its script started included;
// the executor signals only groups that are still ours.
static void signal_foreground(const Client &c, int sig)
{
    if (c.line.activity == Activity::FOREGROUND && c.line.fg_pid > 0)
        signal_command(c.line.fg_pid, sig);
}

// The connection of cid has broken or been dropped: its foreground command,
// if any, gets SIGHUP now and SIGKILL if it is still there 2 s later, and
// the rest of its line does not run.
static void hang_up(int cid)
{
    Client &c = client_of(cid);
    if (c.line.flag_hung_up)
        return;
    c.line.flag_hung_up = true;
    unwatch_connection(cid);
    if (c.line.activity == Activity::FOREGROUND) {
        signal_foreground(c, SIGHUP);
        c.line.deadline = now_ms() + HANGUP_GRACE_MS;
    }
}

void check_hang_ups()
{
    struct epoll_event events[CLIENT_SLOTS] = {};
    int n = epoll_wait(hangup_fd, events, CLIENT_SLOTS, 0);
    for (int i = 0; i < n; ++i) {
        int cid = static_cast<int>(events[i].data.u32);  // as watch_connection registered it
        if (client_of(cid).login)
            hang_up(cid);
    }
}

void commands_ended()
{
    for (const Reaped &r : reap_children()) {
        if (r.owner == 0)
            continue;
        Client &c = client_of(r.owner);
        if (c.login && c.line.activity == Activity::FOREGROUND && c.line.fg_pid == r.pid) {
            unwatch_connection(r.owner);
            enter(c, Activity::LINE);
        }
    }
}

bool may_begin_line(int cid, bool wants)
{
    // Its next line waits until its readers, itself included, have read
    // more; one that reads nothing meanwhile is dropped.
    bool behind = readers_behind(cid);
    client_of(cid).line.flag_for_output = wants && behind;
    return !behind;
}

// LINE -> IDLE: the prompt, then what others said meanwhile.
static void end_line(int cid)
{
    Client &c = client_of(cid);
    enter(c, Activity::IDLE);
    if (!is_leaving(cid))
        send_to_client(cid, PROMPT);
    release_held(cid);
}

// What the executor's report on the last command of a turn means for the
// client.
static void act_on(int cid, const LineProgress &progress)
{
    Client &c = client_of(cid);
    const Outcome &last = progress.last;
    switch (last.result) {
    case Outcome::WAIT_UNTIL:
        enter(c, Activity::STARTING, last.until);
        return;
    case Outcome::WAIT_FOR_OUTPUT:
        // The command's own output must not overtake the queue.
        enter(c, Activity::STARTING, 0, true);
        return;
    case Outcome::WAIT_FOR_READERS:
        // Between two commands nothing is held: what others said so far
        // goes out now, and what they say meanwhile goes straight out.
        enter(c, Activity::WAITING);
        release_held(cid);
        return;
    case Outcome::FOREGROUND:
        enter(c, Activity::FOREGROUND, 0, false, last.pid);
        watch_connection(cid);
        return;
    case Outcome::LEAVES:
        end_after_output(cid, Leave::EXIT);
        break;
    default:
        break;
    }
    if (progress.over)
        end_line(cid);
    else
        enter(c, Activity::LINE);
}

void begin_line(int cid, std::string line)
{
    current_cid = cid;
    enter(client_of(cid), Activity::LINE);
    start_line(std::move(line));
    run_turn(cid);
}

void run_turn(int cid)
{
    Client &c = client_of(cid);
    if (c.line.flag_hung_up) {
        end_after_output(cid, Leave::HANG_UP);  // its command has ended; nobody is left to serve
        return;
    }
    bool resume = c.line.activity == Activity::STARTING || c.line.activity == Activity::WAITING;
    current_cid = cid;
    line_cid = cid;
    load_env();
    TurnLimit limit;
    if (concurrent_mode) {
        limit.stop_after_start = true;
        limit.until_us = now_us() + TURN_US;
    }
    LineProgress progress = continue_line(limit, resume);
    unload_env();
    line_cid = 0;
    act_on(cid, progress);
}

bool may_go_on(int cid, long long now)
{
    const Client &c = client_of(cid);
    switch (c.line.activity) {
    case Activity::LINE:
        return true;
    case Activity::STARTING:
        // A retry goes ahead at its time (the executor checks the output
        // again before the fork); a wait for output ends when it has gone.
        if (!c.line.flag_for_output)
            return now >= c.line.deadline;
        return c.conn.outq.empty() || c.conn.flag_write_failed;
    case Activity::WAITING:
        return !readers_behind(cid);
    default:
        return false;
    }
}

void expire_deadlines(long long now)
{
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
        Client &c = client_of(cid);
        if (!c.login)
            continue;
        if (c.line.activity == Activity::WAITING ||
            (c.line.activity == Activity::IDLE && c.line.flag_for_output))
            drop_stalled_readers(cid, now);
        else if (c.line.flag_for_output && reader_stalled(cid, now))
            drop_client(cid, Leave::NOT_READING);
        else if (c.line.activity == Activity::FOREGROUND && c.line.deadline != 0 && now >= c.line.deadline) {
            signal_foreground(c, SIGKILL);
            c.line.deadline = 0;
        }
    }
}

void take_line_deadlines(long long &nearest)
{
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
        const Client &c = client_of(cid);
        if (!c.login)
            continue;
        if (c.line.activity == Activity::WAITING ||
            (c.line.activity == Activity::IDLE && c.line.flag_for_output))
            take_reader_deadlines(cid, nearest);
        else if (c.line.flag_for_output)
            take_stall_deadline(cid, nearest);
        else
            take_earlier(nearest, c.line.deadline);  // a retry, or SIGKILL
    }
}

bool ready_to_leave(int cid)
{
    Client &c = client_of(cid);
    if (c.line.activity != Activity::FOREGROUND)
        return true;
    if (c.conn.ending == Ending::NOW && !c.line.flag_hung_up) {
        shut_connection(c.sockfd);
        hang_up(cid);
    }
    return false;
}

// A client that leaves in order, by exit or by ending its input, while its
// connection still works keeps it for the commands that write to it, so
// their output arrives whole; dropped, hung up or broken, nothing waits.
static bool leaves_in_order(const Client &c)
{
    return c.conn.ending == Ending::AFTER_OUTPUT && !c.conn.flag_write_failed && !c.line.flag_hung_up &&
           !flag_shutting_down;
}

void release_client(int cid)
{
    current_cid = cid;
    log_event("logout id=%d reason=%s", cid, leave_name(client_of(cid).conn.leave));
    delete_user_pipe();
    unwatch_connection(cid);
    int writing = leaves_in_order(client_of(cid)) ? commands_on_connection(cid) : 0;
    long long departure = remove_client(writing);
    hang_up_commands(cid, departure);
    close_all_pipes(cid);
}
