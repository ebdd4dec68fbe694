// client.cpp -- the client table: log-in and log-out, per-client
// environments, the chat commands that read the table, and the descriptor
// limit the clients share.
//
// A client's environment is kept as a map and, for its commands, as a block
// of "NAME=VALUE" strings; load_env() points the process environment at
// the block, so that execvp sees exactly that client's variables. setenv
// only marks the block stale: it is made again when a command is to see
// it, so a line of thousands of setenvs costs what its map updates cost.
// Unlike setenv(3), this never keeps old values alive.
#include "client.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

#include "global.h"
#include "log.h"
#include "message.h"

extern char **environ;

static const char *const DEFAULT_NAME = "(no name)";
static char server_path[] = "PATH=bin:.";
static char *server_env[] = {server_path, nullptr};

// Every pending numbered or user pipe holds two descriptors of the server,
// so under a low soft limit (often 1024, or less) one user parking pipes
// can leave none for anybody's next command or connection. The hard limit
// is as far as a process may go on its own; what it leaves is the bound.
static struct rlimit first_descriptor_limit;
static bool flag_descriptor_limit_raised = false;
static int pipe_share = MIN_DESCRIPTOR_SHARE;

// Each user gets an equal share of what is left once every connection, and
// the server's own descriptors, have room: then no user's pending pipes
// keep another user's command or a newcomer from a descriptor.
static void set_pipe_share(rlim_t limit)
{
    long long budget = static_cast<long long>(std::min<rlim_t>(limit, 1 << 30)) - DESCRIPTOR_RESERVE;
    pipe_share = static_cast<int>(std::max<long long>(MIN_DESCRIPTOR_SHARE, budget / CLIENT_SLOTS));
}

void raise_descriptor_limit()
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    if (limit.rlim_cur != limit.rlim_max) {
        first_descriptor_limit = limit;
        limit.rlim_cur = limit.rlim_max;
        flag_descriptor_limit_raised = setrlimit(RLIMIT_NOFILE, &limit) == 0;
        if (!flag_descriptor_limit_raised)
            limit = first_descriptor_limit;
    }
    set_pipe_share(limit.rlim_cur);
}

int descriptor_share()
{
    return pipe_share;
}

void restore_descriptor_limit()
{
    if (flag_descriptor_limit_raised)
        setrlimit(RLIMIT_NOFILE, &first_descriptor_limit);
}

void commands_descriptor_limit(bool on)
{
    if (!flag_descriptor_limit_raised)
        return;
    if (on) {
        setrlimit(RLIMIT_NOFILE, &first_descriptor_limit);
        return;
    }
    struct rlimit raised = first_descriptor_limit;
    raised.rlim_cur = raised.rlim_max;
    setrlimit(RLIMIT_NOFILE, &raised);
}

void init_clients()
{
    for (Client &c : clients) {
        c.login = false;
        c.sockfd = -1;  // the ring is made empty when the slot is taken
    }
    environ = server_env;
}

// What one variable costs against ENV_SIZE_LIMIT.
static std::size_t env_cost(const std::string &name, const std::string &value)
{
    return name.size() + 1 + value.size() + 1 + sizeof(char *);
}

static void rebuild_env_block(Client &c)
{
    c.flag_env_stale = false;
    c.env_strings.clear();
    c.envp.clear();
    c.env_strings.reserve(c.env.size());
    for (const auto &[name, value] : c.env)
        c.env_strings.push_back(name + "=" + value);
    for (std::string &entry : c.env_strings)
        c.envp.push_back(&entry[0]);
    c.envp.push_back(nullptr);
}

int add_client(int sockfd, const sockaddr_in &addr)
{
    int slot = 0;
    while (slot < CLIENT_SLOTS && clients[slot].login)
        ++slot;
    if (slot == CLIENT_SLOTS)
        return 0;
    Client &c = clients[slot];
    c.login = true;
    c.sockfd = sockfd;
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    c.ip = ip;
    c.port = ntohs(addr.sin_port);
    std::strcpy(c.name, DEFAULT_NAME);
    c.pc = 0;
    for (auto &slot_fds : c.pipefd)
        slot_fds[0] = slot_fds[1] = -1;
    c.env.clear();
    c.env["PATH"] = "bin:.";
    c.env_bytes = env_cost("PATH", c.env["PATH"]);
    rebuild_env_block(c);
    reset_record(c.launch);
    reset_record(c.conn);
    reset_record(c.line);
    broadcast_login(c.ip, c.port, c.name);
    return slot + 1;
}

long long remove_client(int commands)
{
    Client &c = current_client();
    // What others said during its last line, then everything queued, goes
    // out before the connection ends, as long as the peer reads.
    release_held(current_cid);
    flush_output(current_cid);
    c.login = false;
    forget_reader(current_cid);
    broadcast_logout(c.name);
    long long ticket = 0;
    if (c.conn.ending == Ending::NOW || c.conn.flag_write_failed)
        cut_connection(c.sockfd);
    else
        ticket = depart(c.sockfd, c.conn.outq, c.conn.outq_sent, commands);
    // Its buffers' memory goes now; the rest of the slot is set afresh when
    // the slot is taken again.
    reset_record(c.conn);
    reset_record(c.line);
    return ticket;
}

