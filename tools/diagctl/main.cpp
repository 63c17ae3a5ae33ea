// diagctl: the test engineer's client of qrx_velomar_server. Sends one
// diagnostic command to the daemon's control object, waits for its answer,
// reads the command's status object and shows the screen (or JSON); can
// refresh it, show the NITZ attributes and switch GSM time on and off.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "Client.h"
#include "PpsValue.h"
#include "Screens.h"
#include "ToolLog.h"
#include "velomar_version.h"

namespace {

using diagctl::Outcome;
using diagctl::Paths;
using diagctl::Screen;

const char kDescription[] =
    "diagctl: shows the engineering screens of qrx_velomar_server.\n"
    "\n"
    "For a command, sends msg::COMMAND with a fresh id to\n"
    "PPS/services/radioctrl/modem0/diag/control, waits for the answer, then\n"
    "reads the command's status object (status_data, status_geran or\n"
    "status_utra) and shows that command's attributes.";

const char kFooter[] =
    "Commands:\n"
    "  identity access gsmopinfo tchtxpower tchtxpwr bearer hspaopinfo\n"
    "  umtsopinfo radiostats radionwinfo\n"
    "                   request the screen from the daemon and show it\n"
    "  nitz             show nitz_source, nitz_date and nitz_time (no request)\n"
    "  gsm-time on|off  write gsm_time_enable::1 or ::0 to the config object\n"
    "\n"
    "Exit status:\n"
    "  0    SUCCESS (gsm-time: written; nitz: shown); --watch ended by SIGINT/SIGTERM\n"
    "  1    the daemon answered FAILURE (nitz: nothing published yet)\n"
    "  2    bad command line\n"
    "  3    the daemon is not there: no control or status object, or no server\n"
    "  4    no answer within the timeout (or the daemon is not reading requests)\n"
    "  5    any other error (permissions, I/O, unreadable object)\n"
    "  130  interrupted while waiting for an answer";

volatile sig_atomic_t g_interrupted = 0;

void OnSignal(int) {
    g_interrupted = 1;
}

// SIGINT and SIGTERM only set a flag; without SA_RESTART they also cut a
// poll() or a sleep short, so the program ends at once and cleanly.
void InstallSignalHandlers() {
    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// --watch and --timeout: from a millisecond to a day, so that the
// millisecond count and the sleep both stay in range.
const CLI::Validator kSeconds(
    [](std::string &text) {
        double v = 0;
        return CLI::detail::lexical_cast(text, v) && v >= 0.001 && v <= 86400
                   ? std::string()
                   : "'" + text + "' is not a number of seconds from 0.001 to 86400";
    },
    "SECONDS");

struct Options {
    bool json = false;
    bool mask = false;
    double watch_s = 0;
    double timeout_s = 5;
};

// One request (when the screen makes one), read and render. Returns the
// exit status; *out is what to print, *error why it failed.
int Refresh(const Screen &screen, const Paths &paths, const Options &opt, std::string *out,
            std::string *error) {
    diagctl::Result result;
    if (screen.request) {
        toollog::Log(LOG_DEBUG, "sending %s to %s", screen.command, paths.Control().c_str());
        Outcome o = diagctl::Exchange(paths, screen.command, static_cast<int>(opt.timeout_s * 1000),
                                      &g_interrupted, &result.response);
        if (!o.ok()) {
            *error = o.message;
            return o.status;
        }
        toollog::Log(LOG_DEBUG, "%s answered: err %lld", screen.command,
                     static_cast<long long>(result.response.err));
        result.present = true;
    }
    const std::string path = paths.Status(screen.object);
    std::string text;
    Outcome o = diagctl::ReadObject(path, &text);
    if (!o.ok()) {
        *error = o.message;
        return o.status;
    }
    toollog::Log(LOG_DEBUG, "read %s: %zu bytes", path.c_str(), text.size());
    diagctl::PpsObject object;
    std::string why;
    if (!diagctl::ParsePpsObject(text, &object, &why)) {
        *error = path + ": " + why;
        return diagctl::kExitError;
    }
    diagctl::Value own = diagctl::OwnAttributes(screen, object.attributes);
    if (opt.mask) diagctl::MaskSecrets(screen, &own);

    int status = diagctl::kExitSuccess;
    std::string heading;
    if (result.present) {
        status = result.response.err == 0 ? diagctl::kExitSuccess : diagctl::kExitFailure;
        heading = status == diagctl::kExitSuccess
                      ? "SUCCESS"
                      : "FAILURE (err " + std::to_string(result.response.err) + ")";
    } else if (own.members.empty()) {
        status = diagctl::kExitFailure;
        heading = "nothing published yet";
    }
    *out = opt.json ? diagctl::RenderJson(screen, own, result) + "\n"
                    : diagctl::RenderScreen(screen, own, heading);
    return status;
}

// Sleeps, or less when a signal arrives; false when one did.
bool Sleep(double seconds) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    while (!g_interrupted && nanosleep(&ts, &ts) != 0) {
    }
    return !g_interrupted;
}

int Watch(const Screen &screen, const Paths &paths, const Options &opt) {
    const bool tty = isatty(STDOUT_FILENO) != 0;
    while (!g_interrupted) {
        std::string out, error;
        int status = Refresh(screen, paths, opt, &out, &error);
        if (g_interrupted) break;
        // A daemon that is slow or restarting is shown and waited for; any
        // other error ends the watch.
        const bool transient = status == diagctl::kExitTimeout || status == diagctl::kExitNoDaemon;
        if (status != diagctl::kExitSuccess && status != diagctl::kExitFailure && !transient) {
            toollog::Log(LOG_ERR, "%s", error.c_str());
            return status;
        }
        if (transient) {
            if (opt.json) toollog::Log(LOG_WARNING, "%s", error.c_str());
            out = opt.json ? "" : "diagctl: " + error + "\n";
        }
        if (!opt.json) {
            // In place on a terminal: home and clear, then the new screen.
            if (tty) std::fputs("\033[H\033[2J", stdout);
            char stamp[16];
            time_t now = time(nullptr);
            strftime(stamp, sizeof stamp, "%H:%M:%S", localtime(&now));
            std::printf("%s  every %g s  (Ctrl-C to stop)\n\n", stamp, opt.watch_s);
        }
        std::fputs(out.c_str(), stdout);
        if (!opt.json && !tty) std::fputs("\n", stdout);
        std::fflush(stdout);
        if (!Sleep(opt.watch_s)) break;
    }
    return diagctl::kExitSuccess;
}

int GsmTime(const Paths &paths, const std::string &argument) {
    if (argument != "on" && argument != "off") {
        std::fprintf(stderr, "diagctl: gsm-time takes on or off\n");
        return diagctl::kExitUsage;
    }
    const char *value = argument == "on" ? "1" : "0";
    Outcome o =
        diagctl::WriteObject(paths.Config(), std::string("gsm_time_enable::") + value + "\n");
    if (!o.ok()) {
        toollog::Log(LOG_ERR, "%s", o.message.c_str());
        return o.status;
    }
    std::printf("gsm_time_enable set to %s (GSM time %s)\n", value, argument.c_str());
    return diagctl::kExitSuccess;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{kDescription, "diagctl"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("diagctl"));
    app.footer(kFooter);
    std::string command, argument, pps_root = "/pps";
    Options opt;
    app.add_option("command", command, "A command, nitz or gsm-time (see below)")->required();
    app.add_option("argument", argument, "on or off, for gsm-time");
    app.add_flag("--json", opt.json,
                 "Print the attributes as one JSON object (with the response result)");
    app.add_option("--watch", opt.watch_s, "Refresh every SECONDS until interrupted")
        ->type_name("SECONDS")
        ->check(kSeconds);
    app.add_flag("--mask", opt.mask, "Hide the IMEI and IMSI digits but the last four");
    app.add_option("--timeout", opt.timeout_s, "Seconds to wait for the answer (default 5)")
        ->type_name("SECONDS")
        ->check(kSeconds);
    app.add_option("--pps", pps_root, "Where PPS is mounted (default /pps)")->type_name("DIR");
    std::string log_level = "info";
    app.add_option("--log-level", log_level, toollog::kLevelHelp)
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(toollog::kLevelNames),
                                                       std::end(toollog::kLevelNames))))
        ->type_name("LEVEL");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? diagctl::kExitSuccess : diagctl::kExitUsage;
    }
    int level = LOG_INFO;
    toollog::ParseLevel(log_level, &level);
    toollog::SetLevel(level);
    Paths paths{pps_root};

    if (command == "gsm-time") {
        if (opt.watch_s > 0 || opt.json || opt.mask) {
            std::fprintf(stderr, "diagctl: gsm-time takes no --watch, --json or --mask\n");
            return diagctl::kExitUsage;
        }
        return GsmTime(paths, argument);
    }
    const Screen *screen = diagctl::FindScreen(command);
    if (screen == nullptr) {
        std::fprintf(stderr, "diagctl: unknown command '%s' (see --help)\n", command.c_str());
        return diagctl::kExitUsage;
    }
    if (!argument.empty()) {
        std::fprintf(stderr, "diagctl: %s takes no argument\n", command.c_str());
        return diagctl::kExitUsage;
    }

    InstallSignalHandlers();
    if (opt.watch_s > 0) return Watch(*screen, paths, opt);
    std::string out, error;
    int status = Refresh(*screen, paths, opt, &out, &error);
    if (status != diagctl::kExitSuccess && status != diagctl::kExitFailure) {
        toollog::Log(LOG_ERR, "%s", error.c_str());
        return status;
    }
    std::fputs(out.c_str(), stdout);
    return status;
}
