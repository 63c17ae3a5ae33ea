// SPDX-License-Identifier: Apache-2.0
#include "WebServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libgen.h>
#include <microhttpd.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <queue>
#include <sstream>
#include <utility>

#include "Recording.h"
#include "WebAssets.h"

namespace diagctl {
namespace {

const char kGsmTimePath[] = "/api/v1/gsm-time";
const char kScreenPrefix[] = "/api/v1/screens/";

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
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

bool IpLiteral(const std::string &host) {
    unsigned char buf[16];
    if (inet_pton(AF_INET, host.c_str(), buf) == 1) return true;
    return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
           inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buf) == 1;
}

}  // namespace

bool HostNamesServer(const std::string &host, const ServeOptions &opt, int port) {
    if (host.empty() || host.back() == ':') return false;  // nothing, or "name:" without a port
    std::string name, given_port;
    if (host[0] == '[') {  // an IPv6 literal, [::1] or [::1]:8080
        const std::size_t close = host.find(']');
        if (close == std::string::npos) return false;
        name = host.substr(0, close + 1);
        const std::string rest = host.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return false;
        if (!rest.empty()) given_port = rest.substr(1);
        if (!IpLiteral(name)) return false;
        if (name.substr(1, name.size() - 2) == opt.host) name = opt.host;
    } else {
        const std::size_t colon = host.find(':');
        name = host.substr(0, colon);
        if (colon != std::string::npos) given_port = host.substr(colon + 1);
    }
    // The port as given, or the scheme's own when left out.
    const int scheme_port = opt.tls_cert.empty() ? 80 : 443;
    if (given_port.empty() ? port != scheme_port : given_port != std::to_string(port)) return false;
    if (name == opt.host || strcasecmp(name.c_str(), "localhost") == 0 || IpLiteral(name))
        return true;
    for (const std::string &s : opt.server_names)
        if (strcasecmp(name.c_str(), s.c_str()) == 0) return true;
    return false;
}

namespace {

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
        for (const char *name :
             {"identity", "access", "gsmopinfo", "tchtxpower", "bearer", "hspaopinfo", "umtsopinfo",
              "radiostats", "radionwinfo", "nitz", "lteopinfo", "nropinfo"})
            v.push_back(FindScreen(name));
        return v;
    }();
    return screens;
}

bool LoopbackAddress(const std::string &address) {
    if (strcasecmp(address.c_str(), "localhost") == 0) return true;
    unsigned char a[16];
    if (inet_pton(AF_INET, address.c_str(), a) == 1) return a[0] == 127;
    if (inet_pton(AF_INET6, address.c_str(), a) != 1) return false;
    static const unsigned char one[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return memcmp(a, one, 16) == 0 || (memcmp(a, mapped, 12) == 0 && a[12] == 127);
}

std::string NewToken() {
    unsigned char bytes[32];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) abort();  // no entropy at all: never serve with a guessable token
        got += static_cast<std::size_t>(n);
    }
    std::string out;
    for (unsigned char b : bytes) {
        static const char hex[] = "0123456789abcdef";
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

bool WriteTokenFile(const std::string &path, const std::string &token, gid_t gid,
                    std::string *error) {
    std::string dir_copy = path, base_copy = path;
    const std::string dir = dirname(&dir_copy[0]), name = basename(&base_copy[0]);
    const int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) {
        *error = "cannot open the directory " + dir + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = fstat(dirfd, &st) == 0;
    if (ok && (st.st_mode & S_IWOTH || (st.st_mode & S_IWGRP && st.st_uid != geteuid()))) {
        *error =
            dir + " may be written by other users: put the token file where only you can write";
        ok = false;
    }
    // An old token file of ours goes; anything else there is left alone.
    struct stat old;
    if (ok && fstatat(dirfd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(old.st_mode) || old.st_uid != geteuid()) {
            *error = path + " is there and is not a token file of this user's";
            ok = false;
        } else if (unlinkat(dirfd, name.c_str(), 0) != 0) {
            *error = "cannot replace " + path + ": " + strerror(errno);
            ok = false;
        }
    }
    const int fd =
        ok ? openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
           : -1;
    if (ok && fd < 0) *error = "cannot create " + path + ": " + strerror(errno);
    close(dirfd);
    if (fd < 0) return false;
    const std::string text = token + "\n";
    ok = (gid == static_cast<gid_t>(-1) || fchown(fd, static_cast<uid_t>(-1), gid) == 0) &&
         fchmod(fd, 0640) == 0 &&
         write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (!ok) *error = "cannot write " + path + ": " + strerror(errno);
    close(fd);
    if (!ok) unlink(path.c_str());
    return ok;
}

bool ReadPemFile(const std::string &path, std::string *text, std::string *error) {
    error->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    text->clear();
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text->size() <= (1u << 20))
        text->append(buf, static_cast<std::size_t>(n));
    const int read_errno = errno;
    close(fd);
    if (n < 0) *error = "cannot read " + path + ": " + strerror(read_errno);
    if (text->size() > (1u << 20)) *error = path + " is larger than 1 MiB: not a PEM file";
    if (n >= 0 && text->size() <= (1u << 20) && text->find("-----BEGIN ") == std::string::npos)
        *error = path + " holds no PEM block";
    return error->empty();
}

