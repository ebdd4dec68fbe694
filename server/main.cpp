// main.cpp -- talvane: a multi-user remote shell server. One process, one
// thread, one select loop: it accepts up to 30 users, reads one line at a
// time from each and runs it; only the commands that users start run in
// child processes. By default one user's foreground command holds up all
// others; with --concurrent only its own user (see activity.h).
//
// Owns the command line, the listening socket, the loop and its stop on
// SIGTERM, SIGINT or SIGHUP (and the pipe their handler wakes it by); the
// keepalive settings of every connection. Every client
// socket is owned by the client table (client.cpp) from add_client() to
// remove_client(), then by the departures (message.cpp) until it closes.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "activity.h"
#include "client.h"
#include "fd.h"
#include "global.h"
#include "log.h"
#include "message.h"
#include "parser.h"
#include "shell.h"
#include "user_pipe.h"

static const int LISTEN_Q = 30;
// Keepalive on every connection: a peer that is gone without a word (its
// host down, or closed and forgotten by its kernel after its FIN timeout)
// is noticed without the server writing a byte into the transcript. After
// this long without traffic a probe goes out, then again at each interval;
// the first reset, or the last probe unanswered, breaks the connection,
// which hangs up its commands. A half-closed peer answers the probes.
static const int KEEPALIVE_IDLE_S = 10;
static const int KEEPALIVE_INTERVAL_S = 5;
static const int KEEPALIVE_PROBES = 3;
static int keepalive_idle_s = KEEPALIVE_IDLE_S;
// On SIGTERM, SIGINT or SIGHUP the server stops: the users' commands are
// hung up (SIGKILL after SHUTDOWN_GRACE_MS), what is queued for the users
// goes out for as long, then every connection ends; the server exits by
// SHUTDOWN_LIMIT_MS at the latest.
static const long long SHUTDOWN_GRACE_MS = 2000;
static const long long SHUTDOWN_LIMIT_MS = 4500;
// Longest line that runs, not counting its line ending. Longer lines are
// refused whole; per connection at most this much plus one read is buffered.
static const std::size_t MAX_LINE_LENGTH = 65536;
static const std::size_t READ_CHUNK = 65536;
static const char BANNER[] =
    "****************************************\n"
    "** Welcome to the information server. **\n"
    "****************************************\n";

int server_sockfd = -1;
// What the loop waits to read: the listening socket, the SIGCHLD pipe, the
// hang-up watch and the clients whose next line it may read.
fd_set allset;
fd_set rset;    // the copy select overwrites
static fd_set wset;  // connections whose queued output waits for the socket

// A descriptor held in reserve: when the table is full, giving it up lets
// the server take a waiting connection and close it, rather than have select
// report the listening socket ready in every pass.
static int spare_fd = -1;
static long long accept_paused_until = 0;

// The port must be a whole number from 1 to 65535, digits only.
static bool parse_port(const char *text, int &port)
{
    std::size_t len = std::strlen(text);
    if (len > 5 || std::strspn(text, "0123456789") != len)
        return false;
    port = std::atoi(text);
    return port >= 1 && port <= 65535;
}

static void fail(const char *msg)
{
    std::printf("%s\n", msg);
    std::exit(1);
}

static const char USAGE[] = "Usage: ./talvane [port]";

static void usage_error()
{
    std::printf("%s\n", USAGE);
    std::exit(1);
}

static void print_help()
{
    std::printf("%s\n"
                "A multi-user remote shell server: users connect over TCP and type command lines.\n"
                "\n"
                "  port                  TCP port to listen on, 1 to 65535\n"
                "  -c, --concurrent      one user's command no longer holds up the others\n"
                "  -b, --bind ADDRESS    listen only on this IPv4 address (default: all)\n"
                "  -l, --log PATH        log connections, departures and refusals to PATH\n"
                "                        (- for standard error); SIGUSR1 reopens it\n"
                "  -V, --version         print the version and exit\n"
                "  -h, --help            print this help and exit\n",
                USAGE);
    std::exit(0);
}

