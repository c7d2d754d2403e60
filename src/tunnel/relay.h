// The two-way relay of one connection.
#pragma once

#include <cstdint>

// Serves one accepted connection: opens the tunnel and copies bytes both ways,
// passing either side's end of file on to the other, until both sides have
// ended or a transfer fails; then logs how it ended and the totals.
void handle_client(int client_fd);

// Writes all len bytes to fd, waiting for room as needed. Returns 0 on
// success (or when len <= 0), 1 on failure (already reported).
int write_all(int fd, const char *data, int32_t len);