// A request as it comes in: what it asked, what it sent, and the answer
// made for it (a text, or an outlet that writes a stream or a download).
struct WebServer::Request {
    MHD_Connection *conn = nullptr;
    std::string method, path, body;
    bool refused_body = false;  // more than max_body came; the connection is dropped

    int status = 200;
    std::string type = "application/json", content;
    std::vector<std::pair<std::string, std::string>> headers;
    Outlet *outlet = nullptr;

    // A header's value, "" when absent.
    std::string Header(const char *name) const {
        const char *v = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, name);
        return v ? v : "";
    }
    bool Has(const char *name) const {
        return MHD_lookup_connection_value(conn, MHD_HEADER_KIND, name) != nullptr;
    }
    std::string Param(const char *name) const {
        const char *v = MHD_lookup_connection_value(conn, MHD_GET_ARGUMENT_KIND, name);
        return v ? v : "";
    }
    void Error(int code, const std::string &why) {
        status = code;
        type = "application/json";
        content = "{\"error\":" + JsonString(why) + "}\n";
    }
    void Json(std::string text) {
        status = 200;
        type = "application/json";
        content = std::move(text);
    }
};

// A stream or a download: the server's thread takes what its buffer holds
// as the client reads; when it is empty the connection is suspended and
// the feeder fills it again (or ends it) and resumes it. While suspended,
// the connection is neither read nor closed by the server, so the feeder
// may use the outlet; after the resume it must not touch it again.
struct WebServer::Outlet {
    enum Kind { kStream, kJsonl, kCsv };
    WebServer *server = nullptr;
    MHD_Connection *conn = nullptr;
    Kind kind = kStream;
    bool masked = false;

    // Guarded by m (never held with mu_ taken after it).
    std::mutex m;
    std::string buf;
    std::size_t off = 0;
    bool suspended = false;  // waiting for the feeder
    bool done = false;       // ends once buf is taken

    // The feeder's, while suspended.
    uint64_t cursor = 0, end = 0;  // records after cursor up to end
    uint64_t hosts_seen = 0;
    bool first = true;
    std::chrono::steady_clock::time_point since, last_write;
    // A CSV download scans its records for the columns first, then writes.
    bool scanning = true;
    uint64_t scan_cursor = 0;
    std::unique_ptr<CsvTable> table;
};

// The HTTP server's callbacks, with C linkage types.
struct ServerGlue {
    static MHD_Result Access(void *cls, MHD_Connection *c, const char *url, const char *method,
                             const char *, const char *upload, size_t *upload_size, void **context);
    static void Completed(void *, MHD_Connection *, void **context, MHD_RequestTerminationCode);
    static ssize_t Read(void *cls, uint64_t, char *buf, size_t max);
    static void Free(void *cls);
    static MHD_Result Queue(WebServer::Request &req, const WebServer &server);
};

namespace {

// The size of a request's headers and their number.
struct HeaderCount {
    std::size_t bytes = 0, lines = 0;
};

MHD_Result CountHeader(void *cls, MHD_ValueKind, const char *key, const char *value) {
    auto *count = static_cast<HeaderCount *>(cls);
    count->bytes += strlen(key) + (value ? strlen(value) : 0) + 4;  // ": " and CRLF
    count->lines++;
    return MHD_YES;
}

bool IsApi(const std::string &path) {
    return path.rfind("/api/", 0) == 0;
}

}  // namespace

MHD_Result ServerGlue::Access(void *cls, MHD_Connection *c, const char *url, const char *method,
                              const char *, const char *upload, size_t *upload_size,
                              void **context) {
    auto *server = static_cast<WebServer *>(cls);
    auto *req = static_cast<WebServer::Request *>(*context);
    if (req == nullptr) {
        // The headers are in: check them before any of the body is taken.
        req = new WebServer::Request;
        *context = req;
        req->conn = c;
        req->method = method;
        req->path = url;
        HeaderCount count;
        MHD_get_connection_values(c, MHD_HEADER_KIND, CountHeader, &count);
        const std::size_t request_line = req->method.size() + req->path.size() + 12;
        if (count.lines > server->opt_.max_headers ||
            count.bytes + request_line > server->opt_.max_header_bytes) {
            req->Error(431, "the request's headers are too large");
            return Queue(*req, *server);
        }
        const std::string length = req->Header("Content-Length");
        if (!length.empty() &&
            (length.size() > 18 || strtoull(length.c_str(), nullptr, 10) > server->opt_.max_body)) {
            req->Error(413, "the body is too large");
            return Queue(*req, *server);
        }
        // Only the switch takes a body; anything else is answered now (a
        // body sent with it is dropped with the connection).
        if (req->method != "POST" || req->path != kGsmTimePath) {
            server->Answer(*req);
            return Queue(*req, *server);
        }
        return MHD_YES;
    }
    if (*upload_size > 0) {
        // A body past its cap (chunked, or longer than it said) is not kept:
        // the connection goes at once, and with it whatever is still coming.
        if (req->body.size() + *upload_size > server->opt_.max_body) return MHD_NO;
        req->body.append(upload, *upload_size);
        *upload_size = 0;
        return MHD_YES;
    }
    server->Answer(*req);
    return Queue(*req, *server);
}

