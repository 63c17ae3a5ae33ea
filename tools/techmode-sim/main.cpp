// SPDX-License-Identifier: Apache-2.0
// techmode-sim: a simulated modem behind the tech-mode device. A FUSE file
// system, normally mounted at /dev/radio/cellular, whose file "techmode"
// answers the DEVCTL_IOC_XFER ioctl (devctl_xfer.h) as the modem's radio
// resource manager would, from a scenario. The file "scenario" shows the
// scenario in use; writing a whole scenario to it (one open, writes, close)
// replaces it, and SIGHUP reloads the --scenario file, both without
// remounting. The device has the owner, group and mode given on the command
// line (root, root, 0660 by default) and "scenario" the same owner and
// group, mode 0640; the mount lets the kernel enforce them
// (default_permissions), for every user when started by root (allow_other).
// A scenario with a timeline is a drive, played on the simulator's clock:
// real time times --speed, or set by hand through the file "clock" (same
// owner and group). The replies served can be recorded, and a recording
// served again in place of the scenario (Golden.h).
#define FUSE_USE_VERSION 35

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "Golden.h"
#include "OwnFile.h"
#include "Replies.h"
#include "Scenario.h"
#include "Structures.h"
#include "DeviceFile.h"
#include "Timeline.h"
#include "ToolLog.h"
#include "devctl_xfer.h"
#include "velomar_version.h"

namespace {

const char kDevice[] = "/techmode";
const char kScenarioFile[] = "/scenario";
const char kClockFile[] = "/clock";
const size_t kMaxScenarioBytes = 1 << 20;
// All open writers of "scenario" together: the owner may hold many open
// files, and each one's text stays in memory until it is closed.
const size_t kMaxPendingBytes = 8 * kMaxScenarioBytes;
// "scenario" is replaced by its owner and read by its group: it holds the
// identities the device gives out.
const mode_t kScenarioMode = 0640;

struct State {
    std::mutex mu;  // guards everything below
    std::shared_ptr<const sim::Drive> drive;
    std::string scenario_text;  // the JSON the scenario came from
    std::string scenario_path;  // --scenario, reloaded on SIGHUP ("" = built-in)
    std::mt19937 rng;
    // Scenario writes per open file: the text since the last replacement,
    // and where in the file that text starts (the bytes before it replaced
    // the scenario already).
    struct Pending {
        std::string text;
        size_t start = 0;
    };
    std::map<uint64_t, Pending> pending;
    size_t pending_bytes = 0;  // the sum of pending texts' sizes
    uint64_t next_fh = 1;
    // Owner, group and mode of the device; "scenario" has the same owner
    // and group. Fixed at start.
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0660;
    time_t mounted = time(nullptr);  // the files' times, for ls
    // The drive's clock: at `since` it read `base` seconds; it runs at
    // `speed` unless stopped (set by hand).
    std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();
    double base = 0, speed = 1;
    bool stopped = false;
    // --replay: the recorded replies served instead of the scenario's.
    std::unique_ptr<sim::Replay> replay;
    std::string replay_path;
    // --record-replies: each reply served, appended as one line.
    int record_fd = -1;
};

// Seconds into the drive. Caller holds st.mu.
double DriveTime(const State &st) {
    if (st.stopped) return st.base;
    return st.base +
           st.speed *
               std::chrono::duration<double>(std::chrono::steady_clock::now() - st.since).count();
}

// A new scenario starts its drive at 0; a clock set by hand stays stopped.
// Caller holds st.mu.
void RestartClock(State &st) {
    st.base = 0;
    st.since = std::chrono::steady_clock::now();
}

State *g_state;
std::atomic<bool> g_stopping{false};  // tells the reloader thread to end

// SIGHUP's handler, which never runs: the signal is blocked in every thread
// and taken by the reloader (see main).
void OnHangup(int) {}

// Loads the scenario named on the command line (or the built-in one).
// Throws sim::ScenarioError.
void LoadFromPath(State &st) {
    std::string text;
    std::shared_ptr<const sim::Drive> d;
    if (st.scenario_path.empty()) {
        text = sim::DefaultScenarioJson();
        d = sim::Drive::Parse(text, "built-in scenario");
    } else {
        text = sim::ReadScenarioFile(st.scenario_path);
        d = sim::Drive::Parse(text, st.scenario_path);
    }
    st.drive = std::move(d);
    st.scenario_text = text;
    RestartClock(st);
}

// Reloads the --scenario file (or the built-in scenario); a scenario that
// does not check out is refused and the one in use kept. Caller holds st.mu.
void Reload(State &st) {
    try {
        LoadFromPath(st);
        toollog::Log(LOG_NOTICE, "scenario reloaded from %s",
                     st.scenario_path.empty() ? "built-in scenario" : st.scenario_path.c_str());
    } catch (const sim::ScenarioError &e) {
        toollog::Log(LOG_WARNING, "reload refused, scenario kept: %s", e.what());
    }
}

int SimGetattr(const char *path, struct stat *st, struct fuse_file_info *) {
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        st->st_uid = geteuid();  // whoever mounted it
        st->st_gid = getegid();
    } else if (strcmp(path, kDevice) == 0) {
        st->st_mode = S_IFREG | g_state->mode;
        st->st_nlink = 1;
        st->st_uid = g_state->owner;
        st->st_gid = g_state->group;
    } else if (strcmp(path, kClockFile) == 0) {
        // Set like the scenario, by its owner; its size changes with every
        // read.
        st->st_mode = S_IFREG | kScenarioMode;
        st->st_uid = g_state->owner;
        st->st_gid = g_state->group;
        st->st_nlink = 1;
    } else if (strcmp(path, kScenarioFile) == 0) {
        std::lock_guard<std::mutex> lock(g_state->mu);
        st->st_mode = S_IFREG | kScenarioMode;
        st->st_uid = g_state->owner;
        st->st_gid = g_state->group;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(g_state->scenario_text.size());
    } else {
        return -ENOENT;
    }
    st->st_atime = st->st_mtime = st->st_ctime = g_state->mounted;
    return 0;
}

