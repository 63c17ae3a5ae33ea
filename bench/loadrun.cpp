// SPDX-License-Identifier: Apache-2.0
// loadrun: the end-to-end load run. N clients send requests for one command
// through the real PPS filesystem to the running daemon (which fetches from
// the simulated modem) and wait for each response; the same load then goes
// to an echo server on the same filesystem (it answers each message at once,
// without fetching or publishing), and a plain Unix-socket round trip between
// two processes is measured as the floor of any user-space PPS on Linux.
//
// Reports requests per second, latency percentiles, the daemon's own CPU time
// per request (/proc/<pid>/stat), its private memory and open fds.
// Run it inside the set-up that bench/loadrun.sh makes.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "proc_stats.h"
#include "velomar_version.h"

namespace {

using procstats::CpuUs;
using procstats::OpenFds;
using procstats::UserUs;

double NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

struct Figures {
    double rps = 0, p50 = 0, p99 = 0, max = 0;
    long errors = 0;
};

// A server that stops answering would leave a blocking client in read for
// ever, and a polling one timing out request after request for hours. Every
// request re-arms a 5 s alarm; when it fires, no client has had an answer
// for that long, and the run stops with an error.
void OnAlarm(int) {
    static const char kMessage[] = "loadrun: no response for 5 s; giving up\n";
    ssize_t ignored = write(2, kMessage, sizeof kMessage - 1);
    (void)ignored;
    _exit(1);
}

// One client: its own connection to the control object, one request at a
// time, each waiting for its response. With blocking, it waits in read (the
// open is made non-blocking, as on QNX, then switched with fcntl, which is
// what makes a ppsfs read wait); otherwise in poll and then read.
void Client(const std::string &control, const std::string &command, int requests, int tag,
            bool blocking, std::vector<double> *lat, std::atomic<long> *errors) {
    int fd = open(control.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        errors->fetch_add(requests);
        return;
    }
    if (blocking) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    char buf[1024];
    for (int i = 0; i < requests; i++) {
        // atoi of the id is 1: never a duplicate for the daemon, and still
        // unique as text.
        int n = snprintf(buf, sizeof buf, "msg::%s\nid::1.%d.%d\n", command.c_str(), tag, i);
        double t0 = NowUs();
        if (write(fd, buf, static_cast<size_t>(n)) != n) {
            errors->fetch_add(1);
            continue;
        }
        ssize_t got = -1;
        alarm(5);
        if (blocking) {
            got = read(fd, buf, sizeof buf);
        } else {
            struct pollfd p = {fd, POLLIN, 0};
            while (poll(&p, 1, 5000) > 0) {
                got = read(fd, buf, sizeof buf);
                if (got > 0 || (got < 0 && errno != EAGAIN)) break;
            }
        }
        if (got <= 0) {
            errors->fetch_add(1);
            continue;
        }
        lat->push_back(NowUs() - t0);
    }
    close(fd);
}

Figures Load(const std::string &control, const std::string &command, int clients, int total,
             bool blocking = false) {
    std::vector<std::vector<double>> lat(clients);
    std::atomic<long> errors{0};
    std::vector<std::thread> threads;
    double t0 = NowUs();
    for (int c = 0; c < clients; c++)
        threads.emplace_back(Client, control, command, total / clients, c, blocking, &lat[c],
                             &errors);
    for (auto &t : threads) t.join();
    alarm(0);
    double elapsed = NowUs() - t0;
    std::vector<double> all;
    for (auto &l : lat) all.insert(all.end(), l.begin(), l.end());
    Figures f;
    f.errors = errors;
    if (all.empty()) return f;
    std::sort(all.begin(), all.end());
    f.rps = all.size() / (elapsed / 1e6);
    f.p50 = all[all.size() / 2];
    f.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    f.max = all.back();
    return f;
}

// The echo server: answers every message at once, as the daemon's response
// writer would, without fetching or publishing. Runs in a child process.
// With blocking it waits in read, as the Unix-socket floor does: the fewest
// calls a server on ppsfs can make per message. Otherwise it waits in poll
// and then reads, the shape of the daemon's loop.
pid_t StartEcho(const std::string &path, bool blocking) {
    int fd = open((path + "?server").c_str(), O_RDWR | O_CREAT | O_NONBLOCK, 0666);
    if (fd < 0) {
        perror(path.c_str());
        exit(1);
    }
    if (blocking) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid != 0) {
        close(fd);
        return pid;
    }
    // Ends with loadrun, however loadrun ends: a server left behind would
    // hold the mount busy.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    std::string name = path.substr(path.rfind('/') + 1);
    char buf[1024], out[1024];
    struct pollfd p = {fd, POLLIN, 0};
    for (;;) {
        if (!blocking && poll(&p, 1, -1) < 0) continue;
        ssize_t n = read(fd, buf, sizeof buf - 1);
        if (n <= 0) continue;
        buf[n] = '\0';
        // "@echo.<id>\n..." is a message; "+@" and "-@" are (dis)connections.
        if (buf[0] != '@') continue;
        unsigned long long id = strtoull(buf + 1 + name.size() + 1, nullptr, 10);
        int m = snprintf(out, sizeof out, "@%s.%llu\nres::echo\nid::1\n", name.c_str(), id);
        if (write(fd, out, static_cast<size_t>(m)) != m) continue;
    }
}

void Print(const char *what, int clients, const Figures &f, double cpu_per_req) {
    printf("%-22s %3d client(s): %8.0f req/s  p50 %7.1f us  p99 %7.1f us  max %8.1f us", what,
           clients, f.rps, f.p50, f.p99, f.max);
    if (cpu_per_req >= 0) printf("  cpu %6.1f us/req", cpu_per_req);
    if (f.errors) printf("  errors %ld", f.errors);
    printf("\n");
    fflush(stdout);
}

