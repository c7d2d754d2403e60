#include "support/tap.h"

#include "support/process.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace support {

static constexpr int poll_step_ms = 20;

enum class Pass { more, ended, broken };

// Moves what `from` has to `to`, keeping a copy in data. At from's end, `to`
// gets the half-close; a failed send breaks the whole connection.
static Pass pass_on(int from, int to, std::string &data) {
    char buffer[65536];
    ssize_t n = recv(from, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return Pass::more;
    if (n <= 0) {
        shutdown(to, SHUT_WR);
        return n == 0 ? Pass::ended : Pass::broken;
    }
    data.assign(buffer, static_cast<std::size_t>(n));
    return send_all(to, data) ? Pass::more : Pass::broken;
}

Tap::Tap(uint16_t target_port)
    : target_port_(target_port), server_([this](Connection &conn) { handle(conn); }) {}

void Tap::keep(std::size_t index, bool from_client, std::string_view data) {
    std::lock_guard lock(mutex_);
    if (records_.size() <= index)
        records_.resize(index + 1);
    (from_client ? records_[index].sent : records_[index].received) += data;
}

void Tap::handle(Connection &conn) {
    keep(conn.index, true, "");
    Fd target = connect_loopback(target_port_);
    const int fds[2] = {conn.fd, target.get()};  // 0: the client's side
    bool open[2] = {bool(target), bool(target)};
    while ((open[0] || open[1]) && !conn.stop_requested()) {
        // An ended side is left out: poll would keep reporting its hang-up.
        pollfd ready[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
        if (poll(ready, 2, poll_step_ms) <= 0)
            continue;
        for (int side = 0; side < 2; ++side) {
            if (!open[side] || ready[side].revents == 0)
                continue;
            std::string data;
            const Pass pass = pass_on(fds[side], fds[1 - side], data);
            keep(conn.index, side == 0, data);
            open[side] = pass == Pass::more;
            if (pass == Pass::broken)
                open[0] = open[1] = false;
        }
    }
    std::lock_guard lock(mutex_);
    ++ended_;
}

std::string Tap::sent(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < records_.size() ? records_[index].sent : std::string();
}

std::string Tap::received(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < records_.size() ? records_[index].received : std::string();
}

bool Tap::wait_for_ended(std::size_t n, milliseconds timeout) const {
    return wait_until(
        [&] {
            std::lock_guard lock(mutex_);
            return ended_ >= n;
        },
        timeout);
}

}  // namespace support