MHD_Result ServerGlue::Queue(WebServer::Request &req, const WebServer &server) {
    MHD_Response *res;
    if (req.outlet != nullptr) {
        res =
            MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, Read, req.outlet, Free);
        if (res == nullptr) {
            Free(req.outlet);
            return MHD_NO;
        }
    } else {
        res = MHD_create_response_from_buffer(req.content.size(), req.content.data(),
                                              MHD_RESPMEM_MUST_COPY);
        if (res == nullptr) return MHD_NO;
    }
    static const char *const kDefault[][2] = {
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
         "img-src 'self' blob:; frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
    };
    for (const auto &h : kDefault) {
        bool mine = false;
        for (const auto &own : req.headers) mine = mine || strcasecmp(own.first.c_str(), h[0]) == 0;
        if (!mine) MHD_add_response_header(res, h[0], h[1]);
    }
    for (const auto &h : req.headers)
        MHD_add_response_header(res, h.first.c_str(), h.second.c_str());
    MHD_add_response_header(res, "Content-Type", req.type.c_str());
    if (!server.opt_.tls_cert.empty())
        MHD_add_response_header(res, "Strict-Transport-Security", "max-age=31536000");
    const MHD_Result ok = MHD_queue_response(req.conn, static_cast<unsigned>(req.status), res);
    MHD_destroy_response(res);  // the connection holds it until sent; Free then ends the outlet
    return ok;
}

void ServerGlue::Completed(void *, MHD_Connection *, void **context, MHD_RequestTerminationCode) {
    delete static_cast<WebServer::Request *>(*context);
    *context = nullptr;
}

ssize_t ServerGlue::Read(void *cls, uint64_t, char *buf, size_t max) {
    auto *o = static_cast<WebServer::Outlet *>(cls);
    {
        std::lock_guard<std::mutex> lock(o->m);
        if (o->off < o->buf.size()) {
            const std::size_t n = std::min(max, o->buf.size() - o->off);
            memcpy(buf, o->buf.data() + o->off, n);
            o->off += n;
            if (o->off == o->buf.size()) {
                o->buf.clear();
                o->buf.shrink_to_fit();
                o->off = 0;
            }
            return static_cast<ssize_t>(n);
        }
        if (o->done || o->server->ending_) return MHD_CONTENT_READER_END_OF_STREAM;
        // Suspended under o->m, so the feeder, which resumes only what it
        // saw suspended under o->m, never resumes a connection that is not.
        o->suspended = true;
        MHD_suspend_connection(o->conn);
    }
    // The connection stays suspended (and the outlet alive) until the
    // feeder resumes it. The wake is counted under mu_, so a feeder about to
    // wait cannot miss it.
    {
        std::lock_guard<std::mutex> lock(o->server->mu_);
        o->server->wakes_++;
    }
    o->server->changed_.notify_all();
    return 0;
}

void ServerGlue::Free(void *cls) {
    auto *o = static_cast<WebServer::Outlet *>(cls);
    {
        std::lock_guard<std::mutex> lock(o->server->mu_);
        o->server->outlets_.erase(o);
        if (o->kind == WebServer::Outlet::kStream) o->server->streams_--;
    }
    delete o;
}

WebServer::WebServer(ServeOptions options, SnapshotSource source, GsmTimeWriter gsm_time)
    : opt_(std::move(options)), source_(std::move(source)), gsm_time_(std::move(gsm_time)) {
    if (!opt_.fleet) {
        hosts_[""].latest.assign(ServedScreens().size(), Entry{});
        hosts_[""].tallies.assign(ServedScreens().size(), Tally{});
    }
}

WebServer::~WebServer() {
    Stop();
}

