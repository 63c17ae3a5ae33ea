// SPDX-License-Identifier: Apache-2.0
// What a Prometheus scrape of diagctl serve's /metrics costs the console:
// its server (WebServer in a child process, refreshing ten fake screens a
// second, or a fleet of hosts fed as serve --mqtt would be) measured over
// a stretch without scrapes, then over one scraped every --every seconds.
// Prints the CPU of each as % of one core, the difference, and the size and
// time of one scrape.
//   serve_metrics [--seconds N] [--every SECONDS] [--hosts N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <string>

#include "Fleet.h"
#include "WebServer.h"
#include "proc_stats.h"
#include "velomar_version.h"

namespace {

double NowS() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

diagctl::Snapshot Fake(const diagctl::Screen &screen) {
    using diagctl::Value;
    Value attributes = Value::Object();
    attributes.members.emplace_back("scell_rscp", Value::Int(-85));
    attributes.members.emplace_back("scell_sc", Value::Int(310));
    for (int i = 1; i <= 8; i++) {
        attributes.members.emplace_back("mset_sc" + std::to_string(i), Value::Int(100 + i));
        attributes.members.emplace_back("mset_rscp" + std::to_string(i), Value::Int(-90 - i));
        attributes.members.emplace_back("mset_ecio" + std::to_string(i), Value::Int(-10 - i));
    }
    diagctl::Snapshot s;
    s.heading = "SUCCESS";
    s.result.present = screen.request;
    s.timing.time = "2026-01-01T00:00:00.000Z";
    s.timing.latency_ms = 3;
    s.own = diagctl::OwnAttributes(screen, attributes);
    return s;
}

// One scrape: the body's size, or -1.
long Scrape(int port, const std::string &token) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return -1;
    const std::string req = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                            "\r\nAuthorization: Bearer " + token + "\r\n\r\n";
    if (send(fd, req.data(), req.size(), MSG_NOSIGNAL) < 0) return -1;
    long n = 0;
    char buf[65536];
    for (ssize_t got; (got = recv(fd, buf, sizeof buf, 0)) > 0;) n += got;
    close(fd);
    return n;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"serve_metrics: what scraping diagctl serve's /metrics costs", "serve_metrics"};
    double seconds = 60, every = 5;
    int hosts = 0;
    app.add_option("--seconds", seconds, "Length of each stretch (default 60)");
    app.add_option("--every", every, "Seconds between scrapes (default 5)");
    app.add_option("--hosts", hosts, "A fleet of this many hosts instead of this host (default 0)");
    app.set_version_flag("--version", VELOMAR_VERSION);
    CLI11_PARSE(app, argc, argv);
    signal(SIGPIPE, SIG_IGN);
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
        diagctl::ServeOptions opt;
        opt.port = 0;
        opt.every_s = hosts > 0 ? 0 : 1;
        opt.fleet = hosts > 0;
        opt.max_hosts = static_cast<std::size_t>(std::max(hosts, 1));
        diagctl::WebServer server(opt, Fake, [](bool) { return diagctl::Outcome{}; });
        std::string error;
        if (!server.Start(&error)) _exit(1);
        const std::string said = std::to_string(server.port()) + " " + server.token() + "\n";
        if (write(pipe_fds[1], said.data(), said.size()) < 0) _exit(1);
        // A fleet: each host's ten records a second, as recorders send them.
        for (;;) {
            for (int h = 0; h < hosts; h++)
                for (const diagctl::Screen *s : diagctl::ServedScreens())
                    server.Receive("diagctl/car-" + std::to_string(h) + "/" + s->command,
                                   diagctl::RecordLine(*s, Fake(*s)));
            sleep(1);
        }
    }
    char said[128] = {};
    if (read(pipe_fds[0], said, sizeof said - 1) <= 0) return 1;
    const int port = atoi(said);
    const std::string token = std::string(strchr(said, ' ') + 1).substr(0, 64);
    sleep(2);

    double t0 = NowS(), cpu0 = procstats::CpuUs(child);
    usleep(static_cast<useconds_t>(seconds * 1e6));
    const double idle = (procstats::CpuUs(child) - cpu0) / 1e6 / (NowS() - t0) * 100;

    long bytes = 0;
    double scrape_s = 0;
    int scrapes = 0;
    t0 = NowS();
    cpu0 = procstats::CpuUs(child);
    while (NowS() - t0 < seconds) {
        const double start = NowS();
        bytes = Scrape(port, token);
        scrape_s += NowS() - start;
        scrapes++;
        usleep(static_cast<useconds_t>(every * 1e6));
    }
    const double scraped = (procstats::CpuUs(child) - cpu0) / 1e6 / (NowS() - t0) * 100;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    std::printf("%s, refreshed every second; %.0f s each stretch\n",
                hosts > 0 ? (std::to_string(hosts) + " hosts").c_str() : "one host", seconds);
    std::printf("console CPU: %.2f%% of a core unscraped, %.2f%% scraped every %.0f s: +%.2f%%\n",
                idle, scraped, every, scraped - idle);
    std::printf("one scrape: %ld bytes, %.2f ms on average (%d scrapes)\n", bytes,
                scrape_s / scrapes * 1e3, scrapes);
    return bytes > 0 ? 0 : 1;
}