int SimReaddir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
               enum fuse_readdir_flags) {
    if (strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, kDevice + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, kScenarioFile + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, kClockFile + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int SimOpen(const char *path, struct fuse_file_info *fi) {
    if (strcmp(path, kDevice) == 0 || strcmp(path, kClockFile) == 0) {
        fi->direct_io = 1;
        fi->nonseekable = 1;
        return 0;
    }
    if (strcmp(path, kScenarioFile) != 0) return -ENOENT;
    fi->direct_io = 1;  // sizes change with every replacement
    std::lock_guard<std::mutex> lock(g_state->mu);
    fi->fh = g_state->next_fh++;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) g_state->pending[fi->fh];
    return 0;
}

int SimTruncate(const char *path, off_t, struct fuse_file_info *) {
    // "> scenario" truncates first; the replacement happens on close.
    return strcmp(path, kScenarioFile) == 0 || strcmp(path, kClockFile) == 0 ? 0 : -EINVAL;
}

int SimRead(const char *path, char *buf, size_t size, off_t off, struct fuse_file_info *) {
    if (strcmp(path, kDevice) == 0) return 0;  // the device speaks only devctl
    std::lock_guard<std::mutex> lock(g_state->mu);
    if (strcmp(path, kClockFile) == 0) {
        // "12.500 running" or "12.500 stopped", read whole at offset 0.
        if (off > 0) return 0;
        char text[64];
        int n = snprintf(text, sizeof text, "%.3f %s\n", DriveTime(*g_state),
                         g_state->stopped ? "stopped" : "running");
        n = std::min(n, static_cast<int>(size));
        memcpy(buf, text, static_cast<size_t>(n));
        return n;
    }
    const std::string &t = g_state->scenario_text;
    if (off >= static_cast<off_t>(t.size())) return 0;
    size_t n = std::min(size, t.size() - static_cast<size_t>(off));
    memcpy(buf, t.data() + off, n);
    return static_cast<int>(n);
}

// Writes build the pending text of one open file. A writer opened with
// O_APPEND adds to the end of it (the kernel gives the old file size as the
// offset, which means nothing to the pending text); others write at the
// offset, as into a regular file that "> scenario" has emptied.
// The clock takes one line per write: SECONDS stops the drive's clock at
// that time; "run" lets it run again from where it is, at --speed.
int SetClock(const char *buf, size_t size) {
    std::string text(buf, size);
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    std::lock_guard<std::mutex> lock(g_state->mu);
    if (text == "run") {
        g_state->base = DriveTime(*g_state);
        g_state->since = std::chrono::steady_clock::now();
        g_state->stopped = false;
        return static_cast<int>(size);
    }
    char *end = nullptr;
    errno = 0;
    double t = text.empty() || text.size() > 32 ? -1 : strtod(text.c_str(), &end);
    if (errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(t) || t < 0 || t > 1e7) {
        toollog::Log(LOG_WARNING, "clock: '%s' is not a time (seconds from 0 to 1e7) or run",
                     text.substr(0, 40).c_str());
        return -EINVAL;
    }
    g_state->base = t;
    g_state->stopped = true;
    return static_cast<int>(size);
}

int SimWrite(const char *path, const char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
    if (strcmp(path, kDevice) == 0) return -EINVAL;
    if (strcmp(path, kClockFile) == 0) return SetClock(buf, size);
    std::lock_guard<std::mutex> lock(g_state->mu);
    auto it = g_state->pending.find(fi->fh);
    if (it == g_state->pending.end()) return -EBADF;
    std::string &text = it->second.text;
    const size_t start = it->second.start;
    size_t at = text.size();
    if ((fi->flags & O_APPEND) == 0) {
        if (off < 0 || static_cast<size_t>(off) < start) return -EINVAL;  // no going back
        at = static_cast<size_t>(off) - start;
    }
    if (at + size > kMaxScenarioBytes) return -EFBIG;
    if (text.size() < at + size) {
        const size_t more = at + size - text.size();
        if (g_state->pending_bytes + more > kMaxPendingBytes) {
            toollog::Log(LOG_WARNING,
                         "scenario: %zu bytes are pending in open writers already; "
                         "the write fails with ENOSPC",
                         g_state->pending_bytes);
            return -ENOSPC;
        }
        text.resize(at + size);
        g_state->pending_bytes += more;
    }
    memcpy(&text[at], buf, size);
    return static_cast<int>(size);
}

// close() of a writer of "scenario": the text written so far replaces the
// scenario, or close fails with EINVAL and the reason goes to standard
// error. Every holder of the open file (a shell and the commands it runs)
// closes its copy, and each close gets here: a refused text is kept, so a
// later close reads it whole with whatever was written since; a text is
// dropped once it has replaced the scenario.
int SimFlush(const char *path, struct fuse_file_info *fi) {
    if (strcmp(path, kScenarioFile) != 0) return 0;
    std::lock_guard<std::mutex> lock(g_state->mu);
    auto it = g_state->pending.find(fi->fh);
    if (it == g_state->pending.end() || it->second.text.empty()) return 0;
    std::string &text = it->second.text;
    try {
        g_state->drive = sim::Drive::Parse(text, "written scenario");
        g_state->scenario_text = text;
        RestartClock(*g_state);
        it->second.start += text.size();
        g_state->pending_bytes -= text.size();
        std::string().swap(text);  // its memory too
        toollog::Log(LOG_NOTICE, "scenario replaced");
        return 0;
    } catch (const sim::ScenarioError &e) {
        toollog::Log(LOG_WARNING, "scenario refused: %s", e.what());
        return -EINVAL;
    }
}

int SimRelease(const char *, struct fuse_file_info *fi) {
    std::lock_guard<std::mutex> lock(g_state->mu);
    auto it = g_state->pending.find(fi->fh);
    if (it == g_state->pending.end()) return 0;
    g_state->pending_bytes -= it->second.text.size();
    g_state->pending.erase(it);
    return 0;
}

int SimIoctl(const char *path, unsigned int cmd, void *, struct fuse_file_info *,
             unsigned int flags, void *data) {
    if (strcmp(path, kDevice) != 0) return -ENOTTY;
    if (cmd != static_cast<unsigned>(DEVCTL_IOC_XFER) || (flags & FUSE_IOCTL_COMPAT))
        return -ENOTTY;
    auto *x = static_cast<devctl_xfer *>(data);
    if (x->send_len > DEVCTL_XFER_MAX || x->recv_len > DEVCTL_XFER_MAX) {
        toollog::Log(LOG_DEBUG, "transfer refused: send_len %u, recv_len %u (at most %d)",
                     x->send_len, x->recv_len, DEVCTL_XFER_MAX);
        return -EINVAL;
    }

    sim::Reply r;
    {
        std::lock_guard<std::mutex> lock(g_state->mu);
        const double t = DriveTime(*g_state);
        std::shared_ptr<const sim::Scenario> scenario = g_state->drive->At(t);
        r = sim::Answer(*scenario, x->dcmd, x->data, x->send_len, t * 1000, g_state->rng);
        if (g_state->replay && r.struct_type >= 0) {
            // The request checked out: its answer is the next one recorded
            // for its type.
            sim::ServedReply next;
            if (g_state->replay->Next(r.struct_type, &next)) {
                r.status = next.status;
                r.delay_ms = next.delay_ms;
                r.bytes = std::move(next.bytes);
            } else {
                r.status = EIO;
                r.bytes.clear();
                r.delay_ms = 0;
                r.refusal = "no recorded reply left for structure type " +
                            std::to_string(r.struct_type) + " in " + g_state->replay_path;
                toollog::Log(LOG_WARNING, "%s", r.refusal.c_str());
            }
        }
        if (g_state->record_fd >= 0 && r.struct_type >= 0) {
            sim::ServedReply served;
            served.t = t;
            served.type = r.struct_type;
            served.status = r.status;
            served.delay_ms = r.delay_ms;
            served.bytes.assign(
                r.bytes.begin(),
                r.bytes.begin() + std::min<size_t>(r.bytes.size(), DEVCTL_XFER_MAX));
            // One write per line: a simulator killed while recording leaves
            // whole lines and at most one cut off at the end.
            std::string line = sim::ReplyLine(served) + "\n";
            if (write(g_state->record_fd, line.data(), line.size()) !=
                static_cast<ssize_t>(line.size()))
                toollog::Log(LOG_ERR, "recording the reply failed: %s", strerror(errno));
        }
    }
    if (r.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(r.delay_ms));

    size_t n = std::min<size_t>(r.bytes.size(), DEVCTL_XFER_MAX);
    if (n > 0) memcpy(x->data, r.bytes.data(), n);
    x->status = r.status;
    x->info = 0;
    // recv_len tells how much was sent; a reply larger than the caller's
    // room says so, and devctlv copies only what fits.
    x->recv_len = static_cast<uint32_t>(n);
    if (toollog::Enabled(LOG_DEBUG)) {
        if (!r.refusal.empty())
            toollog::Log(LOG_DEBUG, "request refused: %s: status %d", r.refusal.c_str(), r.status);
        else
            toollog::Log(LOG_DEBUG, "type %d (%s): status %d, %zu bytes", r.struct_type,
                         sim::StructureName(r.struct_type), r.status, n);
    }
    return 0;
}

// The reloader thread: takes each SIGHUP as it comes and reloads at once,
// so the log answers the signal, not the next request.
void ReloadOnHangup(sigset_t hup) {
    for (;;) {
        int sig = 0;
        if (sigwait(&hup, &sig) != 0) continue;
        if (g_stopping) return;
        std::lock_guard<std::mutex> lock(g_state->mu);
        Reload(*g_state);
    }
}

}  // namespace

