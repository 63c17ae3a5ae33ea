// SPDX-License-Identifier: Apache-2.0
// diagctl serve under attack: its server (WebServer, in a child process of
// its own, with a full session of fake records) against a thousand slow or
// idle connections, a 64 MiB body and ten slow session downloads at once,
// while a normal client asks for a screen. Prints the normal requests'
// latency, the server's memory (resident now and at its peak) and how much
// of the hostile body it took.
//   serve_hostile [--connections N] [--downloads N] [--records N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "WebServer.h"
#include "proc_stats.h"
#include "velomar_version.h"

namespace {

double NowS() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval timeout = {30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string &text) {
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Fake records as big as real ones: an IMEI and a few hundred bytes of table.
diagctl::Snapshot Fake(const diagctl::Screen &screen) {
    using diagctl::Value;
    Value attributes = Value::Object();
    attributes.members.emplace_back("IMEI", Value::String("351234567890123"));
    for (int i = 1; i <= 8; i++) {
        attributes.members.emplace_back("apn" + std::to_string(i) + "_name",
                                        Value::String("internet.operator.example"));
        attributes.members.emplace_back("mset" + std::to_string(i) + "_rscp", Value::Int(-90 - i));
    }
    diagctl::Snapshot s;
    s.heading = "SUCCESS";
    s.result.present = screen.request;
    s.timing.time = "2026-01-01T00:00:00.000Z";
    s.own = diagctl::OwnAttributes(screen, attributes);
    return s;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"serve_hostile: diagctl serve's server against hostile clients", "serve_hostile"};
    int connections = 1000, downloads = 10, rounds = 4000;
    app.add_option("--connections", connections, "Slow and idle connections (default 1000)");
    app.add_option("--downloads", downloads, "Slow session downloads at once (default 10)");
    app.add_option("--records", rounds, "Rounds of ten records in the session (default 4000)");
    app.set_version_flag("--version", VELOMAR_VERSION);
    CLI11_PARSE(app, argc, argv);
    signal(SIGPIPE, SIG_IGN);
    rlimit files = {65536, 65536};
    setrlimit(RLIMIT_NOFILE, &files);

    // The server in a child: its memory is its own.
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
        diagctl::ServeOptions opt;
        opt.port = 0;
        opt.every_s = 0;
        diagctl::WebServer server(opt, Fake, [](bool) { return diagctl::Outcome{}; });
        std::string error;
        if (!server.Start(&error)) _exit(1);
        for (int i = 0; i < rounds; i++) server.Poll();
        const std::string said = std::to_string(server.port()) + " " + server.token() + "\n";
        if (write(pipe_fds[1], said.data(), said.size()) < 0) _exit(1);
        for (;;) pause();
    }
    char said[128] = {};
    if (read(pipe_fds[0], said, sizeof said - 1) <= 0) return 1;
    const int port = atoi(said);
    const std::string token = strchr(said, ' ') + 1;
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    const std::string auth = "Authorization: Bearer " + token.substr(0, 64) + "\r\n";

    auto normal = [&] {
        const double start = NowS();
        const int fd = Connect(port);
        SendAll(fd, "GET /api/v1/screens/identity HTTP/1.0\r\n" + host + auth + "\r\n");
        char buf[4096];
        bool ok = false;
        for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;)
            ok = ok ||
                 std::string(buf, static_cast<std::size_t>(n)).find(" 200 ") != std::string::npos;
        close(fd);
        return ok ? NowS() - start : -1.0;
    };
    const long rss_start = procstats::RssKiB(child);
    double quiet = 0;
    for (int i = 0; i < 20; i++) quiet = std::max(quiet, normal());

    std::vector<int> slow;
    for (int i = 0; i < connections; i++) {
        const int fd = Connect(port);
        if (fd < 0) break;
        if (i % 2) SendAll(fd, "GET / HTTP/1.1\r\n");
        slow.push_back(fd);
    }
    std::atomic<bool> stop{false};
    std::atomic<long> body_sent{0};
    std::thread body([&] {
        const int fd = Connect(port);
        SendAll(fd, "POST /api/v1/gsm-time HTTP/1.1\r\n" + host + auth +
                        "Transfer-Encoding: chunked\r\n\r\n");
        const std::string chunk = "100000\r\n" + std::string(1 << 20, 'a') + "\r\n";
        for (int i = 0; i < 64 && SendAll(fd, chunk); i++) body_sent += 1 << 20;
        close(fd);
    });
    // Downloads read a KiB every 10 ms.
    std::vector<std::thread> readers;
    std::atomic<long> downloaded{0};
    for (int i = 0; i < downloads; i++)
        readers.emplace_back([&, i] {
            const int fd = Connect(port);
            SendAll(fd, std::string("GET /api/v1/session.") + (i % 2 ? "csv" : "jsonl") +
                            " HTTP/1.0\r\n" + host + auth + "\r\n");
            char buf[1024];
            for (ssize_t n; !stop && (n = recv(fd, buf, sizeof buf, 0)) > 0; usleep(10000))
                downloaded += n;
            close(fd);
        });
    double worst = 0;
    long rss_peak = 0;
    int failed = 0;
    for (int i = 0; i < 50; i++) {
        // The slow ones send a byte each now and then.
        for (std::size_t at = i % 4; at < slow.size(); at += 4)
            send(slow[at], "x", 1, MSG_NOSIGNAL);
        const double t = normal();
        if (t < 0) failed++;
        worst = std::max(worst, t);
        rss_peak = std::max(rss_peak, procstats::RssKiB(child));
        usleep(100000);
    }
    stop = true;
    body.join();
    for (std::thread &t : readers) t.join();
    for (int fd : slow) close(fd);
    usleep(500000);
    const long rss_after = procstats::RssKiB(child);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    std::printf(
        "session: %d records; attack: %zu slow or idle connections, a 64 MiB chunked body, "
        "%d slow downloads (%.1f MiB read)\n",
        rounds * 10, slow.size(), downloads, downloaded / 1048576.0);
    std::printf("normal request: worst %.1f ms quiet, %.1f ms under attack, %d of 50 failed\n",
                quiet * 1e3, worst * 1e3, failed);
    std::printf("hostile body: %.1f MiB sent before the server closed it\n", body_sent / 1048576.0);
    std::printf(
        "server RSS: %.1f MiB with its session, %.1f MiB peak under attack, %.1f MiB after\n",
        rss_start / 1024.0, rss_peak / 1024.0, rss_after / 1024.0);
    return failed == 0 ? 0 : 1;
}
