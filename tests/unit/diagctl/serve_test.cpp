// SPDX-License-Identifier: Apache-2.0
// diagctl serve over HTTP as a browser or an attacker would use it, on hostile
// fake snapshots; rounds are made with Poll(), so no case depends on timing.
#include <arpa/inet.h>
#include <signal.h>
#include <httplib.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Metrics.h"
#include "Recording.h"
#include "WebServer.h"
#include "gtest/gtest.h"

namespace diagctl {
namespace {

// An APN that tries to run script in a page and to forge an event in the
// stream (a blank line ends an SSE event).
const char kHostileApn[] = "<script>alert(1)</script><img src=x onerror=alert(2)>\n\ndata: {}\r\n";
const char kImei[] = "351234567890123";

// Set: the snapshots have a second APN, a table row (and CSV columns) that
// earlier records lack.
bool g_second_apn = false;

Snapshot FakeSnapshot(const Screen &screen) {
    Value attributes = Value::Object();
    if (g_second_apn) attributes.members.emplace_back("apn2_name", Value::String("late.apn"));
    attributes.members.emplace_back("IMEI", Value::String(kImei));
    attributes.members.emplace_back("apn1_name", Value::String(kHostileApn));
    attributes.members.emplace_back("scell_rscp", Value::Int(-85));
    attributes.members.emplace_back("nitz_source", Value::String("network"));
    Snapshot s;
    s.heading = "SUCCESS";
    s.result.present = screen.request;
    s.timing.time = "2026-01-01T00:00:00.000Z";
    s.own = OwnAttributes(screen, attributes);
    return s;
}

// A connection to the server (reads give up after 30 s) that sent text, as much
// of it as the server took; if it could not connect, its reads fail.
int Connect(int port, const std::string &text) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    const timeval timeout = {30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);  // blocking: all, or the server closed
    return fd;
}

class Serve : public ::testing::Test {
  protected:
    // A server that answers before a body is all sent closes the connection;
    // the client's next write must fail, not end the test.
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }

    void StartServer(ServeOptions opt) {
        opt.host = "127.0.0.1";
        opt.port = 0;
        opt.every_s = 0;
        server_.reset(new WebServer(opt, FakeSnapshot, [this](bool on) {
            writes_ += on ? "1" : "0";
            return write_outcome_;
        }));
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
        host_ = "127.0.0.1:" + std::to_string(server_->port());
        server_->Poll();
    }

    // A client with the server's token.
    httplib::Client Client() {
        httplib::Client c("127.0.0.1", server_->port());
        c.set_read_timeout(10, 0);
        c.set_bearer_token_auth(server_->token());
        return c;
    }

    // Sends raw bytes and returns the status code of the answer (0: none).
    int Raw(const std::string &request) {
        const int fd = Connect(server_->port(), request);
        char buf[64] = {};
        int status = 0;
        if (recv(fd, buf, sizeof buf - 1, 0) > 12) sscanf(buf, "HTTP/1.1 %d", &status);
        close(fd);
        return status;
    }

    std::unique_ptr<WebServer> server_;
    std::string host_;
    std::string writes_;  // what the GSM-time switch wrote: 1 on, 0 off
    Outcome write_outcome_;
};

// Options of a case's server (a write can fail only under --allow-control).
enum : unsigned {
    kMask = 1,
    kAllowControl = 2,
    kFails = 4,
    kWriteFails = kFails | kAllowControl,
    kServerName = 8,  // --server-name lab-phone.example
};

const char kSwitch[] = "/api/v1/gsm-time";

struct RequestCase {
    const char *name, *method;
    std::string path;
    int status;
    std::string origin = "";  // "" : none; "self" and "https://self": the server's own host
    std::string host = "";    // "" : the server's own; PORT stands for its port
    std::string body = "";
    unsigned options = 0;
    std::string has = "", lacks = "";  // texts the answer must (not) hold
    std::string writes = "";           // what the GSM-time switch wrote: 1 on, 0 off
    // The Authorization header: "" the server's token, "-" none, else as given.
    std::string auth = "";
};
// The path is the whole request, sent as it is (HOST: the server's Host, AUTH:
// an Authorization header with its token); the status is 0 when the server
// closed the connection without an answer.
const char kRaw[] = "RAW";

std::string Replace(std::string s, const std::string &from, const std::string &to) {
    const std::size_t at = s.find(from);
    return at == std::string::npos ? s : s.replace(at, from.size(), to);
}