static void print_version()
{
    std::printf("talvane %s\n", TALVANE_VERSION);
    std::exit(0);
}

struct Options {
    int port = 0;
    in_addr bind_addr = {htonl(INADDR_ANY)};
    const char *log_path = nullptr;
};

// talvane [OPTIONS] PORT. Options may stand before or after the port (and
// a word after the port that looks like an option is one); the other words
// after the port are ignored. Help, then the version, win over every error;
// then a missing or bad port, an unknown option or one without its value
// gives the usage line.
static Options parse_options(int argc, char **argv)
{
    static const struct option longopts[] = {
        {"concurrent", no_argument, nullptr, 'c'},
        {"bind", required_argument, nullptr, 'b'},
        {"help", no_argument, nullptr, 'h'},
        {"log", required_argument, nullptr, 'l'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    const char *bind_text = nullptr;
    bool help = false, version = false, bad = false;
    opterr = 0;  // the usage line says it
    int opt;
    while ((opt = getopt_long(argc, argv, ":cb:hl:V", longopts, nullptr)) != -1) {
        if (opt == 'c')
            concurrent_mode = true;
        else if (opt == 'b')
            bind_text = optarg;
        else if (opt == 'h')
            help = true;
        else if (opt == 'l')
            o.log_path = optarg;
        else if (opt == 'V')
            version = true;
        else
            bad = true;
    }
    if (help)
        print_help();
    if (version)
        print_version();
    if (bad || optind >= argc || !parse_port(argv[optind], o.port))
        usage_error();
    if (bind_text && inet_pton(AF_INET, bind_text, &o.bind_addr) != 1) {
        std::printf("Error: '%s' is not an IPv4 address\n", bind_text);
        std::exit(1);
    }
    if (o.log_path && !open_log(o.log_path)) {
        std::printf("Error: cannot open the log '%s': %s\n", o.log_path, std::strerror(errno));
        std::exit(1);
    }
    return o;
}

int create_socket(int port, int listenQ, in_addr address)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr = address;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1)
        fail("Error: setsockopt() failed");
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
        fail("Error: bind() failed");
    if (listen(fd, listenQ) < 0)
        fail("Error: listen() failed");
    return fd;
}

