// SPDX-License-Identifier: Apache-2.0
// ppsfs: QNX PPS (persistent publish/subscribe) on Linux, as a FUSE
// filesystem. Programs use the mount with ordinary file calls, exactly as
// they use /pps on QNX.
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <iterator>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuse_glue.h"
#include "fuse_ring.h"
#include "OwnFile.h"
#include "ToolLog.h"
#include "log.h"
#include "log_line.h"
#include "pps_core.h"
#include "velomar_version.h"

namespace {

const char kDescription[] =
    "ppsfs: QNX PPS (persistent publish/subscribe) as a FUSE filesystem.\n"
    "\n"
    "Objects are files, directories are directories. A write of PPS text\n"
    "(name:enc:value, -name, [n] qualifiers) merges into the object; a read\n"
    "returns \"@name\" and its attributes. Open qualifiers go after '?' in the\n"
    "last path component: server, delta, wait, nopersist, critical, cred,\n"
    "opens, notify=GROUP:VALUE, backlog=KB, f=attr+-attr+attr<N, and deltadir\n"
    "on .all. Special files: DIR/.all (every object of DIR; full or delta)\n"
    "and /.notify (notification groups). A read too small for the next\n"
    "object or change group fails with EMSGSIZE. Modes and owners are\n"
    "enforced (default_permissions); started by root, other users may use\n"
    "the mount (allow_other).";

struct fuse_session *g_session;  // for the SIGQUIT handler

// --save-interval: a thread that saves the tree every interval when it
// changed, under the glue's lock (the core serves one thread at a time),
// until Stop. A save that fails is logged by the core and tried again at
// the next interval.
class Saver {
  public:
    Saver(ppsfs::FuseGlue &glue, ppsfs::PpsCore &core) : glue_(glue), core_(core) {}
    ~Saver() { Stop(); }
    void Start(unsigned ms) {
        thread_ = std::thread([this, ms] {
            std::unique_lock<std::mutex> lock(mu_);
            while (!wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; })) {
                lock.unlock();
                {
                    std::lock_guard<std::recursive_timed_mutex> serving(glue_.Mutex());
                    core_.SaveIfChanged();
                }
                lock.lock();
            }
        });
    }
    void Stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

  private:
    ppsfs::FuseGlue &glue_;
    ppsfs::PpsCore &core_;
    std::mutex mu_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// ppsfs's own options that may also come inside -o, as key=value: mount(8)
// and fstab pass a helper nothing else.
// Dashes or underscores, as in "client_limit=2048".
const char *const kOwnMountOptions[] = {"persist",      "log",          "log-level",    "backlog",
                                        "client-limit", "unread-limit", "total-limit",  "root-mode",
                                        "stats",        "io-uring",     "save-interval"};

// The command line with ppsfs's own options taken out of every -o list and
// given as --key[=value] instead; the rest of each list stays for FUSE. So
// "ppsfs none /pps -o rw,backlog=512" (what mount.fuse3 runs for an fstab
// line) is checked by the same parser as "ppsfs --backlog 512 /pps".
std::vector<std::string> SplitOwnMountOptions(int argc, char **argv) {
    std::vector<std::string> out = {argv[0]};
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i], list;
        if (arg == "-o" && i + 1 < argc) {
            list = argv[++i];
        } else if (arg.size() > 2 && arg.compare(0, 2, "-o") == 0) {
            list = arg.substr(2);
        } else {
            out.push_back(arg);
            continue;
        }
        std::string rest;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(',', start);
            if (end == std::string::npos) end = list.size();
            std::string item = list.substr(start, end - start);
            start = end + 1;
            std::string key = item.substr(0, item.find('='));
            for (char &c : key)
                if (c == '_') c = '-';
            bool own = false;
            for (const char *k : kOwnMountOptions) own = own || key == k;
            if (own) {
                out.push_back("--" + key + item.substr(key.size()));
            } else if (!item.empty()) {
                rest += (rest.empty() ? "" : ",") + item;
            }
        }
        if (!rest.empty()) {
            out.push_back("-o");
            out.push_back(rest);
        }
    }
    return out;
}

