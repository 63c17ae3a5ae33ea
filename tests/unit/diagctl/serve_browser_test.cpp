// SPDX-License-Identifier: Apache-2.0
// diagctl serve's page in headless Chromium on live data: techmode-sim plays
// the handover drive (with a hostile APN) on a clock stopped at chosen times;
// after each step every screen's cells are compared with diagctl --json.
// Then: the RSCP charts, the inert APN, pause, mask, the GSM-time switch.
#include <httplib.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/SystemFixture.h"

namespace {

// The screens the console serves: the nine, nitz, lteopinfo and nropinfo.
constexpr unsigned kServed = 12;

using namespace systemtest;

// Markup that would run script if the page ever took a modem text as HTML.
const char kHostileApn[] =
    "<script>window.__pwned=1</script><img src=x onerror=\"window.__pwned=2\">";

std::string JsonText(const rapidjson::Value &v) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    v.Accept(w);
    return buf.GetString();
}

// A value as the page writes it (JavaScript's String(), JSON for objects).
std::string PageText(const rapidjson::Value &v) {
    if (v.IsString()) return v.GetString();
    if (v.IsDouble() && v.GetDouble() == std::floor(v.GetDouble()) &&
        std::fabs(v.GetDouble()) < 1e15)
        return std::to_string(static_cast<long long>(v.GetDouble()));
    return JsonText(v);
}

const rapidjson::Value *Member(const rapidjson::Value &o, const std::string &name) {
    if (!o.IsObject()) return nullptr;
    auto m = o.FindMember(name.c_str());
    return m == o.MemberEnd() ? nullptr : &m->value;
}

std::string StringOr(const rapidjson::Value *v, const std::string &otherwise) {
    return v != nullptr && v->IsString() ? v->GetString() : otherwise;
}

// What the page shows of every screen, read in one go: its cells by key
// and the notes of each section, one a line.
const char kReadScreens[] = R"JS(
const out = {};
for (const card of document.querySelectorAll('article.screen')) {
  const cells = {}, notes = {};
  for (const td of card.querySelectorAll('td[data-key]')) cells[td.dataset.key] = td.textContent;
  for (const part of card.querySelectorAll('section[data-section]'))
    notes[part.dataset.section] =
        [...part.querySelectorAll('p.note')].map(p => p.textContent).join('\n');
  out[card.id.substring(7)] = {cells, notes};
}
return out;
)JS";

// The page in a headless Chromium driven through chromedriver's WebDriver
// API (JSON over loopback HTTP): one session, scripts run in the page. The
// session and chromedriver end with the fixture.
class ServeInBrowser : public DiagctlSystem {
  protected:
    ~ServeInBrowser() override {
        if (!session_.empty()) Command("", "", nullptr);
        driver_.Stop(SIGTERM);
    }

    // One WebDriver command under /session/ID (or /session before there is
    // one): a POST of body, a DELETE if there is none; the answer's "value"
    // into *value (if any). "" or what failed.
    std::string Command(const std::string &path, const std::string &body,
                        rapidjson::Document *value) {
        httplib::Client client("127.0.0.1", driver_port_);
        client.set_read_timeout(120, 0);  // a browser starting on two busy cores
        const std::string at = "/session" + (session_.empty() ? "" : "/" + session_ + path);
        httplib::Result r =
            body.empty() ? client.Delete(at) : client.Post(at, body, "application/json");
        const std::string what = (body.empty() ? "DELETE " : "POST ") + at + ": ";
        rapidjson::Document answer;
        if (!r || r->status != 200 || answer.Parse(r->body.c_str()).HasParseError() ||
            !answer.IsObject() || !answer.HasMember("value"))
            return what + (r ? std::to_string(r->status) + " " + r->body : to_string(r.error()));
        if (value != nullptr) value->CopyFrom(answer["value"], value->GetAllocator());
        return "";
    }

    // A WebDriver GET under /session/ID: the answer's "value", or null.
    rapidjson::Document Get(const std::string &path) {
        httplib::Client client("127.0.0.1", driver_port_);
        client.set_read_timeout(120, 0);
        httplib::Result r = client.Get("/session/" + session_ + path);
        rapidjson::Document answer, value;
        if (r && r->status == 200 && !answer.Parse(r->body.c_str()).HasParseError() &&
            answer.IsObject() && answer.HasMember("value"))
            value.CopyFrom(answer["value"], value.GetAllocator());
        return value;
    }

