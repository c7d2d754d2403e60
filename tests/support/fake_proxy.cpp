#include "support/fake_proxy.h"

#include "support/process.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>

namespace support {

static constexpr milliseconds request_bound{10000};
static constexpr std::size_t request_limit = 65536;

ProxyScript proxy_reply(std::string bytes, AfterReply then) {
    ProxyScript script;
    script.reply.push_back({std::move(bytes), milliseconds(0)});
    script.then = then;
    return script;
}

FakeProxy::FakeProxy(ProxyScript script)
    : FakeProxy([script](std::size_t) { return script; }) {}

FakeProxy::FakeProxy(std::function<ProxyScript(std::size_t)> script_for)
    : script_for_(std::move(script_for)), server_([this](Connection &conn) { handle(conn); }) {}

FakeProxy::Record &FakeProxy::record(std::size_t index) {
    if (records_.size() <= index)
        records_.resize(index + 1);
    return records_[index];
}

// Reads one byte at a time up to the blank line; true when it arrived.
static bool read_request(Connection &conn, std::string &request) {
    auto deadline = std::chrono::steady_clock::now() + request_bound;
    while (request.size() < request_limit && std::chrono::steady_clock::now() < deadline) {
        if (conn.stop_requested())
            return false;
        if (!wait_readable(conn.fd, milliseconds(20)))
            continue;
        char c;
        ssize_t n = recv(conn.fd, &c, 1, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        request += c;
        if (request.ends_with("\r\n\r\n"))
            return true;
    }
    return false;
}

ProxyRound proxy_round(std::string bytes) {
    ProxyRound round;
    round.reply.push_back({std::move(bytes), milliseconds(0)});
    return round;
}

// Reads the connection's next request and records it, cut off or whole
// (nothing when the peer closed before a byte); true when it is whole.
bool FakeProxy::next_request(Connection &conn, std::string &request) {
    request.clear();
    const bool complete = read_request(conn, request);
    std::lock_guard lock(mutex_);
    Record &r = record(conn.index);
    if (!request.empty())
        r.requests.push_back(request);
    r.complete += complete ? 1 : 0;
    return complete;
}

static bool send_pieces(Connection &conn, const std::vector<ReplyPiece> &pieces) {
    for (const auto &piece : pieces)
        if (!pause_unless_stopped(conn, piece.delay) || !send_all(conn.fd, piece.bytes))
            return false;
    return true;
}

// Answers the request just read, and with rounds each one after it; false
// when the connection ended before the script did.
bool FakeProxy::answer_requests(Connection &conn, const ProxyScript &script, std::string request) {
    if (script.rounds.empty())
        return send_pieces(conn, script.reply);
    for (std::size_t round = 0;; ++round) {
        const ProxyRound &answer = script.rounds[std::min(round, script.rounds.size() - 1)];
        if (!(answer.make ? send_all(conn.fd, answer.make(request)) : send_pieces(conn, answer.reply)))
            return false;
        if (round + 1 >= script.rounds.size() && !script.repeat_last)
            return true;
        if (!next_request(conn, request))
            return false;
    }
}

void FakeProxy::handle(Connection &conn) {
    std::string request;
    if (!next_request(conn, request))
        return;
    const ProxyScript script = script_for_(conn.index);
    if (!answer_requests(conn, script, request))
        return;
    auto keep = [&](std::string_view data) {
        std::lock_guard lock(mutex_);
        record(conn.index).tunnel += data;
    };
    switch (script.then) {
    case AfterReply::close:
        break;
    case AfterReply::echo:
        echo_until_closed(conn, keep);
        break;
    case AfterReply::hold:
        hold_until_closed(conn, keep);
        break;
    case AfterReply::custom:
        if (script.custom)
            script.custom(conn);
        break;
    }
}

std::string FakeProxy::request(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < records_.size() && !records_[index].requests.empty() ? records_[index].requests[0]
                                                                          : std::string();
}

std::vector<std::string> FakeProxy::requests(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < records_.size() ? records_[index].requests : std::vector<std::string>();
}

std::string FakeProxy::tunnel_bytes(std::size_t index) const {
    std::lock_guard lock(mutex_);
    return index < records_.size() ? records_[index].tunnel : std::string();
}

bool FakeProxy::wait_for_requests(std::size_t n, milliseconds timeout) const {
    return wait_until(
        [&] {
            std::lock_guard lock(mutex_);
            std::size_t complete = 0;
            for (const auto &r : records_)
                complete += r.complete;
            return complete >= n;
        },
        timeout);
}

bool FakeProxy::wait_for_tunnel_bytes(std::size_t index, std::size_t n, milliseconds timeout) const {
    return wait_until([&] { return tunnel_bytes(index).size() >= n; }, timeout);
}

}  // namespace support