// A raw write to a connection that has no client record (yet).
static void send_raw(int fd, const char *text)
{
    (void)!send(fd, text, std::strlen(text), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void handle_new_connection(int sockfd, const sockaddr_in &addr)
{
    send_raw(sockfd, BANNER);
    int cid = add_client(sockfd, addr);
    char peer[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr.sin_addr, peer, sizeof peer);
    if (cid == 0) {
        // Every slot is taken: the connection gets no id and is closed.
        log_event("accept peer=%s:%d table-full", peer, ntohs(addr.sin_port));
        send_raw(sockfd, PROMPT);
        close_fd(sockfd);
        return;
    }
    log_event("accept peer=%s:%d id=%d", peer, ntohs(addr.sin_port), cid);
    log_event("login id=%d", cid);
    init_parse(cid);
    send_to_client(cid, PROMPT);
}

static void shed_connection()
{
    if (spare_fd >= 0) {
        close_fd(spare_fd);
        int fd = accept4(server_sockfd, nullptr, nullptr, SOCK_CLOEXEC);
        close_fd(fd);
        spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (spare_fd < 0)
        accept_paused_until = now_ms() + 100;
}

static void keep_alive(int fd)
{
    int on = 1, interval = KEEPALIVE_INTERVAL_S, probes = KEEPALIVE_PROBES;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepalive_idle_s, sizeof keepalive_idle_s);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

static void accept_connection()
{
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    int fd = accept4(server_sockfd, reinterpret_cast<sockaddr *>(&addr), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            log_event("refused bound=descriptors error=\"%s\"", std::strerror(errno));
            shed_connection();
        }
        return;
    }
    if (fd >= FD_SETSIZE) {
        close_fd(fd);  // select cannot watch it
        return;
    }
    // Output and prompt go out as separate writes; without this an ordinary
    // client waits for a delayed ACK on every line.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    keep_alive(fd);
    handle_new_connection(fd, addr);
}

static std::string text_line_too_long()
{
    return format_text("*** Error: the line is longer than %zu bytes; it was not run. ***\n", MAX_LINE_LENGTH);
}

// Appends what arrived to the client's buffer. A line that grows past
// MAX_LINE_LENGTH without ending is refused at once and the rest of it,
// up to its newline, is dropped as it arrives.
static void take_input(int cid, const char *data, std::size_t len)
{
    Connection &conn = client_of(cid).conn;
    if (conn.flag_discard_line) {
        const char *nl = static_cast<const char *>(std::memchr(data, '\n', len));
        if (!nl)
            return;
        conn.flag_discard_line = false;
        send_to_client(cid, PROMPT);
        len -= static_cast<std::size_t>(nl + 1 - data);
        data = nl + 1;
    }
    conn.inbuf.append(data, len);
    std::size_t pending = conn.inbuf.size() - conn.inbuf_pos;
    if (pending > MAX_LINE_LENGTH + 1 && conn.inbuf.find('\n', conn.inbuf_pos) == std::string::npos) {
        log_event("refused id=%d bound=line-length", cid);
        send_to_client(cid, text_line_too_long());
        conn.inbuf.clear();
        conn.inbuf_pos = 0;
        conn.flag_discard_line = true;
    }
}

static void read_input(int cid)
{
    Client &c = client_of(cid);
    static char buf[READ_CHUNK];
    ssize_t n = recv(c.sockfd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
        std::string typed = filter_client_input(cid, buf, static_cast<std::size_t>(n));
        take_input(cid, typed.data(), typed.size());
    } else if (n == 0) {
        c.conn.flag_eof = true;  // lines already here still run; then it leaves
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        c.conn.flag_eof = true;  // reset, or a keepalive probe unanswered
        connection_broke(cid);
    }
}

static bool has_line(const Connection &conn)
{
    return conn.inbuf.find('\n', conn.inbuf_pos) != std::string::npos;
}

static bool take_line(Connection &conn, std::string &line)
{
    std::size_t nl = conn.inbuf.find('\n', conn.inbuf_pos);
    if (nl == std::string::npos)
        return false;
    line.assign(conn.inbuf, conn.inbuf_pos, nl - conn.inbuf_pos);
    conn.inbuf_pos = nl + 1;
    if (conn.inbuf_pos == conn.inbuf.size()) {
        conn.inbuf.clear();
        conn.inbuf_pos = 0;
    } else if (conn.inbuf_pos > READ_CHUNK) {
        conn.inbuf.erase(0, conn.inbuf_pos);
        conn.inbuf_pos = 0;
    }
    return true;
}

// Serves client cid once, by what it is doing: an IDLE client with a whole
// line buffered starts it, unless it has too much output still to read (a
// client whose input has ended and who has no whole line left leaves, as if
// it had typed exit; a last line without its newline is not run); a client
// in a line goes on with it when it can.
void handle_old_connection(int cid)
{
    Client &c = client_of(cid);
    if (c.line.activity != Activity::IDLE) {
        if (may_go_on(cid, now_ms()))
            run_turn(cid);
        return;
    }
    if (!may_begin_line(cid, has_line(c.conn) || c.conn.flag_eof))
        return;
    std::string line;
    if (!take_line(c.conn, line)) {
        if (c.conn.flag_eof)
            end_after_output(cid, c.conn.flag_write_failed ? Leave::RESET : Leave::END_OF_INPUT);
        return;
    }
    current_cid = cid;
    std::size_t length = line.size() - (!line.empty() && line.back() == '\r' ? 1 : 0);
    if (length > MAX_LINE_LENGTH) {
        log_event("refused id=%d bound=line-length", cid);
        error_output(text_line_too_long());
        send_to_client(cid, PROMPT);
        return;
    }
    begin_line(cid, std::move(line));
}

// The only place where leaving clients go, right after each client's turn
// and at the end of each wake-up: a leaving client's announcement can push
// another one over its queue bound, so sweep until none is left. A client
// whose foreground command still runs stays until the command has ended.
static void sweep_closing_clients()
{
    for (bool again = true; again;) {
        again = false;
        for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
            if (!client_of(cid).login || !is_leaving(cid) || !ready_to_leave(cid))
                continue;
            release_client(cid);
            again = true;
        }
    }
}

static void watch_fd(fd_set &set, int fd, int &max_fd)
{
    FD_SET(fd, &set);
    if (fd > max_fd)
        max_fd = fd;
}

// One pass of the loop over the clients. A pass begins when the loop finds
// work, and exactly the clients that have work at that moment are due in
// it; a connection waiting then is accepted before any of them is served,
// and is not served in that pass. Due clients are served once each, one
// line at most, in ascending id order. In the default mode a line that is
// not over after its turn holds the pass, and with it everybody, until it
// is over; then the pass goes on with the next due client. Whoever gets
// work meanwhile waits for the next pass, so nobody overtakes a user who
// typed earlier, and a user who types without pause gets one line a pass,
// like everyone else. With --concurrent nothing holds a pass.
struct Pass {
    bool due[CLIENT_SLOTS + 1] = {};       // by id
    bool readable[CLIENT_SLOTS + 1] = {};  // its socket had bytes when the pass began
    int next = CLIENT_SLOTS + 1;           // the next id to look at; past 30 once over
    int holder = 0;                        // whose line holds the pass, or 0
};
static Pass pass;

static bool pass_open()
{
    return pass.holder != 0 || pass.next <= CLIENT_SLOTS;
}

// ---- stopping ----

// The handlers of the stop signals and of SIGUSR1 write the signal's
// number here as a byte; the loop reads it.
static int stop_pipe[2] = {-1, -1};
static pid_t server_pid = 0;
static bool flag_sighup_ignored = false;  // started under nohup: stays so
static long long shutdown_began = 0;      // monotonic ms; 0 while serving
static bool flag_shutdown_killed = false;

static void on_signal(int sig, void (*handler)(int))
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(sig, &sa, nullptr);
}