std::string filter_client_input(int cid, const char *data, std::size_t len)
{
    std::string line, reply;
    filter_telnet(client_of(cid).conn.telnet, std::string_view(data, len), line, reply);
    if (!reply.empty())
        send_to_client(cid, reply);
    return line;
}

bool check_client_exist(int id)
{
    return id >= 1 && id <= CLIENT_SLOTS && client_of(id).login;
}

void load_env()
{
    Client &c = current_client();
    if (c.flag_env_stale)
        rebuild_env_block(c);
    environ = c.envp.data();
}

void unload_env()
{
    environ = server_env;
}

// Every setenv of a new name grows the environment, and with it the block
// copied into every command the client starts; unbounded, one client could
// take all of the server's memory. A variable that is replaced counts with
// its new value only.
static bool env_has_room(const Client &c, const std::string &name, const std::string &value)
{
    std::size_t total = c.env_bytes;
    auto old = c.env.find(name);
    if (old != c.env.end())
        total -= env_cost(name, old->second);
    return total + env_cost(name, value) <= ENV_SIZE_LIMIT;
}

void set_client_env(const std::string &name, const std::string &value)
{
    if (name.empty() || name.find('=') != std::string::npos) {
        error_output(format_text("*** Error: '%s' is not a variable name. ***\n", name.c_str()));
        return;
    }
    Client &c = current_client();
    if (!env_has_room(c, name, value)) {
        log_event("refused id=%d bound=environment", current_cid);
        error_output(format_text("*** Error: an environment holds at most %zu bytes; '%s' was not set. ***\n",
                                 ENV_SIZE_LIMIT, name.c_str()));
        return;
    }
    auto [it, added] = c.env.try_emplace(name);
    if (!added)
        c.env_bytes -= env_cost(name, it->second);
    it->second = value;
    c.env_bytes += env_cost(name, value);
    c.flag_env_stale = true;
}

const std::string *find_client_env(const std::string &name)
{
    const Client &c = current_client();
    auto it = c.env.find(name);
    return it == c.env.end() ? nullptr : &it->second;
}

void execute_who()
{
    std::string table = "<ID>\t<nickname>\t<IP:port>\t<indicate me>\n";
    for (int id = 1; id <= CLIENT_SLOTS; ++id) {
        const Client &c = client_of(id);
        if (!c.login)
            continue;
        if (id == current_cid)
            table += format_text("%d\t%s\t%s:%d\t<-me\n", id, c.name, c.ip.c_str(), c.port);
        else
            table += format_text("%d\t%s\t%s:%d\n", id, c.name, c.ip.c_str(), c.port);
    }
    normal_output(table);
}

void execute_tell(int cid, const std::string &msg)
{
    if (check_client_exist(cid))
        tell_one(current_client().name, cid, msg);
    else
        error_output(format_text("*** Error: user #%d does not exist yet. ***\n", cid));
}

void execute_yell(const std::string &msg)
{
    broadcast_yell(current_client().name, msg);
}

// A name is shown to everyone in who, announcements, tells and yells; one
// with control characters could rewrite what others' terminals show (erase
// a line, fake a message or another user's row). That covers the C1
// controls as UTF-8 writes them (U+0080..U+009F: C2 80..C2 9F), which
// terminals obey as they do ESC, and the bidirectional embeddings,
// overrides and isolates (U+202A..U+202E: E2 80 AA..AE; U+2066..U+2069:
// E2 81 A6..A9), which reorder the rest of a who row or an announcement.
static bool has_control_character(const std::string &text)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char byte = bytes[i];
        if (byte < 32 || byte == 127)
            return true;
        if (byte == 0xC2 && i + 1 < n && bytes[i + 1] >= 0x80 && bytes[i + 1] <= 0x9F)
            return true;
        if (byte == 0xE2 && i + 2 < n) {
            unsigned char b1 = bytes[i + 1], b2 = bytes[i + 2];
            if ((b1 == 0x80 && b2 >= 0xAA && b2 <= 0xAE) || (b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9))
                return true;
        }
    }
    return false;
}

void execute_name(const std::string &name)
{
    if (name.size() >= static_cast<std::size_t>(NAME_SIZE)) {
        error_output(format_text("*** Error: a name has at most %d characters. ***\n", NAME_SIZE - 1));
        return;
    }
    if (has_control_character(name)) {
        error_output("*** Error: a name cannot hold control characters. ***\n");
        return;
    }
    for (const Client &c : clients) {
        if (c.login && name == c.name) {
            error_output(format_text("*** User '%s' already exists. ***\n", name.c_str()));
            return;
        }
    }
    Client &me = current_client();
    std::memcpy(me.name, name.c_str(), name.size() + 1);
    log_event("rename id=%d name=\"%s\"", current_cid, log_quoted(me.name).c_str());
    broadcast_name(me.ip, me.port, me.name);
}