bool WebServer::Start(std::string *error) {
    if (opt_.token.empty()) opt_.token = NewToken();
    if (!opt_.chart_js.empty()) {
        std::ifstream in(opt_.chart_js, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (in) chart_js_body_ = text.str();
    }
    sockaddr_storage addr = {};
    const bool v6 = opt_.host.find(':') != std::string::npos;
    if (v6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&addr);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(opt_.port));
        if (inet_pton(AF_INET6, opt_.host.c_str(), &a->sin6_addr) != 1) {
            *error = "not an IPv6 address: " + opt_.host;
            return false;
        }
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&addr);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(opt_.port));
        const std::string name = opt_.host == "localhost" ? "127.0.0.1" : opt_.host;
        if (inet_pton(AF_INET, name.c_str(), &a->sin_addr) != 1) {
            *error = "not an IPv4 address: " + opt_.host;
            return false;
        }
    }
    const bool tls = !opt_.tls_cert.empty() || !opt_.tls_key.empty();
    if (tls && (opt_.tls_cert.empty() || opt_.tls_key.empty())) {
        *error = "TLS needs both a certificate and its key";
        return false;
    }
    if (tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        *error = "this libmicrohttpd was built without TLS";
        return false;
    }
    // One polling thread per core, at most four: every connection is an
    // event source, not a thread. The connection memory holds the request
    // line, the headers and what the server reads ahead, so it bounds them.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                     (v6 ? MHD_USE_IPv6 : 0) | (tls ? MHD_USE_TLS : 0);
    const unsigned threads = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_SOCK_ADDR, 0, &addr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&ServerGlue::Completed), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT,
         static_cast<intptr_t>(std::max<std::size_t>(opt_.max_header_bytes * 2, 16384)), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(opt_.max_connections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(opt_.max_per_address), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(opt_.idle_timeout_s), nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, static_cast<intptr_t>(threads), nullptr},
        {MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024, nullptr},
        {MHD_OPTION_STRICT_FOR_CLIENT, 1, nullptr},
    };
    if (tls) {
        options.push_back(
            {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(opt_.tls_cert.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(opt_.tls_key.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, static_cast<uint16_t>(opt_.port), nullptr, nullptr,
                               &ServerGlue::Access, this, MHD_OPTION_ARRAY, options.data(),
                               MHD_OPTION_END);
    if (daemon_ == nullptr) {
        *error = "cannot listen on " + opt_.host + ":" + std::to_string(opt_.port) +
                 (tls ? " (or the certificate or key is not usable PEM)" : "");
        return false;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : opt_.port;
    feeder_ = std::thread([this] { FeedLoop(); });
    if (opt_.every_s > 0 && !opt_.fleet) poller_ = std::thread([this] { PollLoop(); });
    return true;
}

void WebServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        ending_ = true;
    }
    changed_.notify_all();
    if (poller_.joinable()) poller_.join();
    // The feeder ends every outlet and resumes the suspended ones: the
    // server may not stop with a connection suspended.
    if (feeder_.joinable()) feeder_.join();
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

WebServer::Refusals WebServer::refusals() {
    std::lock_guard<std::mutex> lock(mu_);
    return refusals_;
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
    if (opt_.fleet) return;  // a fleet's records come from Receive()
    const std::vector<const Screen *> &screens = ServedScreens();
    for (std::size_t i = 0; i < screens.size(); i++) {
        Entry e = MakeEntry(*screens[i], source_(*screens[i]), "");
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return;
        Store(&hosts_[""], i, std::move(e));
    }
    changed_.notify_all();
}

WebServer::Entry WebServer::MakeEntry(const Screen &screen, const Snapshot &snap,
                                      const std::string &host) const {
    auto texts = std::make_shared<Texts>();
    std::string masked = RecordLine(screen, [&] {
        Snapshot m = snap;
        if (m.shown()) MaskSecrets(screen, &m.own);
        return m;
    }());
    std::string plain = opt_.mask ? masked : RecordLine(screen, snap);
    if (!host.empty()) {
        masked = WithHost(masked, host);
        plain = WithHost(plain, host);
    }
    // A record without identities (most screens) is kept once.
    if (masked != plain) texts->masked = std::move(masked);
    texts->plain = std::move(plain);
    Entry e;
    e.texts = std::move(texts);
    e.status = snap.status;
    e.latency_ms = snap.timing.latency_ms;
    e.time = snap.timing.time;
    return e;
}

void WebServer::Store(Host *host, std::size_t screen, Entry e) {
    e.seq = ++next_seq_;
    e.screen = screen;
    host->tallies[screen].Count(e.status, e.latency_ms, e.time);
    e.time.clear();  // counted: the record keeps it
    e.when = std::chrono::steady_clock::now();
    // Each record is counted once: while in the session, and after it left
    // the session for as long as it is still its screen's latest.
    const uint64_t oldest = host->session.empty() ? e.seq : host->session.front().seq;
    const Entry &replaced = host->latest[screen];
    if (replaced.seq != 0 && replaced.seq < oldest) host->bytes -= replaced.texts->bytes();
    host->latest[screen] = e;
    host->bytes += e.texts->bytes();
    host->session.push_back(std::move(e));
    while (!host->session.empty() && (host->session.size() > opt_.session_records ||
                                      (opt_.fleet && host->bytes > opt_.host_bytes))) {
        const Entry &front = host->session.front();
        if (host->latest[front.screen].seq != front.seq) host->bytes -= front.texts->bytes();
        host->session.pop_front();
    }
}

WebServer::Host *WebServer::FindHost(const std::string &name) {
    auto it = hosts_.find(name);
    if (it != hosts_.end()) return &it->second;
    const auto now = std::chrono::steady_clock::now();
    if (hosts_.size() >= opt_.max_hosts) {
        // A burst of made-up names (retained at the broker, say) cannot push
        // out hosts that are heard from; a host silent for fleet_silence_s
        // gives up its place, the longest silent first.
        auto quietest = hosts_.begin();
        for (auto h = hosts_.begin(); h != hosts_.end(); ++h)
            if (h->second.heard < quietest->second.heard) quietest = h;
        if (quietest == hosts_.end() ||
            now - quietest->second.heard < std::chrono::duration<double>(opt_.fleet_silence_s)) {
            refusals_.hosts++;
            return nullptr;
        }
        hosts_.erase(quietest);
        refusals_.evicted++;
    }
    Host &h = hosts_[name];
    h.latest.assign(ServedScreens().size(), Entry{});
    h.tallies.assign(ServedScreens().size(), Tally{});
    h.heard = now;
    hosts_version_++;
    return &h;
}

std::string WebServer::Receive(const std::string &topic, const std::string &payload) {
    if (!opt_.fleet) return "not serving a fleet";
    std::string name, leaf, why;
    if (!SplitFleetTopic(opt_.topic_prefix, topic, &name, &leaf))
        return "the topic is not " + opt_.topic_prefix + "/HOST/COMMAND";
    const std::string full = "more than " + std::to_string(opt_.max_hosts) + " hosts";
    if (leaf == "status") {
        // An empty retained message clears a host's state at the broker.
        if (payload.empty()) return "";
        HostStatus status;
        if (!ParseHostStatus(payload, &status, &why)) return name + "'s state: " + why;
        {
            std::lock_guard<std::mutex> lock(mu_);
            Host *host = FindHost(name);
            if (host == nullptr) return full;
            host->status = status;
            host->has_status = true;
            host->heard = std::chrono::steady_clock::now();
            hosts_version_++;
        }
        changed_.notify_all();
        return "";
    }
    // tchtxpwr is tchtxpower under another name.
    const std::string command = leaf == "tchtxpwr" ? "tchtxpower" : leaf;
    const std::vector<const Screen *> &screens = ServedScreens();
    std::size_t index = 0;
    while (index < screens.size() && screens[index]->command != command) index++;
    if (index == screens.size()) return "no screen '" + leaf + "'";
    Snapshot snap;
    if (!ParseRecord(*FindScreen(leaf), payload, &snap, &why))
        return name + "/" + leaf + ": " + why;
    Entry e = MakeEntry(*screens[index], snap, name);
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return "stopping";
        Host *host = FindHost(name);
        if (host == nullptr) return full;
        host->heard = std::chrono::steady_clock::now();
        Store(host, index, std::move(e));
    }
    changed_.notify_all();
    return "";
}

std::string WebServer::HostJson(const std::string &name, const Host &host) const {
    const double heard =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - host.heard).count();
    std::string out = "{\"name\":" + JsonString(name) + ",\"state\":" +
                      JsonString(!host.has_status     ? "unknown"
                                 : host.status.online ? "online"
                                                      : "offline") +
                      ",\"heard_s\":" + std::to_string(static_cast<long long>(heard));
    if (host.has_status) {
        out += ",\"since\":" + JsonString(host.status.time) +
               ",\"dropped\":" + std::to_string(host.status.dropped) +
               ",\"reason\":" + JsonString(host.status.reason);
    }
    return out + "}";
}

std::string WebServer::IndexJson(bool masked) {
    const std::vector<const Screen *> &screens = ServedScreens();
    std::string out = "{\"every_s\":" + std::to_string(opt_.every_s) +
                      ",\"mask\":" + (opt_.mask ? "true" : "false") +
                      ",\"allow_control\":" + (opt_.allow_control ? "true" : "false") +
                      (opt_.fleet ? ",\"fleet\":true" : "") + ",\"screens\":[";
    std::lock_guard<std::mutex> lock(mu_);
    auto record = [masked](const Entry &e) { return e.seq ? e.texts->Get(masked) : "null"; };
    for (std::size_t i = 0; i < screens.size(); i++) {
        const Screen &s = *screens[i];
        out += std::string(i ? "," : "") + "{\"name\":" + JsonString(s.command) +
               ",\"title\":" + JsonString(s.title) + ",\"sections\":" + LayoutJson(s);
        if (!opt_.fleet) out += ",\"record\":" + record(hosts_.at("").latest[i]);
        out += "}";
    }
    out += "]";
    if (opt_.fleet) {
        // Each host's latest records, in the order of the screens, and the
        // hosts turned away for want of a place.
        out += ",\"refused_hosts\":" + std::to_string(refusals_.hosts) +
               ",\"evicted_hosts\":" + std::to_string(refusals_.evicted) + ",\"hosts\":[";
        bool first = true;
        for (const auto &h : hosts_) {
            std::string host = HostJson(h.first, h.second);
            host.pop_back();
            host += ",\"records\":[";
            for (std::size_t i = 0; i < h.second.latest.size(); i++)
                host += (i ? "," : "") + record(h.second.latest[i]);
            out += (first ? "" : ",") + host + "]}";
            first = false;
        }
        out += "]";
    }
    return out + "}\n";
}

std::string WebServer::MetricsText() {
    // The latest records and tallies are copied; the text is made unlocked.
    std::vector<HostFigures> figures;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (const auto &h : hosts_) {
            HostFigures f;
            f.host = h.first;
            f.tallies = h.second.tallies;
            for (const Entry &e : h.second.latest) f.records.push_back(e.seq ? e.texts->plain : "");
            figures.push_back(std::move(f));
        }
    }
    return Exposition(ServedScreens(), figures);
}