// An error before ppsfs serves (it then ends with status 1): to standard
// error, where whoever started it looks, whatever --log says.
void StartError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void StartError(const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    log_line_write(STDERR_FILENO, LOG_ERR, text);
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{kDescription, "ppsfs"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("ppsfs"));
    std::string save_dir, log_target = "-";
    std::vector<std::string> places, mount_options;
    bool foreground = false, debug = false;
    ppsfs::Limits limits;
    std::string root_mode_text = "0755";
    app.add_option("mountpoint", places,
                   "Where to mount (usually /pps). As a mount helper (fstab type fuse.ppsfs, "
                   "mount -t fuse.ppsfs) it is given SOURCE MOUNTPOINT; SOURCE is ignored")
        ->required()
        ->expected(1, 2)
        ->type_name("[SOURCE] MOUNTPOINT");
    app.add_flag("-f,--foreground", foreground,
                 "Stay in the foreground (default: become a daemon once mounted)");
    app.add_option("-o", mount_options,
                   "Mount options, comma-separated; may repeat. ppsfs's own long options may "
                   "be given here as key=value (persist=DIR, backlog=KB, client_limit=KB, "
                   "log_level=LEVEL, ...), as fstab needs; the rest go to FUSE "
                   "(e.g. ro, allow_other, max_read=N)")
        ->allow_extra_args(false);
    app.add_option("-p,--persist", save_dir,
                   "Directory of saved objects: loaded at start, written on exit "
                   "(SIGTERM, SIGINT, SIGQUIT, SIGHUP, unmount) and on fsync() of an object. "
                   "Created 0700 if missing. ppsfs refuses to start unless it is a directory "
                   "(not a symbolic link) of ppsfs's user, not writable by group or others, "
                   "reached without symbolic links through directories of root or that user "
                   "that are not writable by group or others (unless sticky, as /tmp)");
    unsigned save_interval_ms = 0;
    app.add_option("-t,--save-interval", save_interval_ms,
                   "With --persist, also save every MS milliseconds, when anything changed "
                   "since the last save, so that a crash (SIGKILL, a fault) loses no more "
                   "than that time's changes (0, the default: only at exit and on fsync())")
        ->type_name("MS")
        ->check(CLI::Range(0u, 86400000u));
    app.add_option("--log", log_target,
                   "Where rejected writes, opens and save errors are logged: '-' for "
                   "standard error (default; syslog once a daemon), 'syslog', or a file");
    std::string log_level = "info";
    app.add_option("--log-level", log_level, toollog::kLevelHelp)
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(toollog::kLevelNames),
                                                       std::end(toollog::kLevelNames))))
        ->type_name("LEVEL");
    const auto kb = CLI::Range(std::size_t{1}, ppsfs::kMaxBacklogKb);
    app.add_option("--backlog", limits.backlog_kb,
                   "Kilobytes a ?delta open may fall behind before it is reset with "
                   "\"|@name\" and a full copy; only root may ask for more with ?backlog=KB "
                   "(default 256)")
        ->check(kb);
    app.add_option("--client-limit", limits.client_kb,
                   "Kilobytes one client of a server object may have waiting at the server, "
                   "or waiting for it to read, before its writes (or the server's to it) fail "
                   "with EAGAIN (default 1024)")
        ->check(kb);
    app.add_option("--unread-limit", limits.user_kb,
                   "Kilobytes one user's opens may have queued in all (messages at servers, "
                   "answers, delta changes) before that user's client writes and opens fail "
                   "with EAGAIN and its delta opens are reset (default 65536)")
        ->check(kb);
    app.add_option("--total-limit", limits.total_kb,
                   "Kilobytes all users together may have queued before every client write "
                   "and open fails with EAGAIN (default 262144)")
        ->check(kb);
    app.add_option("--root-mode", root_mode_text, "Mode of the root directory, octal")
        ->check([](const std::string &s) {
            return s.find_first_not_of("01234567") == std::string::npos && !s.empty() &&
                           s.size() <= 4
                       ? std::string()
                       : std::string("must be an octal mode such as 0755");
        });
    std::string stats_path;
    app.add_option("--stats", stats_path,
                   "At exit, write how many requests of each kind were served (and poll "
                   "notifications sent) to this file, a line \"Kind count\" each");
    bool io_uring = false;
    app.add_flag("--io-uring", io_uring,
                 "Serve FUSE over io_uring, one thread per CPU, when the kernel offers it "
                 "(Linux 6.14 or later with the fuse module's enable_uring parameter on); "
                 "otherwise /dev/fuse as without it");
    app.add_flag("-d,--debug", debug, "Print every FUSE request (implies --foreground)");
    try {
        std::vector<std::string> args = SplitOwnMountOptions(argc, argv);
        args.erase(args.begin());                // the program's name
        std::reverse(args.begin(), args.end());  // CLI11 takes the last first
        app.parse(args);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;  // 2: a bad command line, as getopt tools say it
    }
    if (debug) foreground = true;
    if (save_interval_ms > 0 && save_dir.empty()) {
        std::fprintf(stderr, "ppsfs: --save-interval needs --persist (see --help)\n");
        return 2;
    }
    const std::string mountpoint = places.back();

    int level = LOG_INFO;
    toollog::ParseLevel(log_level, &level);
    toollog::SetLevel(level);
    // A daemon has no standard error: its log goes to syslog unless --log
    // says otherwise. Until then (loading saved objects) it is standard error.
    const bool syslog_once_daemon = !foreground && log_target == "-";
    std::string log_error;
    if (!ppsfs::OpenLog(log_target, &log_error)) {
        StartError("cannot open log: %s", log_error.c_str());
        return 1;
    }

    mode_t root_mode = static_cast<mode_t>(std::stoul(root_mode_text, nullptr, 8));
    // Large queued messages are mapped and unmapped on their own, so the
    // memory of a flood goes back to the system as soon as it is read.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    ppsfs::PpsCore core(root_mode, geteuid(), getegid(), limits);
    if (!save_dir.empty()) {
        std::string why;
        if (!core.SetSaveDir(save_dir, &why)) {
            StartError("%s", why.c_str());
            return 1;
        }
        if (!core.Load())
            ppsfs::LogAt(LOG_WARNING, "some saved objects in %s were skipped (see above)",
                         save_dir.c_str());
    }
    ppsfs::FuseGlue glue(&core);
    Saver saver(glue, core);

    std::string options = "default_permissions,fsname=ppsfs,subtype=ppsfs";
    if (geteuid() == 0) options += ",allow_other";
    for (const std::string &o : mount_options) options += "," + o;
    std::vector<std::string> fuse_argv_text = {"ppsfs", "-o", options};
    if (debug) fuse_argv_text.push_back("-d");
    std::vector<char *> fuse_argv;
    for (std::string &s : fuse_argv_text) fuse_argv.push_back(&s[0]);
    struct fuse_args args = FUSE_ARGS_INIT(static_cast<int>(fuse_argv.size()), fuse_argv.data());

    struct fuse_session *se =
        fuse_session_new(&args, &ppsfs::FuseGlue::Ops(), sizeof(struct fuse_lowlevel_ops), &glue);
    fuse_opt_free_args(&args);
    if (se == nullptr) {
        StartError("bad mount options: %s", options.c_str());
        return 1;
    }
    int status = 1;
    // libfuse stops the loop on SIGHUP, SIGINT and SIGTERM; SIGQUIT is an
    // orderly exit for PPS too, so it stops the loop the same way and the
    // objects are saved.
    g_session = se;
    struct sigaction quit = {};
    quit.sa_handler = [](int) { fuse_session_exit(g_session); };
    sigemptyset(&quit.sa_mask);
    sigaction(SIGQUIT, &quit, nullptr);
    if (fuse_set_signal_handlers(se) == 0) {
        std::string why;
        if (fuse_session_mount(se, mountpoint.c_str()) != 0) {
            StartError("cannot mount on %s", mountpoint.c_str());
        } else if (io_uring && !ppsfs::ring::Install(se, &glue, mountpoint, &why)) {
            StartError("cannot serve FUSE over io_uring: %s", why.c_str());
            fuse_session_unmount(se);
        } else {
            if (fuse_daemonize(foreground ? 1 : 0) == 0) {
                // Mounted: a service manager waiting for readiness
                // (Type=notify) may start what needs /pps. Without
                // NOTIFY_SOCKET this does nothing.
                sd_notify(0, "READY=1");
                if (syslog_once_daemon) ppsfs::OpenLog("syslog");
                // Threads only now: daemonizing forks, and a fork keeps none.
                if (save_interval_ms > 0 && !save_dir.empty()) saver.Start(save_interval_ms);
                ppsfs::LogAt(LOG_INFO, "ppsfs %s mounted at %s", VELOMAR_VERSION,
                             mountpoint.c_str());
                // A positive result is the signal that ended the loop: a
                // normal stop. So is ECONNABORTED: the kernel ends the
                // connection that way when the mount goes while requests
                // are still queued (the releases of a process that just
                // died with many opens, say).
                const int loop = fuse_session_loop(se);
                status = loop < 0 && loop != -ECONNABORTED ? 1 : 0;
            }
            saver.Stop();
            sd_notify(0, "STOPPING=1");
            ppsfs::LogAt(LOG_INFO, "unmounting %s (%s)", mountpoint.c_str(),
                         status == 0 ? "stopped" : "the FUSE loop failed");
            glue.Shutdown();
            ppsfs::ring::Stop();
            if (!stats_path.empty()) {
                std::string why;
                const int fd =
                    toolfile::OpenForWriting(stats_path, O_WRONLY | O_CREAT | O_TRUNC, 0644, &why);
                if (std::FILE *f = fd < 0 ? nullptr : fdopen(fd, "w")) {
                    glue.WriteStats(f);
                    ppsfs::ring::WriteStats(f);
                    std::fclose(f);
                } else {
                    ppsfs::LogAt(LOG_ERR, "--stats: %s", why.c_str());
                }
            }
            if (!core.SaveAll()) status = 1;
            fuse_session_unmount(se);
        }
        fuse_remove_signal_handlers(se);
    }
    signal(SIGQUIT, SIG_DFL);  // its handler must not outlive the session
    fuse_session_destroy(se);
    return status;
}
