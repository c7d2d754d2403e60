// The bench driver: the client end of every measurement, the round-by-round
// schedule over the three paths, the statistics, the table and the JSON file.
//
// Paths, all ending at the same twb-server:
//   direct    client -> server
//   proxy     client -> twb-proxy -> server   (the client speaks CONNECT)
//   tarnwick  client -> tarnwick -> twb-proxy -> server
//
// usage: twb-driver --server PORT [--server-pid PID] --proxy PORT --proxy-pid PID
//                   [--tarnwick PORT --tarnwick-pid PID] [--mib N] [--rounds N]
//                   [--conns N] [--paths direct,proxy,tarnwick] [--json FILE]
//                   [--extra NAME:PORT:PID]... [--wait-quiet SECONDS] [--meta KEY=VALUE]...
//        twb-driver --free-port
//        twb-driver --wait-listen PORT SECONDS
//        twb-driver --wait-quiet SECONDS
#include "common.h"

#include <algorithm>
#include <csignal>
#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

using namespace bench;

namespace {

// ---------------------------------------------------------------- /proc

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::set<int> children_of(int pid) {
    std::set<int> out;
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/task/" +
                                    std::to_string(pid) + "/children"));
    int c;
    while (in >> c) out.insert(c);
    return out;
}

// Fields of /proc/PID/stat after the command name: [0] is the state.
std::vector<std::string> stat_fields(int pid) {
    std::string s = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> f;
    size_t paren = s.rfind(')');
    if (paren == std::string::npos) return f;
    std::istringstream in(s.substr(paren + 1));
    std::string w;
    while (in >> w) f.push_back(w);
    return f;
}

bool process_gone(int pid) {
    auto f = stat_fields(pid);
    return f.empty() || f[0] == "Z" || f[0] == "X";
}

const double kTick = 1.0 / double(sysconf(_SC_CLK_TCK));

// CPU seconds the process itself has used (scheduler's nanosecond count when
// available, clock ticks otherwise).
std::optional<double> cpu_self(int pid) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/schedstat"));
    unsigned long long ns;
    if (in >> ns) return double(ns) * 1e-9;
    auto f = stat_fields(pid);
    if (f.size() < 13) return std::nullopt;
    return double(std::stoull(f[11]) + std::stoull(f[12])) * kTick;
}

// CPU seconds of the process's children that it has already waited for.
std::optional<double> cpu_reaped_children(int pid) {
    auto f = stat_fields(pid);
    if (f.size() < 15) return std::nullopt;
    return double(std::stoll(f[13]) + std::stoll(f[14])) * kTick;
}

struct Memory {
    double rss_kib = NAN, pss_kib = NAN, private_kib = NAN;
};

Memory memory_of(int pid) {
    Memory m;
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/smaps_rollup"));
    std::string line, key;
    double v;
    double pc = NAN, pd = NAN;
    while (std::getline(in, line)) {  // the first line names the range, not a field
        std::istringstream ls(line);
        if (!(ls >> key >> v)) continue;
        if (key == "Rss:") m.rss_kib = v;
        else if (key == "Pss:") m.pss_kib = v;
        else if (key == "Private_Clean:") pc = v;
        else if (key == "Private_Dirty:") pd = v;
    }
    m.private_kib = pc + pd;
    return m;
}