std::vector<std::string> WebServer::Lines(uint64_t *cursor, uint64_t end, bool masked,
                                          std::chrono::steady_clock::time_point since,
                                          std::size_t max_bytes) const {
    // Each host's session is in the order of seq: merge them from where each
    // passes *cursor.
    using It = std::deque<Entry>::const_iterator;
    struct Head {
        It at, stop;
    };
    auto later = [](const Head &a, const Head &b) { return a.at->seq > b.at->seq; };
    std::priority_queue<Head, std::vector<Head>, decltype(later)> heads(later);
    for (const auto &h : hosts_) {
        const std::deque<Entry> &s = h.second.session;
        It at = std::upper_bound(s.begin(), s.end(), *cursor,
                                 [](uint64_t seq, const Entry &e) { return seq < e.seq; });
        if (at != s.end() && at->seq <= end) heads.push({at, s.end()});
    }
    std::vector<std::string> out;
    std::size_t bytes = 0;
    while (!heads.empty() && bytes < max_bytes) {
        Head head = heads.top();
        heads.pop();
        const Entry &e = *head.at;
        *cursor = e.seq;
        if (e.when >= since) {
            out.push_back(e.texts->Get(masked) + "\n");
            bytes += out.back().size();
        }
        if (++head.at != head.stop && head.at->seq <= end) heads.push(head);
    }
    if (heads.empty()) *cursor = std::max(*cursor, end);
    return out;
}