    // Starts chromedriver (it says its free port on its output) and a
    // headless session whose profile and logs live in dir; "" or what failed.
    std::string StartBrowser(const std::string &dir) {
        const std::string out = dir + "/chromedriver.out", says = "started successfully on port ";
        if (!driver_.Start({"/usr/bin/chromedriver", "--port=0", "--log-path=" + dir + "/cd.log"},
                           out, dir + "/chromedriver.err"))
            return "cannot start chromedriver";
        for (int i = 0; i < 3000 && driver_port_ == 0 && driver_.running(); i++, usleep(10000)) {
            const std::string said = ReadFile(out);
            if (said.find(says) != std::string::npos)
                driver_port_ = atoi(said.c_str() + said.find(says) + says.size());
        }
        if (driver_port_ == 0) return "chromedriver gave no port: " + ReadFile(out);
        // Root needs --no-sandbox; the rest keeps the browser off the network.
        rapidjson::Document value;
        std::string why = Command(
            "",
            R"({"capabilities":{"alwaysMatch":{"browserName":"chrome","goog:chromeOptions":{)"
            R"("binary":"/usr/bin/chromium","args":["--headless=new","--no-sandbox",)"
            R"("--disable-gpu","--disable-dev-shm-usage","--no-proxy-server",)"
            R"("--disable-background-networking","--disable-component-update","--disable-sync",)"
            R"("--no-first-run","--window-size=1400,2600","--user-data-dir=)" +
                dir + R"(/profile"]}}}})",
            &value);
        if (!why.empty() || !value.IsObject() || !value.HasMember("sessionId"))
            return why + " no session: " + JsonText(value);
        session_ = value["sessionId"].GetString();
        return Command("/timeouts", R"({"script":30000,"pageLoad":60000})", &value);
    }

    // Runs script as the body of a function in the page; what it returns
    // (null after a failure, which is reported unless quiet).
    rapidjson::Document Run(const std::string &script, bool quiet = false) {
        rapidjson::Document d;
        rapidjson::Value text(rapidjson::StringRef(script.c_str()));
        const std::string why =
            Command("/execute/sync", "{\"script\":" + JsonText(text) + ",\"args\":[]}", &d);
        if (!why.empty() && !quiet) ADD_FAILURE() << why;
        return d;  // null after a failure
    }

    // Polls a script until it returns true; false after a minute.
    bool WaitInPage(const std::string &script) {
        for (int i = 0; i < 1200; i++, usleep(50000))
            if (Run(script, true) == true) return true;
        return false;
    }

    // Stops the simulator's clock at t seconds of the drive; the wall time
    // (ms since the epoch) once stopped, which every later request follows.
    long long StepTo(const std::string &t) {
        EXPECT_TRUE(Publish("/dev/radio/cellular/clock", t + "\n"));
        using namespace std::chrono;
        return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    }

    // The page's screens against diagctl --json of the same (stopped) modem state: every value
    // of the record's screen is a cell with the page's text of it (a null: the daemon's
    // placeholder), but a column the page names in its NOT SUPPORTED note; the page has no cell
    // the record lacks. radionwinfo's record into *radionwinfo.
    void CompareScreens(rapidjson::Document *radionwinfo) {
        rapidjson::Document page = Run(kReadScreens);
        ASSERT_TRUE(page.IsObject() && page.MemberCount() == kServed) << JsonText(page);
        for (auto p = page.MemberBegin(); p != page.MemberEnd(); ++p) {
            SCOPED_TRACE(p->name.GetString());
            Ran json = Diagctl({"--json", p->name.GetString()});
            rapidjson::Document record;
            ASSERT_TRUE(json.status == 0 && !record.Parse(json.out.c_str()).HasParseError())
                << json.err << json.out;
            CompareScreen(record["screen"], p->value);
            if (p->name == "radionwinfo") radionwinfo->Swap(record);
        }
    }

    void CompareScreen(const rapidjson::Value &screen, const rapidjson::Value &shown) {
        const rapidjson::Value &units = screen["units"],
                               *unavailable = Member(screen, "unavailable");
        auto notes = [&](const std::string &sec) {
            return StringOr(Member(shown["notes"], sec), "");
        };
        std::set<std::string> expected;
        // A value of the section before key's first '.', its placeholder at path ("": key).
        auto check = [&](const std::string &key, const std::string &path,
                         const rapidjson::Value &v) {
            SCOPED_TRACE(key);
            const std::string unit = StringOr(Member(units, key), "");
            const std::string want =
                v.IsNull() ? StringOr(Member(*unavailable, path.empty() ? key : path), "N/A")
                           : PageText(v) + (v.IsNumber() && !unit.empty() ? " " + unit : "");
            const rapidjson::Value *cell = Member(shown["cells"], key);
            if (cell == nullptr) {
                // Only a column of placeholders may be left out, named in a note.
                EXPECT_TRUE(v.IsNull()) << "no cell for " << PageText(v);
                EXPECT_NE(("\n" + notes(key.substr(0, key.find('.')))).find("\nNOT SUPPORTED: "),
                          std::string::npos)
                    << "a null with neither a cell nor a note";
                return;
            }
            expected.insert(key);
            EXPECT_EQ(cell->GetString(), want);
        };
        for (auto s = screen["sections"].MemberBegin(); s != screen["sections"].MemberEnd(); ++s) {
            const std::string sec = s->name.GetString();
            if (s->value.IsObject()) {
                for (auto f = s->value.MemberBegin(); f != s->value.MemberEnd(); ++f)
                    check(sec + "." + f->name.GetString(), "", f->value);
            } else if (s->value.IsArray()) {
                for (rapidjson::SizeType i = 0; i < s->value.Size(); i++) {
                    const rapidjson::Value &row = s->value[i];
                    for (auto f = row.MemberBegin(); f != row.MemberEnd(); ++f) {
                        const std::string col = f->name.GetString();
                        if (col != "index")
                            check(sec + "." + PageText(row["index"]) + "." + col,
                                  sec + "." + std::to_string(i) + "." + col, f->value);
                    }
                }
                EXPECT_TRUE(!s->value.Empty() || notes(sec) == "(none)") << notes(sec);
            } else if (s->value.IsNull()) {
                EXPECT_EQ(notes(sec), StringOr(Member(*unavailable, sec), "N/A")) << sec;
            }
        }
        for (auto c = shown["cells"].MemberBegin(); c != shown["cells"].MemberEnd(); ++c)
            EXPECT_EQ(expected.count(c->name.GetString()), 1u) << "extra " << c->name.GetString();
    }

    // The y values of one line of a chart, in order, runs of one value taken
    // as one.
    std::vector<int> ChartLine(const std::string &chart, const std::string &line) {
        const rapidjson::Document d =
            Run("const c = document.querySelector('canvas[data-chart=\"" + chart +
                "\"]'); if (!c) return null;"
                "const ds = Chart.getChart(c).data.datasets.find(d => d.label === '" +
                line +
                "'); if (!ds) return null;"
                "if (ds.data.some((p, i) => i && !(p.x > ds.data[i - 1].x))) return 'x not rising';"
                "return ds.data.map(p => p.y).filter((y, i, ys) => !i || y !== ys[i - 1]);");
        if (!d.IsArray()) ADD_FAILURE() << chart << " / " << line << ": " << JsonText(d);
        std::vector<int> ys;
        for (rapidjson::SizeType i = 0; d.IsArray() && i < d.Size(); i++)
            ys.push_back(d[i].GetInt());
        return ys;
    }

    // The text of one cell of the page, as a script expression.
    static std::string Cell(const std::string &screen, const std::string &key) {
        return "document.querySelector('#screen-" + screen + " td[data-key=\"" + key +
               "\"]').textContent";
    }

    // The system on a scenario with its clock stopped at clock, diagctl
    // serve and a browser session: the page's URL (with its token), or ""
    // and a failure.
    std::string StartSystemAndBrowser(Child *serve, const std::string &scenario,
                                      const std::string &clock) {
        StartSimulator({"-s", scenario});
        if (!Publish("/dev/radio/cellular/clock", clock + "\n")) return "";
        StartDaemon();
        std::string token;
        const int port = StartServe(serve, {"--every", "0.2"}, &token);
        const std::string dir = tmp_ + "/chromium";
        if (port == 0 || mkdir(dir.c_str(), 0700) != 0) return "";
        const std::string why = StartBrowser(dir);
        if (!why.empty()) {
            ADD_FAILURE() << why << ReadFile(dir + "/cd.log").substr(0, 4000);
            return "";
        }
        return "http://127.0.0.1:" + std::to_string(port) + "/#token=" + token;
    }

    Child driver_;
    int driver_port_ = 0;
    std::string session_;
};

