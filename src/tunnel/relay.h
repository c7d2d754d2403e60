// The two-way relay of one connection.
#pragma once

#include <cstdint>
#include <string>

// Serves one accepted connection: opens the tunnel to host:port and relays it
// (relay_tunnel) over the client's socket.
void handle_client(int client_fd, const std::string &host, int32_t port);

// Opens the tunnel to host:port for a client that sends on client_in (a
// socket or a pipe, watched for its leaving meanwhile). Returns the proxy's
// socket, made non-blocking, or 0 when no tunnel opened (the reasons logged).
int open_tunnel(int client_in, const std::string &host, int32_t port);

// Copies bytes both ways between the client (it sends on client_in and
// receives on client_out, the same socket or two pipes) and proxy_fd, passing
// either side's end of file on to the other, until both sides have ended or
// a transfer fails; then logs how it ended and the totals, and closes
// proxy_fd. The client's flags are left untouched; a pipe client_out is
// closed to pass the proxy's end on.
void relay_tunnel(int client_in, int client_out, int proxy_fd);

// Writes all len bytes to fd, a socket or (socket false) a pipe, waiting for
// room as needed. Returns 0 on success (or when len <= 0), 1 on failure
// (already reported).
int write_all(int fd, const char *data, int32_t len, bool socket = true);