bool WebServer::Authorized(const Request &req) const {
    const std::string given = req.Header("Authorization");
    const std::string want = "Bearer " + opt_.token;
    // Compared in time independent of where they differ.
    unsigned char diff = given.size() != want.size();
    for (std::size_t i = 0; i < want.size(); i++)
        diff |= static_cast<unsigned char>(want[i] ^ (i < given.size() ? given[i] : 0));
    return diff == 0;
}

void WebServer::Answer(Request &req) {
    if (!req.Has("Host") || !HostNamesServer(req.Header("Host"), opt_, port_))
        return req.Error(421, "the Host header does not name this server");
    const std::string scheme = opt_.tls_cert.empty() ? "http://" : "https://";
    const bool same_origin = req.Header("Origin") == scheme + req.Header("Host");
    // Browsers send Origin on cross-origin reads and on every write;
    // another site gets nothing, not even an answer it cannot read.
    if (req.Has("Origin") && !same_origin)
        return req.Error(403, "cross-origin requests are refused");
    const std::string &path = req.path;
    if ((IsApi(path) || path == "/metrics") && !Authorized(req)) {
        req.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"diagctl serve\"");
        return req.Error(401,
                         "the API needs the token diagctl serve printed "
                         "(Authorization: Bearer TOKEN)");
    }
    const bool get = req.method == "GET" || req.method == "HEAD";
    if (path == kGsmTimePath) {
        if (req.method != "POST") {
            req.headers.emplace_back("Allow", "POST");
            return req.Error(405, "method not allowed");
        }
        // The token is the proof: no other site's page can send it, as
        // no CORS header ever lets one set Authorization here.
        return GsmTime(req);
    }
    // The page, its scripts and Chart.js hold no data: anyone may have them.
    const WebAsset *asset = nullptr;
    for (std::size_t i = 0; i < kWebAssetCount; i++)
        if (path == kWebAssets[i].path ||
            (path == "/" && strcmp(kWebAssets[i].path, "/index.html") == 0))
            asset = &kWebAssets[i];
    const bool chart = path == "/js/chart.js" && !chart_js_body_.empty();
    const bool screen = path.rfind(kScreenPrefix, 0) == 0;
    const bool known = asset || chart || screen || path == "/metrics" ||
                       path == "/api/v1/screens" || path == "/api/v1/stream" ||
                       path == "/api/v1/session.jsonl" || path == "/api/v1/session.csv";
    if (!known) return req.Error(404, "no such path");
    if (!get) {
        req.headers.emplace_back("Allow", "GET, HEAD");
        return req.Error(405, "method not allowed");
    }
    if (asset) {
        req.status = 200;
        req.type = ContentType(asset->path);
        req.content.assign(reinterpret_cast<const char *>(asset->data), asset->size);
        return;
    }
    if (chart) {
        req.status = 200;
        req.type = "text/javascript; charset=utf-8";
        req.content = chart_js_body_;
        req.headers.emplace_back("Cache-Control", "max-age=3600");
        return;
    }
    const bool masked = opt_.mask || req.Param("mask") == "1";
    if (path == "/api/v1/screens") return req.Json(IndexJson(masked));
    if (path == "/metrics") {
        req.status = 200;
        req.type = "text/plain; version=0.0.4; charset=utf-8";
        req.content = MetricsText();
        return;
    }
    if (path == "/api/v1/stream") return Stream(req);
    if (path == "/api/v1/session.jsonl") return Download(req, false);
    if (path == "/api/v1/session.csv") return Download(req, true);
    const std::string name = path.substr(strlen(kScreenPrefix));
    const std::vector<const Screen *> &screens = ServedScreens();
    for (std::size_t i = 0; i < screens.size(); i++) {
        if (name != screens[i]->command) continue;
        std::lock_guard<std::mutex> lock(mu_);
        // In a fleet, ?host=NAME says whose.
        auto host = hosts_.find(opt_.fleet ? req.Param("host") : "");
        if (host == hosts_.end())
            return req.Error(404, opt_.fleet ? "no such host (?host=NAME)" : "no such host");
        const Entry &e = host->second.latest[i];
        if (e.seq == 0) return req.Error(503, "no refresh made yet");
        return req.Json(e.texts->Get(masked) + "\n");
    }
    req.Error(404, "no such screen");
}

