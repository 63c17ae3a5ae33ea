// SPDX-License-Identifier: Apache-2.0
// soak: a fault soak of the running daemon. Client threads connect, send
// requests for random commands (with random ids, duplicates and unknown
// names among them) and disconnect at random, while the simulated modem
// injects faults at random and its scenario is swapped now and then.
// Two unprivileged processes (a user in the diagnostics group, as a
// diagctl user is) press on ppsfs: first a flooder writes 1 MiB messages to
// the control object as fast as ppsfs takes them for a few seconds, while
// a probe client sends a request every 100 ms; then, while the clients
// run, a backlog hog holds 300 ?delta opens of a status object that their
// commands keep changing, asking for a 1 TiB backlog each, and reads
// nothing after the first copy.
// Checks, and reports with figures:
//   - every request a connected client sent gets exactly one response,
//     whose res and id echo the request (an unknown name gets none), the
//     hog notwithstanding;
//   - the probe's requests during the flood: how many were answered,
//     refused (EAGAIN) or left unanswered, and how soon the daemon answers
//     once the flood ends (it must); with --flood-strict every one must be
//     answered (the flooder's own writes may be refused);
//   - no status object ever holds a half-written run: every read parses as
//     PPS text, and a command's attributes are all there or all absent;
//   - the daemon stays up; the private memory it has written (heap, stack)
//     and its fd count stay flat;
//   - ppsfs's resident memory: at the start, at its peak, and after the hog
//     has closed its opens (checked only against --ppsfs-limit; a hog that
//     makes it grow past --ppsfs-safety is ended early, to spare the
//     machine, and that is reported).
// Run it inside the set-up that scripts/soak.sh makes.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/pps.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "proc_stats.h"
#include "velomar_version.h"

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

// Who the flooder and the hog run as: an unprivileged user whose only
// supplementary group is the diagnostics group, so it reaches the diag
// objects as a diagctl user does.
struct Unprivileged {
    uid_t uid;
    gid_t gid;
    gid_t diag_gid;
};

// A child process working as an unprivileged user, told what to do through
// a pipe (a byte to go on, end of file to stop) and reporting one line per
// step through another. Forked before any thread of the soak starts.
struct Worker {
    pid_t pid = -1;
    int command = -1;  // the parent writes here
    int report = -1;   // and reads the child's lines here

    // One line from the child; "" if none comes within timeout_ms or the
    // child has ended.
    std::string ReadLine(int timeout_ms) const {
        std::string line;
        char c;
        struct pollfd p = {report, POLLIN, 0};
        while (poll(&p, 1, timeout_ms) == 1 && read(report, &c, 1) == 1) {
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }
    void Tell(char c) const {
        if (write(command, &c, 1) != 1) Problem("cannot tell a worker what to do");
    }
    // Ends the child (SIGKILL when it does not end on its own); its exit
    // status.
    int Finish(bool kill_it) {
        if (pid < 0) return -1;
        if (command >= 0) close(command);
        command = -1;
        if (kill_it) kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        if (report >= 0) close(report);
        report = -1;
        return status;
    }
};

void Say(int fd, const std::string &line) {
    std::string l = line + "\n";
    if (write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size())) _exit(3);
}

// Waits for the parent's go (a byte); false if the parent closed instead.
bool WaitForGo(int in) {
    char c;
    return read(in, &c, 1) == 1;
}

