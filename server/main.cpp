// main.cpp -- talvane: a multi-user remote shell server. One process, one
// thread, one select loop: it accepts up to 30 users, reads one line at a
// time from each and runs it; only the commands that users start run in
// child processes.
//
// Owns the listening socket and the loop. Every client socket is owned by
// the client table (client.cpp) from add_client() to remove_client().
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "client.h"
#include "global.h"
#include "message.h"
#include "parser.h"
#include "shell.h"
#include "user_pipe.h"

static const int LISTEN_Q = 30;
// Longest line that runs, not counting its line ending. Longer lines are
// refused whole; per connection at most this much plus one read is buffered.
static const std::size_t MAX_LINE_LENGTH = 65536;
static const std::size_t READ_CHUNK = 65536;
static const char PROMPT[] = "% ";
static const char BANNER[] =
    "****************************************\n"
    "** Welcome to the information server. **\n"
    "****************************************\n";

int server_sockfd = -1;
fd_set allset;  // what the loop waits to read: the listening socket and clients
fd_set rset;    // the copy select overwrites
static fd_set wset;  // clients whose queued output waits for the socket

// A descriptor held in reserve: when the table is full, giving it up lets
// the server take a waiting connection and close it, rather than have select
// report the listening socket ready in every pass.
static int spare_fd = -1;
static long long accept_paused_until = 0;

// The port must be a whole number from 1 to 65535, digits only.
static bool parse_port(const char *text, int &port)
{
    std::size_t len = std::strlen(text);
    if (len == 0 || len > 5 || std::strspn(text, "0123456789") != len)
        return false;
    port = std::atoi(text);
    return port >= 1 && port <= 65535;
}

static void fail(const char *msg)
{
    std::printf("%s\n", msg);
    std::exit(1);
}

int create_socket(int port, int listenQ)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
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
    if (cid == 0) {
        // Every slot is taken: the connection gets no id and is closed.
        send_raw(sockfd, PROMPT);
        close(sockfd);
        return;
    }
    init_parse(cid);
    send_to_client(cid, PROMPT);
}

