// A scripted HTTP proxy for answers a real proxy won't give.
#pragma once

#include "support/net.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace support {

// Wait `delay`, then send `bytes`.
struct ReplyPiece {
    std::string bytes;
    milliseconds delay{0};
};

// What the proxy does once its reply is sent.
enum class AfterReply {
    close,   // close the connection at once
    echo,    // send the tunnel bytes back until the peer closes
    hold,    // keep the connection open, recording what arrives, until the peer closes
    custom,  // run ProxyScript::custom
};

// A reply made from the request just read (its exact bytes, up to the blank
// line); called on the connection's own thread.
using ReplyMaker = std::function<std::string(const std::string &request)>;

// The answer to one request of a login: `make`'s bytes when it is set, else
// the pieces.
struct ProxyRound {
    std::vector<ReplyPiece> reply = {};
    ReplyMaker make = {};
};

struct ProxyScript {
    std::vector<ReplyPiece> reply;
    AfterReply then = AfterReply::close;
    // For AfterReply::custom; must return soon after conn.stop_requested().
    std::function<void(Connection &)> custom;
    // When not empty, these answer the requests of a connection in turn
    // instead of `reply`: each is sent after the next request is read on it,
    // and `then` follows the last. A request's body is never read.
    std::vector<ProxyRound> rounds = {};
    // The last round answers every further request, until the peer closes
    // or sends no whole request within the 10 s bound; `then` never follows.
    bool repeat_last = false;
};

// The whole reply in one piece, then `then`.
ProxyScript proxy_reply(std::string bytes, AfterReply then = AfterReply::echo);

// One round: the whole reply in one piece.
ProxyRound proxy_round(std::string bytes);

// Listens on 127.0.0.1:<free port>. For each connection it reads the request
// up to and including the first "\r\n\r\n" (one byte at a time, so nothing
// after it is consumed), records those exact bytes, then runs the script:
// one reply, or a round per request. A request that is cut off (peer closed,
// 10 s bound) is recorded as it is and no more of the script is run.
class FakeProxy {
public:
    explicit FakeProxy(ProxyScript script);
    // A script per connection (index 0 for the first one accepted).
    explicit FakeProxy(std::function<ProxyScript(std::size_t index)> script_for);

    uint16_t port() const { return server_.port(); }
    std::size_t connections() const { return server_.accepted(); }
    // Exact bytes of the first request of connection index ("" when there is none yet).
    std::string request(std::size_t index) const;
    // Every request of connection index, in order (the last one may be cut off).
    std::vector<std::string> requests(std::size_t index) const;
    // Bytes received after the request (echo and hold modes).
    std::string tunnel_bytes(std::size_t index) const;
    // Until n complete requests have arrived, on all connections together.
    bool wait_for_requests(std::size_t n, milliseconds timeout = milliseconds(5000)) const;
    // Until connection index has received at least n tunnel bytes.
    bool wait_for_tunnel_bytes(std::size_t index, std::size_t n,
                               milliseconds timeout = milliseconds(5000)) const;
    void stop() { server_.stop(); }

private:
    struct Record {
        std::vector<std::string> requests;
        std::size_t complete = 0;
        std::string tunnel;
    };
    void handle(Connection &conn);
    bool next_request(Connection &conn, std::string &request);
    bool answer_requests(Connection &conn, const ProxyScript &script, std::string request);
    Record &record(std::size_t index);  // caller holds mutex_

    std::function<ProxyScript(std::size_t)> script_for_;
    mutable std::mutex mutex_;
    std::vector<Record> records_;
    TcpServer server_;  // last: stopped before the records go away
};

}  // namespace support
