// The two-way relay of one connection.
#pragma once

#include <cstdint>

// Serves one accepted connection: opens the tunnel and copies bytes both ways
// until either side closes or a transfer fails, then logs the totals.
void handle_client(int client_fd);

// Writes all len bytes to fd, waiting for room as needed. Returns 0 on
// success (or when len <= 0), 1 on failure (already reported).
int write_all(int fd, const char *data, int32_t len);
