// SPDX-License-Identifier: Apache-2.0
#include "WebServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <strings.h>

#include <chrono>
#include <cstring>
#include <initializer_list>
#include <fstream>
#include <sstream>
#include <utility>

#include "Recording.h"
#include "WebAssets.h"

namespace diagctl {
namespace {

// The paths that answer GET; any other method on them is 405.
const char *const kGetPaths[] = {"/",
                                 "/api/v1/screens",
                                 "/api/v1/stream",
                                 "/api/v1/session.jsonl",
                                 "/api/v1/session.csv",
                                 "/js/chart.js"};
const char kGsmTimePath[] = "/api/v1/gsm-time";

// A stream with nothing new sends a comment this often, so that a client
// that went away is noticed by the failing write.
const auto kKeepAlive = std::chrono::seconds(15);

std::string JsonString(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == '<' || c == '>' || c == '&') {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

const char *ContentType(const std::string &path) {
    auto ends = [&](const char *ext) {
        const std::size_t n = strlen(ext);
        return path.size() >= n && path.compare(path.size() - n, n, ext) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

void Error(httplib::Response &res, int status, const std::string &why) {
    res.status = status;
    res.set_content("{\"error\":" + JsonString(why) + "}\n", "application/json");
}

bool IpLiteral(const std::string &host) {
    unsigned char buf[16];
    if (inet_pton(AF_INET, host.c_str(), buf) == 1) return true;
    return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
           inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buf) == 1;
}

// Whether the item is labelled as one of labels.
bool Labelled(const Item &item, std::initializer_list<const char *> labels) {
    for (const char *l : labels)
        if (strcmp(item.label, l) == 0) return true;
    return false;
}

// Tables chart their signal columns, a line per row named by its cell
// (scrambling code or ARFCN), given as the section's line_key.
bool ChartedColumn(const Item &item) {
    return Labelled(item, {"RSCP", "Ec/Io", "Ec/No", "RXLEV", "RXQUAL", "RSSI"});
}

std::string LineKey(const Section &section) {
    for (const Item &item : section.items)
        if (Labelled(item, {"SC", "PSC"})) return ColumnKey(item);
    for (const Item &item : section.items)
        if (Labelled(item, {"ARFCN", "UARFCN"})) return ColumnKey(item);
    return "index";
}

// The screen's sections as the page draws them: title, key in the record
// (SectionKey), whether a table, the note shown when its attribute is not
// published (null: the section is left out), and each item's key, label,
// unit and whether it is charted.
std::string LayoutJson(const Screen &screen) {
    std::string out = "[";
    for (const Section &section : screen.sections) {
        const bool table = section.layout != Layout::kFields;
        out += std::string(out.size() > 1 ? "," : "") + "{\"title\":" + JsonString(section.title) +
               ",\"key\":" + JsonString(SectionKey(section)) +
               ",\"table\":" + (table ? "true" : "false") +
               ",\"line_key\":" + JsonString(table ? LineKey(section) : "") +
               ",\"absent\":" + (section.absent ? JsonString(section.absent) : "null") +
               ",\"items\":[";
        for (std::size_t i = 0; i < section.items.size(); i++) {
            const Item &item = section.items[i];
            out +=
                std::string(i ? "," : "") +
                "{\"key\":" + JsonString(table ? ColumnKey(item) : item.name) +
                ",\"label\":" + JsonString(item.label) + ",\"unit\":" + JsonString(item.unit) +
                ",\"trend\":" + (item.trend || (table && ChartedColumn(item)) ? "true" : "false") +
                "}";
        }
        out += "]}";
    }
    return out + "]";
}

}  // namespace

const std::vector<const Screen *> &ServedScreens() {
    static const std::vector<const Screen *> screens = [] {
        std::vector<const Screen *> v;
        for (const char *name : {"identity", "access", "gsmopinfo", "tchtxpower", "bearer",
                                 "hspaopinfo", "umtsopinfo", "radiostats", "radionwinfo", "nitz"})
            v.push_back(FindScreen(name));
        return v;
    }();
    return screens;
}

WebServer::WebServer(ServeOptions options, SnapshotSource source, GsmTimeWriter gsm_time)
    : opt_(std::move(options)),
      source_(std::move(source)),
      gsm_time_(std::move(gsm_time)),
      server_(new httplib::Server),
      latest_(ServedScreens().size(), Entry{0, "null", "null", {}}) {}

WebServer::~WebServer() {
    Stop();
}

bool WebServer::Start(std::string *error) {
    // Each open stream holds a worker; a few more serve everything else.
    const std::size_t workers = opt_.max_streams + 8;
    server_->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    server_->set_payload_max_length(opt_.max_body);
    server_->set_read_timeout(5, 0);
    server_->set_write_timeout(5, 0);
    server_->set_keep_alive_timeout(5);
    server_->set_keep_alive_max_count(100);
    server_->set_default_headers({
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
         "img-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
    });
    Route();
    port_ = opt_.port == 0 ? server_->bind_to_any_port(opt_.host)
                           : (server_->bind_to_port(opt_.host, opt_.port) ? opt_.port : -1);
    if (port_ <= 0) {
        *error = "cannot listen on " + opt_.host + ":" + std::to_string(opt_.port);
        return false;
    }
    listener_ = std::thread([this] { server_->listen_after_bind(); });
    // A stop() before the listener runs would be lost and leave it
    // accepting for ever; Stop() may come at once.
    while (!server_->is_running()) std::this_thread::yield();
    if (opt_.every_s > 0) poller_ = std::thread([this] { PollLoop(); });
    return true;
}

void WebServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (poller_.joinable()) poller_.join();
    server_->stop();
    if (listener_.joinable()) listener_.join();
}

void WebServer::PollLoop() {
    const auto every = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(opt_.every_s));
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        Poll();
        // Rounds keep their pace; one that ran late is followed at once.
        next += every;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;
        std::unique_lock<std::mutex> lock(mu_);
        if (changed_.wait_until(lock, next, [this] { return stopping_; })) return;
    }
}