Worker StartWorker(const Unprivileged &who, const std::function<void(int in, int out)> &work) {
    // The parent's ends of earlier workers' pipes: a later worker must not
    // hold them, or closing the command pipe would not reach its worker.
    static std::vector<int> parent_ends;
    int down[2], up[2];
    Worker w;
    if (pipe(down) != 0 || pipe(up) != 0) {
        Problem("pipe: " + std::string(strerror(errno)));
        return w;
    }
    pid_t pid = fork();
    if (pid == 0) {
        for (int fd : parent_ends) close(fd);
        close(down[1]);
        close(up[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the soak
        if (setgroups(1, &who.diag_gid) != 0 || setresgid(who.gid, who.gid, who.gid) != 0 ||
            setresuid(who.uid, who.uid, who.uid) != 0) {
            Say(up[1], std::string("cannot become the unprivileged user: ") + strerror(errno));
            _exit(100);
        }
        work(down[0], up[1]);
        _exit(0);
    }
    close(down[0]);
    close(up[1]);
    parent_ends.push_back(down[1]);
    parent_ends.push_back(up[0]);
    w.pid = pid;
    w.command = down[1];
    w.report = up[0];
    return w;
}

// The flooder: messages just under 1 MiB - 4 KiB with their object line
// (the largest that ppsfs takes) to the control object, one after another, until the parent
// closes the command pipe or, when max_messages is not 0, that many have
// been taken. The daemon reads each (1 KiB a read) and drops
// it, having no msg: the flood costs it reads, not commands. Reports
// "written refused other last-error".
void Flood(const std::string &pps, long max_messages, int in, int out) {
    const std::string message = "dat::" + std::string((1 << 20) - 4096 - 64, 'x') + "\n";
    if (!WaitForGo(in)) return;
    int fd = open((Dir(pps) + "control").c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) {
        Say(out, std::string("open: ") + strerror(errno));
        return;
    }
    fcntl(in, F_SETFL, O_NONBLOCK);
    long written = 0, refused = 0, other = 0;
    int last = 0;
    char c;
    while (read(in, &c, 1) < 0 && errno == EAGAIN) {
        if (max_messages != 0 && written >= max_messages) {
            usleep(10000);
        } else if (write(fd, message.data(), message.size()) ==
                   static_cast<ssize_t>(message.size())) {
            written++;
        } else if (errno == EAGAIN) {
            refused++;
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 10);  // until ppsfs takes writes again
        } else {
            other++;
            last = errno;
            usleep(1000);
        }
    }
    close(fd);
    Say(out, std::to_string(written) + " " + std::to_string(refused) + " " + std::to_string(other) +
                 " " + (last != 0 ? strerror(last) : "-"));
}

// The hog: opens object `opens` times with ?delta and a 1 TiB backlog
// (falling back to the default backlog when ppsfs refuses that with
// EPERM), takes the first read of each, the whole object (until then an
// open has nothing queued: its next read is the whole object anyway), and
// reads nothing more. Reports "held refused failed last-error", holds the
// opens until the parent closes the command pipe, then closes them all and
// reports "closed".
void Hog(const std::string &object, int opens, int in, int out) {
    if (!WaitForGo(in)) return;
    std::vector<int> fds;
    int refused = 0, failed = 0, last = 0;
    for (int i = 0; i < opens; i++) {
        int fd = open((object + "?delta,backlog=1073741824").c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0 && errno == EPERM) {
            refused++;
            fd = open((object + "?delta").c_str(), O_RDONLY | O_NONBLOCK);
        }
        if (fd < 0) {
            failed++;
            last = errno;
            continue;
        }
        static char first[65536];
        if (read(fd, first, sizeof first) < 0) {
            failed++;
            last = errno;
        }
        fds.push_back(fd);
    }
    Say(out, std::to_string(fds.size()) + " " + std::to_string(refused) + " " +
                 std::to_string(failed) + " " + (last != 0 ? strerror(last) : "-"));
    char c;
    while (read(in, &c, 1) == 1) {
    }
    for (int fd : fds) close(fd);
    Say(out, "closed");
}

// One identity request from the probe's open fd: 0 answered, EAGAIN
// refused, ETIMEDOUT no answer within timeout_ms (a later answer to it is
// skipped by the next probe, by its id), another errno for another failed
// write.
int ProbeOnce(int fd, long id, int timeout_ms) {
    const std::string req = "msg::identity\nid::" + std::to_string(id) + "\n";
    if (write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size()))
        return errno == 0 ? EIO : errno;
    const std::string want = "@control\nres::identity\nid::" + std::to_string(id) + "\n";
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = timeout_ms -
                    ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
        if (left <= 0) return ETIMEDOUT;
        if (ReadResponse(fd, static_cast<int>(left)).rfind(want, 0) == 0) return 0;
    }
}