int main(int argc, char *argv[]) {
    CLI::App app{
        "techmode-sim: a simulated modem behind the tech-mode device.\n"
        "Mounts a FUSE file system (normally at /dev/radio/cellular) whose file 'techmode'\n"
        "answers structure requests (the DEVCTL_IOC_XFER ioctl) from a scenario. Write a\n"
        "whole scenario to the file 'scenario' to replace it; SIGHUP reloads --scenario.\n"
        "The kernel enforces the device's owner, group and mode (--owner, --group, --mode);\n"
        "'scenario' has the same owner and group, mode 0640 (its owner replaces the scenario,\n"
        "its group reads it). Started by root, the mount is open to other users as those\n"
        "permissions allow (allow_other).\n"
        "A scenario with a \"timeline\" is a drive, played from 0 s when it is loaded. The\n"
        "file 'clock' reads as the drive's time; writing SECONDS to it stops the clock there,\n"
        "writing 'run' lets it run on at --speed.",
        "techmode-sim"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("techmode-sim"));
    std::string mountpoint, scenario_path, owner_text, group_text, mode_text = "0660";
    bool foreground = false, check = false, print_default = false, verbose = false;
    unsigned seed = 1;
    double speed = 1;
    std::string record_path, replay_path;
    app.add_option("mountpoint", mountpoint, "Where to mount (e.g. /dev/radio/cellular)");
    app.add_option("-s,--scenario", scenario_path,
                   "Scenario file (JSON); default: the built-in one");
    app.add_flag("-f,--foreground", foreground, "Stay in the foreground");
    std::string log_level = "info";
    app.add_option("--log-level", log_level, toollog::kLevelHelp)
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(toollog::kLevelNames),
                                                       std::end(toollog::kLevelNames))))
        ->type_name("LEVEL");
    app.add_flag("-v,--verbose", verbose,
                 "Log each request (or why it was refused): the same as --log-level debug");
    app.add_flag("--check", check, "Check the scenario file and exit");
    app.add_flag("--print-default", print_default, "Print the built-in scenario and exit");
    app.add_option("--seed", seed, "Seed for faults that apply with a probability");
    app.add_option("--owner", owner_text,
                   "Owner of 'techmode' and 'scenario', a user name or number (default: the "
                   "user starting the simulator, root when run by root)");
    app.add_option("--group", group_text,
                   "Group of 'techmode' and 'scenario', a group name or number (default: the "
                   "group of the user starting the simulator, root when run by root)");
    app.add_option("--mode", mode_text,
                   "Permission bits of 'techmode', octal; the daemon opens it for reading and "
                   "writing")
        ->capture_default_str();
    app.add_option("--speed", speed,
                   "How fast a drive (a scenario's timeline) plays: 2 is twice real time")
        ->check(CLI::Range(0.001, 1000.0));
    app.add_option("--record-replies", record_path,
                   "Append each reply served, with its drive time, to FILE (JSON Lines)")
        ->type_name("FILE");
    app.add_option("--replay", replay_path,
                   "Serve the replies recorded in FILE, each structure type's in order, instead "
                   "of the scenario's")
        ->type_name("FILE");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;  // 2: a bad command line, as getopt tools say it
    }

    if (print_default) {
        fputs(sim::DefaultScenarioJson(), stdout);
        return 0;
    }

    static State st;
    g_state = &st;
    if (!devicefile::ParseAccess("techmode-sim", owner_text, group_text, mode_text, &st.owner,
                                 &st.group, &st.mode))
        return 2;
    // Absolute, so that a SIGHUP reload still finds the file after the
    // daemon has changed to "/".
    st.scenario_path = scenario_path;
    if (!scenario_path.empty()) {
        char *full = realpath(scenario_path.c_str(), nullptr);
        if (full != nullptr) st.scenario_path = full;
        free(full);
    }
    int level = LOG_INFO;
    toollog::ParseLevel(verbose ? "debug" : log_level, &level);
    toollog::SetLevel(level);
    st.rng.seed(seed);
    try {
        LoadFromPath(st);
    } catch (const sim::ScenarioError &e) {
        fprintf(stderr, "techmode-sim: %s\n", e.what());
        return 2;
    }
    if (check) {
        if (st.drive->timed())
            printf("%s: scenario is valid (a drive of %g s%s)\n",
                   scenario_path.empty() ? "built-in" : scenario_path.c_str(), st.drive->length(),
                   st.drive->loop() ? ", looping" : "");
        else
            printf("%s: scenario is valid\n",
                   scenario_path.empty() ? "built-in" : scenario_path.c_str());
        return 0;
    }
    st.speed = speed;
    if (!replay_path.empty()) {
        try {
            std::string warning;
            st.replay = std::make_unique<sim::Replay>(
                sim::ParseReplies(sim::ReadScenarioFile(replay_path), replay_path, &warning));
            if (!warning.empty()) toollog::Log(LOG_WARNING, "%s", warning.c_str());
            st.replay_path = replay_path;
        } catch (const sim::ScenarioError &e) {
            fprintf(stderr, "techmode-sim: %s\n", e.what());
            return 2;
        }
    }
    if (!record_path.empty()) {
        // 0600: replies hold the identities of the scenario.
        std::string why;
        st.record_fd =
            toolfile::OpenForWriting(record_path, O_RDWR | O_CREAT | O_APPEND, 0600, &why);
        if (st.record_fd < 0) {
            fprintf(stderr, "techmode-sim: %s\n", why.c_str());
            return 2;
        }
        // A recorder killed mid-line left its last line cut off: end it, so
        // that the next reply recorded stays a line of its own.
        struct stat rs;
        char last = '\n';
        if (fstat(st.record_fd, &rs) == 0 && rs.st_size > 0 &&
            pread(st.record_fd, &last, 1, rs.st_size - 1) == 1 && last != '\n' &&
            write(st.record_fd, "\n", 1) != 1)
            toollog::Log(LOG_ERR, "cannot write to %s: %s", record_path.c_str(), strerror(errno));
    }
    if (mountpoint.empty()) {
        fprintf(stderr, "techmode-sim: a mountpoint is required (see --help)\n");
        return 2;
    }

    struct fuse_operations ops = {};
    ops.getattr = devicefile::Guard<decltype(SimGetattr), SimGetattr>::Call;
    ops.readdir = devicefile::Guard<decltype(SimReaddir), SimReaddir>::Call;
    ops.open = devicefile::Guard<decltype(SimOpen), SimOpen>::Call;
    ops.read = devicefile::Guard<decltype(SimRead), SimRead>::Call;
    ops.write = devicefile::Guard<decltype(SimWrite), SimWrite>::Call;
    ops.truncate = devicefile::Guard<decltype(SimTruncate), SimTruncate>::Call;
    ops.flush = devicefile::Guard<decltype(SimFlush), SimFlush>::Call;
    ops.release = devicefile::Guard<decltype(SimRelease), SimRelease>::Call;
    ops.ioctl = devicefile::Guard<decltype(SimIoctl), SimIoctl>::Call;

    struct fuse *fuse = devicefile::Mount(argv[0], "techmode-sim", mountpoint, ops, foreground);
    if (fuse == nullptr) return 1;
    // SIGHUP is blocked here, before FUSE's threads start (they inherit the
    // mask), and taken by the reloader with sigwait. A handler of our own
    // goes in first: libfuse installs its own (which ends the loop) only
    // where none is, and an ignored signal would never reach sigwait.
    sigset_t hup;
    sigemptyset(&hup);
    sigaddset(&hup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hup, nullptr);
    struct sigaction sa = {};
    sa.sa_handler = OnHangup;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGHUP, &sa, nullptr);
    std::thread reloader(ReloadOnHangup, hup);
    struct fuse_session *se = fuse_get_session(fuse);
    fuse_set_signal_handlers(se);  // SIGINT, SIGTERM end the loop and unmount

    // Mounted, and the scenario loaded: a service manager waiting for
    // readiness (Type=notify) may start the daemon, which opens the device
    // once. Without NOTIFY_SOCKET this does nothing.
    sd_notify(0, "READY=1");
    toollog::Log(LOG_INFO, "techmode-sim %s serving %s%s (%s)", VELOMAR_VERSION, mountpoint.c_str(),
                 kDevice,
                 st.scenario_path.empty() ? "built-in scenario" : st.scenario_path.c_str());
    struct fuse_loop_config config = {};
    config.clone_fd = 0;
    config.max_idle_threads = 4;
    int rc = fuse_loop_mt(fuse, &config);
    sd_notify(0, "STOPPING=1");
    g_stopping = true;
    pthread_kill(reloader.native_handle(), SIGHUP);
    reloader.join();
    fuse_remove_signal_handlers(se);
    fuse_unmount(fuse);
    fuse_destroy(fuse);
    // A positive result is the signal that ended the loop: a normal stop.
    return rc < 0 ? 1 : 0;
}