void WebServer::Poll() {
    const std::vector<const Screen *> &screens = ServedScreens();
    for (std::size_t i = 0; i < screens.size(); i++) {
        Snapshot snap = source_(*screens[i]);
        Entry e;
        e.masked = RecordLine(*screens[i], [&] {
            Snapshot m = snap;
            if (m.shown()) MaskSecrets(*screens[i], &m.own);
            return m;
        }());
        e.plain = opt_.mask ? e.masked : RecordLine(*screens[i], snap);
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return;
        e.seq = ++next_seq_;
        e.when = std::chrono::steady_clock::now();
        latest_[i] = e;
        session_.push_back(std::move(e));
        while (session_.size() > opt_.session_records) session_.pop_front();
    }
    changed_.notify_all();
}

bool WebServer::HostAllowed(const std::string &host) const {
    // Only names that cannot be rebound to us by someone else's DNS: the
    // address we listen on, localhost and IP literals, with our port.
    const std::size_t colon = host.rfind(':');
    if (colon == std::string::npos || host.substr(colon + 1) != std::to_string(port_)) return false;
    const std::string name = host.substr(0, colon);
    return name == opt_.host || strcasecmp(name.c_str(), "localhost") == 0 || IpLiteral(name);
}

bool WebServer::SameOrigin(const httplib::Request &req) const {
    return req.has_header("Origin") &&
           req.get_header_value("Origin") == "http://" + req.get_header_value("Host");
}

bool WebServer::Masked(const httplib::Request &req) const {
    return opt_.mask || req.get_param_value("mask") == "1";
}

