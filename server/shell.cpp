// shell.cpp -- the executor. Built-in commands run in the server process;
// any other command runs in a child whose descriptors 0, 1 and 2 are wired
// to the client's socket, numbered pipes, a file or user pipes, and which
// keeps no other descriptor of the server's.
//
// Ownership: the server holds both ends of a pending numbered pipe from
// create_pipe() until the command at that slot has been forked; it closes
// them right after the fork (clear_pipe(pc)), so the reader sees end of
// input as soon as the last writing command ends.
//
// Owns the table of children: each line's process group, the count of
// running commands per client, and every signal sent to a command.
#include "shell.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <spawn.h>
#include <vector>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "client.h"
#include "fd.h"
#include "global.h"
#include "log.h"
#include "message.h"
#include "user_pipe.h"

// A pipe or a process that the system cannot give now (descriptor or
// process table full) is asked for again after 1, 2 and 4 ms, then the
// failure is reported to the user. The client waits in the loop meanwhile,
// so in the concurrent mode nobody else does.
static const int START_TRIES = 4;

static bool is_transient_pipe_error(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOMEM;
}

static bool is_transient_fork_error(int err)
{
    return err == EAGAIN || err == ENOMEM;
}

int pipe_target(int pc, int pipeN)
{
    long long target = (static_cast<long long>(pc) + pipeN) % PIPE_SLOTS;
    if (target < 0)
        target += PIPE_SLOTS;
    return static_cast<int>(target);
}

bool exist_pipe(int index)
{
    const Client &c = current_client();
    return c.pipefd[index][0] != -1 && c.pipefd[index][1] != -1;
}

bool create_pipe()
{
    Client &c = current_client();
    int target = pipe_target(c.pc, c.pipeN);
    if (exist_pipe(target))
        return true;  // shared with the commands numbered here before
    return may_hold_another_pipe(current_cid) && make_pipe(c.pipefd[target]);
}

void clear_pipe(int index)
{
    close_pair(current_client().pipefd[index]);
}

void close_all_pipes(int cid)
{
    for (auto &fds : client_of(cid).pipefd)
        close_pair(fds);
}

// In the child; they only read the ring, which is the server's. The ends
// themselves go with everything else the child inherited.
void connect_pipe_in()
{
    const Client &c = current_client();
    dup2(c.pipefd[c.pc][0], STDIN_FILENO);
}

// A command numbered to its own slot (distance 0 modulo 1001) reads that
// slot's pipe; its output stays the client's connection.
void connect_pipe_out()
{
    const Client &c = current_client();
    int target = pipe_target(c.pc, c.pipeN);
    if (target == c.pc || !exist_pipe(target))
        return;
    dup2(c.pipefd[target][1], STDOUT_FILENO);
    if (c.flag_error_pipe)
        dup2(c.pipefd[target][1], STDERR_FILENO);
}

