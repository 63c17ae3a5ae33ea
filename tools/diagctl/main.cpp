// SPDX-License-Identifier: Apache-2.0
// diagctl: the test engineer's client of qrx_velomar_server. Sends one
// diagnostic command to the daemon's control object, waits for its answer,
// reads the command's status object and shows the screen (or JSON); can
// refresh it, show the NITZ attributes and switch GSM time on and off,
// record and export the screens, and serve them to a browser.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Client.h"
#include "OwnFile.h"
#include "PpsValue.h"
#include "Recording.h"
#include "Screens.h"
#include "Snapshot.h"
#include "ToolLog.h"
#include "Trend.h"
#include "velomar_version.h"
#ifdef DIAGCTL_SERVE
#include <systemd/sd-daemon.h>

#include "WebServer.h"
#endif
#ifdef DIAGCTL_MQTT
#include "Fleet.h"
#include "Mqtt.h"
#endif

namespace {

using diagctl::Outcome;
using diagctl::Paths;
using diagctl::Screen;

const char kDescription[] =
    "diagctl: shows the engineering screens of qrx_velomar_server.\n"
    "\n"
    "For a command, sends msg::COMMAND with a fresh id to\n"
    "PPS/services/radioctrl/modem0/diag/control, waits for the answer, then\n"
    "reads the command's status object (status_data, status_geran,\n"
    "status_utra, status_eutra or status_nr) and shows that command's attributes.";

const char kFooter[] =
    "Commands:\n"
    "  identity access gsmopinfo tchtxpower tchtxpwr bearer hspaopinfo\n"
    "  umtsopinfo radiostats radionwinfo lteopinfo nropinfo\n"
    "                   request the screen from the daemon and show it\n"
    "  nitz             show nitz_source, nitz_date and nitz_time (no request)\n"
    "  gsm-time on|off  write gsm_time_enable::1 or ::0 to the config object\n"
    "  record -o FILE|--mqtt URL [COMMAND...]\n"
    "                   record the screens as JSON Lines, to a file or a broker\n"
    "                   (see diagctl record --help)\n"
    "  export --csv FILE...\n"
    "                   a recording as CSV (see diagctl export --help)\n"
    "  serve [--listen ADDRESS:PORT] [--every SECONDS] [--allow-control] [--mqtt URL]\n"
    "                   the screens in a browser, live (see diagctl serve --help)\n"
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

// --version and --log-level, which diagctl, diagctl record and diagctl export
// all take; *level is applied with ApplyLogLevel once parsed. A mistake on
// the command line is told as diagctl's own are: "diagctl export: --csv is
// required (see --help)".
void AddCommonOptions(CLI::App &app, std::string *level) {
    app.failure_message([](const CLI::App *a, const CLI::Error &e) {
        return a->get_name() + ": " + e.what() + " (see --help)\n";
    });
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("diagctl"));
    app.add_option("--log-level", *level, toollog::kLevelHelp)
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(toollog::kLevelNames),
                                                       std::end(toollog::kLevelNames))))
        ->type_name("LEVEL");
}

void ApplyLogLevel(const std::string &name) {
    int level = LOG_INFO;
    toollog::ParseLevel(name, &level);
    toollog::SetLevel(level);
}

struct Options {
    bool json = false;
    bool mask = false;
    bool compact = false;
    double watch_s = 0;
    double timeout_s = 5;
};

int TimeoutMs(const Options &opt) {
    return static_cast<int>(opt.timeout_s * 1000);
}

// Sleeps, or less when a signal arrives; false when one did.
bool Sleep(double seconds) {
    if (seconds <= 0) return !g_interrupted;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    while (!g_interrupted && nanosleep(&ts, &ts) != 0) {
    }
    return !g_interrupted;
}

double MonotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A daemon that is slow or restarting is waited for.
bool Transient(int status) {
    return status == diagctl::kExitTimeout || status == diagctl::kExitNoDaemon;
}

// Colour only for a terminal that takes it (NO_COLOR and TERM=dumb say no).
bool ColourTerminal() {
    const char *term = getenv("TERM");
    return isatty(STDOUT_FILENO) != 0 && getenv("NO_COLOR") == nullptr && term != nullptr &&
           strcmp(term, "dumb") != 0;
}

std::size_t TerminalWidth() {
    struct winsize ws;
    if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 40)
        return ws.ws_col;
    return 80;
}