void WebServer::Route() {
    using httplib::Request;
    using httplib::Response;
    using Handled = httplib::Server::HandlerResponse;

    server_->set_pre_routing_handler([this](const Request &req, Response &res) {
        if (!req.has_header("Host") || !HostAllowed(req.get_header_value("Host"))) {
            Error(res, 421, "the Host header does not name this server");
            return Handled::Handled;
        }
        // Browsers send Origin on cross-origin reads and on every write;
        // another site gets nothing, not even an answer it cannot read.
        if (req.has_header("Origin") && !SameOrigin(req)) {
            Error(res, 403, "cross-origin requests are refused");
            return Handled::Handled;
        }
        return Handled::Unhandled;
    });
    server_->set_exception_handler([](const Request &, Response &res, std::exception_ptr) {
        Error(res, 500, "internal error");
    });
    server_->set_error_handler([](const Request &, Response &res) {
        if (res.body.empty())
            Error(res, res.status, res.status == 404 ? "no such path" : "bad request");
    });

    auto asset = [](const WebAsset &a) {
        return [&a](const Request &, Response &res) {
            res.set_content(reinterpret_cast<const char *>(a.data), a.size, ContentType(a.path));
        };
    };
    for (std::size_t i = 0; i < kWebAssetCount; i++) {
        server_->Get(kWebAssets[i].path, asset(kWebAssets[i]));
        if (std::string(kWebAssets[i].path) == "/index.html")
            server_->Get("/", asset(kWebAssets[i]));
    }
    if (!opt_.chart_js.empty()) {
        std::ifstream in(opt_.chart_js, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        auto body = std::make_shared<std::string>(in ? text.str() : "");
        if (!body->empty())
            server_->Get("/js/chart.js", [body](const Request &, Response &res) {
                res.set_header("Cache-Control", "max-age=3600");
                res.set_content(*body, "text/javascript; charset=utf-8");
            });
    }

    server_->Get("/api/v1/screens", [this](const Request &req, Response &res) {
        const bool masked = Masked(req);
        std::string out = "{\"every_s\":" + std::to_string(opt_.every_s) +
                          ",\"mask\":" + (opt_.mask ? "true" : "false") +
                          ",\"allow_control\":" + (opt_.allow_control ? "true" : "false") +
                          ",\"screens\":[";
        std::lock_guard<std::mutex> lock(mu_);
        for (std::size_t i = 0; i < latest_.size(); i++) {
            const Screen &s = *ServedScreens()[i];
            out += std::string(i ? "," : "") + "{\"name\":" + JsonString(s.command) +
                   ",\"title\":" + JsonString(s.title) + ",\"sections\":" + LayoutJson(s) +
                   ",\"record\":" + (masked ? latest_[i].masked : latest_[i].plain) + "}";
        }
        res.set_content(out + "]}\n", "application/json");
    });
    server_->Get(R"(/api/v1/screens/([a-z-]{1,32}))", [this](const Request &req, Response &res) {
        const std::vector<const Screen *> &screens = ServedScreens();
        for (std::size_t i = 0; i < screens.size(); i++) {
            if (req.matches[1] != screens[i]->command) continue;
            std::lock_guard<std::mutex> lock(mu_);
            if (latest_[i].seq == 0) return Error(res, 503, "no refresh made yet");
            return res.set_content((Masked(req) ? latest_[i].masked : latest_[i].plain) + "\n",
                                   "application/json");
        }
        Error(res, 404, "no such screen");
    });
    server_->Get("/api/v1/stream", [this](const Request &req, Response &res) { Stream(req, res); });
    auto download = [this](bool csv) {
        return [this, csv](const Request &req, Response &res) {
            const bool masked = Masked(req);
            // ?seconds=N: only the records of the last N seconds (the page
            // fills its charts with them).
            const std::string seconds = req.get_param_value("seconds");
            char *end = nullptr;
            const double last = seconds.empty() ? -1 : strtod(seconds.c_str(), &end);
            if (!seconds.empty() && (end == seconds.c_str() || *end != '\0' || !(last >= 0)))
                return Error(res, 400, "seconds is a number");
            const auto since =
                std::chrono::steady_clock::now() -
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(last < 0 || last > 1e6 ? 1e6 : last));
            std::string out;
            CsvTable table;
            {
                std::lock_guard<std::mutex> lock(mu_);
                for (const Entry &e : session_) {
                    if (last >= 0 && e.when < since) continue;
                    const std::string &line = masked ? e.masked : e.plain;
                    std::string why;
                    if (csv)
                        table.Add(line, &why);
                    else
                        out += line + "\n";
                }
            }
            res.set_header("Content-Disposition",
                           csv ? "attachment; filename=\"diagctl-session.csv\""
                               : "attachment; filename=\"diagctl-session.jsonl\"");
            if (csv)
                res.set_content(table.Csv(), "text/csv; charset=utf-8");
            else
                res.set_content(out, "application/x-ndjson");
        };
    };
    server_->Get("/api/v1/session.jsonl", download(false));
    server_->Get("/api/v1/session.csv", download(true));
    server_->Post(kGsmTimePath, [this](const Request &req, Response &res) { GsmTime(req, res); });

    // Known paths with the wrong method are 405 with the methods they take.
    auto wrong_method = [](const Request &req, Response &res) {
        if (req.path == kGsmTimePath) {
            res.set_header("Allow", "POST");
            return Error(res, 405, "method not allowed");
        }
        bool known = req.path.rfind("/api/v1/screens/", 0) == 0;
        for (const char *p : kGetPaths) known = known || req.path == p;
        for (std::size_t i = 0; i < kWebAssetCount; i++)
            known = known || req.path == kWebAssets[i].path;
        if (!known) return Error(res, 404, "no such path");
        res.set_header("Allow", "GET, HEAD");
        Error(res, 405, "method not allowed");
    };
    server_->Get(kGsmTimePath, wrong_method);
    server_->Post(".*", wrong_method);
    server_->Put(".*", wrong_method);
    server_->Patch(".*", wrong_method);
    server_->Delete(".*", wrong_method);
    server_->Options(".*", wrong_method);
}