static void shed_connection()
{
    if (spare_fd >= 0) {
        close(spare_fd);
        int fd = accept4(server_sockfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            close(fd);
        spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (spare_fd < 0)
        accept_paused_until = now_ms() + 100;
}

static void accept_connection()
{
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    int fd = accept4(server_sockfd, reinterpret_cast<sockaddr *>(&addr), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            shed_connection();
        return;
    }
    if (fd >= FD_SETSIZE) {
        close(fd);  // select cannot watch it
        return;
    }
    // Output and prompt go out as separate writes; without this an ordinary
    // client waits for a delayed ACK on every line.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    handle_new_connection(fd, addr);
}

// Appends what arrived to the client's buffer. A line that grows past
// MAX_LINE_LENGTH without ending is refused at once and the rest of it,
// up to its newline, is dropped as it arrives.
static void take_input(int cid, const char *data, std::size_t len)
{
    Client &c = client_of(cid);
    if (c.flag_discard_line) {
        const char *nl = static_cast<const char *>(std::memchr(data, '\n', len));
        if (!nl)
            return;
        c.flag_discard_line = false;
        send_to_client(cid, PROMPT);
        len -= static_cast<std::size_t>(nl + 1 - data);
        data = nl + 1;
    }
    c.inbuf.append(data, len);
    std::size_t pending = c.inbuf.size() - c.inbuf_pos;
    if (pending > MAX_LINE_LENGTH + 1 && c.inbuf.find('\n', c.inbuf_pos) == std::string::npos) {
        send_to_client(cid, format_text("*** Error: the line is longer than %zu bytes; it was not run. ***\n",
                                        MAX_LINE_LENGTH));
        c.inbuf.clear();
        c.inbuf_pos = 0;
        c.flag_discard_line = true;
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
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        c.flag_eof = true;  // lines already here still run; then it leaves
}

static bool has_line(const Client &c)
{
    return c.inbuf.find('\n', c.inbuf_pos) != std::string::npos;
}

static bool take_line(Client &c, std::string &line)
{
    std::size_t nl = c.inbuf.find('\n', c.inbuf_pos);
    if (nl == std::string::npos)
        return false;
    line.assign(c.inbuf, c.inbuf_pos, nl - c.inbuf_pos);
    c.inbuf_pos = nl + 1;
    if (c.inbuf_pos == c.inbuf.size()) {
        c.inbuf.clear();
        c.inbuf_pos = 0;
    } else if (c.inbuf_pos > READ_CHUNK) {
        c.inbuf.erase(0, c.inbuf_pos);
        c.inbuf_pos = 0;
    }
    return true;
}

// Runs one buffered line of client cid, if it has one. A client whose input
// has ended and who has no whole line left leaves, as if it had typed exit;
// a last line without its newline is not run.
void handle_old_connection(int cid)
{
    Client &c = client_of(cid);
    std::string line;
    if (!take_line(c, line)) {
        if (c.flag_eof)
            mark_closing(cid);
        return;
    }
    current_cid = cid;
    std::size_t length = line.size() - (!line.empty() && line.back() == '\r' ? 1 : 0);
    if (length > MAX_LINE_LENGTH) {
        error_output(format_text("*** Error: the line is longer than %zu bytes; it was not run. ***\n",
                                 MAX_LINE_LENGTH));
        send_to_client(cid, PROMPT);
        return;
    }
    load_env();
    parse(std::move(line));
    unload_env();
    if (c.login && !c.flag_closing)
        send_to_client(cid, PROMPT);
}

// The only place where clients that were marked for closing go: a leaving
// client's announcement can push another one over its queue bound, so sweep
// until none is left.
static void sweep_closing_clients()
{
    for (bool again = true; again;) {
        again = false;
        for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
            if (client_of(cid).login && client_of(cid).flag_closing) {
                current_cid = cid;
                delete_user_pipe();
                remove_client();
                again = true;
            }
        }
    }
}

// Builds the sets for select. Returns true when some client has work that
// needs no waiting: a whole line buffered, or an ended input to act on.
static bool build_watch_sets(int &max_fd)
{
    FD_ZERO(&allset);
    FD_ZERO(&wset);
    max_fd = -1;
    if (now_ms() >= accept_paused_until) {
        FD_SET(server_sockfd, &allset);
        max_fd = server_sockfd;
    }
    bool ready = false;
    for (const Client &c : clients) {
        if (!c.login)
            continue;
        if (has_line(c) || c.flag_eof) {
            ready = true;  // served from the buffer; read no more until then
        } else {
            FD_SET(c.sockfd, &allset);
            if (c.sockfd > max_fd)
                max_fd = c.sockfd;
        }
        if (!c.outq.empty()) {
            FD_SET(c.sockfd, &wset);
            if (c.sockfd > max_fd)
                max_fd = c.sockfd;
        }
    }
    return ready;
}

static void serve_once()
{
    int max_fd;
    bool ready = build_watch_sets(max_fd);
    rset = allset;
    struct timeval zero = {0, 0}, pause = {0, 100000};
    struct timeval *timeout = ready ? &zero : (now_ms() < accept_paused_until ? &pause : nullptr);
    int n = select(max_fd + 1, &rset, &wset, nullptr, timeout);
    if (n < 0)
        return;  // EINTR: a child ended; build the sets anew
    if (FD_ISSET(server_sockfd, &rset))
        accept_connection();
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
        Client &c = client_of(cid);
        if (c.login && FD_ISSET(c.sockfd, &wset))
            flush_output(cid);
    }
    for (int cid = 1; cid <= CLIENT_SLOTS; ++cid) {
        Client &c = client_of(cid);
        if (!c.login || c.flag_closing)
            continue;
        if (FD_ISSET(c.sockfd, &rset))
            read_input(cid);
        handle_old_connection(cid);
    }
    sweep_closing_clients();
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
    int port = 0;
    if (argc < 2 || !parse_port(argv[1], port))
        fail("Usage: ./talvane [port]");
    init_clients();
    init_user_pipe();
    signal(SIGPIPE, SIG_IGN);
    install_sigchld_handler();
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(null_fd, STDIN_FILENO);  // the server never reads its own input
    close(null_fd);
    spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Listen last: once the port accepts, the server is wholly set up.
    server_sockfd = create_socket(port, LISTEN_Q);
    std::fflush(stdout);
    for (;;)
        serve_once();
}
