#pragma once
// Sockets and name resolution. Addresses are IPv4 in host byte order (a.b.c.d = a<<24|...);
// only the low 16 bits of a port are used.

#include <cstdint>

int socket_open_tcp_server(uint32_t port);
int socket_open_tcp_client(uint32_t address, uint32_t port);
void socket_close(int fd);
// 0 when the name cannot be resolved.
uint32_t resolve_hostname(const char* name);

int socket_open_udp_server(uint32_t port);
int socket_open_udp_client(uint32_t address, uint32_t port);
int socket_open_unix_server(const char* path);
int socket_open_unix_client(const char* path);
void socket_set_keepalive(int fd, int idle, int interval, int count);