TEST_F(ServeInBrowser, LivePageMatchesDiagctlAndFollowsTheDrive) {
    if (access("/usr/bin/chromium", X_OK) != 0 || access("/usr/bin/chromedriver", X_OK) != 0)
        GTEST_SKIP() << "no chromium or chromedriver (Debian's chromium, chromium-driver)";

    // The handover drive with a hostile APN, its clock stopped at 0.
    const std::string apn = JsonText(rapidjson::Value(rapidjson::StringRef(kHostileApn)));
    std::string drive = ReadFile(kDrives + "/drive-handover.json");
    ASSERT_NE(drive.rfind('}'), std::string::npos);
    drive.insert(drive.rfind('}'), ",\"pdp_contexts\":[{\"apn\":" + apn +
                                       ",\"ipv4\":\"10.64.12.7\",\"ipv6\":\"2001:db8:0:1::7\"}]");
    std::ofstream(tmp_ + "/drive.json") << drive;
    StartSimulator({"-s", tmp_ + "/drive.json"});
    ASSERT_TRUE(Publish("/dev/radio/cellular/clock", "0\n"));
    // A network time, so that the nitz screen has values too.
    ASSERT_TRUE(Publish(kNetworkTime + "/status",
                        "last_sync_detail:json:{\"source\":\"nitz\",\"src_sec\":1700000000}\n"));
    StartDaemon();
    WaitForText(kDiag + "/status_data", "nitz_date");

    Child serve;
    std::string token;
    const int port = StartServe(&serve, {"--every", "0.2", "--allow-control"}, &token);
    ASSERT_NE(port, 0);
    const std::string dir = tmp_ + "/chromium";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(StartBrowser(dir), "") << ReadFile(dir + "/cd.log").substr(0, 4000);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/#token=" + token;
    ASSERT_EQ(Command("/url", R"({"url":")" + url + "\"}", nullptr), "");
    const std::string state = "document.getElementById('state').textContent";
    ASSERT_TRUE(WaitInPage("return " + state + " === 'live';")) << JsonText(Run("return " + state));
    // The token left the address bar (and so the history) once the page had it.
    EXPECT_EQ(JsonText(Run("return location.href;")),
              "\"http://127.0.0.1:" + std::to_string(port) + "/\"");

    // Every screen at each step of the drive, and what radionwinfo said
    // there for the charts.
    std::vector<int> serving;
    std::map<std::string, std::vector<int>> active;  // "SC 310" -> RSCP at each step
    for (const char *t : {"0", "10", "20", "30"}) {
        SCOPED_TRACE(std::string("drive at ") + t + " s");
        ASSERT_TRUE(WaitInPage(
            "const cards = [...document.querySelectorAll('article.screen')];"
            "return cards.length === " +
            std::to_string(kServed) + " && cards.every(c => Date.parse(c.dataset.time) > " +
            std::to_string(StepTo(t)) + ");"));
        rapidjson::Document r;
        ASSERT_NO_FATAL_FAILURE(CompareScreens(&r));
        const rapidjson::Value &sections = r["screen"]["sections"];
        serving.push_back(sections["serving_cell"]["scell_rscp"].GetInt());
        for (const rapidjson::Value &row : sections["active_set"].GetArray()) {
            std::vector<int> &line = active["SC " + PageText(row["aset_sc"])];
            if (line.empty() || line.back() != row["aset_rscp"].GetInt())
                line.push_back(row["aset_rscp"].GetInt());
        }
    }

    // The charts hold a point per round, and their lines went where the
    // drive went: the serving cell fading from -70 dBm, a line for each
    // scrambling code that joined the active set.
    EXPECT_EQ(serving, (std::vector<int>{-70, -80, -90, -80}));
    EXPECT_EQ(ChartLine("radionwinfo serving_cell dBm", "RSCP"), serving);
    ASSERT_EQ(active.size(), 2u);
    for (const auto &[name, rscp] : active) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ChartLine("radionwinfo active_set aset_rscp", name), rscp);
    }

    // The APN's markup is the text of its cell and nothing else: not pwned, no image, the page's
    // own scripts only (Chart.js and app.js), no onerror handler.
    EXPECT_EQ(JsonText(Run(R"JS(
        const cell = document.querySelector('td[data-key$=".apn_name"]');
        return [window.__pwned === undefined ? null : window.__pwned, document.images.length,
                document.scripts.length, document.querySelectorAll('[onerror]').length,
                cell ? cell.textContent : null];)JS")),
              "[null,0,2,0," + apn + "]");

    // Paused, the page stays as it was while rounds go on (five, each
    // pushed to every open stream); the mask still applies at once;
    // resumed, it catches up.
    const std::string rscp = Cell("radionwinfo", "serving_cell.scell_rscp");
    Run("document.getElementById('pause').click();");
    EXPECT_EQ(JsonText(Run("return " + rscp)), "\"-80 dBm\"");
    EXPECT_EQ(JsonText(Run("return " + state)), "\"paused\"");
    StepTo("40");
    httplib::Client api("127.0.0.1", port);
    api.set_bearer_token_auth(token.c_str());
    std::set<std::string> rounds;  // the times of rounds made after the step
    for (int i = 0; i < 1200 && rounds.size() < 5; i++, usleep(50000)) {
        httplib::Result r = api.Get("/api/v1/screens/radionwinfo");
        rapidjson::Document rec;
        if (r && !rec.Parse(r->body.c_str()).HasParseError() && rec.HasMember("screen") &&
            rec["screen"]["sections"]["serving_cell"]["scell_rscp"] == -104)
            rounds.insert(rec["time"].GetString());
    }
    ASSERT_EQ(rounds.size(), 5u);
    EXPECT_EQ(JsonText(Run("return " + rscp)), "\"-80 dBm\"") << "paused page";

    // The mask, on and off.
    const std::string imei_cell = Cell("identity", "equipment.IMEI");
    const std::string imei = JsonText(Run("return " + imei_cell));  // a JavaScript string too
    ASSERT_EQ(imei.find('*'), std::string::npos) << imei;
    Run("document.getElementById('mask').click();");
    EXPECT_TRUE(WaitInPage("return " + imei_cell + ".includes('****');"))
        << JsonText(Run("return " + imei_cell));
    Run("document.getElementById('mask').click();");
    EXPECT_TRUE(WaitInPage("return " + imei_cell + " === " + imei + ";"));
    Run("document.getElementById('pause').click();");
    EXPECT_TRUE(WaitInPage("return " + state + " === 'live' && " + rscp + " === '-104 dBm';"));

    // The GSM-time switch, shown under --allow-control, writes the config.
    EXPECT_EQ(JsonText(Run("return document.getElementById('gsm-time').hidden;")), "false");
    Run("document.getElementById('gsm-on').click();");
    const std::string gsm = "document.getElementById('gsm-result').textContent";
    EXPECT_TRUE(WaitInPage("return " + gsm + " === 'gsm_time_enable 1';"))
        << JsonText(Run("return " + gsm));
    EXPECT_NE(ReadFile(kDiag + "/config").find("gsm_time_enable::1\n"), std::string::npos);

    EXPECT_EQ(serve.Stop(SIGINT), 0) << "exit status 0";
}

}  // namespace

