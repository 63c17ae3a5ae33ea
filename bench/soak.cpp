// soak: a fault soak of the running daemon. Client threads connect, send
// requests for random commands (with random ids, duplicates and unknown
// names among them) and disconnect at random, while the simulated modem
// injects faults at random and its scenario is swapped now and then.
// Checks, and reports with figures:
//   - every request a connected client sent gets exactly one response,
//     whose res and id echo the request (an unknown name gets none);
//   - no status object ever holds a half-written run: every read parses as
//     PPS text, and a command's attributes are all there or all absent;
//   - the daemon stays up; its private memory and fd count stay flat.
// Run it inside the set-up that scripts/soak.sh makes.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/pps.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "proc_stats.h"

namespace {

const char *const kCommands[] = {"identity",   "access",     "gsmopinfo",  "tchtxpower",
                                 "tchtxpwr",   "bearer",     "hspaopinfo", "umtsopinfo",
                                 "radiostats", "radionwinfo"};

std::atomic<long> g_sent{0}, g_answered{0}, g_unknown_sent{0}, g_bad{0}, g_status_reads{0};
std::mutex g_report_mu;
std::vector<std::string> g_problems;

void Problem(const std::string &what) {
    std::lock_guard<std::mutex> lock(g_report_mu);
    g_bad++;
    if (g_problems.size() < 20) g_problems.push_back(what);
}

std::string Dir(const std::string &pps) {
    return pps + "/services/radioctrl/modem0/diag/";
}

// Waits for one response on fd; "" on timeout.
std::string ReadResponse(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    char buf[1024];
    while (poll(&p, 1, timeout_ms) > 0) {
        ssize_t n = read(fd, buf, sizeof buf - 1);
        if (n > 0) return std::string(buf, static_cast<size_t>(n));
        if (n < 0 && errno != EAGAIN) return "";
    }
    return "";
}

void ClientLoop(const std::string &pps, int requests, unsigned seed) {
    std::mt19937 rng(seed);
    std::string control = Dir(pps) + "control";
    int fd = -1;
    for (int i = 0; i < requests; i++) {
        if (fd < 0 || rng() % 10 == 0) {  // reconnect now and then
            if (fd >= 0) close(fd);
            fd = open(control.c_str(), O_RDWR | O_NONBLOCK);
            if (fd < 0) {
                Problem("cannot open the control object: " + std::string(strerror(errno)));
                usleep(10000);
                continue;
            }
        }
        bool unknown = rng() % 20 == 0;
        std::string msg = unknown ? "nosuchcommand" : kCommands[rng() % 10];
        // Small ids so that duplicates happen, and sometimes text.
        std::string id = rng() % 5 == 0 ? "abc" : std::to_string(rng() % 8);
        std::string req = "msg::" + msg + "\nid::" + id + "\n";
        if (write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size())) {
            Problem("write: " + std::string(strerror(errno)));
            continue;
        }
        if (unknown) {
            g_unknown_sent++;
            std::string r = ReadResponse(fd, 50);
            if (!r.empty()) Problem("unknown name answered: " + r);
            continue;
        }
        g_sent++;
        std::string r = ReadResponse(fd, 10000);
        if (r.empty()) {
            Problem("no response to " + msg + " " + id);
            continue;
        }
        std::string want = "@control\nres::" + msg + "\nid::" + id + "\n";
        if (r != want && r != want + "err:n:-1\n") {
            Problem("wrong response to " + msg + " " + id + ": " + r);
            continue;
        }
        g_answered++;
        // Exactly one: nothing more may follow.
        std::string extra = ReadResponse(fd, 0);
        if (!extra.empty()) Problem("a second response: " + extra);
    }
    if (fd >= 0) close(fd);
}

// Attributes a run always writes, per status object: a read holding one of
// a group must hold all of it.
struct Group {
    const char *object;
    std::vector<const char *> names;
};
const Group kGroups[] = {
    {"status_data", {"TLLI", "SRNTI", "CRNTI", "HRNTI", "TMSI", "PTMSI", "IMEI", "IMSI", "SRNCID"}},
    {"status_data",
     {"rach_attempts", "sm_latest_cause", "cc_latest_cause", "init_tx_power", "prea_retr_max"}},
    {"status_utra", {"rrc_reject", "rrc_release", "rrc_state", "rrc_conn_state"}},
    {"status_utra",
     {"dch_avgcalls", "dch_tx_pwr", "dch_tx_pwr_step", "dch_utra_rssi", "radio_temp"}},
    {"status_utra", {"scell_ura", "cell_status", "scell_uarfcn", "aset_arfcn6", "mset_ecio6"}},
    {"status_geran", {"gsm_cs_ps_pdp", "gsm_arfcn6", "gsm_t3312", "gprs_state", "rr_state"}},
};

void StatusChecker(const std::string &pps, std::atomic<bool> *stop) {
    while (!*stop) {
        for (const char *obj : {"status_data", "status_utra", "status_geran"}) {
            std::ifstream in(Dir(pps) + obj);
            std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            if (text.empty()) continue;
            g_status_reads++;
            std::vector<char> buf(text.begin(), text.end());
            buf.push_back('\0');
            char *p = buf.data();
            pps_attrib_t info{};
            info.obj_index = -1;
            std::set<std::string> names;
            pps_status_t k;
            while ((k = ppsparse(&p, nullptr, nullptr, &info, 0)) > 0)
                if (k == PPS_ATTRIBUTE) names.insert(info.attr_name);
            if (k == PPS_ERROR || (info.flags & PPS_INCOMPLETE))
                Problem(std::string(obj) + " is not PPS text");
            for (const Group &g : kGroups) {
                if (std::string(g.object) != obj) continue;
                size_t have = 0;
                for (const char *n : g.names) have += names.count(n);
                if (have != 0 && have != g.names.size())
                    Problem(std::string(obj) + " holds part of a run (" + g.names[0] + "...)");
            }
        }
        usleep(2000);
    }
}

