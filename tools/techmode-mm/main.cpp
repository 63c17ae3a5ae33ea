// SPDX-License-Identifier: Apache-2.0
// techmode-mm: the tech-mode device answered from a modem that ModemManager
// manages. A FUSE file system, normally mounted at /dev/radio/cellular,
// whose file "techmode" answers the DEVCTL_IOC_XFER ioctl (devctl_xfer.h)
// as techmode-sim does, with the same structure encoders
// (tools/techmode-device), from the last state the modem watch published
// (ModemWatch.h): an ioctl never waits on D-Bus. Owner, group and mode of
// the device come from the command line; the kernel enforces them
// (default_permissions), for every user when started by root (allow_other).
#define FUSE_USE_VERSION 35

#include <errno.h>
#include <fuse.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>

#include <CLI/CLI.hpp>

#include "DeviceFile.h"
#include "Mapping.h"
#include "ModemWatch.h"
#include "Replies.h"
#include "Structures.h"
#include "ToolLog.h"
#include "devctl_xfer.h"
#include "velomar_version.h"

namespace {

const char kDevice[] = "/techmode";

struct Device {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0660;
    time_t mounted = time(nullptr);
    mm::ModemWatch *watch = nullptr;
};
Device *g_device;

int MmGetattr(const char *path, struct stat *st, struct fuse_file_info *) {
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        st->st_uid = geteuid();
        st->st_gid = getegid();
    } else if (strcmp(path, kDevice) == 0) {
        st->st_mode = S_IFREG | g_device->mode;
        st->st_nlink = 1;
        st->st_uid = g_device->owner;
        st->st_gid = g_device->group;
    } else {
        return -ENOENT;
    }
    st->st_atime = st->st_mtime = st->st_ctime = g_device->mounted;
    return 0;
}

