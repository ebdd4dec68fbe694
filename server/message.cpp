// message.cpp -- the server's own output. Every text for a user goes through
// send_to_client(), which never blocks: what a socket cannot take at once
// waits in that client's queue, in order, until select reports the socket
// writable. The commands that users start write to their descriptors
// directly and never pass through here.
//
// Owns the departures: connections of clients that have left, until what
// was queued for them, and what their commands still write there, is out.
#include "message.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fd.h"
#include "global.h"

std::string format_text(const char *fmt, ...)
{
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        return std::string();
    if (static_cast<std::size_t>(n) < sizeof small)
        return std::string(small, n);
    std::string text(n + 1, '\0');
    va_start(ap, fmt);
    std::vsnprintf(&text[0], text.size(), fmt, ap);
    va_end(ap);
    text.resize(n);
    return text;
}

// One non-blocking send. Returns the bytes taken (0 when the socket, or
// the kernel's memory for sockets, is full), or -1 when the peer is gone.
static ssize_t send_some(int fd, const char *data, std::size_t len)
{
    for (;;) {
        ssize_t n = send(fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        // The kernel short of buffers is no peer gone: the rest waits in the
        // queue until select finds the socket writable again.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == ENOMEM)
            return 0;
        return -1;
    }
}

// The peer cannot receive any more: drop its output. The client stays until
// its input ends, so that lines it sent before leaving still run.
static void drop_output(Connection &conn)
{
    conn.flag_write_failed = true;
    std::string().swap(conn.outq);
    conn.outq_sent = 0;
}

void connection_broke(int cid)
{
    drop_output(client_of(cid).conn);
}

void end_after_output(int cid, Leave why)
{
    Connection &conn = client_of(cid).conn;
    if (conn.ending == Ending::NONE) {
        conn.ending = Ending::AFTER_OUTPUT;
        conn.leave = why;
    }
}

void drop_client(int cid, Leave why)
{
    Connection &conn = client_of(cid).conn;
    if (conn.ending != Ending::NOW)
        conn.leave = why;
    conn.ending = Ending::NOW;
}

const char *leave_name(Leave why)
{
    switch (why) {
    case Leave::EXIT:
        return "exit";
    case Leave::END_OF_INPUT:
        return "end-of-input";
    case Leave::RESET:
        return "reset";
    case Leave::HANG_UP:
        return "hang-up";
    case Leave::OUTPUT_BOUND:
        return "dropped-output-bound";
    case Leave::NOT_READING:
        return "dropped-not-reading";
    case Leave::SHUTDOWN:
        return "shutdown";
    case Leave::NONE:
        break;
    }
    return "unknown";
}

bool is_leaving(int cid)
{
    return client_of(cid).conn.ending != Ending::NONE;
}

void shut_connection(int fd)
{
    shutdown(fd, SHUT_RDWR);
}

// Held messages do not count: their senders wait while there are too many
// of them, so the holder is never dropped for what others sent it.
static bool over_limit(const Client &c)
{
    return c.conn.outq.size() - c.conn.outq_sent > OUTPUT_QUEUE_LIMIT;
}

// By bit of id, every client that each client's lines have said something
// to and that may not have read it yet. A reader leaves the set once it
// has caught up, so a user's next line waits for what its last one said.
static std::uint32_t line_recipients[CLIENT_SLOTS + 1];

static std::uint32_t bit_of(int cid)
{
    return std::uint32_t(1) << cid;
}

void forget_reader(int cid)
{
    line_recipients[cid] = 0;
    for (std::uint32_t &readers : line_recipients)
        readers &= ~bit_of(cid);
}

// What the peer of r has not read yet of what went to its connection: the
// server's queue, and what the kernel still holds unsent. The kernel's
// share matters: its send buffer grows to megabytes on its own while the
// peer's window is shut. What is sent but not yet acknowledged is left
// out: the peer's receive buffer bounds it, and counting it would pace
// lines to delayed acknowledgements.
// Each look also notes whether the peer reads: a change of the amount
// (it read some, or more came) starts the clock of a stall again; only an
// amount that stays as it was for DRAIN_TIMEOUT_MS is a peer not reading.
static std::size_t unread_by(int r)
{
    Client &c = client_of(r);
    int in_kernel = 0;
    if (c.sockfd < 0 || ioctl(c.sockfd, SIOCOUTQNSD, &in_kernel) != 0 || in_kernel < 0)
        in_kernel = 0;
    std::size_t unread = queued_output(r) + static_cast<std::size_t>(in_kernel);
    if (unread == 0 || unread != c.conn.unread_seen)
        c.conn.progress_at = now_ms();
    c.conn.unread_seen = unread;
    return unread;
}

// Whether r can keep a line waiting: a reader whose peer is gone is sent
// nothing more and waited for by nobody.
static bool reader_counts(int r)
{
    const Client &c = client_of(r);
    return c.login && !c.conn.flag_write_failed;
}

// One look at reader r for a line of client cid. Whatever the line
// decides about r comes from this one reading: the kernel's share changes
// between two looks, and a line told to wait by one look must not be left
// without a time to look again by the next.
struct ReaderLook {
    bool holds_up = false;    // the line waits for r
    bool queue_over = false;  // r's connection alone is over the mark
};

static ReaderLook look_at(int cid, int r)
{
    ReaderLook look;
    if (!reader_counts(r))
        return look;
    std::size_t unread = unread_by(r);
    // What is held for r waits for r's own line, not for r's peer; only
    // what others' lines would add to it holds them up.
    std::size_t held = r == cid ? 0 : client_of(r).line.held.size();
    look.queue_over = unread > OUTPUT_HIGH_WATER;
    look.holds_up = unread + held > OUTPUT_HIGH_WATER;
    return look;
}

static bool is_reader_of(int cid, int r)
{
    return r == cid || (line_recipients[cid] & bit_of(r));
}

bool readers_behind(int cid)
{
    bool behind = false;
    for (int r = 1; r <= CLIENT_SLOTS; ++r) {
        if (!is_reader_of(cid, r))
            continue;
        if (look_at(cid, r).holds_up)
            behind = true;
        else if (r != cid)
            line_recipients[cid] &= ~bit_of(r);  // caught up
    }
    return behind;
}

// When r is a peer not reading, if what it has unread stays as it is.
static long long stalls_at(int r)
{
    return client_of(r).conn.progress_at + DRAIN_TIMEOUT_MS;
}

static long long stall_deadline(int r)
{
    return unread_by(r) > 0 ? stalls_at(r) : 0;
}

bool reader_stalled(int cid, long long now)
{
    long long when = stall_deadline(cid);
    return when != 0 && now >= when;
}

// A reader is given up on only for what went to its connection: what is
// held for it waits for its own line, which it may well be reading.
void drop_stalled_readers(int cid, long long now)
{
    for (int r = 1; r <= CLIENT_SLOTS; ++r) {
        if (!is_reader_of(cid, r) || !look_at(cid, r).queue_over)
            continue;
        if (now >= stalls_at(r))
            drop_client(r, Leave::NOT_READING);
    }
}

void take_stall_deadline(int r, long long &nearest)
{
    take_earlier(nearest, stall_deadline(r));
}

// A reader whose unread output all sits in the kernel (or is held for it)
// gives select nothing to watch: the loop looks again this often until it
// has read enough.
static const long long KERNEL_POLL_MS = 10;

// Every reader the line waits for gets a time to look again: its stall
// deadline, and the poll when select has no queue of its to watch. A line
// that waits for nobody any more goes on now.
void take_reader_deadlines(int cid, long long &nearest)
{
    long long now = now_ms();
    bool behind = false;
    for (int r = 1; r <= CLIENT_SLOTS; ++r) {
        if (!is_reader_of(cid, r))
            continue;
        ReaderLook look = look_at(cid, r);
        if (!look.holds_up) {
            if (r != cid)
                line_recipients[cid] &= ~bit_of(r);
            continue;
        }
        behind = true;
        if (look.queue_over)
            take_earlier(nearest, stalls_at(r));
        if (queued_output(r) == 0)
            take_earlier(nearest, now + KERNEL_POLL_MS);
    }
    if (!behind)
        take_earlier(nearest, now);
}

static void queue_output(int cid, const std::string &text)
{
    Client &c = client_of(cid);
    Connection &conn = c.conn;
    std::size_t done = 0;
    if (conn.outq.empty()) {
        ssize_t n = send_some(c.sockfd, text.data(), text.size());
        if (n < 0) {
            drop_output(conn);
            return;
        }
        done = static_cast<std::size_t>(n);
        if (done == text.size())
            return;
    }
    if (conn.outq.empty())
        conn.progress_at = now_ms();
    conn.outq.append(text, done, std::string::npos);
    if (over_limit(c))
        drop_client(cid, Leave::OUTPUT_BOUND);
}

// A line in progress holds what others say to its client; one that waits
// for its readers is between two commands and holds nothing.
static bool holds_messages(Activity activity)
{
    return activity == Activity::LINE || activity == Activity::STARTING || activity == Activity::FOREGROUND;
}

void send_to_client(int cid, const std::string &text)
{
    Client &c = client_of(cid);
    if (!c.login || c.conn.ending != Ending::NONE || c.conn.flag_write_failed || flag_shutting_down)
        return;
    if (line_cid != 0 && cid != line_cid)
        line_recipients[line_cid] |= bit_of(cid);
    if (holds_messages(c.line.activity) && cid != line_cid) {
        c.line.held += text;
        return;
    }
    queue_output(cid, text);
}

std::size_t queued_output(int cid)
{
    const Connection &conn = client_of(cid).conn;
    return conn.outq.size() - conn.outq_sent;
}

void release_held(int cid)
{
    Client &c = client_of(cid);
    std::string text;
    text.swap(c.line.held);
    // What was held follows a prompt that a server shutting down no longer
    // gives, so it goes with the rest of the line.
    if (c.conn.ending != Ending::NOW && !c.conn.flag_write_failed && !flag_shutting_down && !text.empty())
        queue_output(cid, text);
}

void flush_output(int cid)
{
    Client &c = client_of(cid);
    Connection &conn = c.conn;
    if (conn.outq.empty() || c.sockfd < 0)
        return;
    ssize_t n = send_some(c.sockfd, conn.outq.data() + conn.outq_sent, conn.outq.size() - conn.outq_sent);
    if (n < 0) {
        drop_output(conn);
        return;
    }
    if (n > 0)
        conn.progress_at = now_ms();
    conn.outq_sent += static_cast<std::size_t>(n);
    if (conn.outq_sent == conn.outq.size()) {
        conn.outq.clear();
        conn.outq_sent = 0;
    } else if (conn.outq_sent > (1u << 16) && conn.outq_sent * 2 > conn.outq.size()) {
        conn.outq.erase(0, conn.outq_sent);  // keep the queue from only ever growing
        conn.outq_sent = 0;
    }
}

// ---- departures ----

struct Departure {
    int fd = -1;
    std::string outq;
    std::size_t sent = 0;
    long long deadline = 0;    // cut when nothing more has gone out by then
    // Set while commands of the departed user write to the connection:
    // the executor's name for this departure, how many of them it waits
    // for, when they get SIGHUP at the latest, and the socket's unsent
    // bytes when last looked at (a change is the peer reading).
    long long ticket = 0;
    int commands = 0;
    long long commands_until = 0;
    int unsent = -1;
};

// As many as there are client slots: a connection flood cannot make the
// server keep more; when all are in use the oldest is cut.
static Departure departures[CLIENT_SLOTS];
static long long last_ticket = 0;
// Departures that ended while commands still held on to them.
static std::vector<long long> ended_tickets;

// The peer sees the end of the connection now, although the departed
// client's commands may still hold copies of it. Input nobody will read is
// discarded first: closing with unread input would reset the connection
// and could lose output still in flight.
static void end_connection(int &fd)
{
    shutdown(fd, SHUT_WR);
    char sink[4096];
    for (int i = 0; i < 16 && recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    close_fd(fd);
}

void cut_connection(int &fd)
{
    shut_connection(fd);
    close_fd(fd);
}

static void release_departure(Departure &d, bool delivered)
{
    if (d.commands > 0)
        ended_tickets.push_back(d.ticket);
    if (delivered)
        end_connection(d.fd);
    else
        cut_connection(d.fd);
    reset_record(d);
}

long long depart(int &fd, std::string &outq, std::size_t sent, int commands)
{
    if (sent >= outq.size() && commands == 0) {
        end_connection(fd);
        return 0;
    }
    Departure *slot = &departures[0];
    for (Departure &d : departures) {
        if (d.fd < 0) {
            slot = &d;
            break;
        }
        if (d.deadline < slot->deadline)
            slot = &d;
    }
    if (slot->fd >= 0)
        release_departure(*slot, false);
    long long now = now_ms();
    slot->fd = fd;
    fd = -1;
    slot->outq.swap(outq);
    slot->sent = sent;
    slot->deadline = now + DRAIN_TIMEOUT_MS;
    if (commands > 0) {
        slot->ticket = ++last_ticket;
        slot->commands = commands;
        slot->commands_until = now + DEPARTURE_COMMANDS_MS;
    }
    return slot->ticket;
}

void departed_command_ended(long long ticket)
{
    for (Departure &d : departures)
        if (d.fd >= 0 && d.ticket == ticket && d.commands > 0)
            --d.commands;
}

std::vector<long long> take_ended_departures()
{
    std::vector<long long> ended;
    ended.swap(ended_tickets);
    return ended;
}

void watch_departures(fd_set &wset, int &max_fd)
{
    for (const Departure &d : departures) {
        if (d.fd >= 0 && d.sent < d.outq.size()) {
            FD_SET(d.fd, &wset);
            if (d.fd > max_fd)
                max_fd = d.fd;
        }
    }
}

// While commands write to a departed connection, the server sees neither
// their bytes nor the peer's reading of them: what the socket still holds
// unsent tells. Nothing left, or a change since the last look, means the
// peer reads. False when the connection has broken: reset by the peer, or
// a keepalive probe went unanswered.
static bool commands_progress(Departure &d, bool &progress)
{
    struct pollfd p = {d.fd, 0, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP)))
        return false;
    int unsent = 0;
    if (ioctl(d.fd, SIOCOUTQ, &unsent) != 0)
        unsent = 0;
    progress = unsent == 0 || unsent != d.unsent;
    d.unsent = unsent;
    return true;
}

