// SPDX-License-Identifier: Apache-2.0
// Fan-out: one publisher, N subscriber processes, through ppsfs and through
// dbus-daemon side by side in one run.
//
// ppsfs: the publisher writes "v:n:<k>" to one object; each subscriber
// holds a ?delta open of it and either waits in poll() and reads with
// O_NONBLOCK (the usual PPS client) or blocks in read() on a ?delta,wait
// open. dbus-daemon (started here, on a private socket): the publisher
// emits a signal carrying an int64; each subscriber has a match rule for
// it and waits in dbus_connection_read_write_dispatch().
//
// Each subscriber acknowledges on a pipe: every round value, and the last
// value of a burst. A round is one value, published once all N
// acknowledged the previous one (its latency: publish to the Nth
// acknowledgement); a burst is many values published back to back
// (deliveries per second: N x values / time to the last acknowledgement).
// For ppsfs it also prints the FUSE requests ppsfs served per delivery
// (ppsfs --stats). Runs its own ppsfs in a private mount namespace (root).
#include <dbus/dbus.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "velomar_version.h"

namespace {

using Clock = std::chrono::steady_clock;

double Us(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

bool Mounted(const std::string &dir) {
    struct stat a, b;
    return stat(dir.c_str(), &a) == 0 && stat((dir + "/..").c_str(), &b) == 0 &&
           a.st_dev != b.st_dev;
}

pid_t Spawn(const std::vector<std::string> &args) {
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void Stop(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// How a subscriber waits and what it acknowledges.
enum class Kind { kPoll, kWait, kDbus };
const char *Name(Kind k) {
    return k == Kind::kPoll ? "ppsfs poll+read" : k == Kind::kWait ? "ppsfs ?wait read" : "dbus";
}

// Round values are 1..rounds, burst values follow; the subscriber
// acknowledges each round value and the last burst value.
struct Plan {
    std::int64_t rounds = 0, burst = 0;
    bool Ack(std::int64_t v) const { return v <= rounds || v == rounds + burst; }
};

void Acknowledge(int ack, std::int64_t v) {
    if (write(ack, &v, sizeof v) != sizeof v) _exit(3);
}

// A ppsfs subscriber: parses every "v:n:<k>" line it reads.
[[noreturn]] void PpsSubscriber(const std::string &object, Kind kind, const Plan &plan, int ready,
                                int ack) {
    const bool wait = kind == Kind::kWait;
    int fd = open((object + (wait ? "?delta,wait" : "?delta")).c_str(),
                  O_RDONLY | (wait ? 0 : O_NONBLOCK));
    if (fd < 0) _exit(2);
    std::vector<char> buf(1 << 16);
    if (!wait) {
        while (read(fd, buf.data(), buf.size()) > 0) {
        }
    } else if (read(fd, buf.data(), buf.size()) <= 0) {
        _exit(2);  // the whole object first
    }
    Acknowledge(ready, 0);
    const std::int64_t last = plan.rounds + plan.burst;
    for (;;) {
        if (!wait) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, -1) < 0) continue;
        }
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n <= 0) continue;
        for (const char *p = buf.data(), *end = p + n; p < end;) {
            const char *nl = static_cast<const char *>(memchr(p, '\n', end - p));
            if (nl == nullptr) break;
            if (nl - p > 4 && memcmp(p, "v:n:", 4) == 0) {
                std::int64_t v = std::strtoll(p + 4, nullptr, 10);
                if (plan.Ack(v)) Acknowledge(ack, v);
                if (v == last) _exit(0);
            }
            p = nl + 1;
        }
    }
}

DBusHandlerResult OnSignal(DBusConnection *, DBusMessage *m, void *data) {
    auto *ctx = static_cast<std::pair<const Plan *, int> *>(data);
    if (!dbus_message_is_signal(m, "bench.Fanout", "Value"))
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    dbus_int64_t v = 0;
    if (!dbus_message_get_args(m, nullptr, DBUS_TYPE_INT64, &v, DBUS_TYPE_INVALID))
        return DBUS_HANDLER_RESULT_HANDLED;
    if (ctx->first->Ack(v)) Acknowledge(ctx->second, v);
    if (v == ctx->first->rounds + ctx->first->burst) _exit(0);
    return DBUS_HANDLER_RESULT_HANDLED;
}

DBusConnection *DbusConnect(const std::string &address) {
    DBusError err;
    dbus_error_init(&err);
    DBusConnection *c = dbus_connection_open_private(address.c_str(), &err);
    if (c == nullptr || !dbus_bus_register(c, &err)) {
        std::fprintf(stderr, "fanout: dbus: %s\n", err.message != nullptr ? err.message : "?");
        return nullptr;
    }
    return c;
}