void WebServer::Stream(Request &req) {
    auto o = std::make_unique<Outlet>();
    o->server = this;
    o->conn = req.conn;
    o->kind = Outlet::kStream;
    o->masked = opt_.mask || req.Param("mask") == "1";
    o->last_write = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return req.Error(503, "stopping");
        if (streams_ >= opt_.max_streams) return req.Error(503, "too many streams open");
        streams_++;
        outlets_.insert(o.get());
    }
    req.type = "text/event-stream";
    req.headers.emplace_back("X-Accel-Buffering", "no");
    req.outlet = o.release();
}

void WebServer::Download(Request &req, bool csv) {
    // ?seconds=N: only the records of the last N seconds (the page fills
    // its charts with them).
    const std::string seconds = req.Param("seconds");
    char *end = nullptr;
    const double last = seconds.empty() ? -1 : strtod(seconds.c_str(), &end);
    if (!seconds.empty() && (end == seconds.c_str() || *end != '\0' || !(last >= 0)))
        return req.Error(400, "seconds is a number");
    auto o = std::make_unique<Outlet>();
    o->server = this;
    o->conn = req.conn;
    o->kind = csv ? Outlet::kCsv : Outlet::kJsonl;
    o->masked = opt_.mask || req.Param("mask") == "1";
    o->since = last < 0 ? std::chrono::steady_clock::time_point::min()
                        : std::chrono::steady_clock::now() -
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(std::min(last, 1e6)));
    o->scanning = csv;
    if (csv) o->table.reset(new CsvTable);
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (stopping_) return req.Error(503, "stopping");
        // The session as it is now; records made while it is written are
        // not in it, records dropped meanwhile are skipped.
        o->end = next_seq_;
        outlets_.insert(o.get());
    }
    req.type = csv ? "text/csv; charset=utf-8" : "application/x-ndjson";
    req.headers.emplace_back("Content-Disposition",
                             csv ? "attachment; filename=\"diagctl-session.csv\""
                                 : "attachment; filename=\"diagctl-session.jsonl\"");
    req.outlet = o.release();
}

void WebServer::GsmTime(Request &req) {
    if (opt_.fleet) return req.Error(403, "a fleet has no GSM time switch");
    if (!opt_.allow_control) return req.Error(403, "diagctl serve runs without --allow-control");
    if (req.body != "on" && req.body != "off") return req.Error(400, "the body is on or off");
    Outcome o = gsm_time_(req.body == "on");
    if (!o.ok()) return req.Error(502, o.message);
    req.Json(std::string("{\"gsm_time_enable\":") + (req.body == "on" ? "1" : "0") + "}\n");
}