// Runs the load on an echo server; returns the figures of the first client
// count.
Figures EchoRuns(const std::string &path, const char *label, bool blocking,
                 const std::vector<int> &clients, int requests) {
    pid_t echo_pid = StartEcho(path, blocking);
    usleep(100000);
    Figures first;
    for (size_t i = 0; i < clients.size(); i++) {
        double cpu0 = CpuUs(echo_pid);
        Figures f = Load(path, "echo", clients[i], requests, blocking);
        if (i == 0) first = f;
        Print(label, clients[i], f,
              (CpuUs(echo_pid) - cpu0) / std::max<double>(1, requests - f.errors));
    }
    kill(echo_pid, SIGKILL);
    waitpid(echo_pid, nullptr, 0);
    return first;
}

// One FUSE round trip, as a caller sees it: a poll of a ppsfs object, which
// ppsfs answers at once. Wall time and the caller's own CPU time per call.
void FuseRoundTrip(const std::string &path, int calls) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        printf("one FUSE round trip: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return;
    }
    struct pollfd p = {fd, POLLIN, 0};
    double cpu0 = CpuUs(getpid()), t0 = NowUs();
    for (int i = 0; i < calls; i++) poll(&p, 1, 0);
    double wall = (NowUs() - t0) / calls, cpu = (CpuUs(getpid()) - cpu0) / calls;
    close(fd);
    printf("one FUSE round trip (poll of a ppsfs object): %.1f us, the caller's cpu %.1f us\n",
           wall, cpu);
}

// A request/response round trip over a Unix socket between two processes.
Figures SocketFloor(int requests) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
    pid_t pid = fork();
    if (pid == 0) {
        close(sv[0]);
        char b[256];
        ssize_t n;
        while ((n = read(sv[1], b, sizeof b)) > 0)
            if (write(sv[1], b, static_cast<size_t>(n)) != n) break;
        _exit(0);
    }
    close(sv[1]);
    std::vector<double> lat;
    char b[256] = "msg::identity\nid::1.0.0\n";
    double t0 = NowUs();
    for (int i = 0; i < requests; i++) {
        double s = NowUs();
        if (write(sv[0], b, 24) != 24 || read(sv[0], b, sizeof b) <= 0) break;
        lat.push_back(NowUs() - s);
    }
    double elapsed = NowUs() - t0;
    close(sv[0]);
    waitpid(pid, nullptr, 0);
    std::sort(lat.begin(), lat.end());
    Figures f;
    if (lat.empty()) return f;
    f.rps = lat.size() / (elapsed / 1e6);
    f.p50 = lat[lat.size() / 2];
    f.p99 = lat[lat.size() * 99 / 100];
    f.max = lat.back();
    return f;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"loadrun: end-to-end load on the running daemon through ppsfs, with floors"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("loadrun"));
    std::string command = "identity";
    std::vector<int> clients = {1, 4, 16};
    int requests = 4000;
    int memory_requests = 100000;
    pid_t daemon = 0;
    std::string pps = "/pps";
    app.add_option("-c,--command", command, "Command to request");
    app.add_option("-n,--clients", clients, "Client counts to run")->delimiter(',');
    app.add_option("-r,--requests", requests, "Requests per run");
    app.add_option("-p,--daemon-pid", daemon, "The daemon's pid (for CPU, memory, fds)")
        ->required();
    app.add_option("-m,--memory-requests", memory_requests,
                   "Requests before the second memory reading (0: skip)");
    app.add_option("--pps", pps, "Where PPS is mounted");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;  // 2: a bad command line
    }
    signal(SIGALRM, OnAlarm);

    std::string control = pps + "/services/radioctrl/modem0/diag/control";
    long mem0 = procstats::PrivateKiB(daemon);
    int fds0 = OpenFds(daemon);

    printf("command %s, %d requests per run\n", command.c_str(), requests);
    for (int n : clients) {
        double cpu0 = CpuUs(daemon), user0 = UserUs(daemon);
        Figures f = Load(control, command, n, requests);
        double done = std::max<double>(1, requests - f.errors);
        double cpu = (CpuUs(daemon) - cpu0) / done;
        Print("daemon", n, f, cpu);
        printf("%-22s %3d client(s): of the daemon's cpu, %.1f us/req in user space\n", "", n,
               (UserUs(daemon) - user0) / done);
    }

    mkdir((pps + "/bench").c_str(), 0777);
    Figures echo1 = EchoRuns(pps + "/bench/echo", "echo server (floor)", true, clients, requests);
    EchoRuns(pps + "/bench/echo-poll", "echo, poll loop", false, {clients.front()}, requests);

    Figures sock = SocketFloor(requests * 5);
    Print("unix socket (floor)", 1, sock, -1);
    if (sock.p50 > 0)
        printf("ppsfs echo round trip = %.1f x the Unix-socket round trip (p50, %d client)\n",
               echo1.p50 / sock.p50, clients.front());
    FuseRoundTrip(pps + "/bench/echo", requests * 5);

    if (memory_requests > 0) {
        Load(control, command, 4, memory_requests);
        printf("daemon private memory: %ld KiB after start, %ld KiB after %d more requests\n", mem0,
               procstats::PrivateKiB(daemon), memory_requests);
        printf("daemon open fds: %d before, %d after\n", fds0, OpenFds(daemon));
    }
    return 0;
}
