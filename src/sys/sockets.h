// SPDX-License-Identifier: Apache-2.0
#pragma once
// Sockets and name resolution. Addresses are IPv4 in host byte order (a.b.c.d = a<<24|...);
// only the low 16 bits of a port are used.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Listening TCP socket on `port` of `address` (0: every address), or -1.
int socket_open_tcp_server(uint32_t port, uint32_t address = 0);
// Connected TCP socket (blocking), or -1 when the connection is refused or not made within
// `timeout_seconds` ("connect socket error: Connection timed out").
int socket_open_tcp_client(uint32_t address, uint32_t port, int timeout_seconds);
// The same without waiting: starts connecting a non-blocking TCP socket and returns it (select
// shows it writable once the attempt has ended), or -1 when no socket could be made or the
// attempt failed at once (logged as above).
int socket_connect_start(uint32_t address, uint32_t port);
// How the attempt begun by socket_connect_start ended, once select found `fd` writable or, with
// `timed_out`, when its time was up: 1 connected (the socket stays non-blocking); 0 failed,
// logged ("connect socket error: %s") and the socket closed.
int socket_connect_finish(int fd, bool timed_out);
void socket_close(int fd);

// Options of an accepted client socket; each logs its own failure. 1 when set, 0 otherwise.
int socket_set_nodelay(int fd);
int socket_set_send_timeout(int fd, int seconds);
// Sends all `size` bytes (MSG_NOSIGNAL), resuming after signals and partial sends until
// `deadline_us` (monotonic, see sys/deadline.h): 1 when all went out, 0 when a send failed (errno
// says why; EAGAIN: the socket's send time limit or the deadline ran out).
int socket_send_all(int fd, const uint8_t* data, size_t size, int64_t deadline_us);
// Sends what the socket takes of `size` bytes at once, without waiting (MSG_NOSIGNAL): the count,
// 0 when it has no room, -1 when the send failed (errno says why).
ssize_t socket_send_now(int fd, const uint8_t* data, size_t size);
// recv() with no flags, resumed after signals.
ssize_t socket_recv(int fd, void* buffer, size_t size);
// 0 when the name cannot be resolved.
uint32_t resolve_hostname(const char* name);

int socket_open_udp_server(uint32_t port);
int socket_open_udp_client(uint32_t address, uint32_t port);
int socket_open_unix_server(const char* path);
int socket_open_unix_client(const char* path);
void socket_set_keepalive(int fd, int idle, int interval, int count);
