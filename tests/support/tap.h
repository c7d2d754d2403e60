// A recording tap between a client and a server: what went over the wire, exactly.
#pragma once

#include "support/net.h"

#include <mutex>
#include <string>
#include <vector>

namespace support {

// Listens on 127.0.0.1:<free port> and forwards each connection to
// 127.0.0.1:target_port, both ways, passing on a half-close. Records every
// byte each client connection sent and every byte the target sent back, by
// connection index (0 for the first accepted). A connection the target
// refuses is closed at once.
class Tap {
public:
    explicit Tap(uint16_t target_port);

    uint16_t port() const { return server_.port(); }
    std::size_t connections() const { return server_.accepted(); }
    // What the client of connection index sent so far ("" when there is none).
    std::string sent(std::size_t index) const;
    // What the target sent back to it so far.
    std::string received(std::size_t index) const;
    // Until n connections have ended (both sides closed, or the target refused),
    // after which their records are complete.
    bool wait_for_ended(std::size_t n, milliseconds timeout = milliseconds(5000)) const;
    void stop() { server_.stop(); }

private:
    struct Record {
        std::string sent;
        std::string received;
    };
    void handle(Connection &conn);
    void keep(std::size_t index, bool from_client, std::string_view data);

    uint16_t target_port_;
    mutable std::mutex mutex_;
    std::vector<Record> records_;
    std::size_t ended_ = 0;
    TcpServer server_;  // last: stopped before the records go away
};

}  // namespace support