static void serve_departure(Departure &d, bool writable, long long now)
{
    if (writable && d.sent < d.outq.size()) {
        ssize_t n = send_some(d.fd, d.outq.data() + d.sent, d.outq.size() - d.sent);
        if (n < 0) {
            release_departure(d, false);
            return;
        }
        if (n > 0) {
            d.sent += static_cast<std::size_t>(n);
            d.deadline = now + DRAIN_TIMEOUT_MS;
        }
    }
    if (d.commands > 0) {
        bool progress = false;
        if (!commands_progress(d, progress)) {
            release_departure(d, false);
            return;
        }
        if (progress)
            d.deadline = now + DRAIN_TIMEOUT_MS;
        if (now >= d.commands_until) {
            release_departure(d, true);  // long enough: what it has written still goes out
            return;
        }
    }
    if (d.sent == d.outq.size() && d.commands == 0)
        release_departure(d, true);
    else if (now >= d.deadline)
        release_departure(d, false);
}

void serve_departures(const fd_set &wset, long long now)
{
    for (Departure &d : departures)
        if (d.fd >= 0)
            serve_departure(d, FD_ISSET(d.fd, &wset), now);
}

void take_departure_deadlines(long long &nearest)
{
    for (const Departure &d : departures) {
        if (d.fd < 0)
            continue;
        take_earlier(nearest, d.deadline);
        if (d.commands > 0) {
            take_earlier(nearest, d.commands_until);
            take_earlier(nearest, now_ms() + DEPARTURE_CHECK_MS);
        }
    }
}

