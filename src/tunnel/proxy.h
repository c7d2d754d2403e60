// Opening a tunnel through the HTTP proxy.
#pragma once

#include <netinet/in.h>
#include <cstdint>
#include <string>

// The CONNECT request for host:port, with the Basic credential when one is
// configured.
std::string build_connect_request(const std::string &host, int32_t port);

// Connects to the proxy, asks for a tunnel to host:port and consumes the
// proxy's response header; gives up when the client (client_fd, which it
// reads from: a socket, or a pipe such as standard input) resets before the
// proxy has answered, or when the proxy stays silent too long after the
// client's end of file. Returns the connected socket, or 0 when no tunnel
// could be opened (the reason is already logged).
int open_proxy_connection(int client_fd, const std::string &host, int32_t port);

// The handshake and its login rounds on an open connection to the proxy
// (proxy_fd, which it owns from here on), for a tunnel to host:port; a round
// that needs a new connection opens it to proxy_address. Returns the
// tunnel's socket or 0, as above.
int proxy_handshake(int proxy_fd, int client_fd, const in_addr &proxy_address, const std::string &host,
                    int32_t port);