static void set_stop_signals(void (*handler)(int))
{
    on_signal(SIGTERM, handler);
    on_signal(SIGINT, handler);
    if (!flag_sighup_ignored)
        on_signal(SIGHUP, handler);
}

// The first stop signal only wakes the loop; from then on the default
// action is back, so a second one ends the server at once. A child that
// has not exec'd yet still has this handler: there it does what the
// default would, rather than stop the server.
static void stop_handler(int sig)
{
    int saved = errno;
    set_stop_signals(SIG_DFL);
    if (getpid() != server_pid) {
        raise(sig);
    } else {
        char byte = static_cast<char>(sig);
        (void)!write(stop_pipe[1], &byte, 1);
    }
    errno = saved;
}

// SIGUSR1: the log is to be opened again (it has been rotated). A child
// that has not exec'd yet leaves it to the server.
static void reopen_handler(int sig)
{
    int saved = errno;
    if (getpid() == server_pid) {
        char byte = static_cast<char>(sig);
        (void)!write(stop_pipe[1], &byte, 1);
    }
    errno = saved;
}

static void install_stop_handler()
{
    server_pid = getpid();
    struct sigaction old;
    flag_sighup_ignored = sigaction(SIGHUP, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) < 0)
        fail("Error: pipe() failed");
    set_stop_signals(stop_handler);
    on_signal(SIGUSR1, reopen_handler);
}

// Stops accepting, and has every client leave as if it had typed exit,
// without a word more to anyone: commands get SIGHUP, queued output still
// goes out.
static void begin_shutdown(int sig)
{
    if (shutdown_began != 0)
        return;
    log_event("shutdown signal=%s", sig == SIGINT ? "INT" : sig == SIGHUP ? "HUP" : "TERM");
    shutdown_began = now_ms();
    flag_shutting_down = true;
    close_fd(server_sockfd);
    close_fd(spare_fd);
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid)
        if (client_of(cid).login)
            end_after_output(cid, Leave::SHUTDOWN);
    signal_every_command(SIGHUP);
}