void WebServer::FeedLoop() {
    std::unique_lock<std::mutex> lock(mu_);
    uint64_t wakes = wakes_ - 1, seq = next_seq_, hosts = hosts_version_;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        // What is suspended and has something to be given: a download its
        // next piece, a stream what is new (or a keep-alive when due).
        std::vector<Outlet *> ready;
        auto next_keepalive = now + kKeepAlive;
        for (Outlet *o : outlets_) {
            std::lock_guard<std::mutex> olock(o->m);
            if (!o->suspended) continue;
            if (stopping_ || o->kind != Outlet::kStream || o->first || next_seq_ > o->cursor ||
                (opt_.fleet && o->hosts_seen != hosts_version_) ||
                now - o->last_write >= kKeepAlive) {
                ready.push_back(o);
            } else {
                next_keepalive = std::min(next_keepalive, o->last_write + kKeepAlive);
            }
        }
        if (ready.empty()) {
            if (stopping_) return;
            wakes = wakes_;
            seq = next_seq_;
            hosts = hosts_version_;
            changed_.wait_until(lock, next_keepalive, [&] {
                return stopping_ || wakes_ != wakes || next_seq_ != seq || hosts_version_ != hosts;
            });
            continue;
        }
        for (Outlet *o : ready) {
            if (stopping_) {
                std::lock_guard<std::mutex> olock(o->m);
                o->done = true;
            } else {
                Fill(o);  // may let go of mu_ while it renders
            }
            bool resume;
            {
                std::lock_guard<std::mutex> olock(o->m);
                resume = o->done || !o->buf.empty();
                if (resume) o->suspended = false;
            }
            if (!resume) continue;  // a CSV download still learning its columns
            // Not with mu_ held: the server's threads take it in our callbacks.
            lock.unlock();
            MHD_resume_connection(o->conn);
            lock.lock();
        }
    }
}

void WebServer::Fill(Outlet *o) {
    std::unique_lock<std::mutex> lock(mu_, std::adopt_lock);
    std::string out;
    const auto now = std::chrono::steady_clock::now();
    if (o->kind == Outlet::kStream) {
        // A fleet's hosts and their states, as one event whenever they change.
        auto hosts = [&] {
            if (!opt_.fleet || o->hosts_seen == hosts_version_) return;
            o->hosts_seen = hosts_version_;
            out += "event: hosts\ndata: [";
            bool first_host = true;
            for (const auto &h : hosts_) {
                out += (first_host ? "" : ",") + HostJson(h.first, h.second);
                first_host = false;
            }
            out += "]\n\n";
        };
        if (o->first) {
            // The stream begins with the latest record of every screen, then
            // every new one.
            o->first = false;
            out = "retry: 2000\n\n";
            o->hosts_seen = hosts_version_ + 1;
            hosts();
            for (const auto &h : hosts_)
                for (const Entry &e : h.second.latest)
                    if (e.seq != 0 && out.size() < kOutletBytes)
                        out += "data: " + e.texts->Get(o->masked) + "\n\n";
            o->cursor = next_seq_;
        } else {
            hosts();
            // Records are single lines of JSON (control characters escaped),
            // so a modem text cannot end an event or start a field. A client
            // too slow for the session's length skips ahead.
            for (std::string &line :
                 Lines(&o->cursor, next_seq_, o->masked,
                       std::chrono::steady_clock::time_point::min(), kOutletBytes))
                out += "data: " + line + "\n";
            if (out.empty()) out = ": keep-alive\n\n";
        }
        o->last_write = now;
    } else {
        const bool scan = o->scanning;
        uint64_t *cursor = scan ? &o->scan_cursor : &o->cursor;
        const std::vector<std::string> lines =
            Lines(cursor, o->end, o->masked, o->since, kOutletBytes / 4);
        const bool last = *cursor >= o->end;
        // The records are copied: rendering them needs no lock.
        lock.unlock();
        std::string why;
        CsvTable::Row row;
        if (o->kind == Outlet::kJsonl) {
            for (const std::string &line : lines) out += line;
        } else if (o->scanning) {
            for (const std::string &line : lines) o->table->Parse(line, &row, &why);
            if (last) {
                o->scanning = false;
                out = o->table->Header();
            }
        } else {
            for (const std::string &line : lines)
                if (o->table->Parse(line, &row, &why) && !row.empty())
                    out += o->table->RowText(row);
        }
        lock.lock();
        if (last && !scan) {
            std::lock_guard<std::mutex> olock(o->m);
            o->buf += out;
            o->done = true;
            lock.release();
            return;
        }
    }
    {
        std::lock_guard<std::mutex> olock(o->m);
        o->buf += out;
    }
    lock.release();  // mu_ stays held for the caller
}

}  // namespace diagctl
