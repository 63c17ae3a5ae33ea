// SPDX-License-Identifier: Apache-2.0
// serve_streams: what diagctl serve's event streams cost. Against a running
// diagctl serve (bench/serve_cost.sh starts the whole system and serve
// around it), it reads the CPU time of diagctl serve, the daemon and any
// other process named, first over SECONDS with no client (the floor: serve's
// own rounds and the daemon answering them), then over SECONDS with N
// clients each holding /api/v1/stream open and counting the records it
// receives. Prints each process's CPU as a share of one core, and the sum
// of serve's and the daemon's beside the budget.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <httplib.h>

#include "proc_stats.h"
#include "velomar_version.h"

namespace {

double NowS() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// One stream client: counts the events that carry a record ("data: " at the
// start of a line) and the bytes, until told to stop (it notices at the next
// chunk, within a round).
struct Stream {
    std::atomic<long> records{0};
    std::atomic<long> bytes{0};
    std::atomic<int> status{0};  // HTTP status once answered; -1: no connection
    std::string tail;            // the end of the last chunk, for a "data: " cut in two

    void Run(const std::string &host, int port, const std::string &token,
             const std::atomic<bool> &stop) {
        httplib::Client c(host, port);
        c.set_read_timeout(30, 0);
        c.set_bearer_token_auth(token);
        httplib::Result r = c.Get(
            "/api/v1/stream",
            [&](const httplib::Response &res) {
                status = res.status;
                return res.status == 200;
            },
            [&](const char *data, std::size_t n) {
                bytes += static_cast<long>(n);
                std::string text = tail + std::string(data, n);
                long found = 0;
                for (std::size_t at = 0; (at = text.find("\ndata: ", at)) != std::string::npos;
                     at++)
                    found++;
                if (records == 0 && text.rfind("data: ", 0) == 0) found++;
                records += found;
                tail = text.substr(text.size() > 6 ? text.size() - 6 : 0);
                return !stop;
            });
        if (!r && status == 0) status = -1;
    }
};

struct Process {
    std::string name;
    pid_t pid;
    double idle_us = 0, loaded_us = 0;
};

// Each process's CPU time over seconds of wall time, into *field.
void Measure(std::vector<Process> *procs, double seconds, double Process::*field) {
    std::vector<double> before;
    for (const Process &p : *procs) before.push_back(procstats::ProcessCpuUs(p.pid));
    const double start = NowS();
    usleep(static_cast<useconds_t>(seconds * 1e6));
    const double elapsed = NowS() - start;
    for (std::size_t i = 0; i < procs->size(); i++) {
        Process &p = (*procs)[i];
        // Scaled to exactly the seconds asked for, so that both columns compare.
        p.*field = (procstats::ProcessCpuUs(p.pid) - before[i]) * seconds / elapsed;
    }
}

std::string Share(double us, double seconds) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.3f%%", us / (seconds * 1e6) * 100);
    return buf;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"serve_streams: the CPU cost of diagctl serve's event streams, with a floor"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("serve_streams"));
    std::string host = "127.0.0.1";
    int port = 0;
    int clients = 50;
    double seconds = 60;
    double budget = 5;
    pid_t serve = 0, daemon = 0;
    std::vector<std::string> others;
    app.add_option("--host", host, "diagctl serve's address");
    app.add_option("--port", port, "diagctl serve's port")->required();
    std::string token;
    app.add_option("--token", token, "The token diagctl serve printed")->required();
    app.add_option("-n,--clients", clients, "Streams held open at once")
        ->check(CLI::Range(1, 10000));
    app.add_option("-s,--seconds", seconds, "Length of each measurement")
        ->check(CLI::Range(1.0, 86400.0));
    app.add_option("--serve-pid", serve, "diagctl serve's pid")->required();
    app.add_option("--daemon-pid", daemon, "qrx_velomar_server's pid")->required();
    app.add_option("--other", others, "NAME=PID of another process to measure (repeatable)");
    app.add_option("--budget", budget, "Budget of serve and the daemon together, % of a core");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;  // 2: a bad command line
    }
    std::vector<Process> procs = {{"diagctl serve", serve}, {"qrx_velomar_server", daemon}};
    for (const std::string &o : others) {
        const std::size_t eq = o.find('=');
        if (eq == std::string::npos || atoi(o.c_str() + eq + 1) <= 0) {
            fprintf(stderr, "serve_streams: --other takes NAME=PID, not '%s'\n", o.c_str());
            return 2;
        }
        procs.push_back({o.substr(0, eq), static_cast<pid_t>(atoi(o.c_str() + eq + 1))});
    }
    for (const Process &p : procs)
        if (kill(p.pid, 0) != 0) {
            fprintf(stderr, "serve_streams: no process %d (%s)\n", p.pid, p.name.c_str());
            return 2;
        }

    printf("%.0f s with no stream, then %.0f s with %d streams on http://%s:%d/api/v1/stream\n",
           seconds, seconds, clients, host.c_str(), port);
    fflush(stdout);
    Measure(&procs, seconds, &Process::idle_us);

    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<Stream>> streams;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; i++) {
        streams.emplace_back(new Stream);
        Stream *s = streams.back().get();
        threads.emplace_back([s, &host, port, &token, &stop] { s->Run(host, port, token, stop); });
    }
    // Measured once every stream has had its first records (the latest of
    // each screen), so that connecting is not counted.
    const double deadline = NowS() + 60;
    auto all_going = [&] {
        return std::all_of(streams.begin(), streams.end(), [](const std::unique_ptr<Stream> &s) {
            return s->records > 0 || (s->status != 0 && s->status != 200);
        });
    };
    while (!all_going() && NowS() < deadline) usleep(10000);
    int refused = 0;
    for (const auto &s : streams) refused += s->records == 0;
    std::vector<long> records0, bytes0;
    for (const auto &s : streams) {
        records0.push_back(s->records);
        bytes0.push_back(s->bytes);
    }
    Measure(&procs, seconds, &Process::loaded_us);
    long least = -1, most = 0, bytes = 0;
    for (std::size_t i = 0; i < streams.size(); i++) {
        if (streams[i]->records == 0) continue;
        const long got = streams[i]->records - records0[i];
        least = least < 0 ? got : std::min(least, got);
        most = std::max(most, got);
        bytes += streams[i]->bytes - bytes0[i];
    }
    stop = true;
    for (std::thread &t : threads) t.join();

    printf("%-22s %12s %12s\n", "CPU, % of one core", "no stream", "streams");
    double idle = 0, loaded = 0;
    for (std::size_t i = 0; i < procs.size(); i++) {
        const Process &p = procs[i];
        printf("%-22s %12s %12s\n", p.name.c_str(), Share(p.idle_us, seconds).c_str(),
               Share(p.loaded_us, seconds).c_str());
        if (i < 2) {
            idle += p.idle_us;
            loaded += p.loaded_us;
        }
    }
    printf("%-22s %12s %12s   (budget %g%%)\n", "serve + daemon", Share(idle, seconds).c_str(),
           Share(loaded, seconds).c_str(), budget);
    printf(
        "streams: %d open, %d refused or never answered; records per stream over %.0f s: "
        "%ld to %ld; %.1f KB/s to all streams\n",
        clients - refused, refused, seconds, least < 0 ? 0 : least, most, bytes / seconds / 1000);
    const bool within = loaded / (seconds * 1e6) * 100 < budget;
    printf("%s\n", within ? "within budget" : "OVER BUDGET");
    return refused == 0 ? 0 : 1;
}