static void take_signals()
{
    char bytes[64];
    ssize_t n;
    while ((n = read(stop_pipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == SIGUSR1) {
                reopen_log();
                log_event("reopen");
            } else {
                begin_shutdown(bytes[i]);
            }
        }
    }
}

static void take_shutdown_deadlines(long long &nearest)
{
    if (shutdown_began == 0)
        return;
    if (!flag_shutdown_killed)
        take_earlier(nearest, shutdown_began + SHUTDOWN_GRACE_MS);
    take_earlier(nearest, shutdown_began + SHUTDOWN_LIMIT_MS);
}

static bool everything_ended()
{
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid)
        if (client_of(cid).login)
            return false;
    return !has_departures() && !has_children();
}

// Once the grace has passed: SIGKILL for what is left, and no more waiting
// for readers. The server exits when nothing is left, or at the limit.
static void go_on_with_shutdown(long long now)
{
    if (shutdown_began == 0)
        return;
    if (!flag_shutdown_killed && now >= shutdown_began + SHUTDOWN_GRACE_MS) {
        flag_shutdown_killed = true;
        signal_every_command(SIGKILL);
        for (int cid = 1; cid <= CLIENT_SLOTS; ++cid)
            if (client_of(cid).login)
                drop_client(cid, Leave::SHUTDOWN);
        cut_departures();
    }
    if (everything_ended() || now >= shutdown_began + SHUTDOWN_LIMIT_MS) {
        reap_children();
        std::fflush(stdout);
        _exit(0);
    }
}

// Builds the sets for select and returns its timeout in ms: 0 when there is
// work that needs no waiting (a pass to go on with, or, with none open, a
// client with a whole line buffered, an ended input to act on or a line to
// go on with), -1 for none. While a line holds the pass nobody else is read
// or accepted.
static long long build_watch_sets(int &max_fd)
{
    FD_ZERO(&allset);
    FD_ZERO(&wset);
    max_fd = -1;
    long long now = now_ms();
    watch_fd(allset, sigchld_fd(), max_fd);
    watch_fd(allset, hangup_watch_fd(), max_fd);
    watch_fd(allset, stop_pipe[0], max_fd);
    if (pass.holder == 0 && now >= accept_paused_until && server_sockfd >= 0)
        watch_fd(allset, server_sockfd, max_fd);
    bool ready = pass.holder == 0 && pass.next <= CLIENT_SLOTS;
    long long deadline = 0;
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
        const Client &c = client_of(cid);
        if (!c.login)
            continue;
        if (!c.conn.outq.empty())
            watch_fd(wset, c.sockfd, max_fd);
        if (pass.holder != 0 && cid != pass.holder)
            continue;
        if (c.line.activity != Activity::IDLE)
            ready = ready || may_go_on(cid, now);
        else if (!has_line(c.conn) && !c.conn.flag_eof)
            watch_fd(allset, c.sockfd, max_fd);
        else if (!readers_behind(cid))
            ready = true;  // served from the buffer; read no more until then
        else
            take_reader_deadlines(cid, deadline);  // its line waits for its readers
    }
    watch_departures(wset, max_fd);
    if (ready)
        return 0;
    take_line_deadlines(deadline);
    take_departure_deadlines(deadline);
    if (now < accept_paused_until)
        take_earlier(deadline, accept_paused_until);
    take_shutdown_deadlines(deadline);
    return deadline == 0 ? -1 : std::max(0LL, deadline - now);
}

// What makes a client due when a pass begins.
static bool has_work(int cid, long long now)
{
    const Client &c = client_of(cid);
    if (!c.login || is_leaving(cid))
        return false;
    if (c.line.activity != Activity::IDLE)
        return may_go_on(cid, now);
    return FD_ISSET(c.sockfd, &rset) || has_line(c.conn) || c.conn.flag_eof;
}

static void begin_pass(long long now)
{
    pass = Pass();
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
        pass.due[cid] = has_work(cid, now);
        pass.readable[cid] = pass.due[cid] && FD_ISSET(client_of(cid).sockfd, &rset);
    }
    pass.next = 1;
    if (server_sockfd >= 0 && FD_ISSET(server_sockfd, &rset))
        accept_connection();
}

