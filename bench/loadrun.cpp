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

// One client: its own connection to the control object, one request at a
// time, each waiting for its response.
void Client(const std::string &control, const std::string &command, int requests, int tag,
            std::vector<double> *lat, std::atomic<long> *errors) {
    int fd = open(control.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        errors->fetch_add(requests);
        return;
    }
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
        struct pollfd p = {fd, POLLIN, 0};
        ssize_t got = -1;
        while (poll(&p, 1, 5000) > 0) {
            got = read(fd, buf, sizeof buf);
            if (got > 0 || (got < 0 && errno != EAGAIN)) break;
        }
        if (got <= 0) {
            errors->fetch_add(1);
            continue;
        }
        lat->push_back(NowUs() - t0);
    }
    close(fd);
}

Figures Load(const std::string &control, const std::string &command, int clients, int total) {
    std::vector<std::vector<double>> lat(clients);
    std::atomic<long> errors{0};
    std::vector<std::thread> threads;
    double t0 = NowUs();
    for (int c = 0; c < clients; c++)
        threads.emplace_back(Client, control, command, total / clients, c, &lat[c], &errors);
    for (auto &t : threads) t.join();
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
pid_t StartEcho(const std::string &path) {
    int fd = open((path + "?server").c_str(), O_RDWR | O_CREAT, 0666);
    if (fd < 0) {
        perror(path.c_str());
        exit(1);
    }
    pid_t pid = fork();
    if (pid != 0) {
        close(fd);
        return pid;
    }
    std::string name = path.substr(path.rfind('/') + 1);
    char buf[1024], out[1024];
    struct pollfd p = {fd, POLLIN, 0};
    for (;;) {
        if (poll(&p, 1, -1) < 0) continue;
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

void Print(const char *what, int clients, const Figures &f, double cpu_per_req) {
    printf("%-22s %3d client(s): %8.0f req/s  p50 %7.1f us  p99 %7.1f us  max %8.1f us", what,
           clients, f.rps, f.p50, f.p99, f.max);
    if (cpu_per_req >= 0) printf("  cpu %6.1f us/req", cpu_per_req);
    if (f.errors) printf("  errors %ld", f.errors);
    printf("\n");
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"loadrun: end-to-end load on the running daemon through ppsfs, with floors"};
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
    CLI11_PARSE(app, argc, argv);

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
    std::string echo = pps + "/bench/echo";
    pid_t echo_pid = StartEcho(echo);
    usleep(100000);
    Figures echo1;
    for (int n : clients) {
        double cpu0 = CpuUs(echo_pid);
        Figures f = Load(echo, "echo", n, requests);
        if (n == 1) echo1 = f;
        Print("echo server (floor)", n, f,
              (CpuUs(echo_pid) - cpu0) / std::max<double>(1, requests - f.errors));
    }
    kill(echo_pid, SIGKILL);
    waitpid(echo_pid, nullptr, 0);

    Figures sock = SocketFloor(requests * 5);
    Print("unix socket (floor)", 1, sock, -1);
    if (sock.p50 > 0)
        printf("ppsfs echo round trip = %.1f x the Unix-socket round trip (p50)\n",
               echo1.p50 / sock.p50);

    if (memory_requests > 0) {
        Load(control, command, 4, memory_requests);
        printf("daemon private memory: %ld KiB after start, %ld KiB after %d more requests\n", mem0,
               procstats::PrivateKiB(daemon), memory_requests);
        printf("daemon open fds: %d before, %d after\n", fds0, OpenFds(daemon));
    }
    return 0;
}