bool port_listening(int port) {
    std::istringstream in(read_file("/proc/net/tcp"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string slot, local, remote, state;
        ls >> slot >> local >> remote >> state;
        size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        if (state == "0A" && std::stoi(local.substr(colon + 1), nullptr, 16) == port) return true;
    }
    return false;
}

// Busy CPU seconds of the whole machine, all cores added.
double machine_busy_s() {
    std::istringstream in(read_file("/proc/stat"));
    std::string cpu;
    in >> cpu;
    unsigned long long v, total = 0, idle = 0;
    for (int i = 0; in >> v && i < 8; ++i) {  // user nice system idle iowait irq softirq steal
        total += v;
        if (i == 3 || i == 4) idle += v;
    }
    return double(total - idle) * kTick;
}

// CPU seconds of the bench's own processes: this driver, and each given
// process with the children it has reaped.
double bench_busy_s(const std::vector<int> &pids) {
    double sum = 0;
    auto self = stat_fields(getpid());
    if (self.size() > 12) sum += double(std::stoull(self[11]) + std::stoull(self[12])) * kTick;
    for (int pid : pids) {
        auto f = stat_fields(pid);
        if (f.size() > 14)
            sum += double(std::stoull(f[11]) + std::stoull(f[12]) + std::stoull(f[13]) + std::stoull(f[14])) * kTick;
    }
    return sum;
}

// Waits until a window of `window_s` in which under 10 % of the machine was
// busy, for at most `limit_s`. False when the limit came first.
bool wait_quiet(double limit_s, double window_s) {
    const double cores = double(sysconf(_SC_NPROCESSORS_ONLN));
    const double limit = now_seconds() + limit_s;
    for (;;) {
        double b0 = machine_busy_s(), t0 = now_seconds();
        usleep(useconds_t(window_s * 1e6));
        double share = (machine_busy_s() - b0) / ((now_seconds() - t0) * cores);
        if (share < 0.10) return true;
        if (now_seconds() > limit) {
            fprintf(stderr, "(machine still %.0f%% busy; going on) ", share * 100);
            return false;
        }
    }
}

// ---------------------------------------------------------------- paths

struct Watch {
    std::string label;  // "tarnwick" or "proxy"
    int pid;            // the parent whose per-connection child relays
};

struct Path {
    std::string name;
    sockaddr_in addr;
    bool speaks_connect = false;
    std::string target;  // CONNECT target when speaks_connect
    std::vector<Watch> watch;
    bool is_tarnwick = false;
};

int connect_to(const sockaddr_in &addr, int timeout_s) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    set_timeouts(fd, timeout_s);
    set_nodelay(fd);
    if (connect(fd, (const sockaddr *)&addr, sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Opens a connection to the server along the path; "" on success.
std::string open_path(const Path &p, int timeout_s, int &fd) {
    fd = connect_to(p.addr, timeout_s);
    if (fd < 0) return std::string("connect: ") + strerror(errno);
    if (!p.speaks_connect) return "";
    std::string req = "CONNECT " + p.target + " HTTP/1.0\r\nHost: " +
                      p.target.substr(0, p.target.rfind(':')) + "\r\n\r\n";
    if (!send_all(fd, req.data(), req.size())) return "sending CONNECT failed";
    // Consume exactly the response header; nothing after it is taken.
    std::string head;
    char buf[512];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_PEEK);
        if (n <= 0) return "proxy closed before its response";
        std::string seen = head + std::string(buf, size_t(n));
        size_t end = seen.find("\r\n\r\n");
        size_t take = end == std::string::npos ? size_t(n) : end + 4 - head.size();
        if (!recv_all(fd, buf, take)) return "reading proxy response failed";
        head.append(buf, take);
        if (end != std::string::npos) break;
        if (head.size() > 8192) return "proxy response header too long";
    }
    if (head.compare(0, 12, "HTTP/1.0 200") != 0 && head.compare(0, 12, "HTTP/1.1 200") != 0)
        return "proxy refused: " + head.substr(0, head.find('\r'));
    return "";
}

// ---------------------------------------------------------------- bulk

struct ProcSample {
    bool found = false;
    double cpu_s = NAN;
    Memory mem;
};

struct BulkResult {
    std::string error;  // empty on success
    double seconds = NAN;
    std::map<std::string, ProcSample> child;  // per watched parent
    std::map<std::string, Memory> parent_mem;
    std::map<std::string, double> parent_cpu_s;  // the parent's own CPU during the run
};

struct Buffers {
    unsigned char *out = alloc_chunk(), *in = alloc_chunk(), *scratch = alloc_chunk();
};

BulkResult run_bulk(const Path &p, char dir, uint64_t size, bool verify, Buffers &b) {
    BulkResult r;
    std::map<std::string, std::set<int>> before;
    std::map<std::string, double> parent_cpu0;
    for (auto &w : p.watch) {
        before[w.label] = children_of(w.pid);
        parent_cpu0[w.label] = cpu_self(w.pid).value_or(NAN);
    }
    int fd;
    r.error = open_path(p, 120, fd);
    if (!r.error.empty()) {
        if (fd >= 0) close(fd);
        return r;
    }
    unsigned char header[kHeaderSize] = {};
    memcpy(header, kBulkMagic, 4);
    header[4] = (unsigned char)dir;
    header[5] = verify ? 1 : 0;
    memcpy(header + 8, &size, 8);
    char ready = 0;
    if (!send_all(fd, header, kHeaderSize) || !recv_all(fd, &ready, 1) || ready != kReady) {
        r.error = "no ready byte from the server";
        close(fd);
        return r;
    }
    double t0 = now_seconds();
    bool sent = true, got = true, bad = false;
    std::thread sender;
    if (dir == 'u') sent = send_stream(fd, size, verify, b.out);
    if (dir == 'b') sender = std::thread([&] { sent = send_stream(fd, size, verify, b.out); });
    if (dir == 'd' || dir == 'b') got = recv_stream(fd, size, verify, b.in, b.scratch, &bad);
    if (sender.joinable()) sender.join();
    char status = 0;
    bool have_status = sent && got && recv_all(fd, &status, 1);
    double t1 = now_seconds();
    std::vector<int> new_children;
    // Sample while the connection is still open: the relaying children are alive.
    for (auto &w : p.watch) {
        ProcSample s;
        std::vector<int> fresh;
        for (int c : children_of(w.pid))
            if (!before[w.label].count(c)) fresh.push_back(c);
        if (fresh.size() == 1) {
            s.found = true;
            s.cpu_s = cpu_self(fresh[0]).value_or(NAN);
            s.mem = memory_of(fresh[0]);
            new_children.push_back(fresh[0]);
        }
        r.child[w.label] = s;
        r.parent_mem[w.label] = memory_of(w.pid);
        r.parent_cpu_s[w.label] = cpu_self(w.pid).value_or(NAN) - parent_cpu0[w.label];
    }
    close(fd);
    if (!sent || !got) r.error = std::string("transfer broke off: ") + strerror(errno);
    else if (!have_status) r.error = "no status byte from the server";
    else if (bad) r.error = "content mismatch at the client";
    else if (status != kStatusOk) r.error = "content mismatch at the server";
    if (r.error.empty()) r.seconds = t1 - t0;
    // Let this connection's processes finish before the next run starts.
    double limit = now_seconds() + 5;
    for (int c : new_children)
        while (!process_gone(c) && now_seconds() < limit) usleep(1000);
    return r;
}

// ---------------------------------------------------------------- set-up

struct SetupResult {
    std::string error;
    std::vector<double> latency_s;
    double total_s = NAN;
    std::map<std::string, double> cpu_per_conn_s;  // per watched parent, children included
};

std::optional<double> cpu_total(int pid) {
    auto self = cpu_self(pid), kids = cpu_reaped_children(pid);
    if (!self || !kids) return std::nullopt;
    return *self + *kids;
}

SetupResult run_setup(const Path &p, int count) {
    SetupResult r;
    std::map<std::string, double> cpu0;
    for (auto &w : p.watch) cpu0[w.label] = cpu_total(w.pid).value_or(NAN);
    r.latency_s.reserve(size_t(count));
    double start = now_seconds();
    for (int i = 0; i < count; ++i) {
        double t0 = now_seconds();
        int fd;
        std::string err = open_path(p, 10, fd);
        char c = char('a' + i % 26), echo = 0;
        if (err.empty() && !send_all(fd, &c, 1)) err = "sending the byte failed";
        if (err.empty() && !recv_all(fd, &echo, 1)) err = "no echo";
        if (err.empty() && echo != c) err = "wrong echo";
        double t1 = now_seconds();
        if (fd >= 0) close(fd);
        if (!err.empty()) {
            r.error = "connection " + std::to_string(i + 1) + ": " + err;
            return r;
        }
        r.latency_s.push_back(t1 - t0);
    }
    r.total_s = now_seconds() - start;
    // Children's CPU reaches the parent's account only when it reaps them.
    double limit = now_seconds() + 5;
    for (auto &w : p.watch) {
        while (!children_of(w.pid).empty() && now_seconds() < limit) usleep(1000);
        if (children_of(w.pid).empty())
            r.cpu_per_conn_s[w.label] = (cpu_total(w.pid).value_or(NAN) - cpu0[w.label]) / count;
    }
    return r;
}

// ---------------------------------------------------------------- statistics

struct Summary {
    double median = NAN, min = NAN, max = NAN;
    size_t n = 0;
};

Summary summarize(std::vector<double> v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    Summary s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.max = v.back();
    size_t m = v.size() / 2;
    s.median = v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
    return s;
}

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    size_t rank = size_t(std::ceil(q * double(v.size())));
    return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

// metric name -> path name -> one value per round (NaN when a run failed)
using Table = std::map<std::string, std::map<std::string, std::vector<double>>>;

std::string json_number(double x) {
    if (std::isnan(x) || std::isinf(x)) return "null";
    char buf[64];
    snprintf(buf, sizeof buf, "%.6g", x);
    return buf;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if ((unsigned char)c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string json_summary(const Summary &s, const std::vector<double> &rounds) {
    std::string out = "{\"median\": " + json_number(s.median) + ", \"min\": " + json_number(s.min) +
                      ", \"max\": " + json_number(s.max) + ", \"rounds\": [";
    for (size_t i = 0; i < rounds.size(); ++i) out += (i ? ", " : "") + json_number(rounds[i]);
    return out + "]}";
}

std::string fmt(double x, int decimals) {
    if (std::isnan(x)) return "-";
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f", decimals, x);
    return buf;
}

struct Row {
    std::string metric, unit;
    int decimals;
};

const std::vector<Row> kRows = {
    {"bulk_up_mbs", "bulk client->server, MB/s", 0},
    {"bulk_down_mbs", "bulk server->client, MB/s", 0},
    {"bulk_both_mbs", "bulk both at once, MB/s each way", 0},
    {"setup_cps", "set-up, connections/s", 0},
    {"setup_p50_us", "set-up p50, us", 0},
    {"setup_p99_us", "set-up p99, us", 0},
    {"relay_cpu_up_s_per_gib", "relay CPU c->s, s/GiB (*)", 3},
    {"relay_cpu_down_s_per_gib", "relay CPU s->c, s/GiB (*)", 3},
    {"relay_cpu_both_s_per_gib", "relay CPU both, s/GiB (*)", 3},
    {"relay_cpu_setup_us_per_conn", "relay CPU per set-up, us (*)", 0},
    {"relay_child_rss_kib", "relaying process RSS, KiB (*)", 0},
    {"relay_child_pss_kib", "relaying process PSS, KiB (*)", 0},
    {"relay_child_private_kib", "relaying process private, KiB (*)", 0},
    {"server_rss_kib", "tarnwick server RSS, KiB", 0},
    {"server_pss_kib", "tarnwick server PSS, KiB", 0},
    {"server_private_kib", "tarnwick server private, KiB", 0},
    {"proxy_cpu_up_s_per_gib", "bench proxy CPU c->s, s/GiB", 3},
    {"proxy_cpu_down_s_per_gib", "bench proxy CPU s->c, s/GiB", 3},
    {"proxy_cpu_both_s_per_gib", "bench proxy CPU both, s/GiB", 3},
};

struct Options {
    int server_port = 0, server_pid = 0, proxy_port = 0, proxy_pid = 0, tarnwick_port = 0, tarnwick_pid = 0;
    uint64_t mib = 256;
    int rounds = 7, conns = 1000;
    double quiet_s = 0;  // wait up to this long for a quiet machine before each round
    std::string json;
    std::set<std::string> only;  // empty: every path
    std::vector<std::tuple<std::string, int, int>> extra;  // more tarnwick builds: name, port, pid
    std::vector<std::pair<std::string, std::string>> meta;
};

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: twb-driver --server PORT [--server-pid PID] --proxy PORT --proxy-pid PID [--tarnwick PORT "
            "--tarnwick-pid PID]\n"
            "                  [--mib N] [--rounds N] [--conns N] [--paths direct,proxy,tarnwick]\n"
            "                  [--json FILE] [--extra NAME:PORT:PID]... [--wait-quiet SECONDS]\n"
            "                  [--meta K=V]...\n"
            "       twb-driver --free-port | --wait-listen PORT SECONDS | --wait-quiet SECONDS\n");
    exit(2);
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--server") o.server_port = std::stoi(next());
        else if (a == "--proxy") o.proxy_port = std::stoi(next());
        else if (a == "--proxy-pid") o.proxy_pid = std::stoi(next());
        else if (a == "--server-pid") o.server_pid = std::stoi(next());
        else if (a == "--tarnwick") o.tarnwick_port = std::stoi(next());
        else if (a == "--tarnwick-pid") o.tarnwick_pid = std::stoi(next());
        else if (a == "--mib") o.mib = std::stoull(next());
        else if (a == "--rounds") o.rounds = std::stoi(next());
        else if (a == "--conns") o.conns = std::stoi(next());
        else if (a == "--wait-quiet") o.quiet_s = std::stod(next());
        else if (a == "--json") o.json = next();
        else if (a == "--paths") {
            std::istringstream in(next());
            std::string name;
            while (std::getline(in, name, ','))
                o.only.insert(name);
        } else if (a == "--extra") {
            std::string v = next();
            size_t c1 = v.find(':'), c2 = v.rfind(':');
            if (c1 == std::string::npos || c1 == c2) usage();
            std::string name = v.substr(0, c1);
            if (name.empty() || name == "direct" || name == "proxy" || name == "tarnwick" ||
                name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-") !=
                    std::string::npos)
                usage();
            o.extra.emplace_back(name, std::stoi(v.substr(c1 + 1, c2 - c1 - 1)), std::stoi(v.substr(c2 + 1)));
        }
        else if (a == "--meta") {
            std::string kv = next();
            size_t eq = kv.find('=');
            if (eq == std::string::npos) usage();
            o.meta.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
        } else usage();
    }
    if (!o.server_port || !o.proxy_port || !o.proxy_pid || o.rounds < 1 || o.conns < 1 || o.mib < 1 ||
        (o.tarnwick_port && !o.tarnwick_pid))
        usage();
    return o;
}

// Which watched process counts as "the relay" of a path.
const char *relay_label(const Path &p) {
    return p.is_tarnwick ? "tarnwick" : p.name == "proxy" ? "proxy" : nullptr;
}

int run(const Options &o) {
    std::vector<Path> paths;
    std::string target = "127.0.0.1:" + std::to_string(o.server_port);
    paths.push_back({"direct", loopback(o.server_port), false, "", {}});
    paths.push_back({"proxy", loopback(o.proxy_port), true, target, {{"proxy", o.proxy_pid}}});
    if (o.tarnwick_port)
        paths.push_back({"tarnwick", loopback(o.tarnwick_port), false, "",
                         {{"tarnwick", o.tarnwick_pid}, {"proxy", o.proxy_pid}}, true});
    for (auto &[name, port, pid] : o.extra)
        paths.push_back({name, loopback(port), false, "", {{"tarnwick", pid}, {"proxy", o.proxy_pid}}, true});
    for (auto &name : o.only)
        if (std::none_of(paths.begin(), paths.end(), [&](const Path &p) { return p.name == name; })) usage();
    if (!o.only.empty())
        paths.erase(std::remove_if(paths.begin(), paths.end(), [&](const Path &p) { return !o.only.count(p.name); }),
                    paths.end());
    if (paths.empty()) usage();
    const uint64_t size = o.mib << 20;
    Buffers bufs;
    int failures = 0;

    // Content check (and warm-up) of every path and direction, before any clock runs.
    fprintf(stderr, "checking content on every path (%llu MiB per transfer)...\n",
            (unsigned long long)o.mib);
    for (auto &p : paths) {
        SetupResult s = run_setup(p, 3);
        if (!s.error.empty()) {
            fprintf(stderr, "  %-8s echo: FAILED: %s\n", p.name.c_str(), s.error.c_str());
            return 1;
        }
        for (char dir : {'u', 'd', 'b'}) {
            BulkResult r = run_bulk(p, dir, size, true, bufs);
            if (!r.error.empty()) {
                fprintf(stderr, "  %-8s bulk '%c': FAILED: %s\n", p.name.c_str(), dir, r.error.c_str());
                return 1;
            }
        }
        fprintf(stderr, "  %-8s echo and bulk c->s, s->c, both: content verified\n", p.name.c_str());
    }

    Table t;
    std::vector<int> ours = {o.proxy_pid};
    if (o.server_pid) ours.push_back(o.server_pid);
    if (o.tarnwick_pid) ours.push_back(o.tarnwick_pid);
    for (auto &e : o.extra) ours.push_back(std::get<2>(e));
    // CPU seconds of the whole machine and of the bench's processes, and the
    // wall time, added up over the rounds (waits for quiet left out).
    double machine_sum = 0, ours_sum = 0, wall_sum = 0;
    auto put = [&](const std::string &metric, const std::string &path, int round, double v) {
        auto &vec = t[metric][path];
        vec.resize(size_t(o.rounds), NAN);
        vec[size_t(round)] = v;
    };
    // Memory: the largest of the round's samples.
    auto put_max = [&](const std::string &metric, const std::string &path, int round, double v) {
        auto &vec = t[metric][path];
        vec.resize(size_t(o.rounds), NAN);
        double &cur = vec[size_t(round)];
        if (std::isnan(cur) || v > cur) cur = v;
    };
    const double gib = double(size) / double(1ULL << 30);
    for (int round = 0; round < o.rounds; ++round) {
        std::vector<Path> order;
        for (size_t i = 0; i < paths.size(); ++i) order.push_back(paths[(i + size_t(round)) % paths.size()]);
        fprintf(stderr, "round %d/%d:", round + 1, o.rounds);
        if (o.quiet_s > 0) wait_quiet(o.quiet_s, 1.0);
        const double wall0 = now_seconds(), machine0 = machine_busy_s(), ours0 = bench_busy_s(ours);
        for (auto &p : order) {
            SetupResult s = run_setup(p, o.conns);
            if (!s.error.empty()) {
                fprintf(stderr, "\n  %s set-up FAILED: %s\n", p.name.c_str(), s.error.c_str());
                ++failures;
                continue;
            }
            put("setup_cps", p.name, round, double(o.conns) / s.total_s);
            put("setup_p50_us", p.name, round, percentile(s.latency_s, 0.50) * 1e6);
            put("setup_p99_us", p.name, round, percentile(s.latency_s, 0.99) * 1e6);
            const char *rl = relay_label(p);
            if (rl && s.cpu_per_conn_s.count(rl))
                put("relay_cpu_setup_us_per_conn", p.name, round, s.cpu_per_conn_s[rl] * 1e6);
            fprintf(stderr, " %s-setup", p.name.c_str());
        }
        for (char dir : {'u', 'd', 'b'}) {
            std::string name = dir == 'u' ? "up" : dir == 'd' ? "down" : "both";
            for (auto &p : order) {
                BulkResult r = run_bulk(p, dir, size, false, bufs);
                if (!r.error.empty()) {
                    fprintf(stderr, "\n  %s bulk %s FAILED: %s\n", p.name.c_str(), name.c_str(),
                            r.error.c_str());
                    ++failures;
                    continue;
                }
                put("bulk_" + name + "_mbs", p.name, round, double(size) / r.seconds / 1e6);
                double relayed_gib = dir == 'b' ? 2 * gib : gib;
                const char *rl = relay_label(p);
                if (rl && r.child[rl].found) {
                    const ProcSample &c = r.child[rl];
                    put("relay_cpu_" + name + "_s_per_gib", p.name, round,
                        (c.cpu_s + r.parent_cpu_s[rl]) / relayed_gib);
                    put_max("relay_child_rss_kib", p.name, round, c.mem.rss_kib);
                    put_max("relay_child_pss_kib", p.name, round, c.mem.pss_kib);
                    put_max("relay_child_private_kib", p.name, round, c.mem.private_kib);
                }
                if (p.is_tarnwick) {
                    Memory m = r.parent_mem["tarnwick"];
                    put_max("server_rss_kib", p.name, round, m.rss_kib);
                    put_max("server_pss_kib", p.name, round, m.pss_kib);
                    put_max("server_private_kib", p.name, round, m.private_kib);
                }
                if (r.child.count("proxy") && r.child["proxy"].found)
                    put("proxy_cpu_" + name + "_s_per_gib", p.name, round,
                        r.child["proxy"].cpu_s / relayed_gib);
                fprintf(stderr, " %s-%s", p.name.c_str(), name.c_str());
            }
        }
        machine_sum += machine_busy_s() - machine0;
        ours_sum += bench_busy_s(ours) - ours0;
        wall_sum += now_seconds() - wall0;
        fprintf(stderr, "\n");
    }

    // Share of the machine that other processes took while the clock ran.
    const double cores = double(sysconf(_SC_NPROCESSORS_ONLN));
    double foreign = (machine_sum - ours_sum) / (wall_sum * cores);
    if (!o.server_pid) foreign = NAN;  // the server's CPU would count as foreign
    else foreign = std::max(0.0, foreign);

    // ---- table
    auto med = [&](const std::string &metric, const std::string &path) {
        if (!t.count(metric) || !t[metric].count(path)) return Summary{};
        return summarize(t[metric][path]);
    };
    auto cell = [&](const Summary &s, int d) {
        if (!s.n) return std::string("-");
        return fmt(s.median, d) + " [" + fmt(s.min, d) + "-" + fmt(s.max, d) + "]";
    };
    auto ratio = [](double a, double b) { return (std::isnan(a) || std::isnan(b) || b == 0) ? NAN : a / b; };
    // Columns: direct, proxy-only, tarnwick, then every further tarnwick build.
    std::vector<std::string> columns = {"direct", "proxy"}, tarnwicks;
    if (o.tarnwick_port) tarnwicks.push_back("tarnwick");
    for (auto &e : o.extra) tarnwicks.push_back(std::get<0>(e));
    if (tarnwicks.empty()) columns.push_back("tarnwick");
    columns.insert(columns.end(), tarnwicks.begin(), tarnwicks.end());
    auto short_name = [](const std::string &n) { return n == "tarnwick" ? std::string("t") : n; };

    std::string when, host, load_start;
    for (auto &kv : o.meta) {
        if (kv.first == "date") when = kv.second;
        if (kv.first == "host") host = kv.second;
        if (kv.first == "load_average_at_start") load_start = kv.second;
    }
    std::string load_end = read_file("/proc/loadavg");
    load_end = load_end.substr(0, load_end.find(' ', load_end.find(' ', load_end.find(' ') + 1) + 1));
    printf("\ntarnwick bench, %s, %s\n", when.c_str(), host.c_str());
    printf("load average at start %s, at end %s; other processes used %s%% of the machine during the rounds\n",
           load_start.c_str(), load_end.c_str(), fmt(foreign * 100, 0).c_str());
    if (foreign > 0.05)
        printf("WARNING: other work on the machine spreads these figures; rerun when it is quiet\n");
    printf("%llu MiB per transfer and direction, %d set-up connections per run; "
           "median [min-max] over %d rounds\n\n",
           (unsigned long long)o.mib, o.conns, o.rounds);
    printf("%-36s", "");
    for (auto &c : columns) printf(" %-24s", c == "proxy" ? "proxy-only" : c.c_str());
    for (auto &tn : tarnwicks) printf(" %9s %9s", (short_name(tn) + "/proxy").c_str(), (short_name(tn) + "/direct").c_str());
    printf("\n");
    for (auto &row : kRows) {
        bool any = false;
        for (auto &c : columns) any = any || med(row.metric, c).n;
        if (!any) continue;
        printf("%-36s", row.unit.c_str());
        for (auto &c : columns) printf(" %-24s", cell(med(row.metric, c), row.decimals).c_str());
        for (auto &tn : tarnwicks) {
            double v = med(row.metric, tn).median;
            printf(" %9s %9s", fmt(ratio(v, med(row.metric, "proxy").median), 2).c_str(),
                   fmt(ratio(v, med(row.metric, "direct").median), 2).c_str());
        }
        printf("\n");
    }
    printf("(*) the relaying process of the path: the bench proxy's child for proxy-only, tarnwick's\n"
           "    client process for tarnwick (CPU includes the tarnwick server's own during the run).\n"
           "    Bench proxy rows: the bench proxy's child on that path.\n");

    // ---- targets
    struct Target {
        std::string path, name;
        double value, limit;
        bool at_least;
        std::string unit;
        bool met() const { return !std::isnan(value) && (at_least ? value >= limit : value <= limit); }
    };
    std::vector<Target> targets;
    for (auto &tn : tarnwicks) {
        auto r = [&](const std::string &m) { return ratio(med(m, tn).median, med(m, "proxy").median); };
        double worst_cpu = NAN;
        for (auto m : {"relay_cpu_up_s_per_gib", "relay_cpu_down_s_per_gib", "relay_cpu_both_s_per_gib"}) {
            double v = med(m, tn).median;
            if (!std::isnan(v) && (std::isnan(worst_cpu) || v > worst_cpu)) worst_cpu = v;
        }
        std::string sn = short_name(tn) == "t" ? "tarnwick" : tn;
        targets.push_back({tn, "bulk c->s, " + sn + "/proxy-only", r("bulk_up_mbs"), 0.75, true, ""});
        targets.push_back({tn, "bulk s->c, " + sn + "/proxy-only", r("bulk_down_mbs"), 0.75, true, ""});
        targets.push_back({tn, "bulk both at once, " + sn + "/proxy-only", r("bulk_both_mbs"), 0.60, true, ""});
        targets.push_back({tn, "CPU per GiB relayed by " + sn + " (worst direction)", worst_cpu, 0.8, false, " s"});
        targets.push_back({tn, "set-up p50, " + sn + "/proxy-only", r("setup_p50_us"), 1.6, false, "x"});
        targets.push_back({tn, "relaying client process private memory (" + sn + ")",
                           med("relay_child_private_kib", tn).median, 200000.0 / 1024, false, " KiB"});
    }
    if (!targets.empty()) printf("\ntargets\n");
    for (auto &tg : targets)
        printf("  %-50s %8s%-4s %s %-8s %s\n", tg.name.c_str(), fmt(tg.value, 2).c_str(), tg.unit.c_str(),
               tg.at_least ? ">=" : "<=", (fmt(tg.limit, 2) + tg.unit).c_str(),
               std::isnan(tg.value) ? "no data" : tg.met() ? "met" : "NOT MET");

    // ---- JSON
    if (!o.json.empty()) {
        std::ofstream out(o.json);
        out << "{\n  \"meta\": {";
        bool first = true;
        for (auto &kv : o.meta) {
            out << (first ? "" : ", ") << json_string(kv.first) << ": " << json_string(kv.second);
            first = false;
        }
        out << (first ? "" : ", ") << "\"load_average_at_end\": " << json_string(load_end)
            << ", \"foreign_cpu_share\": " << json_number(foreign);
        out << "},\n  \"config\": {\"mib_per_transfer\": " << o.mib << ", \"rounds\": " << o.rounds
            << ", \"setup_connections\": " << o.conns << ", \"mb\": 1000000, \"failures\": " << failures
            << "},\n  \"paths\": {";
        bool fp = true;
        for (auto &p : paths) {
            out << (fp ? "" : ",") << "\n    " << json_string(p.name) << ": {";
            fp = false;
            bool fm = true;
            for (auto &row : kRows) {
                if (!t.count(row.metric) || !t[row.metric].count(p.name)) continue;
                out << (fm ? "" : ",") << "\n      " << json_string(row.metric) << ": "
                    << json_summary(med(row.metric, p.name), t[row.metric][p.name]);
                fm = false;
            }
            out << "\n    }";
        }
        out << "\n  },\n  \"ratios\": {";
        bool fr = true;
        for (auto &tn : tarnwicks) {
            for (std::string base : {"proxy", "direct"}) {
                out << (fr ? "" : ",") << "\n    "
                    << json_string(tn + "/" + (base == "proxy" ? "proxy-only" : base)) << ": {";
                fr = false;
                bool fm = true;
                for (auto &row : kRows) {
                    double v = ratio(med(row.metric, tn).median, med(row.metric, base).median);
                    if (std::isnan(v)) continue;
                    out << (fm ? "" : ", ") << json_string(row.metric) << ": " << json_number(v);
                    fm = false;
                }
                out << "}";
            }
        }
        out << "\n  },\n  \"targets\": [";
        for (size_t i = 0; i < targets.size(); ++i) {
            auto &tg = targets[i];
            out << (i ? "," : "") << "\n    {\"path\": " << json_string(tg.path) << ", \"name\": "
                << json_string(tg.name) << ", \"value\": " << json_number(tg.value) << ", \"limit\": "
                << json_number(tg.limit) << ", \"kind\": \"" << (tg.at_least ? "at_least" : "at_most")
                << "\", \"met\": " << (tg.met() ? "true" : "false") << "}";
        }
        out << "\n  ]\n}\n";
        if (!out) {
            fprintf(stderr, "writing %s failed\n", o.json.c_str());
            return 1;
        }
        printf("\nJSON: %s\n", o.json.c_str());
    }
    if (failures) fprintf(stderr, "%d run(s) failed\n", failures);
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && strcmp(argv[1], "--free-port") == 0) {
        int port = 0;
        int fd = listen_loopback(0, 1, &port);
        if (fd < 0) return 1;
        close(fd);
        printf("%d\n", port);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "--wait-quiet") == 0) return wait_quiet(atof(argv[2]), 2.0) ? 0 : 1;
    if (argc == 4 && strcmp(argv[1], "--wait-listen") == 0) {
        double limit = now_seconds() + atof(argv[3]);
        while (!port_listening(atoi(argv[2]))) {
            if (now_seconds() > limit) return 1;
            usleep(10000);
        }
        return 0;
    }
    return run(parse(argc, argv));
}