namespace {

// What a user's curl got: the status (0: no answer) and the body.
struct Got {
    int status;
    std::string body;
};

}  // namespace

// The console demands what the diag directory demands. diagctl serve runs
// as a member of the diagnostics group and writes its token to a file of
// that group: another member reads it and gets the screens; a local user
// outside the group cannot read it and gets nothing of the API, whatever
// it sends. Off loopback it serves only over TLS, identities masked.
TEST_F(DiagctlSystem, ConsoleDemandsWhatTheDiagDirectoryDemands) {
    StartSimulator();
    StartDaemon();
    const uid_t server_uid = Deployment::kNobody, member = 65533, outsider = 65532;
    const std::string dir = tmp_ + "/console";
    ASSERT_EQ(chmod(tmp_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chown(dir.c_str(), server_uid, server_uid), 0);
    const std::string token_file = dir + "/token";
    Child serve;
    AsDiagctlUser(&serve);
    ASSERT_TRUE(serve.Start({DIAGCTL_BIN, "serve", "--listen", "127.0.0.1:0", "--every", "0.2",
                             "--allow-control", "--token-file", token_file},
                            tmp_ + "/serve.out", tmp_ + "/serve.err"));
    int port = 0;
    for (int i = 0; i < 1000 && port == 0 && serve.running(); i++, usleep(10000)) {
        const std::string out = ReadFile(tmp_ + "/serve.out");
        if (out.find("(token in " + token_file + ")\n") != std::string::npos)
            port = atoi(out.c_str() + out.find("127.0.0.1:") + 10);
    }
    ASSERT_NE(port, 0) << ReadFile(tmp_ + "/serve.err");
    EXPECT_EQ(ReadFile(tmp_ + "/serve.out").find("#token="), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(token_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_gid, dep_.diag_gid);

    // curl as a user, with the token read as that user (none if it cannot,
    // or when the arguments bring their own).
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    auto curl = [&](uid_t uid, bool in_group, const std::vector<std::string> &args) {
        Child c;
        c.RunAs(uid, uid, in_group ? std::vector<gid_t>{dep_.diag_gid} : std::vector<gid_t>{});
        std::vector<std::string> argv = {
            "/bin/sh", "-c",
            "t=$(cat " + token_file +
                " 2>/dev/null); "
                "if [ -n \"$t\" ]; then set -- -H \"Authorization: Bearer $t\" \"$@\"; fi; "
                "exec curl -s -w '\\n%{http_code}' \"$@\"",
            "curl"};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_TRUE(c.Start(argv, tmp_ + "/curl.out", tmp_ + "/curl.err"));
        c.Wait(30000);
        // The body, then the status on a line of its own.
        const std::string out = ReadFile(tmp_ + "/curl.out");
        const std::size_t nl = out.rfind('\n');
        return nl == std::string::npos ? Got{0, ""}
                                       : Got{atoi(out.c_str() + nl + 1), out.substr(0, nl)};
    };
    Got got;
    for (int i = 0; i < 500; i++, usleep(20000)) {
        got = curl(member, true, {base + "/api/v1/screens/identity"});
        if (got.body.find("\"IMEI\":\"3538") != std::string::npos) break;
    }
    EXPECT_EQ(got.status, 200) << got.body;
    EXPECT_NE(got.body.find("\"IMEI\":\"3538"), std::string::npos) << got.body;
    const std::string origin = "Origin: " + base.substr(0, 7) + "127.0.0.1:" + std::to_string(port);
    const struct {
        const char *name;
        std::vector<std::string> args;
    } attempts[] = {
        {"a screen", {base + "/api/v1/screens/identity"}},
        {"the index", {base + "/api/v1/screens"}},
        {"the session", {base + "/api/v1/session.jsonl"}},
        {"the stream", {"--max-time", "2", base + "/api/v1/stream"}},
        {"the switch, as the page", {"-H", origin, "--data", "on", base + "/api/v1/gsm-time"}},
    };
    for (const auto &a : attempts) {
        SCOPED_TRACE(a.name);
        got = curl(outsider, false, a.args);
        EXPECT_EQ(got.status, 401) << got.body;
        EXPECT_EQ(got.body.find("IMEI"), std::string::npos);
    }
    EXPECT_EQ(ReadFile(kDiag + "/config").find("gsm_time_enable::1"), std::string::npos);
    got = curl(member, true, {"-H", origin, "--data", "on", base + "/api/v1/gsm-time"});
    EXPECT_EQ(got.status, 200) << got.body;
    EXPECT_NE(WaitForText(kDiag + "/config", "gsm_time_enable::1").find("gsm_time_enable::1"),
              std::string::npos);
    EXPECT_EQ(serve.Stop(SIGTERM), 0);
    EXPECT_NE(access(token_file.c_str(), F_OK), 0) << "the token file goes with the server";

    // Off loopback: refused without TLS, saying what to add; a token file
    // where others may write is refused.
    auto refused = [&](const std::vector<std::string> &args, const std::string &says) {
        Child c;
        AsDiagctlUser(&c);
        std::vector<std::string> argv = {DIAGCTL_BIN, "serve"};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_TRUE(c.Start(argv, tmp_ + "/r.out", tmp_ + "/r.err"));
        const int status = c.Wait(30000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
        EXPECT_NE(ReadFile(tmp_ + "/r.err").find(says), std::string::npos)
            << ReadFile(tmp_ + "/r.err");
    };
    refused({"--listen", "0.0.0.0:0"}, "add --tls-cert FILE --tls-key FILE");
    refused({"--listen", "[::]:0"}, "add --tls-cert FILE --tls-key FILE");
    refused({"--listen", "127.0.0.1:0", "--token-file", "/tmp/diagctl-token"},
            "may be written by other users");

    // With a certificate: HTTPS only, identities masked even when asked
    // for, the token still needed.
    const std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
    ASSERT_EQ(system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                      "-days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                      key + " -out " + cert + " 2>/dev/null && chown nobody " + key)
                         .c_str()),
              0);
    Child tls;
    AsDiagctlUser(&tls);
    ASSERT_TRUE(tls.Start({DIAGCTL_BIN, "serve", "--listen", "0.0.0.0:0", "--every", "0.2",
                           "--tls-cert", cert, "--tls-key", key},
                          tmp_ + "/tls.out", tmp_ + "/tls.err"));
    std::string line;
    for (int i = 0; i < 1000 && tls.running(); i++, usleep(10000))
        if ((line = ReadFile(tmp_ + "/tls.out")).find("#token=") != std::string::npos) break;
    ASSERT_NE(line.find("https://0.0.0.0:"), std::string::npos) << ReadFile(tmp_ + "/tls.err");
    const std::string tls_port = std::to_string(atoi(line.c_str() + line.find("0.0.0.0:") + 8));
    const std::string tls_token = line.substr(line.find("#token=") + 7, 64);
    const std::string https = "https://127.0.0.1:" + tls_port;
    auto tls_curl = [&](const std::vector<std::string> &args, const std::string &token) {
        std::vector<std::string> all = {"--cacert", cert, "-H", "Authorization: Bearer " + token};
        all.insert(all.end(), args.begin(), args.end());
        return curl(member, true, all);
    };
    for (int i = 0; i < 500; i++, usleep(20000)) {
        got = tls_curl({https + "/api/v1/screens/identity?mask=0"}, tls_token);
        if (got.body.find("\"IMEI\":") != std::string::npos) break;
    }
    EXPECT_EQ(got.status, 200) << got.body;
    EXPECT_NE(got.body.find("\"IMEI\":\"***********"), std::string::npos) << got.body;
    EXPECT_EQ(tls_curl({https + "/api/v1/screens"}, "x").status, 401);
    EXPECT_EQ(curl(member, true, {"http://127.0.0.1:" + tls_port + "/api/v1/screens"}).status, 0)
        << "no plain HTTP";
    EXPECT_EQ(tls.Stop(SIGTERM), 0);
}

namespace {

// Decodes base64 (a WebDriver screenshot).
std::string Base64(const std::string &in) {
    std::string out;
    int bits = 0, value = 0;
    for (char c : in) {
        const char *at =
            strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", c);
        if (c == '=' || at == nullptr) continue;
        value = value << 6 |
                static_cast<int>(
                    at - "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
        if ((bits += 6) >= 8) out += static_cast<char>(value >> (bits -= 8) & 0xff);
    }
    return out;
}

}  // namespace

// On the LTE drive the overview follows lteopinfo and nropinfo: LTE with
// the NR leg under NSA, the cell by TAC and cell id, EARFCN and PCI, RSRP
// and RSRQ with their bands; after the fallback, WCDMA again. The events
// name the fallback once and the NR leg released, then added again when
// the drive goes back to it.
TEST_F(ServeInBrowser, OverviewOnLte) {
    if (access("/usr/bin/chromium", X_OK) != 0 || access("/usr/bin/chromedriver", X_OK) != 0)
        GTEST_SKIP() << "no chromium or chromedriver (Debian's chromium, chromium-driver)";
    Child serve;
    const std::string url = StartSystemAndBrowser(&serve, kDrives + "/drive-lte.json", "20");
    ASSERT_NE(url, "");
    ASSERT_EQ(Command("/url", R"({"url":")" + url + "\"}", nullptr), "");
    const std::string overview =
        "const t = id => document.getElementById(id).textContent;"
        "return [t('ov-rat'), t('ov-plmn'), t('ov-cell'), t('ov-channel-label'), t('ov-channel'),"
        "...[...document.querySelectorAll('#ov-levels .level')].map("
        "l => l.dataset.level + ' ' + l.querySelector('.figure').textContent + ' ' + "
        "(l.querySelector('.band') || {}).textContent)];";
    const std::string lte =
        R"(["LTE + NR","310-150","10753 · 1715004","EARFCN · PCI","1300 · 101",)"
        R"("rsrp -88 good","rsrq -10 good"])";
    ASSERT_TRUE(
        WaitInPage("return JSON.stringify((() => {" + overview + "})()) === '" + lte + "';"))
        << JsonText(Run(overview));
    ASSERT_TRUE(Publish("/dev/radio/cellular/clock", "60\n"));
    ASSERT_TRUE(WaitInPage("return document.getElementById('ov-rat').textContent === 'WCDMA';"))
        << JsonText(Run(overview));
    // The fallback is an event; LTE was never taken for a change by itself.
    const std::string events =
        "return [...document.querySelectorAll('#events li span')].map(s => s.textContent);";
    ASSERT_TRUE(
        WaitInPage("return (() => {" + events + "})().includes('RAT change: LTE → WCDMA');"))
        << JsonText(Run(events));
    EXPECT_EQ(JsonText(Run("return (() => {" + events +
                           "})().filter(t => t.startsWith('RAT change')).length;")),
              "1");
    const std::string leg = "PCI 500 (NR-ARFCN 627264)";
    EXPECT_TRUE(
        WaitInPage("return (() => {" + events + "})().includes('NR released: " + leg + "');"))
        << JsonText(Run(events));
    ASSERT_TRUE(Publish("/dev/radio/cellular/clock", "20\n"));
    EXPECT_TRUE(WaitInPage("return (() => {" + events + "})().includes('NR added: " + leg + "');"))
        << JsonText(Run(events));
}

// The first screenful as a field engineer meets it, on a laptop and on a
// phone: the overview (RAT, PLMN, cell, channel and code, the levels with
// their bands) equals diagctl --json and needs no scrolling, nor does the
// page sideways; a chart is drawn only for a series with data; the events
// show the drive's handover at the time of the first record that had it;
// and a recording opened from a file is scrubbed back to a moment before it.
// (Screenshots of both sizes go to $VELOMAR_SCREENSHOTS when it is set.)
TEST_F(ServeInBrowser, FirstScreenfulAnswersAndARecordingScrubs) {
    if (access("/usr/bin/chromium", X_OK) != 0 || access("/usr/bin/chromedriver", X_OK) != 0)
        GTEST_SKIP() << "no chromium or chromedriver (Debian's chromium, chromium-driver)";
    Child serve;
    const std::string url = StartSystemAndBrowser(&serve, kDrives + "/drive-handover.json", "0");
    ASSERT_NE(url, "");
    WaitForText(kDiag + "/status_data", "scell_rscp");
    const std::string dir = tmp_ + "/chromium";
    const int port = atoi(url.c_str() + strlen("http://127.0.0.1:"));
    const std::string token = url.substr(url.find("#token=") + 7);
    const char *shots = getenv("VELOMAR_SCREENSHOTS");
    auto text = [&](const std::string &id) {
        return JsonText(Run("return document.getElementById('" + id + "').textContent;"));
    };
    const struct { int width, height; } sizes[] = {{1366, 768}, {390, 844}};
    for (const auto &size : sizes) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        rapidjson::Document rect;
        ASSERT_EQ(Command("/window/rect",
                          "{\"width\":" + std::to_string(size.width) +
                              ",\"height\":" + std::to_string(size.height) + "}",
                          &rect),
                  "");
        ASSERT_EQ(Command("/url", R"({"url":")" + url + "\"}", nullptr), "");
        ASSERT_TRUE(
            WaitInPage("return document.getElementById('state').textContent === 'live' && "
                       "document.getElementById('ov-channel').textContent !== '—';"));
        Ran json = Diagctl({"--json", "radionwinfo"});
        rapidjson::Document rec;
        ASSERT_FALSE(rec.Parse(json.out.c_str()).HasParseError()) << json.out;
        const rapidjson::Value &cell = rec["screen"]["sections"]["serving_cell"];
        EXPECT_EQ(text("ov-rat"), "\"WCDMA\"");
        EXPECT_EQ(text("ov-plmn"),
                  "\"" + PageText(cell["scell_mcc"]) + "-" + PageText(cell["scell_mnc"]) + "\"");
        EXPECT_EQ(text("ov-cell"), "\"" + PageText(cell["scell_lac"]) + " · " +
                                       PageText(cell["scell_cellid"]) + "\"");
        EXPECT_EQ(text("ov-channel"), "\"" + PageText(cell["scell_uarfcn"]) + " · " +
                                          PageText(cell["scell_sc"]) + "\"");
        EXPECT_EQ(JsonText(Run(
                      "return [...document.querySelectorAll('#ov-levels .level')].map("
                      "l => l.dataset.level + ' ' + l.querySelector('.figure').textContent + ' ' + "
                      "(l.querySelector('.band') || {}).textContent);")),
                  "[\"rscp " + PageText(cell["scell_rscp"]) + " good\",\"ecio " +
                      PageText(cell["scell_ecio"]) + " good\"]");
        // All of it in the first screenful; nothing to scroll sideways.
        EXPECT_EQ(JsonText(Run(
                      "const b = id => document.getElementById(id).getBoundingClientRect().bottom;"
                      "return [b('overview') <= innerHeight, b('tabs') <= innerHeight,"
                      "document.documentElement.scrollWidth <= innerWidth];")),
                  "[true,true,true]");
        // Every chart drawn has a point in its window.
        EXPECT_EQ(
            JsonText(Run(
                "const min = Date.now() - 300e3;"
                "const shown = [...document.querySelectorAll('.chart:not([hidden]) canvas')];"
                "return [shown.length > 0, shown.every(c => Chart.getChart(c).data.datasets.some("
                "ds => ds.data.some(p => p.x >= min)))];")),
            "[true,true]");
        if (shots != nullptr) {
            const rapidjson::Document png = Get("/screenshot");
            ASSERT_TRUE(png.IsString());
            std::ofstream(std::string(shots) + "/console-" + std::to_string(size.width) + "x" +
                          std::to_string(size.height) + ".png")
                << Base64(png.GetString());
        }
    }

    // The handover, at the time of the first record that shows SC 311.
    ASSERT_TRUE(Publish("/dev/radio/cellular/clock", "30\n"));
    const std::string handover = "Handover: SC 310 (UARFCN 10700) → SC 311 (UARFCN 10700)";
    ASSERT_TRUE(
        WaitInPage("return [...document.querySelectorAll('#events li span')].some("
                   "s => s.textContent === '" +
                   handover + "');"))
        << text("events");
    httplib::Client api("127.0.0.1", port);
    api.set_bearer_token_auth(token);
    const std::string session = api.Get("/api/v1/session.jsonl")->body;
    std::string first_311, before;  // the first record with SC 311, and one of 310's
    std::istringstream lines(session);
    for (std::string line; std::getline(lines, line);) {
        rapidjson::Document r;
        if (r.Parse(line.c_str()).HasParseError() || r["command"] != "radionwinfo" ||
            !r.HasMember("screen"))
            continue;
        const int sc = r["screen"]["sections"]["serving_cell"]["scell_sc"].GetInt();
        if (sc == 310) before = line;
        if (sc == 311 && first_311.empty()) first_311 = r["time"].GetString();
    }
    ASSERT_FALSE(first_311.empty());
    EXPECT_EQ(JsonText(Run("const li = [...document.querySelectorAll('#events li')].find("
                           "l => l.textContent.includes('Handover'));"
                           "return li.querySelector('time').dateTime;")),
              "\"" + first_311 + "\"");

    // The session as a recording, opened from a file, scrubbed to a record
    // of cell 310: the overview and the screen show it, no handover yet.
    const std::string file = dir + "/drive.jsonl";
    std::ofstream(file) << session;
    rapidjson::Document input;
    ASSERT_EQ(Command("/element", R"({"using":"css selector","value":"#open"})", &input), "");
    ASSERT_TRUE(input.IsObject() && input.MemberBegin() != input.MemberEnd());
    const std::string element = input.MemberBegin()->value.GetString();
    ASSERT_EQ(Command("/element/" + element + "/value", "{\"text\":\"" + file + "\"}", nullptr),
              "");
    ASSERT_TRUE(WaitInPage("return !document.getElementById('review').hidden;"));
    rapidjson::Document old_rec;
    old_rec.Parse(before.c_str());
    const std::string old_time = old_rec["time"].GetString();
    const rapidjson::Document at =
        Run("const recs = review.records;"
            "const i = recs.findIndex(r => r.time === '" +
            old_time +
            "' && r.command === 'radionwinfo');"
            "const s = document.getElementById('scrub'); s.value = String(i);"
            "s.dispatchEvent(new Event('input'));"
            "return [document.getElementById('scrub-time').textContent,"
            "document.querySelector('#ov-levels [data-level=rscp] .figure').textContent,"
            "document.getElementById('ov-channel').textContent,"
            "[...document.querySelectorAll('#events li')].some(l => "
            "l.textContent.includes('Handover'))];");
    EXPECT_EQ(JsonText(at),
              "[\"" + old_time + "\",\"" +
                  PageText(old_rec["screen"]["sections"]["serving_cell"]["scell_rscp"]) +
                  "\",\"10700 · 310\",false]");
    if (shots != nullptr) {
        const rapidjson::Document png = Get("/screenshot");
        if (png.IsString())
            std::ofstream(std::string(shots) + "/console-review.png") << Base64(png.GetString());
    }
    EXPECT_EQ(serve.Stop(SIGINT), 0);
}
