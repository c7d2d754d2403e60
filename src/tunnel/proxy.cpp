#include "tunnel/proxy.h"

#include "auth/challenge.h"
#include "auth/login.h"
#include "config/settings.h"
#include "log/log.h"
#include "process/descriptors.h"
#include "tunnel/response.h"
#include "tunnel/sigpipe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// How much of the proxy's answer is looked at per step. The bytes are only
// peeked at; exactly those that belong to the header (or to a refusal's
// body) are then consumed.
constexpr std::size_t peek_size = 4096;
constexpr int wait_milliseconds = 10000;

// A login's rounds are bounded, so that no proxy can keep a connection's
// process going round for ever: requests and new connections per client
// connection, and the time from the first answer to the last.
constexpr int max_requests = 4;
constexpr int max_reconnects = 2;
constexpr std::chrono::seconds login_time{30};

// How a wait for the proxy's answer ended: with bytes of it (header), the
// proxy's end (none), a failed read (failed, its errno kept), the client's
// leaving, or the login's time running out.
enum class Answer { header, none, failed, client_gone, late };

// Once the client has stopped sending, the proxy gets this long to answer:
// longer than a proxy's own connect time-out, so only a proxy that never
// answers meets it, and such a proxy does not keep this process forever.
constexpr std::chrono::seconds stopped_client_wait{120};

#if TARNWICK_HAVE_POLLRDHUP
constexpr short client_watch = POLLRDHUP;
constexpr short client_stopped = POLLRDHUP;
#else
// Without an event of its own, the end of file shows as readability.
constexpr short client_watch = POLLIN;
constexpr short client_stopped = POLLIN;
#endif
// Reported whether asked for or not: the client has reset or failed.
constexpr short client_failed = POLLHUP | POLLERR;

// What the handshake still watches of the client, and how long it waits.
struct ClientWatch {
    bool socket = true;  // else a pipe (standard input under -W): no peeking, no reset
    bool ended = false;  // a pipe at its end: nothing left to learn from it
    short events = client_watch;
    bool bounded = false;
    Clock::time_point deadline{};
};

// One client connection's way through the proxy: the connection in use, its
// login and the bounds on both.
struct Handshake {
    int fd = 0;
    int client_fd = -1;
    in_addr address{};
    std::string host;         // the far end
    int32_t port = 0;
    std::string target;       // host:port, the request target of every login round
    ClientWatch watch;
    bool timed = false;       // the login's time runs from the first answer on
    Clock::time_point deadline{};
    int requests = 0;
    int reconnects = 0;
    bool reused = false;      // the request in flight went on a kept connection
    int read_error = 0;       // errno of a failed read, reported only if it ends the login
    std::string status_line;  // of the last answer
    std::string offered;      // the schemes it offered, for the log
    Login login;
};

std::optional<in_addr> resolve_proxy(const std::string &host)
{
    in_addr address{};
    address.s_addr = inet_addr(host.c_str());
    if (address.s_addr != INADDR_NONE)
        return address;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        log_msg("invalid host name %s", escape_for_log(host).c_str());
        return std::nullopt;
    }
    address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return address;
}

int milliseconds_until(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : left < wait_milliseconds ? static_cast<int>(left) : wait_milliseconds;
}

// A connection for a later round must not outlast the login's time, which
// the system's own connect time-out easily would.
bool connect_before(int fd, const sockaddr_in &proxy, Clock::time_point deadline)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || !set_nonblocking(fd)) {
        perror("fcntl");
        return false;
    }
    if (connect(fd, reinterpret_cast<const sockaddr *>(&proxy), sizeof proxy) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            perror("connect");
            return false;
        }
        for (;;) {
            pollfd watched{fd, POLLOUT, 0};
            const int ready = poll(&watched, 1, milliseconds_until(deadline));
            if (ready > 0)
                break;
            if ((ready < 0 && errno != EINTR) || (ready == 0 && Clock::now() >= deadline)) {
                errno = ready < 0 ? errno : ETIMEDOUT;
                perror("connect");
                return false;
            }
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            errno = error != 0 ? error : errno;
            perror("connect");
            return false;
        }
    }
    return fcntl(fd, F_SETFL, flags) == 0 || (perror("fcntl"), false);
}