int MmReaddir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
              enum fuse_readdir_flags) {
    if (strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, kDevice + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int MmOpen(const char *path, struct fuse_file_info *fi) {
    if (strcmp(path, kDevice) != 0) return -ENOENT;
    fi->direct_io = 1;
    fi->nonseekable = 1;
    return 0;
}

int MmRead(const char *, char *, size_t, off_t, struct fuse_file_info *) {
    return 0;  // the device speaks only devctl
}

int MmWrite(const char *, const char *, size_t, off_t, struct fuse_file_info *) {
    return -EINVAL;
}

int MmIoctl(const char *path, unsigned int cmd, void *, struct fuse_file_info *, unsigned int flags,
            void *data) {
    if (strcmp(path, kDevice) != 0) return -ENOTTY;
    if (cmd != static_cast<unsigned>(DEVCTL_IOC_XFER) || (flags & FUSE_IOCTL_COMPAT))
        return -ENOTTY;
    auto *x = static_cast<devctl_xfer *>(data);
    if (x->send_len > DEVCTL_XFER_MAX || x->recv_len > DEVCTL_XFER_MAX) {
        toollog::Log(LOG_DEBUG, "transfer refused: send_len %u, recv_len %u (at most %d)",
                     x->send_len, x->recv_len, DEVCTL_XFER_MAX);
        return -EINVAL;
    }
    // The last state published; the watch's thread replaces it, never
    // changes it, so it is read without the lock.
    std::shared_ptr<const mm::Published> now = g_device->watch->Current();
    // Faults here always apply: the generator is never drawn from, and is
    // made once per thread rather than seeded for every request.
    thread_local std::mt19937 unused;
    sim::Reply r = sim::Answer(now->state, x->dcmd, x->data, x->send_len, 0, unused);
    size_t n = std::min<size_t>(r.bytes.size(), DEVCTL_XFER_MAX);
    if (n > 0) memcpy(x->data, r.bytes.data(), n);
    x->status = r.status;
    x->info = 0;
    x->recv_len = static_cast<uint32_t>(n);
    if (toollog::Enabled(LOG_DEBUG)) {
        const double age =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - now->taken).count();
        if (!r.refusal.empty())
            toollog::Log(LOG_DEBUG, "request refused: %s: status %d", r.refusal.c_str(), r.status);
        else
            toollog::Log(LOG_DEBUG, "type %d (%s): status %d, %zu bytes, from %s read %.1f s ago",
                         r.struct_type, sim::StructureName(r.struct_type), r.status, n,
                         now->modem_path.empty() ? "no modem" : now->modem_path.c_str(), age);
    }
    return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
    CLI::App app{
        "techmode-mm: the tech-mode device, answered from a modem that ModemManager manages.\n"
        "Mounts a FUSE file system (normally at /dev/radio/cellular) whose file 'techmode'\n"
        "answers structure requests (the DEVCTL_IOC_XFER ioctl) from the modem's last values,\n"
        "read in the background every --refresh seconds through ModemManager on the system bus\n"
        "(or the bus DBUS_SYSTEM_BUS_ADDRESS names). A field the modem does not give is left out\n"
        "of its reply; a structure it gives nothing of fails with ENODATA; while there is no\n"
        "modem every request fails with EIO. The modem's network time is written to the\n"
        "network-time service's status object. --report prints what the modem fills.",
        "techmode-mm"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("techmode-mm"));
    std::string mountpoint, owner_text, group_text, mode_text = "0660", log_level = "info";
    bool foreground = false, verbose = false, report = false;
    mm::WatchOptions options;
    options.network_time_object = "/pps/services/network-time/status";
    app.add_option("mountpoint", mountpoint, "Where to mount (e.g. /dev/radio/cellular)");
    app.add_option("-m,--modem", options.modem,
                   "The modem: its index (as mmcli -m takes it), its D-Bus path or its IMEI "
                   "(default: the first one)")
        ->type_name("MODEM");
    app.add_option("--refresh", options.refresh_seconds,
                   "Read the modem every SECONDS (also the Signal interface's rate)")
        ->check(CLI::Range(1u, 3600u))
        ->type_name("SECONDS")
        ->capture_default_str();
    app.add_option("--network-time", options.network_time_object,
                   "The network-time status object to publish the modem's network time to; '' "
                   "for none")
        ->type_name("OBJECT")
        ->capture_default_str();
    app.add_flag("--report", report,
                 "Print which structures the modem fills, from which interface, and which fields "
                 "stay missing, then exit (waits one --refresh interval for signal values)");
    app.add_flag("-f,--foreground", foreground, "Stay in the foreground");
    app.add_option("--log-level", log_level, toollog::kLevelHelp)
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(toollog::kLevelNames),
                                                       std::end(toollog::kLevelNames))))
        ->type_name("LEVEL");
    app.add_flag("-v,--verbose", verbose,
                 "Log each request, with how old its answer is: the same as --log-level debug");
    app.add_option("--owner", owner_text,
                   "Owner of 'techmode', a user name or number (default: the user starting it)");
    app.add_option("--group", group_text,
                   "Group of 'techmode', a group name or number (default: the group of the user "
                   "starting it)");
    app.add_option("--mode", mode_text,
                   "Permission bits of 'techmode', octal; the daemon opens it for reading and "
                   "writing")
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    int level = LOG_INFO;
    toollog::ParseLevel(verbose ? "debug" : log_level, &level);
    toollog::SetLevel(level);
    if (!options.modem.empty() && options.modem[0] != '/' &&
        options.modem.find_first_not_of("0123456789") != std::string::npos) {
        fprintf(stderr, "techmode-mm: --modem %s: not an index, a D-Bus path or an IMEI\n",
                options.modem.c_str());
        return 2;
    }

    if (report) {
        mm::Reading r;
        std::string why;
        fprintf(stderr, "techmode-mm: reading the modem (%u s)\n", options.refresh_seconds);
        if (!mm::ModemWatch::ReadOnce(options, options.refresh_seconds, &r, &why)) {
            fprintf(stderr, "techmode-mm: %s\n", why.c_str());
            return 1;
        }
        fputs(mm::Report(r).c_str(), stdout);
        return 0;
    }

    static Device dev;
    g_device = &dev;
    if (!devicefile::ParseAccess("techmode-mm", owner_text, group_text, mode_text, &dev.owner,
                                 &dev.group, &dev.mode))
        return 2;
    if (mountpoint.empty()) {
        fprintf(stderr, "techmode-mm: a mountpoint is required (see --help)\n");
        return 2;
    }

    struct fuse_operations ops = {};
    ops.getattr = devicefile::Guard<decltype(MmGetattr), MmGetattr>::Call;
    ops.readdir = devicefile::Guard<decltype(MmReaddir), MmReaddir>::Call;
    ops.open = devicefile::Guard<decltype(MmOpen), MmOpen>::Call;
    ops.read = devicefile::Guard<decltype(MmRead), MmRead>::Call;
    ops.write = devicefile::Guard<decltype(MmWrite), MmWrite>::Call;
    ops.ioctl = devicefile::Guard<decltype(MmIoctl), MmIoctl>::Call;

    struct fuse *fuse = devicefile::Mount(argv[0], "techmode-mm", mountpoint, ops, foreground);
    if (fuse == nullptr) return 1;
    // The watch's thread starts after daemonizing (a fork keeps no threads).
    mm::ModemWatch watch(options);
    dev.watch = &watch;
    watch.Start();
    struct fuse_session *se = fuse_get_session(fuse);
    fuse_set_signal_handlers(se);
    sd_notify(0, "READY=1");
    toollog::Log(LOG_INFO, "techmode-mm %s serving %s%s from %s", VELOMAR_VERSION,
                 mountpoint.c_str(), kDevice,
                 options.modem.empty() ? "the first modem" : options.modem.c_str());
    struct fuse_loop_config config = {};
    config.clone_fd = 0;
    config.max_idle_threads = 4;
    int rc = fuse_loop_mt(fuse, &config);
    sd_notify(0, "STOPPING=1");
    watch.Stop();
    fuse_remove_signal_handlers(se);
    fuse_unmount(fuse);
    fuse_destroy(fuse);
    return rc < 0 ? 1 : 0;
}