double Since(const struct timespec &t0) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (t.tv_sec - t0.tv_sec) + (t.tv_nsec - t0.tv_nsec) / 1e9;
}

// The flood phase: the flooder writes for `seconds` while a probe client
// (root) sends a request every 100 ms; then the probe waits for the daemon
// to answer again. Prints the figures; what must hold is a Problem.
void FloodPhase(const std::string &pps, Worker &flooder, double seconds, bool strict) {
    int fd = open((Dir(pps) + "control").c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        Problem("flood: the probe cannot open the control object: " + std::string(strerror(errno)));
        return;
    }
    long id = 100000, answered = 0, refused = 0, unanswered = 0, failed = 0;
    flooder.Tell('g');
    struct timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    while (Since(t0) < seconds) {
        int r = ProbeOnce(fd, id++, 2000);
        if (r == 0)
            answered++;
        else if (r == EAGAIN)
            refused++;
        else if (r == ETIMEDOUT)
            unanswered++;
        else
            failed++;
        usleep(100000);
    }
    close(flooder.command);
    flooder.command = -1;
    const std::string flood = flooder.ReadLine(60000);
    flooder.Finish(false);
    const double flood_secs = Since(t0);
    // However far behind the flood left it, the daemon must answer again.
    struct timespec t1;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    bool back = false;
    while (!back && Since(t1) < 300) back = ProbeOnce(fd, id++, 2000) == 0;
    const double recovery = Since(t1);
    close(fd);

    long written = 0, wrefused = 0, other = 0;
    char last[128] = "-";
    if (sscanf(flood.c_str(), "%ld %ld %ld %127[^\n]", &written, &wrefused, &other, last) == 4) {
        printf(
            "soak: flood: %.1f s of 1 MiB messages from an unprivileged client: %ld written, %ld "
            "refused with EAGAIN, %ld other failures (last: %s)\n",
            flood_secs, written, wrefused, other, last);
        if (other > 0) Problem("the flooder's writes failed otherwise than EAGAIN: " + flood);
    } else {
        Problem("the flooder did not report: " + flood);
    }
    printf(
        "soak: flood: the probe's %ld requests during it: %ld answered, %ld refused (EAGAIN), %ld "
        "unanswered within 2 s, %ld failed otherwise; answered again %.1f s after it ended\n",
        answered + refused + unanswered + failed, answered, refused, unanswered, failed, recovery);
    if (!back) Problem("flood: the daemon did not answer again after the flood");
    if (failed > 0) Problem("flood: the probe's writes failed otherwise than EAGAIN");
    if (strict && (refused > 0 || unanswered > 0))
        Problem("flood: another client's requests went unanswered during the flood");
    if (!strict && (refused > 0 || unanswered > 0))
        printf("soak: flood: (not checked without --flood-strict)\n");
}

// Samples ppsfs's resident memory while the soak runs: the peak, and ends
// the hog should ppsfs grow more than safety_kib over start_kib (a ppsfs
// that does not bound what unread opens hold would take the machine).
struct PpsfsWatch {
    pid_t ppsfs = 0;
    std::atomic<long> start_kib{0};
    long safety_kib = 0;
    std::atomic<long> peak_kib{0};
    std::atomic<pid_t> hog{-1};
    std::atomic<bool> hog_ended_early{false};