static void serve_client(int cid)
{
    Client &c = client_of(cid);
    if (!c.login || is_leaving(cid))
        return;
    if (c.line.activity == Activity::IDLE && pass.readable[cid])
        read_input(cid);
    handle_old_connection(cid);
    sweep_closing_clients();
}

// A holder lets go of the pass once its line is over, or once it has left.
static bool still_holds(int cid)
{
    return client_of(cid).login && client_of(cid).line.activity != Activity::IDLE;
}

static void go_on_with_pass()
{
    if (pass.holder != 0) {
        if (client_of(pass.holder).login) {
            handle_old_connection(pass.holder);  // goes on with its line when it can
            sweep_closing_clients();
        }
        if (still_holds(pass.holder))
            return;
        pass.holder = 0;
    }
    while (pass.next <= CLIENT_SLOTS) {
        int cid = pass.next++;
        if (!pass.due[cid])
            continue;
        serve_client(cid);
        if (!concurrent_mode && still_holds(cid)) {
            pass.holder = cid;
            return;
        }
    }
}

static void serve_once()
{
    int max_fd;
    long long wait_ms = build_watch_sets(max_fd);
    rset = allset;
    struct timeval timeout = {static_cast<time_t>(wait_ms / 1000),
                              static_cast<suseconds_t>(wait_ms % 1000 * 1000)};
    int n = select(max_fd + 1, &rset, &wset, nullptr, wait_ms < 0 ? nullptr : &timeout);
    if (n < 0)
        return;  // EINTR: a child ended; build the sets anew
    if (FD_ISSET(sigchld_fd(), &rset))
        commands_ended();
    if (FD_ISSET(hangup_watch_fd(), &rset))
        check_hang_ups();
    if (FD_ISSET(stop_pipe[0], &rset))
        take_signals();
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
        Client &c = client_of(cid);
        if (c.login && FD_ISSET(c.sockfd, &wset))
            flush_output(cid);
    }
    long long now = now_ms();
    serve_departures(wset, now);
    expire_deadlines(now);
    if (!pass_open())
        begin_pass(now);
    go_on_with_pass();
    sweep_closing_clients();
    hang_up_departed_commands();
    if (pass.holder != 0 && !still_holds(pass.holder))
        pass.holder = 0;  // it left in the sweep; the pass goes on next time
    go_on_with_shutdown(now_ms());
}

// Test-only: a shorter keepalive idle time, so that a test on loopback
// sees a closed peer forgotten and probed within seconds.
static void read_test_settings()
{
    if (const char *text = std::getenv("TALVANE_TEST_KEEPALIVE_IDLE")) {
        int seconds = 0;
        read_number(text, seconds);
        if (seconds >= 1 && seconds <= KEEPALIVE_IDLE_S)
            keepalive_idle_s = seconds;
    }
}

// Descriptors 0, 1 and 2 must stay taken, so that no socket or pipe of the
// server ever gets one of those numbers.
static void occupy_standard_fds()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDWR);
}

int main(int argc, char **argv)
{
    occupy_standard_fds();
    raise_descriptor_limit();
    Options options = parse_options(argc, argv);
    read_test_settings();
    init_shell();
    init_clients();
    init_user_pipe();
    signal(SIGPIPE, SIG_IGN);
    install_sigchld_handler();
    install_stop_handler();
    init_activity();
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(null_fd, STDIN_FILENO);  // the server never reads its own input
    close_fd(null_fd);
    spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Listen last: once the port accepts, the server is wholly set up.
    server_sockfd = create_socket(options.port, LISTEN_Q, options.bind_addr);
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &options.bind_addr, address, sizeof address);
    log_event("start version=%s mode=%s address=%s port=%d", TALVANE_VERSION,
              concurrent_mode ? "concurrent" : "default", address, options.port);
    std::fflush(stdout);
    for (;;)
        serve_once();
}
