// activity.cpp -- what each client is doing now, and every change of it
// (the diagram is in activity.h). Owns the hang-up watch: an epoll set,
// itself watched by select, that holds the connection of every client whose
// foreground command runs. It asks for no events, so only an error or a
// hang-up on the connection is reported: bytes the user types and a
// half-close are left to the command, which may be reading them.
#include "activity.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/epoll.h>
#include <unistd.h>

#include "client.h"
#include "global.h"
#include "message.h"
#include "parser.h"

// How many commands of one line run in a turn in the concurrent mode,
// before the other clients get theirs: enough for any ordinary line, few
// enough that a line of thousands of commands does not hold up the loop.
static const int COMMANDS_PER_TURN = 8;
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

// LINE -> IDLE: the prompt, then what others said meanwhile.
static void end_line(int cid)
{
    Client &c = client_of(cid);
    c.activity = Activity::IDLE;
    if (!c.login)
        return;  // it left with exit; remove_client has sent what was held
    if (!c.flag_closing)
        send_to_client(cid, PROMPT);
    release_held(cid);
}

void begin_line(int cid, std::string line)
{
    current_cid = cid;
    client_of(cid).activity = Activity::LINE;
    start_line(std::move(line));
    run_turn(cid);
}

void run_turn(int cid)
{
    Client &c = client_of(cid);
    if (c.flag_hung_up) {
        mark_closing(cid);  // its command has ended; nobody is left to serve
        return;
    }
    current_cid = cid;
    line_cid = cid;
    load_env();
    bool over = continue_line(concurrent_mode ? COMMANDS_PER_TURN : -1);
    unload_env();
    line_cid = 0;
    if (over)
        end_line(cid);
}

bool may_go_on(int cid, long long now)
{
    const Client &c = client_of(cid);
    switch (c.activity) {
    case Activity::LINE:
        return true;
    case Activity::STARTING:
        // A retry goes ahead at its time (the executor checks the output
        // again before the fork); a wait for output ends when it has gone.
        if (c.launch.retry_at != 0)
            return now >= c.launch.retry_at;
        return c.outq.empty() || c.flag_write_failed;
    default:
        return false;
    }
}

void wait_to_start(int cid, long long retry_at)
{
    Client &c = client_of(cid);
    c.activity = Activity::STARTING;
    c.launch.retry_at = retry_at;
}

void wait_for_output(int cid)
{
    Client &c = client_of(cid);
    c.activity = Activity::STARTING;
    c.launch.retry_at = 0;
    wait_for_reader(cid, now_ms());
}

void wait_for_reader(int cid, long long now)
{
    Client &c = client_of(cid);
    if (c.output_deadline == 0)
        c.output_deadline = now + DRAIN_TIMEOUT_MS;
}

void end_start(int cid, pid_t fg_pid)
{
    Client &c = client_of(cid);
    c.launch = Launch();
    c.output_deadline = 0;
    if (fg_pid > 0) {
        c.activity = Activity::FOREGROUND;
        c.fg_pid = fg_pid;
        watch_connection(cid);
    } else {
        c.activity = Activity::LINE;
    }
}

void foreground_ended(int cid)
{
    Client &c = client_of(cid);
    unwatch_connection(cid);
    c.fg_pid = -1;
    c.kill_at = 0;
    c.activity = Activity::LINE;
}

// Only a command's own pid is ever signalled: 0 or -1 would name the
// server's process group or every process it may signal.
static void signal_foreground(const Client &c, int sig)
{
    if (c.fg_pid > 0)
        kill(c.fg_pid, sig);
}

void hang_up(int cid)
{
    Client &c = client_of(cid);
    if (c.flag_hung_up)
        return;
    c.flag_hung_up = true;
    unwatch_connection(cid);
    if (c.activity == Activity::FOREGROUND) {
        signal_foreground(c, SIGHUP);
        c.kill_at = now_ms() + HANGUP_GRACE_MS;
    }
}

void expire_deadlines(long long now)
{
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
        Client &c = client_of(cid);
        if (!c.login)
            continue;
        if (c.activity == Activity::FOREGROUND && c.kill_at != 0 && now >= c.kill_at) {
            signal_foreground(c, SIGKILL);
            c.kill_at = 0;
        }
        if (c.output_deadline != 0 && now >= c.output_deadline && queued_output(cid) > 0)
            drop_client(cid);
    }
}

static void take_earlier(long long &nearest, long long when)
{
    if (when != 0 && (nearest == 0 || when < nearest))
        nearest = when;
}

long long next_deadline()
{
    long long nearest = 0;
    for (const Client &c : clients) {
        if (!c.login)
            continue;
        if (c.activity == Activity::FOREGROUND)
            take_earlier(nearest, c.kill_at);
        if (c.activity == Activity::STARTING)
            take_earlier(nearest, c.launch.retry_at);
        take_earlier(nearest, c.output_deadline);
    }
    return nearest;
}

void reset_activity(int cid)
{
    Client &c = client_of(cid);
    unwatch_connection(cid);
    c.activity = Activity::IDLE;
    c.rest_pos = 0;
    c.launch = Launch();
    c.fg_pid = -1;
    c.kill_at = 0;
    c.output_deadline = 0;
    c.flag_hung_up = false;
    std::string().swap(c.held);
}