    void Run(std::atomic<bool> *stop) {
        while (!*stop) {
            Sample();
            usleep(50000);
        }
    }
    void Sample() {
        long kib = procstats::RssKiB(ppsfs);
        if (kib > peak_kib) peak_kib = kib;
        pid_t h = hog;
        if (kib > start_kib + safety_kib && h > 0 && !hog_ended_early) {
            hog_ended_early = true;
            kill(h, SIGKILL);
        }
    }
};

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"soak: clients, faults and scenario swaps against the running daemon"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("soak"));
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
    pid_t ppsfs = 0;
    std::string user = "nobody", diag_group = "velomar-diag", hog_object = "status_utra";
    int hog_opens = 300;
    long ppsfs_limit_mib = 0, ppsfs_safety_mib = 512;
    app.add_option("--ppsfs-pid", ppsfs, "ppsfs's pid, to report its memory");
    app.add_option("--user", user, "The unprivileged user the flooder and the hog run as");
    app.add_option("--diag-group", diag_group,
                   "The group that reaches the diag objects, given to the flooder and the hog");
    app.add_option("--hog-object", hog_object, "The status object the hog opens");
    app.add_option("--hog-opens", hog_opens, "How many opens the hog holds");
    app.add_option("--ppsfs-limit", ppsfs_limit_mib,
                   "Fail when ppsfs grows more than this many MiB (0: only report)");
    app.add_option("--ppsfs-safety", ppsfs_safety_mib,
                   "End the hog early when ppsfs grows more than this many MiB");
    double flood_seconds = 5;
    long flood_messages = 0;
    bool flood_strict = false;
    app.add_option("--flood-seconds", flood_seconds, "How long the flooder writes (0: no flood)");
    app.add_option("--flood-messages", flood_messages,
                   "At most this many 1 MiB messages from the flooder (0: as many as ppsfs takes)");
    app.add_flag("--flood-strict", flood_strict,
                 "Fail when a request of the probe goes unanswered during the flood");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;  // 2: a bad command line
    }

    struct passwd *pw = getpwnam(user.c_str());
    struct group *gr = getgrnam(diag_group.c_str());
    if (pw == nullptr || gr == nullptr) {
        fprintf(stderr, "soak: no user %s or no group %s\n", user.c_str(), diag_group.c_str());
        return 2;
    }
    const Unprivileged who{pw->pw_uid, pw->pw_gid, gr->gr_gid};
    // Forked now, before any thread starts; they wait for their go.
    Worker flooder =
        StartWorker(who, [&](int in, int out) { Flood(pps, flood_messages, in, out); });
    Worker hog =
        StartWorker(who, [&](int in, int out) { Hog(Dir(pps) + hog_object, hog_opens, in, out); });
    PpsfsWatch watch;
    watch.ppsfs = ppsfs;
    watch.safety_kib = ppsfs_safety_mib * 1024;

    long mem0 = procstats::PrivateKiB(daemon), dirty0 = procstats::PrivateKiB(daemon, true);
    int fds0 = procstats::OpenFds(daemon);
    Hostile(pps, connections);
    printf("soak: hostile clients done (%d connections opened and closed)\n", connections);
    std::atomic<bool> stop{false};
    if (ppsfs > 0) watch.start_kib = watch.peak_kib = procstats::RssKiB(ppsfs);
    std::thread watcher;
    if (ppsfs > 0) watcher = std::thread([&] { watch.Run(&stop); });
    if (flood_seconds > 0) {
        FloodPhase(pps, flooder, flood_seconds, flood_strict);
        if (ppsfs > 0)
            printf("soak: flood: ppsfs resident memory %ld KiB at the start, %ld KiB at its peak\n",
                   watch.start_kib.load(), watch.peak_kib.load());
    } else {
        flooder.Finish(true);
    }
    // The hog takes its opens, then the clients start.
    if (ppsfs > 0) watch.start_kib = watch.peak_kib = procstats::RssKiB(ppsfs);
    long hog_held = 0, hog_refused = 0, hog_failed = 0;
    if (hog_opens > 0) {
        watch.hog = hog.pid;
        hog.Tell('g');
        std::string held = hog.ReadLine(60000);
        if (sscanf(held.c_str(), "%ld %ld %ld", &hog_held, &hog_refused, &hog_failed) != 3 ||
            hog_held != hog_opens)
            Problem("the hog did not hold " + std::to_string(hog_opens) + " opens: " + held);
    } else {
        hog.Finish(true);
    }
    std::thread checker(StatusChecker, pps, &stop);
    std::thread swapper(ScenarioSwapper, faulty, clean, &stop);
    std::vector<std::thread> threads;
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (int c = 0; c < clients; c++) threads.emplace_back(ClientLoop, pps, requests, 1000u + c);
    for (auto &t : threads) t.join();
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (ppsfs > 0) watch.Sample();
    long ppsfs_held = ppsfs > 0 ? procstats::RssKiB(ppsfs) : -1;
    // The hog lets go (unless it was ended early) and ends.
    std::string closed;
    if (hog.pid > 0) {
        close(hog.command);
        hog.command = -1;
        closed = hog.ReadLine(60000);
        watch.hog = -1;
        hog.Finish(false);
    }
    stop = true;
    checker.join();
    swapper.join();
    if (watcher.joinable()) watcher.join();
    // What ppsfs holds once the hog's opens are gone; a moment for the
    // FUSE releases of 300 closes to be served.
    usleep(500000);
    long ppsfs_after = ppsfs > 0 ? procstats::RssKiB(ppsfs) : -1;

    double secs = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9;
    bool alive = kill(daemon, 0) == 0;
    long mem1 = procstats::PrivateKiB(daemon), dirty1 = procstats::PrivateKiB(daemon, true);
    int fds1 = procstats::OpenFds(daemon);
    printf(
        "soak: %d clients, %ld requests answered of %ld sent (+%ld unknown names, unanswered as "
        "they "
        "should be) in %.1f s, %ld status reads checked\n",
        clients, g_answered.load(), g_sent.load(), g_unknown_sent.load(), secs,
        g_status_reads.load());
    printf("soak: daemon %s; private memory %ld KiB -> %ld KiB; fds %d -> %d\n",
           alive ? "up" : "GONE", mem0, mem1, fds0, fds1);
    printf("soak: daemon: written private memory (what a leak grows) %ld KiB -> %ld KiB\n", dirty0,
           dirty1);
    bool ppsfs_ok = true;
    if (ppsfs > 0 && hog_opens > 0) {
        printf(
            "soak: hog (uid %u): %ld opens held with ?delta (backlog=1073741824 %s), %s; ppsfs "
            "resident "
            "memory %ld KiB at the start, %ld KiB at its peak, %ld KiB with the hog still "
            "there, %ld KiB after it closed\n",
            static_cast<unsigned>(who.uid), hog_held,
            hog_refused == hog_held ? "refused with EPERM each time, the default used"
            : hog_refused == 0      ? "accepted"
                                    : "refused some of the time",
            watch.hog_ended_early ? "ENDED EARLY: ppsfs grew past --ppsfs-safety"
                                  : (closed == "closed" ? "then closed" : "no close reported"),
            watch.start_kib.load(), watch.peak_kib.load(), ppsfs_held, ppsfs_after);
        if (ppsfs_limit_mib > 0) {
            ppsfs_ok = !watch.hog_ended_early &&
                       watch.peak_kib - watch.start_kib <= ppsfs_limit_mib * 1024 &&
                       ppsfs_after - watch.start_kib <= ppsfs_limit_mib * 1024;
            printf("soak: ppsfs growth within %ld MiB: %s\n", ppsfs_limit_mib,
                   ppsfs_ok ? "yes" : "NO");
        } else {
            printf(
                "soak: ppsfs growth not checked (no --ppsfs-limit): %+ld KiB at the peak, "
                "%+ld KiB after the hog closed\n",
                watch.peak_kib - watch.start_kib, ppsfs_after - watch.start_kib.load());
        }
    }
    for (const std::string &p : g_problems) printf("soak: problem: %s\n", p.c_str());
    bool ok = alive && g_bad == 0 && g_answered == g_sent && fds1 == fds0 && ppsfs_ok &&
              (ignore_memory || dirty1 <= dirty0 + 256);
    printf("soak: %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