bool has_departures()
{
    for (const Departure &d : departures)
        if (d.fd >= 0)
            return true;
    return false;
}

void cut_departures()
{
    for (Departure &d : departures)
        if (d.fd >= 0)
            release_departure(d, false);
}

void normal_output(const std::string &msg)
{
    send_to_client(current_cid, msg);
}

void error_output(const std::string &msg)
{
    send_to_client(current_cid, msg);
}

void write_fd(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

void broadcast(const std::string &msg)
{
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid)
        if (client_of(cid).login)
            send_to_client(cid, msg);
}

void broadcast_login(const std::string &ip, int port, const char *name)
{
    broadcast(format_text("*** User '%s' entered from %s:%d. ***\n", name, ip.c_str(), port));
}

void broadcast_logout(const char *name)
{
    broadcast(format_text("*** User '%s' left. ***\n", name));
}

void broadcast_name(const std::string &ip, int port, const char *name)
{
    broadcast(format_text("*** User from %s:%d is named '%s'. ***\n", ip.c_str(), port, name));
}

void broadcast_yell(const char *sender, const std::string &yell_msg)
{
    broadcast(format_text("*** %s yelled ***: %s\n", sender, yell_msg.c_str()));
}

void tell_one(const char *sender, int cid, const std::string &tell_msg)
{
    send_to_client(cid, format_text("*** %s told you ***: %s\n", sender, tell_msg.c_str()));
}

void broadcast_user_pipe_in(int send_cid, int recv_cid, const std::string &line_cmd)
{
    broadcast(format_text("*** %s (#%d) just received from %s (#%d) by '%s' ***\n",
                          client_of(recv_cid).name, recv_cid, client_of(send_cid).name,
                          send_cid, line_cmd.c_str()));
}

void broadcast_user_pipe_out(int send_cid, int recv_cid, const std::string &line_cmd)
{
    broadcast(format_text("*** %s (#%d) just piped '%s' to %s (#%d) ***\n",
                          client_of(send_cid).name, send_cid, line_cmd.c_str(),
                          client_of(recv_cid).name, recv_cid));
}