// Swaps the simulator's scenario now and then: faults on, faults off.
void ScenarioSwapper(const std::string &faulty, const std::string &clean, std::atomic<bool> *stop) {
    bool on = true;
    while (!*stop) {
        std::ifstream in(on ? faulty : clean);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        int fd = open("/dev/radio/cellular/scenario", O_WRONLY | O_TRUNC);
        if (fd >= 0) {
            if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
                close(fd) != 0)
                Problem("scenario swap refused");
        }
        on = !on;
        for (int i = 0; i < 50 && !*stop; i++) usleep(10000);
    }
}

// Hostile clients: requests whose msg, id or dat are empty, one byte or
// 1,000 bytes long, binary bytes, text without a line end, and thousands of
// connections that come and go. The daemon must keep serving: afterwards a
// plain request is still answered.
void Hostile(const std::string &pps, int connections) {
    std::string control = Dir(pps) + "control";
    std::string big(1000, 'a');
    std::string binary;
    for (int c = 1; c < 256; c++)
        if (c != '\n') binary += static_cast<char>(c);
    const std::string writes[] = {
        "msg::\nid::\n",
        "msg::i\nid::5\n",
        "msg::identity\nid::\n",
        "msg::" + big + "\nid::1\n",
        "msg::identity\nid::" + big + "\n",
        "msg::identity\nid::1\ndat::" + big + "\n",
        "msg::identity\nid::1\ndat::" + binary + "\n",
        "msg::" + binary + "\nid::1\n",
        "msg::identity\nid::1",
        "msg::identity",
        "\n\n\n",
        std::string("\0\1\2", 3),
    };
    int fd = open(control.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        Problem("hostile: cannot open the control object");
        return;
    }
    for (const std::string &w : writes) {
        // ppsfs refuses what is not PPS text (EINVAL); the rest reaches the
        // daemon, which answers or drops it by its rules.
        if (write(fd, w.data(), w.size()) < 0 && errno != EINVAL)
            Problem("hostile write: " + std::string(strerror(errno)));
        ReadResponse(fd, 100);
    }
    close(fd);
    for (int i = 0; i < connections; i++) {
        int c = open(control.c_str(), O_RDWR | O_NONBLOCK);
        if (c < 0) {
            Problem("hostile: connection " + std::to_string(i) + ": " + strerror(errno));
            break;
        }
        close(c);
    }
    fd = open(control.c_str(), O_RDWR | O_NONBLOCK);
    const char req[] = "msg::identity\nid::1\n";
    if (fd < 0 || write(fd, req, sizeof req - 1) != sizeof req - 1 ||
        ReadResponse(fd, 10000).rfind("@control\nres::identity\nid::1\n", 0) != 0)
        Problem("hostile: the daemon no longer answers");
    if (fd >= 0) close(fd);
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"soak: clients, faults and scenario swaps against the running daemon"};
    int clients = 8, requests = 2000, connections = 10000;
    pid_t daemon = 0;
    std::string pps = "/pps", faulty, clean;
    app.add_option("-n,--clients", clients, "Client threads");
    app.add_option("-r,--requests", requests, "Requests per client");
    app.add_option("-p,--daemon-pid", daemon, "The daemon's pid")->required();
    app.add_option("--faulty", faulty, "Scenario file with faults")->required();
    app.add_option("--clean", clean, "Scenario file without faults")->required();
    app.add_option("--pps", pps, "Where PPS is mounted");
    app.add_option("--connections", connections,
                   "Connections opened and closed by the hostile phase");
    bool ignore_memory = false;
    app.add_flag("--ignore-memory", ignore_memory,
                 "Do not require flat memory (a sanitizer build grows by design)");
    CLI11_PARSE(app, argc, argv);

    long mem0 = procstats::PrivateKiB(daemon);
    int fds0 = procstats::OpenFds(daemon);
    Hostile(pps, connections);
    printf("soak: hostile clients done (%d connections opened and closed)\n", connections);
    std::atomic<bool> stop{false};
    std::thread checker(StatusChecker, pps, &stop);
    std::thread swapper(ScenarioSwapper, faulty, clean, &stop);
    std::vector<std::thread> threads;
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (int c = 0; c < clients; c++) threads.emplace_back(ClientLoop, pps, requests, 1000u + c);
    for (auto &t : threads) t.join();
    clock_gettime(CLOCK_MONOTONIC, &t1);
    stop = true;
    checker.join();
    swapper.join();

    double secs = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
    bool alive = kill(daemon, 0) == 0;
    long mem1 = procstats::PrivateKiB(daemon);
    int fds1 = procstats::OpenFds(daemon);
    printf(
        "soak: %d clients, %ld requests answered of %ld sent (+%ld unknown names, unanswered as "
        "they "
        "should be) in %.1f s, %ld status reads checked\n",
        clients, g_answered.load(), g_sent.load(), g_unknown_sent.load(), secs,
        g_status_reads.load());
    printf("soak: daemon %s; private memory %ld KiB -> %ld KiB; fds %d -> %d\n",
           alive ? "up" : "GONE", mem0, mem1, fds0, fds1);
    for (const std::string &p : g_problems) printf("soak: problem: %s\n", p.c_str());
    bool ok = alive && g_bad == 0 && g_answered == g_sent && fds1 == fds0 &&
              (ignore_memory || mem1 <= mem0 + 256);
    printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