// Every path and method, as a browser, a page of another site, a local user
// without the token or an attacker sends them: the status, no CORS, and what
// the answer holds. The API needs the token, the page and its scripts do not.
// The only call that writes, the GSM-time switch, needs --allow-control.
// Identities are masked when asked, and always under --mask. Every byte a
// client sends is bounded: the headers in size and number, the body.
TEST_F(Serve, AnswersEveryRequestAsItShould) {
    const std::string imei = kImei, tail = imei.substr(imei.size() - 4), big(20000, 'a');
    const std::string id = "/api/v1/screens/identity";
    std::string many_headers;
    for (int i = 0; i < 70; i++) many_headers += "X-" + std::to_string(i) + ": 1\r\n";
    const std::string chunk = "400\r\n" + std::string(1024, 'a') + "\r\n";
    std::string chunked_body;
    for (int i = 0; i < 64; i++) chunked_body += chunk;
    const RequestCase cases[] = {
        {"page", "GET", "/", 200, "", "", "", 0, "", "", "", "-"},
        {"page script", "GET", "/app.js", 200, "", "", "", 0, "", "", "", "-"},
        {"screens", "GET", "/api/v1/screens", 200, "", "", "", 0, "\"allow_control\":false"},
        {"control", "GET", "/api/v1/screens", 200, "", "", "", kAllowControl, "_control\":true"},
        {"one screen", "GET", id, 200, "", "", "", 0, imei},
        {"nitz", "GET", "/api/v1/screens/nitz", 200},
        {"same-origin read", "GET", "/api/v1/screens", 200, "self"},
        {"localhost by name", "GET", "/api/v1/screens", 200, "", "localhost:PORT"},
        {"unknown screen", "GET", "/api/v1/screens/gsm-time", 404},
        {"screen name too long", "GET", "/api/v1/screens/" + std::string(40, 'a'), 404},
        {"dot segments", "GET", "/api/v1/screens/../../../etc/passwd", 404},
        {"unknown path", "GET", "/etc/passwd", 404},
        {"session window", "GET", "/api/v1/session.csv?seconds=300", 200},
        {"huge session window", "GET", "/api/v1/session.jsonl?seconds=1e300", 200},
        {"window not a number", "GET", "/api/v1/session.jsonl?seconds=5m", 400},
        {"negative window", "GET", "/api/v1/session.jsonl?seconds=-1", 400},
        {"NaN window", "GET", "/api/v1/session.jsonl?seconds=nan", 400},
        {"post to a read", "POST", "/api/v1/screens", 405, "", "", "x"},
        {"delete", "DELETE", id, 405},
        {"put page", "PUT", "/", 405, "", "", "x"},
        {"options preflight", "OPTIONS", "/api/v1/screens", 405},
        {"read of the switch", "GET", kSwitch, 405},
        {"rebound DNS name", "GET", "/api/v1/screens", 421, "", "attacker.example:PORT"},
        {"other port", "GET", "/api/v1/screens", 421, "", "127.0.0.1:1"},
        // A name the operator gave (a certificate's), in any case; no other.
        {"--server-name", "GET", "/api/v1/screens", 200, "", "Lab-Phone.example:PORT", "",
         kServerName},
        {"a name beside --server-name", "GET", "/api/v1/screens", 421, "",
         "lab-phone.example.attacker.example:PORT", "", kServerName},
        {"--server-name, other port", "GET", "/api/v1/screens", 421, "", "lab-phone.example:1", "",
         kServerName},
        {"no port", "GET", "/api/v1/screens", 421, "", "127.0.0.1"},
        {"cross-origin read", "GET", "/api/v1/screens", 403, "http://attacker.example"},
        {"cross-origin stream", "GET", "/api/v1/stream", 403, "http://attacker.example"},
        {"opaque origin", "GET", "/api/v1/screens", 403, "null"},
        {"cross-origin preflight", "OPTIONS", kSwitch, 403, "http://attacker.example"},
        {"oversized path", "GET", "/" + big, 414},
        // A local user without the token: nothing of the API, whatever the path.
        {"no token: index", "GET", "/api/v1/screens", 401, "", "", "", 0, "token", imei, "", "-"},
        {"no token: screen", "GET", id, 401, "", "", "", 0, "", imei, "", "-"},
        {"no token: stream", "GET", "/api/v1/stream", 401, "", "", "", 0, "", "", "", "-"},
        {"no token: session", "GET", "/api/v1/session.jsonl", 401, "", "", "", 0, "", "", "", "-"},
        {"no token: CSV", "GET", "/api/v1/session.csv", 401, "", "", "", 0, "", "", "", "-"},
        {"no token, same Origin (curl)", "POST", kSwitch, 401, "self", "", "on", kAllowControl, "",
         "", "", "-"},
        {"wrong token", "GET", id, 401, "", "", "", 0, "", imei, "", "Bearer 0123"},
        {"token and more", "GET", id, 401, "", "", "", 0, "", imei, "", "Bearer TOKENx"},
        {"basic, not bearer", "GET", id, 401, "", "", "", 0, "", imei, "", "Basic TOKEN"},
        {"no token, unknown API path", "GET", "/api/v2/x", 401, "", "", "", 0, "", "", "", "-"},
        // What a hand-made request can hold that the client library would refuse to send.
        {"no Host", kRaw, "GET /api/v1/screens HTTP/1.1\r\nAUTH\r\n\r\n", 400},
        {"no Host, HTTP/1.0", kRaw, "GET /api/v1/screens HTTP/1.0\r\nAUTH\r\n\r\n", 421},
        {"unknown method", kRaw, "BREW /api/v1/screens HTTP/1.1\r\nHost: HOST\r\nAUTH\r\n\r\n",
         405},
        {"token in the query", kRaw, "GET " + id + "?token=TOKEN HTTP/1.1\r\nHost: HOST\r\n\r\n",
         401},
        {"header too long", kRaw, "GET / HTTP/1.1\r\nHost: HOST\r\nX: " + big + "\r\n\r\n", 431},
        {"too many headers", kRaw, "GET / HTTP/1.1\r\nHost: HOST\r\n" + many_headers + "\r\n", 431},
        {"length past the cap", kRaw,
         "POST /api/v1/gsm-time HTTP/1.1\r\nHost: HOST\r\nContent-Length: 67108864\r\nAUTH\r\n\r\n",
         413},
        {"chunked past the cap", kRaw,
         "POST /api/v1/gsm-time HTTP/1.1\r\nHost: HOST\r\nTransfer-Encoding: "
         "chunked\r\nAUTH\r\n\r\n" +
             chunked_body,
         0, "", "", "", kAllowControl},
        {"TLS, not HTTP", kRaw, {"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15}, 0},
        // The GSM-time switch.
        {"on", "POST", kSwitch, 200, "self", "", "on", kAllowControl, "", "", "1"},
        {"off", "POST", kSwitch, 200, "self", "", "off", kAllowControl, "", "", "0"},
        {"no Origin, with the token (curl)", "POST", kSwitch, 200, "", "", "on", kAllowControl, "",
         "", "1"},
        {"another site", "POST", kSwitch, 403, "http://attacker.example", "", "on", kAllowControl},
        {"same host, other scheme", "POST", kSwitch, 403, "https://self", "", "on", kAllowControl},
        {"bad body", "POST", kSwitch, 400, "self", "", "1", kAllowControl},
        // The failure's text, markup included, reaches the page as data only.
        {"write fails", "POST", kSwitch, 502, "self", "", "on", kWriteFails, "EACCES", "<", "1"},
        {"without --allow-control", "POST", kSwitch, 403, "self", "", "on"},
        // Masking.
        {"mask a screen", "GET", id + "?mask=1", 200, "", "", "", 0, tail, imei},
        {"mask the index", "GET", "/api/v1/screens?mask=1", 200, "", "", "", 0, tail, imei},
        {"mask JSON Lines", "GET", "/api/v1/session.jsonl?mask=1", 200, "", "", "", 0, tail, imei},
        {"mask CSV", "GET", "/api/v1/session.csv?mask=1", 200, "", "", "", 0, tail, imei},
        {"unmasked CSV", "GET", "/api/v1/session.csv?mask=0", 200, "", "", "", 0, imei},
        {"--mask", "GET", "/api/v1/screens", 200, "", "", "", kMask, tail, imei},
        {"--mask over ?mask=0", "GET", id + "?mask=0", 200, "", "", "", kMask, tail, imei},
        {"--mask, CSV", "GET", "/api/v1/session.csv?mask=0", 200, "", "", "", kMask, tail, imei},
    };
    for (const RequestCase &c : cases) {
        SCOPED_TRACE(c.name);
        ServeOptions opt;
        opt.mask = c.options & kMask;
        opt.allow_control = c.options & kAllowControl;
        if (c.options & kServerName) opt.server_names = {"lab-phone.example"};
        writes_.clear();
        write_outcome_ = c.options & kFails ? Outcome{kExitError, "<b>EACCES</b>"} : Outcome{};
        StartServer(opt);
        const std::string token = server_->token();
        if (std::string(c.method) == kRaw) {
            const std::string auth = "Authorization: Bearer " + token;
            EXPECT_EQ(
                Raw(Replace(Replace(Replace(c.path, "HOST", host_), "AUTH", auth), "TOKEN", token)),
                c.status);
            EXPECT_EQ(writes_, c.writes);
            continue;
        }
        httplib::Request req;
        req.method = c.method;
        req.path = c.path;
        req.set_header("Host", c.host.empty()
                                   ? host_
                                   : Replace(c.host, "PORT", std::to_string(server_->port())));
        if (!c.origin.empty())
            req.set_header("Origin", c.origin == "self" ? "http://" + host_
                                                        : Replace(c.origin, "self", host_));
        if (c.auth != "-")
            req.set_header("Authorization",
                           c.auth.empty() ? "Bearer " + token : Replace(c.auth, "TOKEN", token));
        req.body = c.body;
        if (!c.body.empty()) req.set_header("Content-Type", "text/plain");
        httplib::Client client("127.0.0.1", server_->port());
        client.set_read_timeout(10, 0);
        httplib::Result r = client.send(req);
        ASSERT_TRUE(r) << httplib::to_string(r.error());
        EXPECT_EQ(r->status, c.status) << r->body;
        EXPECT_FALSE(r->has_header("Access-Control-Allow-Origin"));
        // (A path too long for the server's memory is answered by the HTTP
        // library itself, with a fixed text.)
        if (c.status != 414) {
            EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff");
        }
        EXPECT_EQ(r->has_header("Allow"), c.status == 405);
        EXPECT_EQ(r->has_header("WWW-Authenticate"), c.status == 401);
        EXPECT_NE(r->body.find(c.has), std::string::npos) << c.has;
        EXPECT_TRUE(c.lacks.empty() || r->body.find(c.lacks) == std::string::npos) << c.lacks;
        EXPECT_EQ(writes_, c.writes);
    }
}

// A modem text holding markup or line breaks stays one JSON string with
// its exact characters, in the API and in the stream; an open stream gets
// each new round without asking, every data line a whole record, none forged.
// The session downloads as attachments, holding its last session_records.
// The Host header: the listen address, localhost, IP literals and the
// --server-name names, with the port, which browsers leave out on the
// scheme's own (80, 443 over TLS); nothing else, however it is written.
TEST(ServeHost, NamesTheServerOrIsRefused) {
    ServeOptions http, tls, v6;
    http.server_names = {"lab-phone.example"};
    tls.tls_cert = "PEM";
    v6.host = "::1";
    const struct {
        const char *host;
        const ServeOptions &opt;
        int port;
        bool named;
    } cases[] = {
        {"127.0.0.1:8080", http, 8080, true},
        {"127.0.0.1", http, 8080, false},
        {"127.0.0.1", http, 80, true},
        {"localhost", http, 80, true},
        {"127.0.0.1", tls, 443, true},
        {"127.0.0.1", tls, 80, false},
        {"127.0.0.1:443", tls, 443, true},
        {"[::1]:8080", http, 8080, true},
        {"[::1]", http, 80, true},
        {"[::1]:8080", v6, 8080, true},
        {"LAB-PHONE.example:8080", http, 8080, true},
        {"lab-phone.example", http, 80, true},
        {"lab-phone.example.attacker.example:8080", http, 8080, false},
        {"attacker.example", http, 80, false},
        {"127.0.0.1:", http, 80, false},
        {"127.0.0.1:08080", http, 8080, false},
        {"127.0.0.1:8080:8080", http, 8080, false},
        {"::1:8080", http, 8080, false},
        {"[::1", http, 80, false},
        {"[::1]x", http, 80, false},
        {"[example]:8080", http, 8080, false},
        {"", http, 80, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(HostNamesServer(c.host, c.opt, c.port), c.named) << c.host << " port " << c.port;
}

TEST_F(Serve, HostileModemTextsStayDataAndRoundsArePushedAndKept) {
    const std::size_t screens = ServedScreens().size();
    ServeOptions opt;
    opt.session_records = screens + 1;  // of two rounds, the second and one of the first
    StartServer(opt);
    const Screen *apn = FindScreen("umtsopinfo");  // the APN table
    ASSERT_NE(apn, nullptr);
    httplib::Result r = Client().Get(std::string("/api/v1/screens/") + apn->command);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(r->body.find('\n'), r->body.size() - 1) << "one line";
    rapidjson::Document d;
    ASSERT_FALSE(d.Parse(r->body.c_str()).HasParseError());
    EXPECT_STREQ(d["attributes"]["apn1_name"].GetString(), kHostileApn);

    std::string stream;
    std::vector<std::string> records;
    std::size_t first_round = 0;  // records before the second round was made
    Client().Get("/api/v1/stream", [&](const char *data, std::size_t n) {
        stream.append(data, n);
        for (std::size_t nl; (nl = stream.find('\n')) != std::string::npos; stream.erase(0, nl + 1))
            if (stream.rfind("data: ", 0) == 0) records.push_back(stream.substr(6, nl - 6));
        if (first_round == 0 && records.size() >= screens) {
            first_round = records.size();
            server_->Poll();
        }
        return records.size() < 2 * screens;
    });
    EXPECT_EQ(first_round, screens);
    ASSERT_EQ(records.size(), 2 * screens);
    for (const std::string &line : records) {
        SCOPED_TRACE(line);
        rapidjson::Document rec;
        ASSERT_FALSE(rec.Parse(line.c_str()).HasParseError());
        EXPECT_TRUE(rec.HasMember("command"));
    }
    httplib::Result jsonl = Client().Get("/api/v1/session.jsonl");
    ASSERT_TRUE(jsonl);
    EXPECT_NE(jsonl->get_header_value("Content-Disposition").find("attachment"), std::string::npos);
    EXPECT_EQ(std::count(jsonl->body.begin(), jsonl->body.end(), '\n'),
              static_cast<std::ptrdiff_t>(opt.session_records));
    // The records of the last 0 seconds: none, all were made before the request.
    EXPECT_EQ(Client().Get("/api/v1/session.jsonl?seconds=0")->body, "");
    httplib::Result csv = Client().Get("/api/v1/session.csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    EXPECT_EQ(csv->body.rfind("time,latency_ms,command,", 0), 0u);
}

// Streams that never read: at most max_streams, the next gets 503; rounds go
// on (a stream is written by the feeder, outside the lock) and the rest is
// served; a closed one frees its place. A thousand connections that send
// their headers a byte at a time or not at all, beside one that sends a
// 64 MiB body, take no service: a normal request is answered beside them,
// the body is cut off at its cap. Stop() still ends it all.
TEST_F(Serve, NoClientHoldsTheServerUp) {
    ServeOptions opt;
    opt.max_streams = 2;
    StartServer(opt);
    const std::string auth = "Authorization: Bearer " + server_->token() + "\r\n";
    const std::string stream =
        "GET /api/v1/stream HTTP/1.1\r\nHost: " + host_ + "\r\n" + auth + "\r\n";
    int held[2];
    for (int &fd : held) {
        fd = Connect(server_->port(), stream);
        char c;
        ASSERT_EQ(recv(fd, &c, 1, 0), 1);
    }
    EXPECT_EQ(Raw(stream), 503);
    for (int round = 0; round < 300; round++) server_->Poll();
    EXPECT_EQ(Client().Get("/api/v1/screens/identity")->status, 200) << "the rest still served";
    close(held[0]);
    // Each round wakes the streams; a write to the closed one fails and
    // frees its place. The pause lets each round be a write of its own.
    int status = 503;
    for (int round = 0; round < 1000 && status == 503; round++, usleep(10000)) {
        server_->Poll();
        status = Raw(stream);
    }
    EXPECT_EQ(status, 200) << "a place is free again";

    rlimit files = {4096, 4096};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    std::vector<int> idle;
    for (int i = 0; i < 1000; i++)
        idle.push_back(Connect(server_->port(), i % 2 ? "GET / HTTP/1.1\r\nHost: " : ""));
    std::size_t sent = 0;
    std::thread body([&] {
        const int fd =
            Connect(server_->port(), "POST /api/v1/gsm-time HTTP/1.1\r\nHost: " + host_ +
                                         "\r\nTransfer-Encoding: chunked\r\n" + auth + "\r\n");
        const std::string chunk = "100000\r\n" + std::string(1 << 20, 'a') + "\r\n";
        for (int i = 0; i < 64; i++, sent += 1 << 20)
            if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(chunk.size()))
                break;
        close(fd);
    });
    for (int i = 0; i < 20; i++) {
        for (std::size_t at = i % 2; at < idle.size(); at += 2)
            send(idle[at], "x", 1, MSG_NOSIGNAL);
        EXPECT_EQ(
            Raw("GET /api/v1/screens/identity HTTP/1.1\r\nHost: " + host_ + "\r\n" + auth + "\r\n"),
            200);
    }
    body.join();
    EXPECT_LT(sent, std::size_t{64} << 20) << "the body was taken whole";
    server_->Stop();
    for (int fd : idle) close(fd);
    close(held[1]);
}

// A download is written in pieces as the client takes it, the session as it
// was when asked: records made meanwhile are not in it, and the CSV, written
// in two passes (its columns first), is the table of the JSON Lines.
TEST_F(Serve, DownloadsAreTheSessionAsItWas) {
    ServeOptions opt;
    StartServer(opt);
    for (int round = 1; round < 400; round++) {
        g_second_apn = round > 390;  // columns only the last records have
        server_->Poll();
    }
    g_second_apn = false;
    const std::size_t records = 400 * ServedScreens().size();
    const std::string auth = "Authorization: Bearer " + server_->token() + "\r\n";
    const int fd = Connect(server_->port(), "GET /api/v1/session.jsonl HTTP/1.0\r\nHost: " + host_ +
                                                "\r\n" + auth + "\r\n");
    char buf[65536];
    std::string jsonl;
    ssize_t n = recv(fd, buf, 1000, 0);
    ASSERT_GT(n, 0);
    jsonl.append(buf, static_cast<std::size_t>(n));
    for (int round = 0; round < 10; round++) server_->Poll();  // while the download waits
    EXPECT_EQ(Client().Get("/api/v1/screens/identity")->status, 200);
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) jsonl.append(buf, static_cast<std::size_t>(n));
    close(fd);
    jsonl.erase(0, jsonl.find("\r\n\r\n") + 4);
    EXPECT_EQ(std::count(jsonl.begin(), jsonl.end(), '\n'), static_cast<std::ptrdiff_t>(records));
    EXPECT_GT(jsonl.size(), 2 * kOutletBytes) << "more than one piece";

    httplib::Result whole = Client().Get("/api/v1/session.jsonl");
    ASSERT_TRUE(whole);
    CsvTable table;
    std::istringstream lines(whole->body);
    std::string why;
    for (std::string line; std::getline(lines, line);) ASSERT_TRUE(table.Add(line, &why)) << why;
    httplib::Result csv = Client().Get("/api/v1/session.csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->body, table.Csv());
    EXPECT_NE(csv->body.find("late.apn"), std::string::npos);
}

// A fleet's host keeps its records within host_bytes, each counted once: a
// screen's latest record still counts after it left the session, while
// another screen's records come and go.
TEST_F(Serve, FleetLatestRecordsCountOnce) {
    ServeOptions opt;
    opt.fleet = true;
    const Screen &id = *FindScreen("identity"), &apn = *FindScreen("umtsopinfo");
    const std::string host = "diagctl/car-9/";
    auto stored = [&](const std::string &path) {  // the record's size as kept
        return Client().Get(path)->body.size() - 1;
    };
    // The sizes first, on a server of their own.
    StartServer(opt);
    ASSERT_EQ(server_->Receive(host + id.command, RecordLine(id, FakeSnapshot(id))), "");
    ASSERT_EQ(server_->Receive(host + apn.command, RecordLine(apn, FakeSnapshot(apn))), "");
    const std::size_t identity = stored("/api/v1/screens/identity?host=car-9") +
                                 stored("/api/v1/screens/identity?host=car-9&mask=1");
    const std::size_t record = stored("/api/v1/screens/umtsopinfo?host=car-9");
    server_->Stop();
    opt.host_bytes = 10 * record + 1;
    StartServer(opt);
    ASSERT_EQ(server_->Receive(host + id.command, RecordLine(id, FakeSnapshot(id))), "");
    for (int i = 0; i < 100; i++)
        ASSERT_EQ(server_->Receive(host + apn.command, RecordLine(apn, FakeSnapshot(apn))), "");
    const std::string jsonl = Client().Get("/api/v1/session.jsonl")->body;
    EXPECT_EQ(static_cast<std::size_t>(std::count(jsonl.begin(), jsonl.end(), '\n')),
              (opt.host_bytes - identity) / record);
    EXPECT_EQ(jsonl.find("\"identity\""), std::string::npos) << "it left the session";
    EXPECT_EQ(Client().Get("/api/v1/screens/identity?host=car-9")->status, 200) << "still latest";
}

// The figures as Prometheus metrics, behind the token like the API: every
// number of the latest records as a gauge with its cell as labels, the
// requests counted, never an identity; a fleet's hosts apart, and a
// publisher's hostile texts escaped. promtool, where installed, finds
// nothing to complain of.
TEST_F(Serve, MetricsHaveTheFiguresAndNoIdentities) {
    ServeOptions opt;
    StartServer(opt);
    server_->Poll();
    httplib::Client none("127.0.0.1", server_->port());
    EXPECT_EQ(none.Get("/metrics")->status, 401);
    httplib::Result r = Client().Get("/metrics");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    const std::string text = r->body;
    for (const char *has : {
             "# TYPE velomar_scell_rscp_dbm gauge\n",
             "\nvelomar_scell_rscp_dbm -85\n",
             "velomar_requests_total{command=\"identity\"} 2\n",
             "velomar_answer_latency_seconds_bucket{command=\"nitz\",le=\"+Inf\"} 2\n",
             "velomar_last_answer_timestamp_seconds{command=\"identity\"} 1767225600\n",
         })
        EXPECT_NE(text.find(has), std::string::npos) << has << "\n" << text;
    EXPECT_EQ(text.find(kImei), std::string::npos);
    EXPECT_EQ(text.find(std::string(kImei).substr(11)), std::string::npos) << "not even masked";

    // A fleet: each host's figures with its name; a cell id that is a text
    // with quotes and a line end stays one label value.
    server_->Stop();
    opt.fleet = true;
    StartServer(opt);
    const Screen &radio = *FindScreen("radionwinfo");
    Value attributes = Value::Object();
    attributes.members.emplace_back("scell_rscp", Value::Int(-77));
    attributes.members.emplace_back("scell_sc", Value::Int(310));
    attributes.members.emplace_back("aset_sc1", Value::Int(311));
    attributes.members.emplace_back("aset_rscp1", Value::Int(-90));
    attributes.members.emplace_back("aset_sc2", Value::Int(311));  // the same cell twice
    attributes.members.emplace_back("aset_rscp2", Value::Int(-91));
    Snapshot s = FakeSnapshot(radio);
    s.own = OwnAttributes(radio, attributes);
    ASSERT_EQ(server_->Receive("diagctl/car-1/radionwinfo", RecordLine(radio, s)), "");
    const Screen &hspa = *FindScreen("hspaopinfo");
    attributes = Value::Object();
    attributes.members.emplace_back("hsdpa_rate", Value::Int(3600));  // kbps
    Snapshot rate = FakeSnapshot(hspa);
    rate.own = OwnAttributes(hspa, attributes);
    ASSERT_EQ(server_->Receive("diagctl/car-1/hspaopinfo", RecordLine(hspa, rate)), "");
    const std::string fleet = Client().Get("/metrics")->body;
    for (const char *has : {
             "velomar_scell_rscp_dbm{host=\"car-1\",sc=\"310\"} -77\n",
             "velomar_aset_rscp_dbm{host=\"car-1\",sc=\"311\"} -90\n",
             "velomar_hsdpa_rate_bytes_per_second{host=\"car-1\"} 450000\n",
         })
        EXPECT_NE(fleet.find(has), std::string::npos) << has << "\n" << fleet;
    EXPECT_EQ(fleet.find("-91"), std::string::npos) << "a series once, its first row";
    EXPECT_EQ(LabelValue("a\"b\\c\nd\x01" + std::string(100, 'x')),
              "a\\\"b\\\\c\\nd?" + std::string(56, 'x'));
    if (access("/usr/bin/promtool", X_OK) == 0) {
        for (const std::string *t : {&text, &fleet}) {
            FILE *check = popen("promtool check metrics >/dev/null 2>&1", "w");
            ASSERT_NE(check, nullptr);
            fwrite(t->data(), 1, t->size(), check);
            EXPECT_EQ(pclose(check), 0) << *t;
        }
    }
}

// The LTE and NR screens as metrics: levels in dBm and dB (half decibels
// too), each cell labelled by EARFCN or NR-ARFCN, PCI, TAC and cell id;
// placeholders give no series. promtool, where installed, passes them.
TEST_F(Serve, LteAndNrMetricsCarryTheirCells) {
    ServeOptions opt;
    opt.fleet = true;
    StartServer(opt);
    auto real = [](double v) {
        Value r;
        r.kind = Value::Kind::kReal;
        r.real = v;
        return r;
    };
    const Screen &lte = *FindScreen("lteopinfo");
    Value a = Value::Object();
    a.members.emplace_back("scell_earfcn", Value::Int(1300));
    a.members.emplace_back("scell_pci", Value::Int(101));
    a.members.emplace_back("scell_tac", Value::Int(10753));
    a.members.emplace_back("scell_cellid", Value::Int(1715004));
    a.members.emplace_back("scell_rsrp", Value::Int(-95));
    a.members.emplace_back("scell_rsrq", real(-10.5));
    a.members.emplace_back("scell_sinr", Value::String("NOT SUPPORTED"));
    a.members.emplace_back("ncell_earfcn1", Value::Int(6300));
    a.members.emplace_back("ncell_pci1", Value::Int(230));
    a.members.emplace_back("ncell_rsrp1", real(-101.5));
    a.members.emplace_back("scc_earfcn1", Value::Int(6300));
    a.members.emplace_back("scc_pci1", Value::Int(230));
    a.members.emplace_back("scc_sinr1", Value::Int(8));
    Snapshot s = FakeSnapshot(lte);
    s.own = OwnAttributes(lte, a);
    ASSERT_EQ(server_->Receive("diagctl/car-1/lteopinfo", RecordLine(lte, s)), "");
    const Screen &nr = *FindScreen("nropinfo");
    a = Value::Object();
    a.members.emplace_back("nr_mode", Value::String("NSA"));
    a.members.emplace_back("nr_scell_arfcn", Value::Int(627264));
    a.members.emplace_back("nr_scell_pci", Value::Int(500));
    a.members.emplace_back("nr_scell_ss_rsrp", Value::Int(-90));
    a.members.emplace_back("nr_scell_ss_sinr", real(13.5));
    a.members.emplace_back("nr_scell_tac", Value::String("N/A"));
    Snapshot n = FakeSnapshot(nr);
    n.own = OwnAttributes(nr, a);
    ASSERT_EQ(server_->Receive("diagctl/car-1/nropinfo", RecordLine(nr, n)), "");
    const std::string text = Client().Get("/metrics")->body;
    for (const char *has : {
             "# TYPE velomar_scell_rsrp_dbm gauge\n",
             "velomar_scell_rsrp_dbm{host=\"car-1\",earfcn=\"1300\",pci=\"101\",tac=\"10753\","
             "cell_id=\"1715004\"} -95\n",
             "velomar_scell_rsrq_db{host=\"car-1\",earfcn=\"1300\",pci=\"101\",tac=\"10753\","
             "cell_id=\"1715004\"} -10.5\n",
             "velomar_ncell_rsrp_dbm{host=\"car-1\",earfcn=\"6300\",pci=\"230\"} -101.5\n",
             "velomar_scc_sinr_db{host=\"car-1\",earfcn=\"6300\",pci=\"230\"} 8\n",
             "velomar_nr_scell_ss_rsrp_dbm{host=\"car-1\",nr_arfcn=\"627264\",pci=\"500\"} -90\n",
             "velomar_nr_scell_ss_sinr_db{host=\"car-1\",nr_arfcn=\"627264\",pci=\"500\"} 13.5\n",
         })
        EXPECT_NE(text.find(has), std::string::npos) << has << "\n" << text;
    for (const char *hasnt :
         {"velomar_scell_sinr_db", "velomar_ncell_earfcn", "velomar_nr_scell_tac"})
        EXPECT_EQ(text.find(hasnt), std::string::npos) << hasnt << "\n" << text;
    if (access("/usr/bin/promtool", X_OK) == 0) {
        FILE *check = popen("promtool check metrics >/dev/null 2>&1", "w");
        ASSERT_NE(check, nullptr);
        fwrite(text.data(), 1, text.size(), check);
        EXPECT_EQ(pclose(check), 0) << text;
    }
}

// diagctl serve --mqtt: what a broker's publishers send, taken only when it
// fits, each host in its own place. Made-up host names cannot push out hosts
// that are heard from, and one host's flood cannot push out another's records.
TEST_F(Serve, FleetTakesWhatFitsEachHostInItsPlace) {
    const Screen &apn = *FindScreen("umtsopinfo");
    const std::string good = RecordLine(apn, FakeSnapshot(apn));
    const std::string topic = std::string("diagctl/car-1/") + apn.command;
    ServeOptions opt;
    opt.fleet = true;
    opt.max_hosts = 2;
    opt.host_bytes = 20 * (good.size() + 20);  // about 20 records (no identities: kept once)
    opt.fleet_silence_s = 1;
    StartServer(opt);
    const struct {
        const char *name;
        std::string topic, payload;
        bool taken;
    } cases[] = {
        {"a record", topic, good, true},
        {"the host online", "diagctl/car-1/status", "{\"state\":\"online\",\"dropped\":3}", true},
        {"a cleared state", "diagctl/car-1/status", "", true},
        {"another prefix", std::string("lab/car-2/") + apn.command, good, false},
        {"a record under another command", "diagctl/car-2/identity", good, false},
        {"no such screen", "diagctl/car-2/reboot", good, false},
        {"markup as a host", std::string("diagctl/<b>/") + apn.command, good, false},
        {"a wildcard as a host", std::string("diagctl/+/") + apn.command, good, false},
        {"not a record", topic.substr(0, topic.rfind('/')) + "x/" + apn.command, "{}", false},
        {"a state that is not one", "diagctl/car-3/status", "{\"state\":\"pwned\"}", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string why = server_->Receive(c.topic, c.payload);
        EXPECT_EQ(why.empty(), c.taken) << why;
    }
    rapidjson::Document d;
    d.Parse(Client().Get("/api/v1/screens")->body.c_str());
    ASSERT_TRUE(d.HasMember("hosts") && d["hosts"].IsArray() && d["hosts"].Size() == 1u)
        << "only car-1 was taken";
    const rapidjson::Value &car = d["hosts"][0];
    EXPECT_STREQ(car["name"].GetString(), "car-1");
    EXPECT_STREQ(car["state"].GetString(), "online");
    EXPECT_EQ(car["dropped"].GetInt(), 3);
    // The record is served as it came, with its host; its hostile text is
    // still one string of data.
    std::size_t found = 0;
    for (const auto &r : car["records"].GetArray()) {
        if (r.IsNull()) continue;
        found++;
        EXPECT_STREQ(r["host"].GetString(), "car-1");
        EXPECT_STREQ(r["attributes"]["apn1_name"].GetString(), kHostileApn);
    }
    EXPECT_EQ(found, 1u);
    const std::string screen = std::string("/api/v1/screens/") + apn.command;
    EXPECT_EQ(Client().Get(screen + "?host=car-1")->status, 200);
    EXPECT_EQ(Client().Get(screen)->status, 404);
    EXPECT_EQ(Client().Get(screen + "?host=car-9")->status, 404);
    // The session's CSV says whose each row is.
    EXPECT_EQ(Client().Get("/api/v1/session.csv")->body.rfind("host,time,latency_ms,", 0), 0u);

    const std::string leaf = std::string("/") + apn.command;
    for (int i = 0; i < 2; i++) EXPECT_EQ(server_->Receive(topic, good), "");
    EXPECT_EQ(server_->Receive("diagctl/car-2" + leaf, good), "");
    for (int i = 0; i < 50; i++)
        EXPECT_NE(server_->Receive("diagctl/fake-" + std::to_string(i) + leaf, good), "");
    for (int i = 0; i < 1000; i++) server_->Receive("diagctl/car-2" + leaf, good);
    const std::string jsonl = Client().Get("/api/v1/session.jsonl")->body;
    auto count = [&](const std::string &text) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = jsonl.find(text, at)) != std::string::npos; at++) n++;
        return n;
    };
    const std::size_t car1 = count("{\"host\":\"car-1\""), car2 = count("{\"host\":\"car-2\"");
    EXPECT_EQ(car1, 3u);
    EXPECT_GT(car2, 5u);
    EXPECT_LE(car2, 20u) << "the session and the latest records within host_bytes";
    EXPECT_EQ(count("\n"), car1 + car2);

    // The made-up names were counted; once car-1 has been silent long
    // enough, a new host takes its place (car-2 keeps talking).
    d.Parse(Client().Get("/api/v1/screens")->body.c_str());
    EXPECT_EQ(d["refused_hosts"].GetUint64(), 50u);
    usleep(1100 * 1000);
    server_->Receive("diagctl/car-2" + leaf, good);
    EXPECT_EQ(server_->Receive("diagctl/car-3" + leaf, good), "") << "car-1 gave up its place";
    d.Parse(Client().Get("/api/v1/screens")->body.c_str());
    ASSERT_EQ(d["hosts"].Size(), 2u);
    EXPECT_STREQ(d["hosts"][0]["name"].GetString(), "car-2");
    EXPECT_STREQ(d["hosts"][1]["name"].GetString(), "car-3");
    EXPECT_EQ(d["evicted_hosts"].GetUint64(), 1u);
}

}  // namespace
}  // namespace diagctl