int Watch(const Screen &screen, const Paths &paths, const Options &opt) {
    const bool tty = isatty(STDOUT_FILENO) != 0;
    diagctl::Trends trends;
    diagctl::Value previous;
    bool have_previous = false;
    while (!g_interrupted) {
        diagctl::Snapshot snap =
            diagctl::Take(screen, paths, TimeoutMs(opt), opt.mask, &g_interrupted);
        if (g_interrupted) break;
        if (!snap.shown() && !Transient(snap.status)) {
            toollog::Log(LOG_ERR, "%s", snap.error.c_str());
            return snap.status;
        }
        std::string out;
        if (opt.json) {
            // Every refresh is a record, a failed one included.
            out = diagctl::RecordLine(screen, snap) + "\n";
            if (!snap.shown()) toollog::Log(LOG_WARNING, "%s", snap.error.c_str());
        } else {
            diagctl::RenderOptions ro;
            ro.compact = opt.compact;
            ro.colour = ColourTerminal();
            ro.width = TerminalWidth();
            if (snap.shown()) {
                trends.Add(screen, snap.own);
                ro.trends = &trends;
                ro.previous = have_previous ? &previous : nullptr;
                out = diagctl::RenderScreen(screen, snap.own, snap.heading, ro);
                previous = snap.own;
                have_previous = true;
            } else {
                out = "diagctl: " + snap.error + "\n";
            }
            // In place on a terminal: home and clear, then the new screen.
            if (tty) std::fputs("\033[H\033[2J", stdout);
            char stamp[64];
            time_t now = time(nullptr);
            strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S %Z", localtime(&now));
            std::printf("%s  every %g s  (Ctrl-C to stop)\n", stamp, opt.watch_s);
            if (!opt.compact) std::fputs("\n", stdout);
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
        std::fprintf(stderr, "diagctl: gsm-time takes on or off (see --help)\n");
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

// The commands a recording makes by default: every request, once (tchtxpwr
// is tchtxpower under another name), the nine and then LTE and NR, so that
// a drive recorded without naming screens has every screen the console
// shows.
const char *const kRecordedByDefault[] = {"identity",    "access",     "gsmopinfo",  "tchtxpower",
                                          "bearer",      "hspaopinfo", "umtsopinfo", "radiostats",
                                          "radionwinfo", "lteopinfo",  "nropinfo"};

#ifdef DIAGCTL_MQTT
// The broker options that record and serve share, as mosquitto_pub takes
// them; the password never on the command line.
struct BrokerCli {
    std::string url, prefix = "diagctl", password_file;
    diagctl::BrokerOptions broker;
};

const char kPasswordVariable[] = "DIAGCTL_MQTT_PASSWORD";

void AddBrokerOptions(CLI::App &app, BrokerCli *b, const char *what) {
    app.add_option("--mqtt", b->url, what)->type_name("mqtt://HOST[:PORT]");
    app.add_option("--topic-prefix", b->prefix,
                   "Topics are PREFIX/HOST/COMMAND and PREFIX/HOST/status (default diagctl)")
        ->type_name("PREFIX");
    app.add_option("--username", b->broker.username, "User name at the broker")->type_name("NAME");
    app.add_option("--password-file", b->password_file,
                   std::string("The password at the broker: the first line of FILE (or set ") +
                       kPasswordVariable + ")")
        ->type_name("FILE");
    app.add_option("--cafile", b->broker.cafile,
                   "CA certificates that vouch for the broker (mqtts://; default: the system's)")
        ->type_name("FILE");
    app.add_option("--capath", b->broker.capath, "A directory of CA certificates (mqtts://)")
        ->type_name("DIR");
    app.add_option("--cert", b->broker.certfile, "Client certificate, PEM (with --key)")
        ->type_name("FILE");
    app.add_option("--key", b->broker.keyfile, "The client certificate's key, PEM, unencrypted")
        ->type_name("FILE");
    app.add_option("--tls-version", b->broker.tls_version, "Lowest TLS version: tlsv1.2, tlsv1.3")
        ->type_name("VERSION");
    app.add_flag("--insecure", b->broker.insecure,
                 "Do not check the broker's name against its certificate");
}

// Parses the URL and reads the password. "" or what is wrong (usage).
std::string ResolveBroker(BrokerCli *b) {
    std::string error, warning;
    if (!diagctl::ParseBrokerUrl(b->url, &b->broker, &error)) return error;
    if (!diagctl::ValidTopicPrefix(b->prefix, &error)) return "--topic-prefix: " + error;
    if (!b->password_file.empty()) {
        if (!diagctl::ReadPasswordFile(b->password_file, &b->broker.password, &error, &warning))
            return error;
        if (!warning.empty()) toollog::Log(LOG_WARNING, "%s", warning.c_str());
    } else if (const char *p = getenv(kPasswordVariable)) {
        b->broker.password = p;
    }
    if (!diagctl::CheckBrokerOptions(b->broker, &error)) return error;
    return "";
}

// Seconds that diagctl record waits at its end for the broker to take
// what is queued.
constexpr double kMqttDrainSeconds = 3;

std::string SystemHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}
#endif

int Record(int argc, char **argv) {
    CLI::App app{
        "diagctl record: requests screens again and again and appends each answer to FILE\n"
        "as one JSON line (the record --json prints: time, latency_ms, the attributes and\n"
        "the screen). A round makes each COMMAND once (default: every request, the nine\n"
        "and lteopinfo and nropinfo); a round starts every SECONDS. A request that fails\n"
        "is recorded as an error record and the recording goes on. Each line is written\n"
        "whole in one write, so whatever stops diagctl leaves every line but possibly the\n"
        "last one whole; SIGINT and SIGTERM end it after the line being written (exit\n"
        "status 0). With --max-size, a file that would grow past the size is renamed\n"
        "FILE.1 (then FILE.2, ...) and a new FILE begins; nothing is overwritten. With\n"
        "--mqtt each record also goes to PREFIX/HOST/COMMAND at the broker, and\n"
        "PREFIX/HOST/status says online or offline (retained; the broker says offline for\n"
        "a recorder that dies). The file never waits for the broker: records wait in a\n"
        "queue of --queue N while it is away, the oldest dropped first, and what was\n"
        "dropped is logged.",
        "diagctl record"};
    std::string output;
    std::vector<std::string> commands;
    Options opt;
    double every_s = 1, max_mib = 0;
    unsigned long long count = 0;
    app.add_option("-o,--output", output, "The JSON Lines file to append to ('-': standard output)")
        ->type_name("FILE");
    app.add_option("--every", every_s, "Seconds from the start of a round to the next (default 1)")
        ->type_name("SECONDS")
        ->check(kSeconds);
    app.add_option("--max-size", max_mib, "Rotate FILE before it grows past this many MiB")
        ->type_name("MiB")
        ->check(CLI::Range(0.001, 1048576.0));
    app.add_option("--count", count, "Stop after N rounds (default: until interrupted)")
        ->type_name("N")
        ->check(CLI::Range(1ULL, 1ULL << 40));
    app.add_flag("--mask", opt.mask,
                 "Hide the IMSI, TMSI, P-TMSI and IMEI but their last four characters");
    app.add_option("--timeout", opt.timeout_s, "Seconds to wait for each answer (default 5)")
        ->type_name("SECONDS")
        ->check(kSeconds);
    std::string pps_root = "/pps", log_level = "info";
    app.add_option("--pps", pps_root, "Where PPS is mounted (default /pps)")->type_name("DIR");
    AddCommonOptions(app, &log_level);
    app.add_option("commands", commands, "Commands to record (default: every request)")
        ->type_name("COMMAND");
#ifdef DIAGCTL_MQTT
    BrokerCli mqtt;
    diagctl::PublisherOptions po;
    po.host = SystemHostName();
    AddBrokerOptions(app, &mqtt, "Publish each record to this broker too (mqtts://: with TLS)");
    app.add_option("--qos", po.qos,
                   "MQTT quality of service: 0 at most once, 1 at least once "
                   "(default 1)")
        ->type_name("0|1")
        ->check(CLI::Range(0, 1));
    app.add_option("--host-name", po.host, "This host's name in the topics (default: the system's)")
        ->type_name("NAME");
    app.add_option("--queue", po.queue,
                   "Records kept while the broker is away; the oldest go first (default 1000)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000000));
#endif
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? diagctl::kExitSuccess : diagctl::kExitUsage;
    }
    ApplyLogLevel(log_level);
    // Where records go beside the file (nothing without --mqtt).
    std::function<void(const char *command, std::string line)> publish;
#ifdef DIAGCTL_MQTT
    std::unique_ptr<diagctl::MqttPublisher> publisher;
    if (!mqtt.url.empty()) {
        std::string error = ResolveBroker(&mqtt);
        if (error.empty() && !diagctl::ValidHostName(po.host))
            error = "'" + po.host +
                    "' cannot name this host in a topic (1 to 64 of A-Z a-z 0-9 . _ -): "
                    "give --host-name";
        if (!error.empty()) {
            std::fprintf(stderr, "diagctl record: %s (see --help)\n", error.c_str());
            return diagctl::kExitUsage;
        }
        po.broker = mqtt.broker;
        po.prefix = mqtt.prefix;
        publisher.reset(new diagctl::MqttPublisher(po));
        publish = [&publisher](const char *command, std::string line) {
            publisher->Publish(command, std::move(line));
        };
    }
#endif
    if (output.empty() && !publish) {
        std::fprintf(stderr, "diagctl record: give -o FILE%s (see --help)\n",
#ifdef DIAGCTL_MQTT
                     ", --mqtt URL or both"
#else
                     ""
#endif
        );
        return diagctl::kExitUsage;
    }
    if (commands.empty())
        commands.assign(std::begin(kRecordedByDefault), std::end(kRecordedByDefault));
    std::vector<const Screen *> screens;
    for (const std::string &c : commands) {
        const Screen *s = diagctl::FindScreen(c);
        if (s == nullptr) {
            std::fprintf(stderr, "diagctl record: '%s' is not a screen (see --help)\n", c.c_str());
            return diagctl::kExitUsage;
        }
        screens.push_back(s);
    }
    diagctl::LineFile file;
    std::string error;
    if (!output.empty() && !file.Open(output, static_cast<uint64_t>(max_mib * 1048576), &error)) {
        toollog::Log(LOG_ERR, "record: %s", error.c_str());
        return diagctl::kExitError;
    }
    InstallSignalHandlers();
#ifdef DIAGCTL_MQTT
    if (publisher && !publisher->Start(&error)) {
        toollog::Log(LOG_ERR, "record: %s", error.c_str());
        return diagctl::kExitError;
    }
#endif
    Paths paths{pps_root};
    std::vector<std::string> last_error(screens.size());
    unsigned long long records = 0;
    int status = diagctl::kExitSuccess;
    const double start = MonotonicSeconds();
    for (unsigned long long round = 1; !g_interrupted; round++) {
        for (std::size_t i = 0; i < screens.size() && !g_interrupted; i++) {
            diagctl::Snapshot snap =
                diagctl::Take(*screens[i], paths, TimeoutMs(opt), opt.mask, &g_interrupted);
            // A request cut short by the signal has no answer to record.
            if (snap.status == diagctl::kExitInterrupted) break;
            // Say on standard error when a command starts or stops failing.
            if (snap.error != last_error[i])
                toollog::Log(snap.error.empty() ? LOG_NOTICE : LOG_WARNING, "record: %s: %s",
                             screens[i]->command,
                             snap.error.empty() ? "answered again" : snap.error.c_str());
            last_error[i] = snap.error;
            std::string line = diagctl::RecordLine(*screens[i], snap);
            // The file first: the broker's queue never holds it up.
            if (!output.empty() && !file.Write(line, &error)) {
                toollog::Log(LOG_ERR, "record: %s", error.c_str());
                status = diagctl::kExitError;
                break;
            }
            if (publish) publish(screens[i]->command, std::move(line));
            records++;
        }
        if (round == count || status != diagctl::kExitSuccess) break;
        // Rounds keep their pace; one that ran late is followed at once.
        const double next = start + static_cast<double>(round) * every_s;
        if (!Sleep(next - MonotonicSeconds())) break;
    }
    if (!output.empty() && output != "-")
        toollog::Log(LOG_INFO, "record: %llu records appended to %s", records, output.c_str());
#ifdef DIAGCTL_MQTT
    if (publisher) {
        // What is still queued gets a few seconds to reach the broker.
        const diagctl::PublisherStats st = publisher->Stop(kMqttDrainSeconds);
        const bool short_of = st.dropped + st.lost + st.waiting > 0;
        toollog::Log(short_of ? LOG_WARNING : LOG_INFO,
                     "record: mqtt: %llu records published, %llu delivered, %llu dropped (queue "
                     "full), %llu lost with a connection, %llu not delivered at exit",
                     static_cast<unsigned long long>(st.published),
                     static_cast<unsigned long long>(st.delivered),
                     static_cast<unsigned long long>(st.dropped),
                     static_cast<unsigned long long>(st.lost),
                     static_cast<unsigned long long>(st.waiting));
    }
#endif
    return status;
}

// Reads one line of at most limit bytes; a longer one is read to its end
// and *too_long set. False at the end of the file.
bool ReadLine(FILE *f, std::size_t limit, std::string *line, bool *too_long) {
    line->clear();
    *too_long = false;
    int c;
    bool any = false;
    while ((c = getc(f)) != EOF) {
        any = true;
        if (c == '\n') return true;
        if (line->size() < limit)
            line->push_back(static_cast<char>(c));
        else
            *too_long = true;
    }
    return any;
}

int Export(int argc, char **argv) {
    CLI::App app{
        "diagctl export: writes recordings (diagctl record, --watch --json) as CSV, one\n"
        "row per record and one column per field: time, latency_ms, command, result\n"
        "(error where a record failed), then each screen field as section.field and each\n"
        "table cell as section.INDEX.column. Unavailable values are empty cells. Lines\n"
        "that are not whole records (the last line of a recording that was killed) are\n"
        "left out with a warning. Give rotated files oldest first (FILE.1 FILE.2 ...\n"
        "FILE).",
        "diagctl export"};
    bool csv = false;
    std::string output = "-", command;
    std::vector<std::string> inputs;
    app.add_flag("--csv", csv, "Write CSV (the one format there is; required)")->required();
    app.add_option("-o,--output", output, "Where to write (default: standard output)")
        ->type_name("FILE");
    app.add_option("--command", command, "Only the records of this command")->type_name("COMMAND");
    app.add_option("files", inputs, "Recordings (JSON Lines)")->required()->type_name("FILE");
    std::string log_level = "info";
    AddCommonOptions(app, &log_level);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? diagctl::kExitSuccess : diagctl::kExitUsage;
    }
    ApplyLogLevel(log_level);
    if (!command.empty() && diagctl::FindScreen(command) == nullptr) {
        std::fprintf(stderr, "diagctl export: '%s' is not a screen (see --help)\n",
                     command.c_str());
        return diagctl::kExitUsage;
    }
    (void)csv;
    diagctl::CsvTable table(command);
    // Records are a few kilobytes; a line this long is not one.
    const std::size_t kLineLimit = 16 << 20;
    for (const std::string &path : inputs) {
        FILE *f = std::fopen(path.c_str(), "r");
        if (f == nullptr) {
            toollog::Log(LOG_ERR, "export: cannot open %s: %s", path.c_str(), strerror(errno));
            return diagctl::kExitError;
        }
        std::string line, why;
        bool too_long;
        for (unsigned long n = 1; ReadLine(f, kLineLimit, &line, &too_long); n++) {
            if (too_long)
                why = "longer than 16 MiB";
            else if (table.Add(line, &why))
                continue;
            toollog::Log(LOG_WARNING, "export: %s:%lu: %s; left out", path.c_str(), n, why.c_str());
        }
        std::fclose(f);
    }
    if (table.rows() == 0) {
        toollog::Log(LOG_ERR, "export: no records to export");
        return diagctl::kExitFailure;
    }
    const std::string text = table.Csv();
    FILE *out = stdout;
    if (output != "-") {
        // 0600, as the recordings it is made from: it holds their identities.
        std::string why;
        const int fd = toolfile::OpenForWriting(output, O_WRONLY | O_CREAT | O_TRUNC, 0600, &why);
        if (fd < 0) {
            toollog::Log(LOG_ERR, "export: %s", why.c_str());
            return diagctl::kExitError;
        }
        out = fdopen(fd, "w");
    }
    if (out == nullptr || std::fwrite(text.data(), 1, text.size(), out) != text.size() ||
        std::fflush(out) != 0) {
        toollog::Log(LOG_ERR, "export: cannot write %s: %s", output.c_str(), strerror(errno));
        return diagctl::kExitError;
    }
    if (out != stdout) std::fclose(out);
    return diagctl::kExitSuccess;
}

#ifdef DIAGCTL_SERVE
#ifndef DIAGCTL_CHART_JS
#define DIAGCTL_CHART_JS ""
#endif

#ifdef DIAGCTL_MQTT
// The messages serve refuses from a broker, logged without letting a
// flood of them flood the log: the first few, then once a minute a count
// with the last one's reason, and what is still held when serve stops.
class RefusalLog {
  public:
    void Add(const std::string &topic, const std::string &why) {
        std::lock_guard<std::mutex> lock(mu_);
        const std::string what = diagctl::Printable(topic.substr(0, 200)) + ": " +
                                 diagctl::Printable(why.substr(0, 200));
        if (logged_ < 10) {
            logged_++;
            toollog::Log(LOG_WARNING, "serve: refused a message on %s", what.c_str());
            last_ = MonotonicSeconds();
            return;
        }
        held_++;
        last_why_ = what;
        FlushLocked(false);
    }
    // Logs the count held when a minute has passed since the last line
    // (force: at once).
    void Flush(bool force) {
        std::lock_guard<std::mutex> lock(mu_);
        FlushLocked(force);
    }

  private:
    void FlushLocked(bool force) {
        const double now = MonotonicSeconds();
        if (held_ == 0 || (!force && now - last_ < 60)) return;
        toollog::Log(LOG_WARNING,
                     "serve: refused %llu more messages from the broker (the last on %s)", held_,
                     last_why_.c_str());
        held_ = 0;
        last_ = now;
    }

    std::mutex mu_;
    unsigned logged_ = 0;
    unsigned long long held_ = 0;
    std::string last_why_;
    double last_ = 0;
};
#endif

int Serve(int argc, char **argv) {
    CLI::App app{
        "diagctl serve: the screens in a browser. Refreshes every request (the nine,\n"
        "lteopinfo and nropinfo) and nitz every SECONDS and serves a page that shows them\n"
        "live with charts, beside a JSON API: /api/v1/screens, /api/v1/screens/NAME (the\n"
        "record --json prints), /api/v1/stream (Server-Sent Events, one record per event)\n"
        "and the session as /api/v1/session.jsonl or .csv. The API demands a token\n"
        "(Authorization: Bearer TOKEN): the URL it prints carries it for the page;\n"
        "--token-file also writes it to a file that only you and the diag directory's\n"
        "group read. Listens on 127.0.0.1 unless told otherwise; any other address is\n"
        "served only over TLS (--tls-cert, --tls-key), with identities masked unless\n"
        "--unmasked. Requests naming another host or coming from another site are\n"
        "refused. The GSM time switch (POST /api/v1/gsm-time) works only with\n"
        "--allow-control. With --mqtt it shows instead the hosts that diagctl record\n"
        "--mqtt publishes to a broker, a column of screens each; every record is checked\n"
        "before it is shown.",
        "diagctl serve"};
    std::string listen = "127.0.0.1:8080", pps_root = "/pps", chart_js = DIAGCTL_CHART_JS;
    diagctl::ServeOptions so;
    Options opt;
    app.add_option("--listen", listen, "Address and port (default 127.0.0.1:8080; port 0: any)")
        ->type_name("ADDRESS:PORT");
    app.add_option("--every", so.every_s, "Seconds between refreshes (default 1)")
        ->type_name("SECONDS")
        ->check(kSeconds);
    app.add_flag("--allow-control", so.allow_control,
                 "Let the page switch GSM time on and off (writes the config object)");
    app.add_flag("--mask", so.mask,
                 "Hide the IMSI, TMSI, P-TMSI and IMEI but their last four characters, for "
                 "every client");
    app.add_option("--max-streams", so.max_streams, "Live pages open at once (default 32)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000));
    app.add_option("--chart-js", chart_js, "Chart.js to serve (default: Debian's libjs-chart.js)")
        ->type_name("FILE");
    std::string token_file =
        getenv("RUNTIME_DIRECTORY") ? std::string(getenv("RUNTIME_DIRECTORY")) + "/token" : "";
    app.add_option("--token-file", token_file,
                   "Write the API's token to FILE (0640, group of the diag directory), not to "
                   "standard output (default under systemd: $RUNTIME_DIRECTORY/token)")
        ->type_name("FILE");
    std::string tls_cert, tls_key;
    app.add_option("--tls-cert", tls_cert, "Serve HTTPS with this PEM certificate (chain)")
        ->type_name("FILE");
    app.add_option("--tls-key", tls_key, "The PEM key of --tls-cert")->type_name("FILE");
    bool unmasked = false;
    app.add_flag("--unmasked", unmasked,
                 "Off loopback, serve IMEI and IMSI unmasked (a client may still ask ?mask=1)");
    app.add_option("--server-name", so.server_names,
                   "A host name the browser may use for this server besides its address "
                   "(a name its certificate carries; again for more)")
        ->type_name("NAME")
        ->check(CLI::Validator(
            [](std::string &name) -> std::string {
                const bool ok = !name.empty() && name.size() <= 253 && name.front() != '-' &&
                                name.front() != '.' &&
                                name.find_first_not_of(
                                    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "0123456789-.") == std::string::npos;
                return ok ? "" : "not a host name (letters, digits, '-' and '.')";
            },
            "NAME"));
    app.add_option("--max-connections", so.max_connections,
                   "Connections open at once (default 2000; off loopback also 64 per address)")
        ->type_name("N")
        ->check(CLI::Range(16, 100000));
    app.add_option("--timeout", opt.timeout_s, "Seconds to wait for each answer (default 5)")
        ->type_name("SECONDS")
        ->check(kSeconds);
    app.add_option("--pps", pps_root, "Where PPS is mounted (default /pps)")->type_name("DIR");
    std::string log_level = "info";
    AddCommonOptions(app, &log_level);
#ifdef DIAGCTL_MQTT
    BrokerCli mqtt;
    double host_mib = static_cast<double>(so.host_bytes) / 1048576;
    AddBrokerOptions(app, &mqtt,
                     "Show the hosts that diagctl record --mqtt publishes to this broker, a "
                     "column each, instead of this host's daemon");
    app.add_option("--max-hosts", so.max_hosts, "Hosts shown at most with --mqtt (default 32)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000));
    app.add_option("--host-memory", host_mib,
                   "MiB of records kept per host with --mqtt, oldest dropped first (default 8)")
        ->type_name("MiB")
        ->check(CLI::Range(0.1, 1024.0));
#endif
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? diagctl::kExitSuccess : diagctl::kExitUsage;
    }
    ApplyLogLevel(log_level);
#ifdef DIAGCTL_MQTT
    if (!mqtt.url.empty()) {
        std::string error = ResolveBroker(&mqtt);
        if (error.empty() && so.allow_control)
            error = "--allow-control switches this host's GSM time: not with --mqtt";
        if (!error.empty()) {
            std::fprintf(stderr, "diagctl serve: %s (see --help)\n", error.c_str());
            return diagctl::kExitUsage;
        }
        so.fleet = true;
        so.topic_prefix = mqtt.prefix;
        so.host_bytes = static_cast<std::size_t>(host_mib * 1048576);
    }
#endif
    const std::size_t colon = listen.rfind(':');
    char *end = nullptr;
    const long port =
        colon == std::string::npos ? -1 : strtol(listen.c_str() + colon + 1, &end, 10);
    if (colon == std::string::npos || colon == 0 || end == nullptr || *end != '\0' || port < 0 ||
        port > 65535) {
        std::fprintf(stderr, "diagctl serve: --listen takes ADDRESS:PORT, not '%s' (see --help)\n",
                     listen.c_str());
        return diagctl::kExitUsage;
    }
    so.host = listen.substr(0, colon);
    if (so.host.size() > 2 && so.host.front() == '[' && so.host.back() == ']')
        so.host = so.host.substr(1, so.host.size() - 2);
    so.port = static_cast<int>(port);
    so.chart_js = chart_js;
    // Beyond this machine, identities and the switch travel only encrypted,
    // and identities only masked unless asked for.
    std::string error;
    if ((tls_cert.empty()) != (tls_key.empty())) {
        std::fprintf(stderr, "diagctl serve: --tls-cert and --tls-key go together (see --help)\n");
        return diagctl::kExitUsage;
    }
    if (!diagctl::LoopbackAddress(so.host)) {
        if (tls_cert.empty()) {
            std::fprintf(stderr,
                         "diagctl serve: %s is not a loopback address: other machines reach it, "
                         "so it is served only over TLS: add --tls-cert FILE --tls-key FILE "
                         "(identities are masked there unless --unmasked)\n",
                         so.host.c_str());
            return diagctl::kExitUsage;
        }
        so.mask = so.mask || !unmasked;
        so.max_per_address = 64;
    }
    if (!tls_cert.empty() && (!diagctl::ReadPemFile(tls_cert, &so.tls_cert, &error) ||
                              !diagctl::ReadPemFile(tls_key, &so.tls_key, &error))) {
        std::fprintf(stderr, "diagctl serve: %s\n", error.c_str());
        return diagctl::kExitUsage;
    }
    // Every connection is a descriptor: room for as many as may be open.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < so.max_connections + 64) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, so.max_connections + 64);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    if (access(chart_js.c_str(), R_OK) != 0)
        toollog::Log(LOG_WARNING, "serve: no Chart.js at '%s'; the page shows no charts",
                     chart_js.c_str());
    InstallSignalHandlers();
    Paths paths{pps_root};
    diagctl::WebServer server(
        so,
        [&](const Screen &screen) {
            return diagctl::Take(screen, paths, TimeoutMs(opt), false, &g_interrupted);
        },
        [&](bool on) {
            return diagctl::WriteObject(paths.Config(),
                                        std::string("gsm_time_enable::") + (on ? "1" : "0") + "\n");
        });
    if (!server.Start(&error)) {
        toollog::Log(LOG_ERR, "serve: %s", error.c_str());
        return diagctl::kExitError;
    }
    // The token file is for the diag directory's group, as the objects are.
    if (!token_file.empty()) {
        struct stat diag;
        const gid_t group = stat(paths.Diag().c_str(), &diag) == 0 ? diag.st_gid : getegid();
        if (!diagctl::WriteTokenFile(token_file, server.token(), group, &error)) {
            toollog::Log(LOG_ERR, "serve: %s", error.c_str());
            return diagctl::kExitError;
        }
    }
#ifdef DIAGCTL_MQTT
    std::unique_ptr<diagctl::MqttSubscriber> subscriber;
    RefusalLog refusals;
    if (so.fleet) {
        subscriber.reset(
            new diagctl::MqttSubscriber(mqtt.broker, mqtt.prefix + "/+/+", diagctl::kMaxRecordBytes,
                                        [&](const std::string &topic, const std::string &payload) {
                                            const std::string why = server.Receive(topic, payload);
                                            if (!why.empty()) refusals.Add(topic, why);
                                        }));
        if (!subscriber->Start(&error)) {
            toollog::Log(LOG_ERR, "serve: %s", error.c_str());
            return diagctl::kExitError;
        }
    }
#endif
    // The page takes its token from the URL's fragment, which the browser
    // never sends to any server, nor keeps in the server's logs.
    // The first --server-name is the name to open it by (a wildcard listen
    // address is none).
    const std::string shown = so.server_names.empty() ? so.host : so.server_names.front();
    const bool v6 = shown.find(':') != std::string::npos;
    std::printf("diagctl serve: %s://%s%s%s:%d/%s\n", so.tls_cert.empty() ? "http" : "https",
                v6 ? "[" : "", shown.c_str(), v6 ? "]" : "", server.port(),
                token_file.empty() ? ("#token=" + server.token()).c_str()
                                   : ("  (token in " + token_file + ")").c_str());
    std::fflush(stdout);
    // Under systemd (Type=notify) the console is ready now: listening, its
    // token file written. Without NOTIFY_SOCKET this does nothing.
    sd_notify(0, "READY=1");
    while (Sleep(0.2)) {
#ifdef DIAGCTL_MQTT
        refusals.Flush(false);
#endif
    }
#ifdef DIAGCTL_MQTT
    if (subscriber) subscriber->Stop();
    refusals.Flush(true);
#endif
    sd_notify(0, "STOPPING=1");
    server.Stop();
    if (!token_file.empty()) unlink(token_file.c_str());
    return diagctl::kExitSuccess;
}
#endif

}  // namespace

int main(int argc, char **argv) {
    // record and export have options of their own (and their own --help).
    if (argc > 1 && strcmp(argv[1], "record") == 0) return Record(argc - 1, argv + 1);
    if (argc > 1 && strcmp(argv[1], "export") == 0) return Export(argc - 1, argv + 1);
#ifdef DIAGCTL_SERVE
    if (argc > 1 && strcmp(argv[1], "serve") == 0) return Serve(argc - 1, argv + 1);
#endif

    CLI::App app{kDescription, "diagctl"};
    app.footer(kFooter);
    std::string command, argument, pps_root = "/pps";
    Options opt;
    app.add_option("command", command, "A command, nitz or gsm-time (see below)")->required();
    app.add_option("argument", argument, "on or off, for gsm-time");
    app.add_flag("--json", opt.json,
                 "Print one JSON record: time, latency_ms, the response, the attributes and "
                 "the screen");
    app.add_option("--watch", opt.watch_s,
                   "Refresh every SECONDS until interrupted, marking what changed")
        ->type_name("SECONDS")
        ->check(kSeconds);
    app.add_flag("--compact", opt.compact,
                 "Leave out what is unavailable and pack fields side by side");
    app.add_flag("--mask", opt.mask,
                 "Hide the IMSI, TMSI, P-TMSI and IMEI but their last four characters");
    app.add_option("--timeout", opt.timeout_s, "Seconds to wait for the answer (default 5)")
        ->type_name("SECONDS")
        ->check(kSeconds);
    app.add_option("--pps", pps_root, "Where PPS is mounted (default /pps)")->type_name("DIR");
    std::string log_level = "info";
    AddCommonOptions(app, &log_level);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? diagctl::kExitSuccess : diagctl::kExitUsage;
    }
    ApplyLogLevel(log_level);
    Paths paths{pps_root};

    if (command == "gsm-time") {
        if (opt.watch_s > 0 || opt.json || opt.mask || opt.compact) {
            std::fprintf(stderr,
                         "diagctl: gsm-time takes no --watch, --json, --compact or --mask\n");
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
        std::fprintf(stderr, "diagctl: %s takes no argument (see --help)\n", command.c_str());
        return diagctl::kExitUsage;
    }

    InstallSignalHandlers();
    if (opt.watch_s > 0) return Watch(*screen, paths, opt);
    diagctl::Snapshot snap =
        diagctl::Take(*screen, paths, TimeoutMs(opt), opt.mask, &g_interrupted);
    toollog::Log(LOG_DEBUG, "%s: exit status %d", screen->command, snap.status);
    if (!snap.shown()) {
        toollog::Log(LOG_ERR, "%s", snap.error.c_str());
        return snap.status;
    }
    diagctl::RenderOptions ro;
    ro.compact = opt.compact;
    std::fputs(opt.json ? (diagctl::RecordLine(*screen, snap) + "\n").c_str()
                        : diagctl::RenderScreen(*screen, snap.own, snap.heading, ro).c_str(),
               stdout);
    return snap.status;
}