[[noreturn]] void DbusSubscriber(const std::string &address, const Plan &plan, int ready, int ack) {
    DBusConnection *c = DbusConnect(address);
    if (c == nullptr) _exit(2);
    DBusError err;
    dbus_error_init(&err);
    dbus_bus_add_match(c, "type='signal',interface='bench.Fanout'", &err);
    if (dbus_error_is_set(&err)) _exit(2);
    std::pair<const Plan *, int> ctx(&plan, ack);
    dbus_connection_add_filter(c, OnSignal, &ctx, nullptr);
    Acknowledge(ready, 0);
    while (dbus_connection_read_write_dispatch(c, -1)) {
    }
    _exit(2);
}

// The publisher's side of one transport.
struct Publisher {
    virtual ~Publisher() = default;
    virtual bool Publish(std::int64_t v) = 0;
};

struct PpsPublisher : Publisher {
    int fd;
    explicit PpsPublisher(const std::string &object) : fd(open(object.c_str(), O_WRONLY)) {}
    ~PpsPublisher() override { close(fd); }
    bool Publish(std::int64_t v) override {
        char line[40];
        int n = std::snprintf(line, sizeof line, "v:n:%" PRId64 "\n", v);
        return write(fd, line, n) == n;
    }
};

struct DbusPublisher : Publisher {
    DBusConnection *c;
    explicit DbusPublisher(const std::string &address) : c(DbusConnect(address)) {}
    ~DbusPublisher() override {
        if (c != nullptr) {
            dbus_connection_close(c);
            dbus_connection_unref(c);
        }
    }
    bool Publish(std::int64_t v) override {
        DBusMessage *m = dbus_message_new_signal("/bench/Fanout", "bench.Fanout", "Value");
        dbus_int64_t value = v;
        dbus_message_append_args(m, DBUS_TYPE_INT64, &value, DBUS_TYPE_INVALID);
        bool ok = dbus_connection_send(c, m, nullptr);
        dbus_connection_flush(c);
        dbus_message_unref(m);
        return ok;
    }
};

// Reads acknowledgements until n of value v have come; false on a stall.
bool AwaitAcks(int ack, int n, std::int64_t v) {
    int got = 0;
    while (got < n) {
        struct pollfd p = {ack, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) return false;
        std::int64_t a;
        if (read(ack, &a, sizeof a) != sizeof a) return false;
        if (a == v) got++;
    }
    return true;
}

struct Result {
    double p50_us = 0, p99_us = 0, per_s = 0, requests_per_delivery = 0;
    bool ok = false;
};

std::map<std::string, double> ReadStats(const std::string &path) {
    std::map<std::string, double> out;
    std::ifstream in(path);
    std::string name;
    double n;
    while (in >> name >> n) out[name] = n;
    return out;
}