bool connect_file(bool onto_stdout)
{
    int fd = open(current_client().filename.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    if (onto_stdout)
        dup2(fd, STDOUT_FILENO);
    close(fd);
    return true;
}

// Everything the child inherited beyond 0, 1 and 2 (every client's ring,
// every socket, every user pipe, the server's own pipes) is closed in one
// call. A kernel too old for close_range gets the same from the list of
// open descriptors in /proc; closing only the ones the tables know of would
// leave the rest open until exec, through the steps that can block.
void clear_useless_fd()
{
    if (close_range(3, ~0U, 0) == 0)
        return;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return;  // all of them are close-on-exec: gone at exec at least
    std::vector<int> open_fds;
    while (struct dirent *entry = readdir(dir)) {
        int fd = std::atoi(entry->d_name);
        if (fd > STDERR_FILENO && fd != dirfd(dir))
            open_fds.push_back(fd);
    }
    closedir(dir);
    for (int fd : open_fds)
        close(fd);
}

// ---- children ----

// A child not yet reaped. Every command line's processes form a process
// group of their own, as a shell's job control makes them: a command that
// signals its own group (kill 0) reaches only its line, and a hang-up
// reaches the processes a script starts, not the command alone.
struct Child {
    int owner = 0;             // client that started it; 0 once it has left
    pid_t pgid = 0;            // its line's group: the pid of a child, > 1
    bool flag_on_connection = false;  // its standard output is the connection
    long long departure = 0;   // the departed connection waiting for it; 0 none
};

// Every child not yet reaped. Children are reaped only here, in the loop,
// so a pid in this table is still ours and never names a stranger; and a
// group that holds one of them still exists, so its number cannot have
// been reused either.
static std::map<pid_t, Child> children;
// Children per client, as many as the table holds for it: the bound on
// running commands counts these.
static int running[CLIENT_SLOTS + 1];
// Children reaped before the loop asked (to make room under that bound),
// handed to it by the next reap_children().
static std::vector<Reaped> reaped_early;
static int command_limit = MAX_COMMANDS_PER_USER;
// SIGCHLD only wakes the loop: the handler writes a byte to this pipe, whose
// read end select watches.
static int sigchld_pipe[2] = {-1, -1};

void init_shell()
{
    // A test-only setting, read once: a bound small enough to reach.
    if (const char *text = std::getenv("TALVANE_TEST_COMMAND_LIMIT")) {
        int limit = 0;
        read_number(text, limit);
        if (limit >= 1 && limit <= MAX_COMMANDS_PER_USER)
            command_limit = limit;
    }
}

void sigchld_handler(int)
{
    int saved = errno;
    (void)!write(sigchld_pipe[1], "", 1);
    errno = saved;
}

void install_sigchld_handler()
{
    if (pipe2(sigchld_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
        std::printf("Error: pipe() failed\n");
        std::exit(1);
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = sigchld_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
}

int sigchld_fd()
{
    return sigchld_pipe[0];
}

static void add_child(pid_t pid, const Child &child)
{
    children[pid] = child;
    if (child.owner != 0)
        ++running[child.owner];
}

static void disown_child(Child &child)
{
    if (child.owner != 0)
        --running[child.owner];
    child.owner = 0;
}

// Reaps every child that has ended into reaped_early.
static void reap_ended()
{
    pid_t pid;
    while ((pid = waitpid(-1, nullptr, WNOHANG)) > 0) {
        auto it = children.find(pid);
        if (it == children.end())
            continue;
        Child &child = it->second;
        reaped_early.push_back({pid, child.owner});
        disown_child(child);
        if (child.departure != 0)
            departed_command_ended(child.departure);
        children.erase(it);
    }
}

std::vector<Reaped> reap_children()
{
    char sink[64];
    while (read(sigchld_pipe[0], sink, sizeof sink) > 0) {
    }
    reap_ended();
    std::vector<Reaped> reaped;
    reaped.swap(reaped_early);
    return reaped;
}

bool has_children()
{
    return !children.empty();
}

// True while a child of ours is in group pgid: only then is the number
// still that group's.
static bool group_is_ours(pid_t pgid)
{
    for (const auto &entry : children)
        if (entry.second.pgid == pgid)
            return true;
    return false;
}

// The one place that signals a group. Never 0, 1 or a negative number,
// which would name the server's own group or every process it may signal,
// and never a group that none of our children is in any more.
static void signal_group(pid_t pgid, int sig)
{
    if (pgid > 1 && pgid != getpgrp() && group_is_ours(pgid))
        kill(-pgid, sig);
}

// Each group once, whichever of its members select() picks.
static void signal_groups(const std::function<bool(const Child &)> &select, int sig)
{
    std::vector<pid_t> groups;
    for (const auto &entry : children)
        if (select(entry.second) && std::find(groups.begin(), groups.end(), entry.second.pgid) == groups.end())
            groups.push_back(entry.second.pgid);
    for (pid_t pgid : groups)
        signal_group(pgid, sig);
}

void signal_command(pid_t pid, int sig)
{
    auto it = children.find(pid);
    if (it != children.end())
        signal_group(it->second.pgid, sig);
}

void signal_every_command(int sig)
{
    signal_groups([](const Child &) { return true; }, sig);
}

// The groups of client cid in which a command writes to its connection.
static std::vector<pid_t> groups_on_connection(int cid)
{
    std::vector<pid_t> groups;
    for (const auto &entry : children)
        if (entry.second.owner == cid && entry.second.flag_on_connection)
            groups.push_back(entry.second.pgid);
    return groups;
}

static bool holds_on(const std::vector<pid_t> &groups, pid_t pgid)
{
    return std::find(groups.begin(), groups.end(), pgid) != groups.end();
}

int commands_on_connection(int cid)
{
    std::vector<pid_t> groups = groups_on_connection(cid);
    int n = 0;
    for (const auto &entry : children)
        if (entry.second.owner == cid && holds_on(groups, entry.second.pgid))
            ++n;
    return n;
}

void hang_up_commands(int cid, long long departure)
{
    std::vector<pid_t> kept, hung_up;
    if (departure != 0)
        kept = groups_on_connection(cid);
    for (auto &entry : children) {
        Child &child = entry.second;
        if (child.owner != cid)
            continue;
        if (holds_on(kept, child.pgid))
            child.departure = departure;  // hung up when that departure ends
        else if (!holds_on(hung_up, child.pgid))
            hung_up.push_back(child.pgid);
        disown_child(child);
    }
    for (pid_t pgid : hung_up)
        signal_group(pgid, SIGHUP);
}

void hang_up_departed_commands()
{
    for (long long departure : take_ended_departures()) {
        signal_groups([departure](const Child &child) { return child.departure == departure; }, SIGHUP);
        for (auto &entry : children)
            if (entry.second.departure == departure)
                entry.second.departure = 0;
    }
}

// ---- built-in commands ----

static const char *arg(const Client &c, int i)
{
    return i < c.cmd.argc ? c.cmd.argv[i] : nullptr;
}

static void builtin_setenv(const Client &c)
{
    const char *name = arg(c, 1), *value = arg(c, 2);
    if (!name || !value) {
        error_output("Usage: setenv [name] [value]\n");
        return;
    }
    set_client_env(name, value);  // tells the user itself what it refuses
}

static void builtin_printenv(const Client &c)
{
    const char *name = arg(c, 1);
    if (!name) {
        error_output("Usage: printenv [name]\n");
        return;
    }
    if (const std::string *value = find_client_env(name))
        normal_output(*value + "\n");
}

static void builtin_tell(const Client &c)
{
    const char *id = arg(c, 1);
    if (!id) {
        error_output("Usage: tell [user id] [message]\n");
        return;
    }
    // Read as a decimal number like the numbers after markers, so a huge id
    // is reported as the nearest int rather than wrapped into another one.
    int cid = 0;
    read_number(id, cid);
    const char *msg = arg(c, 2);
    execute_tell(cid, msg ? msg : "");
}

static void builtin_name(const Client &c)
{
    const char *name = arg(c, 1);
    if (!name) {
        error_output("Usage: name [new name]\n");
        return;
    }
    execute_name(name);
}

// Runs cmd_name when it is a built-in; false for an external command.
static bool run_builtin(const Client &c, Outcome &out)
{
    const std::string &name = c.cmd_name;
    out = Outcome();
    if (name == "exit") {
        out.result = Outcome::LEAVES;
    } else if (name == "setenv") {
        builtin_setenv(c);
    } else if (name == "printenv") {
        builtin_printenv(c);
    } else if (name == "who") {
        execute_who();
    } else if (name == "tell") {
        builtin_tell(c);
    } else if (name == "yell") {
        const char *msg = arg(c, 1);
        execute_yell(msg ? msg : "");
    } else if (name == "name") {
        builtin_name(c);
    } else {
        return false;
    }
    return true;
}

// ---- external commands ----

// In the child: wires 0, 1 and 2 in their fixed order (each step replacing
// an earlier one on the same descriptor), keeps nothing else, and runs the
// program. Never returns.
//
// The steps that cannot block come first: they only duplicate descriptors
// the child already has. Then everything else is closed, and only then come
// the steps that can block: opening the output file (a FIFO waits for a
// reader) and writing error texts (standard error may be a full pipe). A
// child stuck there holds nothing but 0, 1 and 2, so no other command waits
// on a pipe end it keeps. A user pipe still overrides the file on
// descriptor 1, as it comes later in the order; the file is created or
// truncated all the same.
[[noreturn]] static void run_child(Client &c, const Launch &l, pid_t pgid)
{
    join_line_group(pgid);
    signal(SIGPIPE, SIG_DFL);
    dup2(c.sockfd, STDIN_FILENO);
    dup2(c.sockfd, STDOUT_FILENO);
    dup2(c.sockfd, STDERR_FILENO);
    if (exist_pipe(c.pc))
        connect_pipe_in();
    if (l.is_pipe)
        connect_pipe_out();
    bool user_in_ok = c.flag_user_pipe_in && l.error_user_pipe_in.empty();
    bool user_out_ok = c.flag_user_pipe_out && l.error_user_pipe_out.empty();
    if (user_in_ok)
        connect_user_pipe_in(c.user_pipeN_in, l.error_user_pipe_in);
    if (user_out_ok)
        connect_user_pipe_out(c.user_pipeN_out, l.error_user_pipe_out);
    clear_useless_fd();
    if (!c.filename.empty() && !connect_file(!c.flag_user_pipe_out)) {
        write_fd(STDERR_FILENO, format_text("*** Error: cannot open '%s' for writing: %s. ***\n",
                                            c.filename.c_str(), std::strerror(errno)));
        _exit(1);
    }
    if (c.flag_user_pipe_in && !user_in_ok)
        connect_user_pipe_in(c.user_pipeN_in, l.error_user_pipe_in);
    if (c.flag_user_pipe_out && !user_out_ok)
        connect_user_pipe_out(c.user_pipeN_out, l.error_user_pipe_out);
    restore_descriptor_limit();
    execvp(c.cmd_name.c_str(), c.cmd.argv.data());
    write_fd(STDERR_FILENO, "Unknown command: [" + c.cmd_name + "].\n");
    _exit(1);
}

// The common start copies nothing of the server: posix_spawn runs the child
// through clone(CLONE_VM | CLONE_VFORK), with every signal blocked around
// it, so the server is only suspended until the child's exec. Such a child
// runs in the server's memory and must not block, so it does only what
// cannot: its file actions duplicate descriptors the child already has, in
// the fixed order of the fork path, then close everything else. Commands
// whose start can block take the fork path (see may_spawn).
static posix_spawnattr_t spawn_attributes;

static void init_spawn_attributes()
{
    posix_spawnattr_init(&spawn_attributes);
    // Back to their defaults what the server changed: SIGPIPE is ignored,
    // and a handler's code must never run in a child sharing its memory.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGTERM, SIGUSR1})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&spawn_attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&spawn_attributes, &none);
    posix_spawnattr_setflags(&spawn_attributes,
                             POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
}

// What may block before the exec: opening the output file (a FIFO waits for
// a reader) and writing a user pipe's error text (standard error may be a
// full pipe).
static bool may_spawn(const Client &c, const Launch &l)
{
    return c.filename.empty() && l.error_user_pipe_in.empty() && l.error_user_pipe_out.empty();
}

// Returns 0 with pid set, or the error number. The child joins process
// group pgid (0: a group of its own) before anything else, as
// join_line_group does for a forked one.
static int spawn_command(const Client &c, const Launch &l, pid_t pgid, pid_t &pid)
{
    static bool attributes_ready = false;
    if (!attributes_ready) {
        init_spawn_attributes();
        attributes_ready = true;
    }
    posix_spawnattr_setpgroup(&spawn_attributes, pgid);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        posix_spawn_file_actions_adddup2(&actions, c.sockfd, fd);
    if (exist_pipe(c.pc))
        posix_spawn_file_actions_adddup2(&actions, c.pipefd[c.pc][0], STDIN_FILENO);
    int target = pipe_target(c.pc, c.pipeN);
    if (l.is_pipe && target != c.pc && exist_pipe(target)) {
        posix_spawn_file_actions_adddup2(&actions, c.pipefd[target][1], STDOUT_FILENO);
        if (c.flag_error_pipe)
            posix_spawn_file_actions_adddup2(&actions, c.pipefd[target][1], STDERR_FILENO);
    }
    if (c.flag_user_pipe_in)
        posix_spawn_file_actions_adddup2(&actions, user_pipefd[c.user_pipeN_in][current_cid][0], STDIN_FILENO);
    if (c.flag_user_pipe_out)
        posix_spawn_file_actions_adddup2(&actions, user_pipefd[current_cid][c.user_pipeN_out][1], STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    commands_descriptor_limit(true);
    int err = posix_spawnp(&pid, c.cmd_name.c_str(), &actions, &spawn_attributes, c.cmd.argv.data(), environ);
    commands_descriptor_limit(false);
    posix_spawn_file_actions_destroy(&actions);
    return err;
}

// Errors of starting a process at all, as fork has them; any other error of
// a spawn is the program's (not found, not executable, a script without
// #!), which the fork path handles as execvp does.
static bool is_process_error(int err)
{
    return err == EAGAIN || err == ENOMEM || err == ENOSYS;
}

// Starts the command's process. Returns its pid, or -1 with errno set.
static pid_t start_process(Client &c, const Launch &l, pid_t pgid)
{
    load_env();  // as its user's setenvs left it
    if (may_spawn(c, l)) {
        pid_t pid = -1;
        int err = spawn_command(c, l, pgid, pid);
        if (err == 0)
            return pid;
        if (is_process_error(err)) {
            errno = err;
            return -1;
        }
        // Nothing ran and nothing was written; the fork path runs the
        // program as execvp does, or says that it is unknown. A program
        // that disappeared in between is reported by it the same way.
    }
    pid_t pid = fork();
    if (pid == 0)
        run_child(c, l, pgid);
    return pid;
}

// ---- process groups and the bound on running commands ----

// The group the next command of the current client's line joins: the
// line's, while a child of ours is still in it; 0 (a group of its own,
// which becomes the line's) for the line's first command, and when every
// earlier one has been reaped, since the number may then name another
// process's group.
static pid_t group_for_next_command(const Client &c)
{
    return c.line_pgid > 0 && group_is_ours(c.line_pgid) ? c.line_pgid : 0;
}

// In the child, first of all: into its line's group (0: one of its own),
// so that kill 0 from the command reaches its line only. A hang-up must
// end it even when the server was started with SIGHUP ignored (nohup),
// which exec would otherwise pass on.
void join_line_group(pid_t pgid)
{
    if (setpgid(0, pgid) != 0)
        setpgid(0, 0);
    signal(SIGHUP, SIG_DFL);
}

// In the parent, right after the fork: the same setpgid, so that the group
// is set before the server can signal it, whichever side runs first. Fails
// harmlessly once the child has exec'd, as it has then set it itself.
// Returns the child's group.
static pid_t settle_line_group(Client &c, pid_t pid, pid_t pgid)
{
    pid_t group = pgid > 0 ? pgid : pid;
    setpgid(pid, group);
    c.line_pgid = group;
    return group;
}

// True when client cid may start another command: fewer than the bound
// of its children are unreaped. Children that have ended are reaped first
// (the loop hears of them from reap_children()), so that a long line whose
// commands end as fast as they start is not refused.
static bool may_start_command(int cid)
{
    if (running[cid] < command_limit)
        return true;
    reap_ended();
    return running[cid] < command_limit;
}

// Whether a command's standard output is its client's connection: not a
// numbered pipe to a later command, a user pipe (or the null device in its
// place) or a file. A numbered pipe to its own slot leaves it there.
static bool output_on_connection(const Client &c, const Launch &l)
{
    if (!c.filename.empty() || c.flag_user_pipe_out)
        return false;
    return !l.is_pipe || pipe_target(c.pc, c.pipeN) == c.pc;
}

static Outcome report_start_failure(Client &c, const char *what, int err)
{
    log_event("refused id=%d bound=%s error=\"%s\"", current_cid, c.launch.stage == Launch::PIPE ? "pipes" : "processes",
              std::strerror(err));
    error_output(format_text("*** Error: cannot %s now (%s); the command did not run. ***\n",
                             what, std::strerror(err)));
    reset_record(c.launch);
    return Outcome{Outcome::GIVEN_UP};
}

// After a failed attempt: true (and out says when) when the command is to
// be tried again, false when the failure is final.
static bool retry_later(Client &c, bool transient, Outcome &out)
{
    Launch &l = c.launch;
    if (!transient || ++l.tries >= START_TRIES)
        return false;
    out = Outcome{Outcome::WAIT_UNTIL, now_ms() + (1LL << (l.tries - 1))};
    return true;
}

// The command never ran. What it would have read stays pending; the user
// pipe made for its output has no writer, so it goes.
static void abandon_launch(Client &c)
{
    if (c.flag_user_pipe_out && c.launch.error_user_pipe_out.empty())
        clear_user_pipe(current_cid, c.user_pipeN_out);
}

// The steps before the fork, from the stage where the command stopped: its
// outgoing numbered pipe, then the checks and announcements of its user
// pipes (the incoming side before the outgoing one). False (out says why)
// when the command has to wait for a pipe, or could not get one.
static bool prepare_launch(Client &c, Outcome &out)
{
    Launch &l = c.launch;
    if (l.stage == Launch::PIPE) {
        if (l.is_pipe && !create_pipe()) {
            int err = errno;
            if (!retry_later(c, is_transient_pipe_error(err), out))
                out = report_start_failure(c, "create a pipe", err);
            return false;
        }
        l.stage = Launch::USER_PIPE_IN;
        l.tries = 0;
    }
    if (l.stage == Launch::USER_PIPE_IN) {
        if (c.flag_user_pipe_in)
            l.error_user_pipe_in = create_user_pipe_in(c.user_pipeN_in);
        l.stage = Launch::USER_PIPE_OUT;
    }
    if (l.stage == Launch::USER_PIPE_OUT) {
        if (c.flag_user_pipe_out) {
            int err = 0;
            l.error_user_pipe_out = create_user_pipe_out(c.user_pipeN_out, &err);
            if (err != 0 && retry_later(c, is_transient_pipe_error(err), out))
                return false;
        }
        l.blocking = !(l.is_pipe || (c.flag_user_pipe_out && l.error_user_pipe_out.empty()));
        l.stage = Launch::FORK;
        l.tries = 0;
    }
    return true;
}

// The fork, once whatever the server has queued for this client (the
// announcements just made included) has gone out: the command's output
// must not overtake it. A client that is leaving gets no new command.
static Outcome start_launch(Client &c)
{
    Launch &l = c.launch;
    if (is_leaving(current_cid)) {
        abandon_launch(c);
        reset_record(c.launch);
        return Outcome{Outcome::GIVEN_UP};
    }
    if (!c.conn.outq.empty() && !c.conn.flag_write_failed)
        return Outcome{Outcome::WAIT_FOR_OUTPUT};
    if (!may_start_command(current_cid)) {
        log_event("refused id=%d bound=commands", current_cid);
        abandon_launch(c);
        error_output(format_text("*** Error: you have %d commands running; this one did not start. ***\n",
                                 command_limit));
        reset_record(c.launch);
        return Outcome{Outcome::GIVEN_UP};
    }
    pid_t pgid = group_for_next_command(c);
    pid_t pid = start_process(c, l, pgid);
    if (pid < 0) {
        int err = errno;
        Outcome out;
        if (retry_later(c, is_transient_fork_error(err), out))
            return out;
        abandon_launch(c);
        return report_start_failure(c, "start a process", err);
    }
    Child child;
    child.owner = current_cid;
    child.pgid = settle_line_group(c, pid, pgid);
    child.flag_on_connection = output_on_connection(c, l);
    add_child(pid, child);
    clear_pipe(c.pc);
    if (c.flag_user_pipe_in && l.error_user_pipe_in.empty())
        clear_user_pipe(c.user_pipeN_in, current_cid);
    bool blocking = l.blocking;
    reset_record(c.launch);
    if (blocking)
        return Outcome{Outcome::FOREGROUND, 0, pid, true};
    return Outcome{Outcome::DONE, 0, -1, true};
}

// A command that announces something, or shows what others are and do, must
// not come before what they said meanwhile: what was held for its user goes
// out first.
static bool shows_others(const Client &c)
{
    const std::string &name = c.cmd_name;
    return c.flag_user_pipe_in || c.flag_user_pipe_out || name == "who" || name == "tell" || name == "yell" ||
           name == "name";
}

Outcome execute()
{
    Client &c = current_client();
    Outcome out;
    if (c.launch.stage == Launch::NONE) {
        // Each command adds at most about a line's worth for each reader,
        // so waiting here keeps every reader's queue far below its bound.
        if (readers_behind(current_cid))
            return Outcome{Outcome::WAIT_FOR_READERS};
        if (shows_others(c))
            release_held(current_cid);
        if (run_builtin(c, out))
            return out;
        c.launch.stage = Launch::PIPE;
        c.launch.is_pipe = c.flag_pipe || c.flag_error_pipe;
    }
    if (!prepare_launch(c, out))
        return out;
    return start_launch(c);
}
