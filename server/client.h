// client.h -- filling and emptying slots of the client table, each client's
// environment, the chat commands who, tell, yell and name, and the
// descriptor limit that all clients share.
#pragma once

#include <cstddef>
#include <netinet/in.h>
#include <string>

// Raises the server's soft limit on open descriptors to the hard limit, and
// remembers the soft limit it was started with. Call once, at start-up.
void raise_descriptor_limit();
// Descriptors set aside from the share of pending pipes: the 30
// connections, as many departing ones, and the server's own (standard
// descriptors, listening socket, signal pipes, watches, the spare).
constexpr int DESCRIPTOR_RESERVE = 2 * 30 + 16;
// Two pipes at least, so that a pipeline into a user pipe (ls | cat >2)
// still runs on a server with very few descriptors.
constexpr int MIN_DESCRIPTOR_SHARE = 4;
// How many descriptors one client's pending numbered and user pipes may
// hold: (limit - DESCRIPTOR_RESERVE) / 30, at least MIN_DESCRIPTOR_SHARE,
// from the limit raise_descriptor_limit() set.
int descriptor_share();
// In a child, before exec: puts that first soft limit back, so a command
// runs under the limit it would get when started anywhere else.
void restore_descriptor_limit();
// The same around a start that shares the server's process (on: the first
// limit; off: the raised one again), since such a child cannot set it.
void commands_descriptor_limit(bool on);

void init_clients();
// Takes the lowest free slot for a new connection and announces it to all.
// Returns the new id, 1..30, or 0 when every slot is in use (nothing is
// announced then and the caller still owns sockfd).
int add_client(int sockfd, const sockaddr_in &addr);
// Removes the current client from the table: what was held for it and
// everything queued goes out as far as the socket takes it now, the others
// are told it left, and its connection passes to the departures, which
// deliver the rest and then end it (a dropped client's is cut at once). Its
// id is free at once. The caller has released what the client's pipes
// hold. commands: how many of its commands still write to the connection,
// which the departure then waits for (see depart); returns its ticket, 0
// when it waits for none (a cut connection waits for nothing).
long long remove_client(int commands);
// Takes telnet's own sequences out of bytes just read from client cid and
// queues the answers for that client, behind its other output. Returns the
// bytes that belong to lines.
std::string filter_client_input(int cid, const char *data, std::size_t len);
// True when id names a logged-in client; any id outside 1..30 is false.
bool check_client_exist(int id);
// Points the process environment at the current client's own variables,
// making their block again if they changed since it was made.
void load_env();
// Points the process environment back at the server's own, between lines.
void unload_env();
// Bound on one client's environment, its initial PATH included. Each
// variable counts as the kernel counts an environment against its bound for
// exec: the bytes of "NAME=VALUE", its terminating NUL, and a pointer. So
// the bound also bounds the number of variables, and with it the memory the
// server spends on them.
constexpr std::size_t ENV_SIZE_LIMIT = 256 * 1024;

// Sets name=value in the current client's environment and in the process
// environment. When name is no variable name, or the environment would pass
// ENV_SIZE_LIMIT, it tells the user why and changes nothing.
void set_client_env(const std::string &name, const std::string &value);
// The current client's value of name, or null.
const std::string *find_client_env(const std::string &name);

void execute_who();
void execute_tell(int cid, const std::string &msg);
void execute_yell(const std::string &msg);
void execute_name(const std::string &name);
