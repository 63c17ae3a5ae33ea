// ppsfs: QNX PPS (persistent publish/subscribe) on Linux, as a FUSE
// filesystem. Programs use the mount with ordinary file calls, exactly as
// they use /pps on QNX.
#include <errno.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "fuse_glue.h"
#include "log.h"
#include "pps_core.h"

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

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{kDescription, "ppsfs"};
    std::string mountpoint, save_dir, log_target = "-";
    std::vector<std::string> mount_options;
    bool foreground = false, debug = false;
    ppsfs::Limits limits;
    std::string root_mode_text = "0755";
    app.add_option("mountpoint", mountpoint, "Where to mount (usually /pps)")->required();
    app.add_flag("-f,--foreground", foreground,
                 "Stay in the foreground (default: become a daemon once mounted)");
    app.add_option("-o", mount_options,
                   "FUSE mount options, comma-separated (e.g. ro, max_read=N); may repeat");
    app.add_option("-p,--persist", save_dir,
                   "Directory of saved objects: loaded at start, written on exit "
                   "(SIGTERM, SIGINT, SIGQUIT, SIGHUP, unmount) and on fsync() of an object. "
                   "Created 0700 if missing. ppsfs refuses to start unless it is a directory "
                   "(not a symbolic link) of ppsfs's user, not writable by group or others, "
                   "reached without symbolic links through directories of root or that user "
                   "that are not writable by group or others (unless sticky, as /tmp)");
    app.add_option("--log", log_target,
                   "Where rejected writes, opens and save errors are logged: '-' for "
                   "standard error (default; syslog once a daemon), 'syslog', or a file");
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
    app.add_flag("-d,--debug", debug, "Print every FUSE request (implies --foreground)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;  // 2: a bad command line, as getopt tools say it
    }
    if (debug) foreground = true;

    if (!foreground && log_target == "-") log_target = "syslog";
    if (!ppsfs::OpenLog(log_target)) {
        std::fprintf(stderr, "ppsfs: cannot open log %s\n", log_target.c_str());
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
            std::fprintf(stderr, "ppsfs: %s\n", why.c_str());
            return 1;
        }
        if (!core.Load())
            std::fprintf(stderr, "ppsfs: some saved objects in %s were skipped (see the log)\n",
                         save_dir.c_str());
    }
    ppsfs::FuseGlue glue(&core);

    std::string options = "default_permissions,fsname=ppsfs,subtype=pps";
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
        std::fprintf(stderr, "ppsfs: bad mount options: %s\n", options.c_str());
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
        if (fuse_session_mount(se, mountpoint.c_str()) == 0) {
            if (fuse_daemonize(foreground ? 1 : 0) == 0) {
                // A positive result is the signal that ended the loop: a
                // normal stop. So is ECONNABORTED: the kernel ends the
                // connection that way when the mount goes while requests
                // are still queued (the releases of a process that just
                // died with many opens, say).
                const int loop = fuse_session_loop(se);
                status = loop < 0 && loop != -ECONNABORTED ? 1 : 0;
            }
            glue.Shutdown();
            if (!stats_path.empty()) {
                if (std::FILE *f = std::fopen(stats_path.c_str(), "w")) {
                    glue.WriteStats(f);
                    std::fclose(f);
                }
            }
            if (!core.SaveAll()) status = 1;
            fuse_session_unmount(se);
        } else {
            std::fprintf(stderr, "ppsfs: cannot mount on %s\n", mountpoint.c_str());
        }
        fuse_remove_signal_handlers(se);
    }
    signal(SIGQUIT, SIG_DFL);  // its handler must not outlive the session
    fuse_session_destroy(se);
    return status;
}