Result Run(Kind kind, int n, const Plan &plan, const std::string &object,
           const std::string &address) {
    Result r;
    int ready[2], ack[2];
    if (pipe(ready) != 0 || pipe(ack) != 0) return r;
    std::vector<pid_t> subs;
    for (int i = 0; i < n; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (kind == Kind::kDbus) DbusSubscriber(address, plan, ready[1], ack[1]);
            PpsSubscriber(object, kind, plan, ready[1], ack[1]);
        }
        subs.push_back(pid);
    }
    std::unique_ptr<Publisher> pub;
    if (kind == Kind::kDbus) {
        pub.reset(new DbusPublisher(address));
    } else {
        pub.reset(new PpsPublisher(object));
    }
    if (AwaitAcks(ready[0], n, 0)) {
        std::vector<double> rounds;
        bool ok = true;
        for (std::int64_t v = 1; ok && v <= plan.rounds; v++) {
            auto t = Clock::now();
            ok = pub->Publish(v) && AwaitAcks(ack[0], n, v);
            rounds.push_back(Us(t, Clock::now()));
        }
        auto t = Clock::now();
        for (std::int64_t v = plan.rounds + 1; ok && v <= plan.rounds + plan.burst; v++)
            ok = pub->Publish(v);
        ok = ok && AwaitAcks(ack[0], n, plan.rounds + plan.burst);
        const double burst_us = Us(t, Clock::now());
        if (ok) {
            std::sort(rounds.begin(), rounds.end());
            r.p50_us = rounds[rounds.size() / 2];
            r.p99_us = rounds[rounds.size() * 99 / 100];
            r.per_s = static_cast<double>(n) * plan.burst / (burst_us / 1e6);
            r.ok = true;
        }
    }
    pub.reset();
    for (pid_t p : subs) {
        kill(p, SIGKILL);
        waitpid(p, nullptr, 0);
    }
    for (int fd : {ready[0], ready[1], ack[0], ack[1]}) close(fd);
    return r;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{
        "Fan-out through ppsfs and dbus-daemon side by side: round latency and burst "
        "deliveries per second for N subscribers, and ppsfs's FUSE requests per "
        "delivery",
        "fanout"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("fanout"));
    std::vector<int> counts = {1, 10, 100};
    Plan plan;
    plan.rounds = 400;
    plan.burst = 2000;
    std::string ppsfs = PPSFS_BIN;
    app.add_option("-n,--subscribers", counts, "Subscriber counts (default 1 10 100)")
        ->check(CLI::Range(1, 2000));
    app.add_option("--rounds", plan.rounds, "Rounds per run (default 400)")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--burst", plan.burst, "Values per burst (default 2000)")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--ppsfs", ppsfs, "The ppsfs binary");
    bool uring = false;
    app.add_flag("--io-uring", uring,
                 "Also run ppsfs --io-uring (FUSE over io_uring); the fuse module's "
                 "enable_uring is turned on for the run if it is off, and set back after");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;  // 2: a bad command line
    }

    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
        std::perror("fanout: a private mount namespace (run as root)");
        return 1;
    }
    char tmpl[] = "/tmp/fanout.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string tmp = tmpl, mnt = tmp + "/pps", stats = tmp + "/stats";
    mkdir(mnt.c_str(), 0755);
    // dbus-daemon of its own: one listening socket, no activation.
    const std::string conf = tmp + "/bus.conf", address = "unix:path=" + tmp + "/bus";
    std::ofstream(conf) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus "
                           "Configuration 1.0//EN\" "
                           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><type>session</type><listen>"
                        << address
                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow "
                           "eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                           "<limit name=\"max_incoming_bytes\">1000000000</limit>"
                           "<limit name=\"max_outgoing_bytes\">1000000000</limit>"
                           "<limit name=\"max_connections_per_user\">100000</limit>"
                           "<limit name=\"max_match_rules_per_connection\">100000</limit>"
                           "</busconfig>\n";
    pid_t bus = Spawn({"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + conf});
    for (int i = 0; i < 500 && access((tmp + "/bus").c_str(), F_OK) != 0; i++) usleep(10000);

    // Whether FUSE over io_uring is on is the machine's setting: it is
    // turned on only for this run, and put back as it was.
    const char *const kUringParam = "/sys/module/fuse/parameters/enable_uring";
    std::string uring_was;
    if (uring) {
        std::ifstream(kUringParam) >> uring_was;
        if (uring_was != "Y" && !(std::ofstream(kUringParam) << "Y\n")) {
            std::fprintf(stderr,
                         "fanout: cannot turn on %s (a kernel without FUSE over io_uring?)\n",
                         kUringParam);
            return 1;
        }
    }

    std::printf("%d rounds and a burst of %" PRId64
                " values per run; p50 / p99 round latency, "
                "burst deliveries per second\n",
                static_cast<int>(plan.rounds), plan.burst);
    std::printf("%5s  %-24s %10s %10s %14s %14s\n", "N", "subscribers", "p50 us", "p99 us",
                "deliveries/s", "FUSE req/dlv");
    for (int n : counts) {
        Result dbus = Run(Kind::kDbus, n, plan, "", address);
        for (int pass = 0; pass < (uring ? 4 : 2); pass++) {
            const Kind kind = pass % 2 == 0 ? Kind::kPoll : Kind::kWait;
            const bool ring = pass >= 2;
            std::vector<std::string> args = {ppsfs, "-f", "--log", "/dev/null", "--stats", stats};
            if (ring) args.push_back("--io-uring");
            args.push_back(mnt);
            pid_t fs = Spawn(args);
            for (int i = 0; i < 500 && !Mounted(mnt); i++) usleep(10000);
            const std::string object = mnt + "/fan";
            close(open(object.c_str(), O_WRONLY | O_CREAT, 0644));
            Result r = Run(kind, n, plan, object, address);
            umount2(mnt.c_str(), MNT_DETACH);
            Stop(fs);
            std::map<std::string, double> s = ReadStats(stats);
            double total = 0;
            for (const auto &kv : s)
                if (kv.first != "PollNotify" && kv.first.compare(0, 4, "Ring") != 0)
                    total += kv.second;
            const double deliveries = static_cast<double>(n) * (plan.rounds + plan.burst);
            const std::string label = std::string(Name(kind)) + (ring ? " uring" : "");
            std::printf("%5d  %-24s %10.0f %10.0f %14.0f %14.2f   (x dbus: %.2f / %.2f)\n", n,
                        label.c_str(), r.p50_us, r.p99_us, r.per_s, total / deliveries,
                        dbus.p50_us > 0 ? r.p50_us / dbus.p50_us : 0,
                        dbus.per_s > 0 ? r.per_s / dbus.per_s : 0);
            if (!r.ok) std::printf("       (%s stalled)\n", label.c_str());
        }
        std::printf("%5d  %-24s %10.0f %10.0f %14.0f\n", n, Name(Kind::kDbus), dbus.p50_us,
                    dbus.p99_us, dbus.per_s);
        if (!dbus.ok) std::printf("       (dbus stalled)\n");
        std::fflush(stdout);
    }
    Stop(bus);
    if (uring && uring_was != "Y") std::ofstream(kUringParam) << uring_was << "\n";
    std::string rm = "rm -rf '" + tmp + "'";
    if (system(rm.c_str()) != 0) return 1;
    return 0;
}