void WebServer::Stream(const httplib::Request &req, httplib::Response &res) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (streams_ >= opt_.max_streams) return Error(res, 503, "too many streams open");
        streams_++;
    }
    const bool masked = Masked(req);
    // The stream begins with the latest record of every screen, then every
    // new one; a client too slow for the session's length skips ahead.
    auto cursor = std::make_shared<uint64_t>(0);
    auto first = std::make_shared<bool>(true);
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, masked, cursor, first](size_t, httplib::DataSink &sink) {
            std::string out;
            {
                std::unique_lock<std::mutex> lock(mu_);
                if (*first) {
                    *first = false;
                    out = "retry: 2000\n\n";
                    for (const Entry &e : latest_)
                        if (e.seq != 0) out += "data: " + (masked ? e.masked : e.plain) + "\n\n";
                    *cursor = next_seq_;
                } else {
                    const bool woke = changed_.wait_for(
                        lock, kKeepAlive, [&] { return stopping_ || next_seq_ > *cursor; });
                    if (stopping_) return false;
                    if (!woke) out = ": keep-alive\n\n";
                    for (const Entry &e : session_)
                        if (e.seq > *cursor)
                            out += "data: " + (masked ? e.masked : e.plain) + "\n\n";
                    *cursor = next_seq_;
                }
            }
            // Records are single lines of JSON (control characters escaped),
            // so a modem text cannot end an event or start a field.
            return out.empty() || sink.write(out.data(), out.size());
        },
        [this](bool) {
            std::lock_guard<std::mutex> lock(mu_);
            streams_--;
        });
}

void WebServer::GsmTime(const httplib::Request &req, httplib::Response &res) {
    if (!opt_.allow_control) return Error(res, 403, "diagctl serve runs without --allow-control");
    if (!SameOrigin(req)) return Error(res, 403, "a same-origin Origin header is required");
    if (req.body != "on" && req.body != "off") return Error(res, 400, "the body is on or off");
    Outcome o = gsm_time_(req.body == "on");
    if (!o.ok()) return Error(res, 502, o.message);
    res.set_content(std::string("{\"gsm_time_enable\":") + (req.body == "on" ? "1" : "0") + "}\n",
                    "application/json");
}

}  // namespace diagctl
