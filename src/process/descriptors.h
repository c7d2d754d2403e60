// Closing every descriptor above the standard ones, on any system.
#pragma once

// Closes every open descriptor numbered `lowest` or higher.
void close_descriptors_from(int lowest);

// Adds O_NONBLOCK to fd's file status flags. False (errno set) when the
// flags can't be written.
[[nodiscard]] bool set_nonblocking(int fd);

// True when fd is a socket (not a pipe, a terminal or a file).
[[nodiscard]] bool is_socket(int fd);