// The first connection waits as long as the system lets it; later ones are
// bounded by the login's time.
int connect_to_proxy(const in_addr &address, const Clock::time_point *deadline)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("socket");
        return 0;
    }
    sockaddr_in proxy{};
    proxy.sin_family = AF_INET;
    proxy.sin_addr = address;
    proxy.sin_port = htons(static_cast<uint16_t>(settings.proxy_port));
    const bool connected = deadline != nullptr ? connect_before(fd, proxy, *deadline)
                                   : connect(fd, reinterpret_cast<const sockaddr *>(&proxy), sizeof proxy) == 0 ||
                                         (perror("connect"), false);
    if (!connected) {
        close(fd);
        return 0;
    }
    const int no_delay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
    keep_sigpipe_from(fd);
    return fd;
}

// The socket is still blocking here; a failure shows when the answer is read.
void send_request(int fd, const std::string &request)
{
    std::size_t done = 0;
    while (done < request.size()) {
        const ssize_t n = send(fd, request.data() + done, request.size() - done, send_flags);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// Takes exactly `count` bytes that an earlier peek has shown to be there.
bool consume(int fd, std::size_t count)
{
    char sink[peek_size];
    while (count > 0) {
        const ssize_t n = read(fd, sink, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                perror("read");
            return false;
        }
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// The client's end of file is not its leaving: what it sent, end included,
// waits in its socket for the tunnel. It is no longer watched for reading, so
// that poll does not report the same end over and over; poll's own reports of
// a reset or failure still end the wait, and the bound starts.
void stop_reading_client(ClientWatch &watch)
{
    watch.events = 0;
    if (!watch.bounded)
        watch.deadline = Clock::now() + stopped_client_wait;
    watch.bounded = true;
}

// A pipe's POLLHUP is its end of file, not a failure, and poll reports it on
// every call from then on: the pipe is left out of the wait altogether.
void stop_watching_pipe(ClientWatch &watch)
{
    stop_reading_client(watch);
    watch.ended = true;
}

#if !TARNWICK_HAVE_POLLRDHUP
// A readable client, where that is all poll can say: a failing peek is a
// failure. An end of file (nothing to peek at) and bytes waiting (an end may
// follow them unseen, as nothing is consumed) both stop the reading watch.
bool client_failed_on_peek(int client_fd, ClientWatch &watch)
{
    // A pipe can't be peeked at, nor fail: readable is all it can say.
    if (!watch.socket) {
        stop_reading_client(watch);
        return false;
    }
    char byte;
    const ssize_t n = recv(client_fd, &byte, 1, MSG_PEEK);
    if (n < 0)
        return errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK;
    stop_reading_client(watch);
    return false;
}
#endif

int poll_milliseconds(const Handshake &h)
{
    int wait = wait_milliseconds;
    if (h.watch.bounded)
        wait = milliseconds_until(h.watch.deadline);
    if (h.timed) {
        const int login_left = milliseconds_until(h.deadline);
        wait = login_left < wait ? login_left : wait;
    }
    return wait;
}

// Waits until the proxy has something to say. client_gone when the client
// resets or fails first, or when the proxy stays silent past the bound that
// started with the client's end; late when the login's time is up. Bytes the
// client sent are not touched.
Answer wait_for_proxy(Handshake &h)
{
    for (;;) {
        // poll skips a negative descriptor.
        pollfd watched[] = {{h.fd, POLLIN, 0}, {h.watch.ended ? -1 : h.client_fd, h.watch.events, 0}};
        const int ready = poll(watched, 2, poll_milliseconds(h));
        if (ready < 0 && errno != EINTR) {
            perror("poll");
            return Answer::header;  // the read that follows reports what is wrong
        }
        if (ready > 0 && watched[0].revents != 0)
            return Answer::header;
        if (ready > 0 && !h.watch.socket && (watched[1].revents & POLLHUP) != 0)
            stop_watching_pipe(h.watch);
        else if (ready > 0 && (watched[1].revents & client_failed) != 0)
            return Answer::client_gone;
        if (ready > 0 && (watched[1].revents & client_stopped) != 0) {
#if TARNWICK_HAVE_POLLRDHUP
            stop_reading_client(h.watch);
#else
            if (client_failed_on_peek(h.client_fd, h.watch))
                return Answer::client_gone;
#endif
        }
        if (h.watch.bounded && Clock::now() >= h.watch.deadline)
            return Answer::client_gone;
        if (h.timed && Clock::now() >= h.deadline)
            return Answer::late;
    }
}

// Peeks at what the proxy sent and consumes the part that `scan` takes.
// header when the scan has had bytes; otherwise why none came.
template <typename Scan>
Answer read_some(Handshake &h, Scan scan)
{
    char bytes[peek_size];
    for (;;) {
        const Answer waited = wait_for_proxy(h);
        if (waited != Answer::header)
            return waited;
        const ssize_t n = recv(h.fd, bytes, sizeof bytes, MSG_PEEK);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            h.read_error = errno;
            return Answer::failed;
        }
        if (n == 0)
            return Answer::none;
        const std::size_t used = scan(std::string_view(bytes, static_cast<std::size_t>(n)));
        return consume(h.fd, used) ? Answer::header : Answer::none;
    }
}

// Reads the response header up to its empty line and not one byte further:
// whatever follows is the remote side's first tunnel data.
Answer read_response_header(Handshake &h, ResponseScan &scan)
{
    while (!scan.done) {
        const Answer answer = read_some(h, [&](std::string_view bytes) { return scan_response(scan, bytes); });
        if (answer != Answer::header)
            return answer;
    }
    return Answer::header;
}

// Reads a refusal's body, so that its connection can carry the next round.
// header when it was read whole; none when the connection can't be used
// again (no known end, too long, broken framing, or closed).
Answer read_refusal_body(Handshake &h, const ResponseScan &scan)
{
    BodyScan body = start_body(body_shape(scan));
    while (body.state != BodyScan::State::done) {
        if (body.state == BodyScan::State::bad)
            return Answer::none;
        const Answer answer = read_some(h, [&](std::string_view bytes) { return scan_body(body, bytes); });
        if (answer != Answer::header)
            return answer;
    }
    return Answer::header;
}

// Every request but the plain first one: HTTP/1.1 and keep-alive, which a
// proxy needs to keep the connection a connection-bound login travels on.
std::string login_request(const std::string &target, const std::string &authorization)
{
    std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target +
                          "\r\nProxy-Connection: keep-alive\r\n";
    if (!authorization.empty())
        request += "Proxy-Authorization: " + authorization + "\r\n";
    return request + "\r\n";
}

// nullopt when a pinned login has nothing to send (the reason in login.failure).
std::optional<std::string> first_request(Handshake &h)
{
    if (first_request_is_plain(h.login))
        return build_connect_request(h.host, h.port);
    const std::optional<std::string> authorization = first_authorization(h.login);
    if (!authorization)
        return std::nullopt;
    return login_request(h.target, *authorization);
}

std::string joined(const std::vector<std::string> &names)
{
    std::string text;
    for (const std::string &name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "nothing" : text;
}

int refused(Handshake &h)
{
    log_msg("proxy refused tunnel: %s", escape_for_log(h.status_line).c_str());
    if (h.fd > 0)
        close(h.fd);
    return 0;
}

// The line that tells a wrong password from a scheme that can't be answered
// and from a proxy that dropped the connection, then the refusal.
int login_failed(Handshake &h, const char *why)
{
    const std::string &offered = h.offered;
    log_msg("proxy offers %s; tried %s; %s", offered.empty() ? "nothing" : escape_for_log(offered).c_str(),
            joined(h.login.tried).c_str(), why);
    return refused(h);
}

// No answer came: the first round's lines are today's; a later round's
// failure is the login's.
int no_answer(Handshake &h, Answer answer)
{
    if (answer == Answer::failed) {
        // A later round's reset is the proxy closing on our request, which
        // the login's line says; anything else is the system's to report.
        errno = h.read_error;
        if (h.requests == 1 || errno != ECONNRESET)
            perror("read");
        answer = Answer::none;
    }
    if (answer == Answer::client_gone || h.requests == 1) {
        log_msg(answer == Answer::client_gone ? "client left before proxy response"
                                              : "didn't detect proxy response");
        close(h.fd);
        return 0;
    }
    return login_failed(h, answer == Answer::late               ? "no answer within 30 seconds"
                           : h.login.step == Login::Step::kerberos ? "the proxy closed the connection during the Kerberos login"
                           : login_needs_same_connection(h.login) ? "the proxy closed the connection after its NTLM challenge"
                                                                  : "the proxy closed the connection between rounds");
}

int established(Handshake &h)
{
    log_msg("connection through proxy %s:%u established",
            escape_for_log(settings.proxy_host.value_or("")).c_str(),
            static_cast<uint32_t>(settings.proxy_port));
    return h.fd;
}

// The next round goes on a new connection: the proxy doesn't keep this one.
bool reconnect(Handshake &h)
{
    close(h.fd);
    h.fd = connect_to_proxy(h.address, &h.deadline);
    ++h.reconnects;
    h.reused = false;
    return h.fd != 0;
}

// A kept connection that the proxy closed (or reset) without a byte of an answer, as
// some do after every 407 without saying so: the same request goes again on
// a new connection, unless it answers an NTLM challenge that came on the
// closed one.
bool resent_on_new_connection(Handshake &h, Answer answer, const ResponseScan &scan)
{
    const bool nothing_came = scan.in_status_line && scan.line_length == 0;
    // A proxy that closes while our request is under way resets the connection.
    const bool ended = answer == Answer::none || answer == Answer::failed;
    return ended && h.reused && nothing_came && !login_needs_same_connection(h.login) &&
           h.requests < max_requests && h.reconnects < max_reconnects && reconnect(h);
}

// Decides the next round after a 407: its request, or nullopt when the login
// ends here (already logged, the connection closed).
std::optional<std::string> next_round(Handshake &h, const ResponseScan &scan)
{
    const std::vector<Challenge> challenges = parse_challenges(field_values(scan, "proxy-authenticate"));
    h.offered = offered_schemes(challenges);
    if (scan.too_large) {
        login_failed(h, "the proxy's answer is too large");
        return std::nullopt;
    }
    const Answer body = answer_keeps_connection(scan) ? read_refusal_body(h, scan) : Answer::none;
    if (body == Answer::client_gone || body == Answer::late) {
        no_answer(h, body);
        return std::nullopt;
    }
    const bool kept = body == Answer::header;
    const std::optional<std::string> authorization = answer_challenges(h.login, challenges, kept, h.target);
    const char *why = !authorization                  ? h.login.failure.c_str()
                      : h.requests >= max_requests    ? "too many rounds"
                      : !kept && h.reconnects >= max_reconnects ? "the proxy closed the connection too often"
                                                                : nullptr;
    if (why == nullptr && !kept && !reconnect(h))
        why = "no new connection to the proxy";
    if (kept)
        h.reused = true;
    if (why != nullptr) {
        login_failed(h, why);
        return std::nullopt;
    }
    return login_request(h.target, *authorization);
}

}  // namespace


std::string build_connect_request(const std::string &host, int32_t port)
{
    std::string request = "CONNECT " + host + ":" + std::to_string(static_cast<uint32_t>(port)) +
                          " HTTP/1.0\r\nHost: " + host + "\r\n";
    if (settings.auth_token)
        request += "Proxy-Authorization: Basic " + *settings.auth_token + "\r\n";
    request += "\r\n";
    return request;
}

namespace {

// The rounds until the tunnel opens or the login ends.
int run_rounds(Handshake &h)
{
    std::optional<std::string> first = first_request(h);
    if (!first) {
        log_msg("no login to send: %s", h.login.failure.c_str());
        close(h.fd);
        return 0;
    }
    // One round: send, read the header, read the body, decide.
    for (std::string request = *first;;) {
        send_request(h.fd, request);
        ++h.requests;
        ResponseScan scan;
        const Answer answer = read_response_header(h, scan);
        if (answer != Answer::header) {
            if (resent_on_new_connection(h, answer, scan))
                continue;
            return no_answer(h, answer);
        }
        h.status_line = scan.status_line;
        if (!h.timed) {
            h.timed = true;
            h.deadline = Clock::now() + login_time;
        }
        if (status_allows_tunnel(scan.status_line))
            return established(h);
        if (status_code(scan.status_line) != 407 || !login_answers_refusals())
            return refused(h);
        const std::optional<std::string> next = next_round(h, scan);
        if (!next)
            return 0;
        request = *next;
    }
}

}  // namespace

int proxy_handshake(int proxy_fd, int client_fd, const in_addr &proxy_address, const std::string &host,
                    int32_t port)
{
    Handshake h;
    h.fd = proxy_fd;
    h.client_fd = client_fd;
    h.watch.socket = is_socket(client_fd);
    h.address = proxy_address;
    h.host = host;
    h.port = port;
    h.target = host + ":" + std::to_string(static_cast<uint32_t>(port));
    const int tunnel = run_rounds(h);
    end_login(h.login);
    return tunnel;
}

int open_proxy_connection(int client_fd, const std::string &host, int32_t port)
{
    const std::optional<in_addr> address = resolve_proxy(settings.proxy_host.value_or(""));
    if (!address)
        return 0;
    const int fd = connect_to_proxy(*address, nullptr);
    if (fd == 0)
        return 0;
    return proxy_handshake(fd, client_fd, *address, host, port);
}
