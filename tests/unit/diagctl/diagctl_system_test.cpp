// SPDX-License-Identifier: Apache-2.0
// diagctl as a member of the diagnostics group runs it, against ppsfs,
// techmode-sim and qrx_velomar_server in the deployment layout, in a private
// mount namespace: exit statuses, screens, records, and errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "SchemaCheck.h"
#include "support/SystemFixture.h"

namespace {

using namespace systemtest;

// Every command's screen and record (which fits the schema in the
// repository) as the daemon really fills them; --watch shows a daemon that
// stops answering for a while as such, and goes on once it answers again.
TEST_F(DiagctlSystem, EveryCommandShowsItsScreenAndJsonAndTheWatchGoesOn) {
    StartSimulator();
    StartDaemon();
    // The values themselves are the golden session's to check.
    for (const std::string command :
         {"identity", "access", "gsmopinfo", "tchtxpower", "tchtxpwr", "bearer", "hspaopinfo",
          "umtsopinfo", "radiostats", "radionwinfo"}) {
        SCOPED_TRACE(command);
        Ran r = Diagctl({command});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find(command + ": "), 0u) << r.out;
        EXPECT_NE(r.out.find("]  SUCCESS\n"), std::string::npos) << r.out;
        r = Diagctl({"--json", command});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testsupport::CheckRecord(r.out), "") << r.out;
    }

    Child watch;
    AsDiagctlUser(&watch);
    ASSERT_TRUE(watch.Start({DIAGCTL_BIN, "--watch", "0.1", "--timeout", "0.2", "radiostats"},
                            tmp_ + "/watch"));
    // How many times text is in the watch's output, once it is n (or after ten seconds).
    auto count = [this](const std::string &text, std::size_t n) {
        std::size_t found = 0;
        for (int i = 0; i < 1000; i++, usleep(10000)) {
            const std::string out = ReadFile(tmp_ + "/watch");
            found = 0;
            for (std::size_t at = out.find(text); at != std::string::npos;
                 at = out.find(text, at + 1))
                found++;
            if (found >= n) break;
        }
        return found;
    };
    // Two screens: the second request, with a new id, was answered too.
    EXPECT_GE(count("]  SUCCESS", 2), 2u) << ReadFile(tmp_ + "/watch");
    kill(daemon_.pid(), SIGSTOP);
    EXPECT_GE(count("diagctl: no answer to radiostats", 1), 1u) << ReadFile(tmp_ + "/watch");
    const std::size_t before = count("]  SUCCESS", 0);
    kill(daemon_.pid(), SIGCONT);
    EXPECT_GT(count("]  SUCCESS", before + 1), before) << ReadFile(tmp_ + "/watch");
    EXPECT_EQ(watch.Stop(SIGINT), 0) << "exit status 0";
}

std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(text.substr(at, nl - at));
    if (at < text.size()) lines.push_back(text.substr(at));  // no newline: cut off
    return lines;
}

// A recording stopped by kill -9 holds whole records but possibly the last;
// one stopped by SIGTERM or SIGINT holds only whole records and says so
// with exit status 0; every record fits the schema; export makes one row
// per record.
TEST_F(DiagctlSystem, RecordSurvivesKillsAndExports) {
    StartSimulator();
    StartDaemon();
    const std::string dir = UserDir();
    const std::string path = dir + "/rec.jsonl";
    for (const int sig : {SIGKILL, SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        const std::size_t before = SplitLines(ReadFile(path)).size();
        Child rec;
        AsDiagctlUser(&rec);
        ASSERT_TRUE(rec.Start({DIAGCTL_BIN, "record", "-o", path, "--every", "0.001", "--max-size",
                               "100", "radionwinfo", "gsmopinfo", "nitz"},
                              "", tmp_ + "/rec.err"));
        for (int i = 0; i < 1000 && SplitLines(ReadFile(path)).size() < before + 20; i++)
            usleep(5000);
        // Killed, or ended with exit status 0.
        EXPECT_EQ(rec.Stop(sig), sig == SIGKILL ? SIGKILL : 0) << ReadFile(tmp_ + "/rec.err");
        const std::string text = ReadFile(path);
        ASSERT_GE(SplitLines(text).size(), before + 20);
        EXPECT_TRUE(sig == SIGKILL || text.back() == '\n') << "the last line whole";
    }
    // Every line is a record, but the one kill -9 may have cut off: the
    // next run ended it, so the records after it are whole.
    std::size_t records = 0, cut = 0;
    for (const std::string &line : SplitLines(ReadFile(path))) {
        const std::string why = testsupport::CheckRecord(line);
        (why.empty() ? records : cut)++;
        EXPECT_LE(cut, 1u) << why << ": " << line;
    }

    // One row per record, the cut-off line left out with a warning.
    Ran r = Diagctl({"export", "--csv", "-o", dir + "/rec.csv", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("; left out") != std::string::npos, cut == 1) << r.err;
    std::vector<std::string> rows = SplitLines(ReadFile(dir + "/rec.csv"));
    ASSERT_EQ(rows.size(), records + 1);
    EXPECT_EQ(rows[0].rfind("time,latency_ms,command,result,", 0), 0u) << rows[0];
    r = Diagctl({"export", "--csv", "--command", "radionwinfo", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(",serving_cell.scell_rscp,"), std::string::npos);
    EXPECT_EQ(r.out.find("gsm_arfcn"), std::string::npos);

    // Bad command lines are refused before anything is written.
    for (std::vector<std::string> args : {std::vector<std::string>{"record", "identity"},
                                          {"record", "-o", path, "gsm-time"},
                                          {"record", "-o", path, "--every", "0"},
                                          {"export", path},
                                          {"export", "--csv", "--command", "nope", path},
                                          {"identity", "extra"}}) {
        SCOPED_TRACE(args[0] + " " + args.back());
        EXPECT_EQ(Diagctl(args).status, 2);
    }
    EXPECT_EQ(Diagctl({"export", "--csv", tmp_ + "/missing"}).status, 5);
    for (const char *sub : {"record", "export"})
        EXPECT_EQ(Diagctl({sub, "--help"}).status, 0) << sub;
}

// Without the tech-mode device every fetch fails; gsm-time and nitz work.
TEST_F(DiagctlSystem, WithoutTheModem) {
    StartDaemon();
    Ran r = Diagctl({"radiostats"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("FAILURE (err -1)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  RRC state           N/A\n"), std::string::npos) << r.out;

    for (const char *arg : {"on", "off"}) {
        SCOPED_TRACE(arg);
        Ran r = Diagctl({"gsm-time", arg});
        EXPECT_EQ(r.status, 0) << r.err;
        const bool on = arg == std::string("on");
        EXPECT_NE(
            ReadFile(kDiag + "/config").find(on ? "gsm_time_enable::1\n" : "gsm_time_enable::0\n"),
            std::string::npos);
        const std::string dat = on ? "dat::gsm\n" : "dat::all\n";
        EXPECT_NE(WaitForText(kNetworkTime + "/control", dat).find(dat), std::string::npos);
    }
    EXPECT_EQ(Diagctl({"gsm-time", "maybe"}).status, 2);

    r = Diagctl({"nitz"});
    EXPECT_EQ(r.status, 1) << r.out;  // nothing published yet
    ASSERT_TRUE(Publish(kNetworkTime + "/status",
                        "last_sync_detail:json:{\"source\":\"nitz\",\"src_sec\":1700000000}\n"));
    WaitForText(kDiag + "/status_data", "nitz_date");
    r = Diagctl({"nitz"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  Date (UTC)  2023:11:14\n  Time (UTC)  22:13:20\n"), std::string::npos)
        << r.out;
}

TEST_F(DiagctlSystem, NoDaemonOrNoAnswerIsAClearError) {
    Ran r = Diagctl({"identity"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("control does not exist: qrx_velomar_server is not running"),
              std::string::npos)
        << r.err;
    // --watch waits for a daemon that is not there yet, saying so each round.
    Child watch;
    AsDiagctlUser(&watch);
    ASSERT_TRUE(watch.Start({DIAGCTL_BIN, "--watch", "0.05", "identity"}, tmp_ + "/watch"));
    auto twice = [this] {
        const std::string t = ReadFile(tmp_ + "/watch");
        return t.find("is not running") != t.rfind("is not running");
    };
    for (int i = 0; i < 1000 && !twice(); i++) usleep(10000);
    EXPECT_TRUE(watch.running()) << ReadFile(tmp_ + "/watch");
    watch.Stop(SIGINT);

    // A server of the test's own answers a bearer request as a row says
    // (ID: the request's id), or closes without answering: only an err of 0
    // is a success, whatever its sign; an answer to another request is not
    // ours; a server gone is told at once, not waited for.
    close(open((kDiag + "/status_data").c_str(), O_WRONLY | O_CREAT, 0644));
    const struct {
        std::vector<std::string> answers;  // none: the server closes
        int status;
    } cases[] = {
        {{}, 3},
        {{"res::bearer\nid::ID\nerr:n:5\n"}, 1},
        {{"res::bearer\nid::ID0\nerr:n:0\n", "res::bearer\nid::ID\nerr:n:5\n"}, 1},
    };
    const std::regex request("@control\\.([^\\n]+)\\nmsg::bearer\\nid::([^\\n]+)\\n");
    int server = -1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answers.empty() ? "closes" : c.answers[0]);
        if (server < 0)
            server = open((kDiag + "/control?server").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        ASSERT_EQ(fchmod(server, 0666), 0);  // the daemon's mode
        Child bearer;
        AsDiagctlUser(&bearer);
        ASSERT_TRUE(bearer.Start({DIAGCTL_BIN, "bearer"}, "", tmp_ + "/err"));
        std::smatch m;
        std::string asked;
        for (int i = 0; i < 1000 && !std::regex_search(asked, m, request); i++) {
            char buf[512];
            const ssize_t n = read(server, buf, sizeof buf);
            if (n > 0) asked.append(buf, n);
            usleep(10000);
        }
        ASSERT_EQ(m.size(), 3u) << asked;
        for (const std::string &a : c.answers) {
            const std::size_t id = a.find("ID");
            const std::string answer =
                "@control." + m[1].str() + "\n" + a.substr(0, id) + m[2].str() + a.substr(id + 2);
            ASSERT_EQ(write(server, answer.data(), answer.size()),
                      static_cast<ssize_t>(answer.size()));
        }
        if (c.answers.empty()) {
            close(server);
            server = -1;
        }
        const int status = bearer.Wait(30000);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.status)
            << status << ReadFile(tmp_ + "/err");
    }

    // A server that never answers.
    r = Diagctl({"--timeout", "0.2", "bearer"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("no answer to bearer from qrx_velomar_server within 0.2 s"),
              std::string::npos)
        << r.err;
    // Left unread past ppsfs's limit, its requests are refused: no answer.
    int client = open((kDiag + "/control").c_str(), O_WRONLY);
    ASSERT_EQ(write(client, ("dat::" + std::string(1100, 'x') + "\n").c_str(), 1106), 1106);
    close(client);
    r = Diagctl({"bearer"});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("qrx_velomar_server is not reading its requests"), std::string::npos)
        << r.err;
    close(server);

    // The control object stays, with no server behind it.
    r = Diagctl({"bearer"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no server holds"), std::string::npos) << r.err;
}

// A golden session of a drive: the replies techmode-sim served along the
// drive, replayed, must give the screens recorded the first time (the
// fields that hold the time and the request id aside), as diagctl record
// gives them for commands (all nine when none) at each step. A change in
// how the daemon decodes or publishes shows here. VELOMAR_UPDATE_GOLDEN=1
// plays the drive again and rewrites both files.
class GoldenSession : public DiagctlSystem {
  protected:
    void Check(const std::string &drive, const std::vector<std::string> &steps,
               const std::vector<std::string> &commands) {
        const std::string replies = std::string(GOLDEN_DIR) + "/" + drive + ".replies.jsonl";
        const std::string screens = std::string(GOLDEN_DIR) + "/" + drive + ".screens.jsonl";
        const std::string out = UserDir() + "/screens.jsonl";
        const bool update = getenv("VELOMAR_UPDATE_GOLDEN") != nullptr;
        if (update) {
            StartSimulator({"-s", kDrives + "/" + drive + ".json", "--record-replies",
                            tmp_ + "/replies.jsonl"});
            ASSERT_TRUE(Publish("/dev/radio/cellular/clock", "0\n"));
        } else {
            StartSimulator({"--replay", replies});
        }
        StartDaemon();
        std::vector<std::string> record = {"record", "-o", out, "--count", "1"};
        record.insert(record.end(), commands.begin(), commands.end());
        for (const std::string &t : steps) {
            if (update) {
                ASSERT_TRUE(Publish("/dev/radio/cellular/clock", t + "\n"));
            }
            Ran r = Diagctl(record);
            ASSERT_EQ(r.status, 0) << r.err;
        }
        if (update) {
            ASSERT_EQ(system(("cp " + tmp_ + "/replies.jsonl " + replies + " && cp " + out + " " +
                              screens)
                                 .c_str()),
                      0);
            GTEST_SKIP() << "golden files rewritten: " << replies << ", " << screens;
        }
        std::vector<std::string> now = SplitLines(ReadFile(out)),
                                 before = SplitLines(ReadFile(screens));
        ASSERT_EQ(now.size(), before.size());
        ASSERT_EQ(now.size(), (commands.empty() ? 9 : commands.size()) * steps.size());
        for (std::size_t i = 0; i < now.size(); i++) {
            rapidjson::Document a, b;
            ASSERT_FALSE(a.Parse(before[i].c_str()).HasParseError()) << i;
            ASSERT_FALSE(b.Parse(now[i].c_str()).HasParseError()) << i;
            for (rapidjson::Document *d : {&a, &b}) {
                d->RemoveMember("time");
                d->RemoveMember("latency_ms");
                if (d->HasMember("response")) (*d)["response"].RemoveMember("id");
            }
            EXPECT_TRUE(a == b) << "record " << i << "\nbefore: " << before[i]
                                << "\nnow: " << now[i];
        }
        EXPECT_EQ(ReadFile(tmp_ + "/sim.err").find("no recorded reply left"), std::string::npos)
            << ReadFile(tmp_ + "/sim.err");
    }
};

TEST_F(GoldenSession, OfTheHandoverDrive) {
    Check("drive-handover", {"0", "10", "25", "35", "52.5", "70"},
          {"identity", "access", "gsmopinfo", "tchtxpower", "bearer", "hspaopinfo", "umtsopinfo",
           "radiostats", "radionwinfo"});
}

// The LTE, NR and WCDMA screens at six moments of the LTE drive.
TEST_F(GoldenSession, OfTheLteDrive) {
    Check("drive-lte", {"0", "10", "20", "27.5", "45", "60"},
          {"lteopinfo", "nropinfo", "radionwinfo"});
}

// The LTE drive through the daemon and diagctl, at moments set on the
// simulator's stopped clock: the serving cell fading, a second carrier and
// an NR secondary cell under NSA coming and going, fallback to UMTS. What
// the modem does not have reads null in the JSON screen; the records fit
// the schema, the text screens show the new sections, and the CSV export
// carries the levels.
TEST_F(DiagctlSystem, LteDriveScreensFollowTheDrive) {
    StartSimulator({"-s", kDrives + "/drive-lte.json"});
    ASSERT_TRUE(Publish("/dev/radio/cellular/clock", "0\n"));
    StartDaemon();
    auto screen = [this](const char *command, rapidjson::Document *d) {
        Ran r = Diagctl({"--json", command});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(testsupport::CheckRecord(r.out), "") << r.out;
        d->Parse(r.out.c_str());
        ASSERT_FALSE(d->HasParseError()) << r.out;
    };
    // A value of a section's field as JSON text ("null" for a placeholder,
    // "absent" when there is none).
    auto field = [](const rapidjson::Document &d, const char *section, const char *name) {
        const rapidjson::Value &sections = d["screen"]["sections"];
        auto s = sections.FindMember(section);
        if (s == sections.MemberEnd() || !s->value.IsObject()) return std::string("absent");
        auto f = s->value.FindMember(name);
        if (f == s->value.MemberEnd()) return std::string("absent");
        rapidjson::StringBuffer sb;
        rapidjson::Writer<rapidjson::StringBuffer> w(sb);
        f->value.Accept(w);
        return std::string(sb.GetString());
    };
    // The rows of a table, as "column=value" of the named columns.
    auto rows = [](const rapidjson::Document &d, const char *section,
                   std::initializer_list<const char *> columns) {
        std::string out;
        const rapidjson::Value &sections = d["screen"]["sections"];
        auto s = sections.FindMember(section);
        if (s == sections.MemberEnd() || !s->value.IsArray()) return out;
        for (const auto &row : s->value.GetArray()) {
            for (const char *c : columns) {
                auto v = row.FindMember(c);
                rapidjson::StringBuffer sb;
                rapidjson::Writer<rapidjson::StringBuffer> w(sb);
                if (v != row.MemberEnd()) v->value.Accept(w);
                out += std::string(c) + "=" + sb.GetString() + " ";
            }
            out += ";";
        }
        return out;
    };
    const struct {
        const char *t;
        const char *rsrp, *rsrq, *camped, *carriers, *mode, *nr_rsrq, *nr_tac;
    } steps[] = {
        {"0", "-80", "-8", "\"YES\"", "", "\"NONE\"", "null", "null"},
        {"20", "-88", "-10", "\"YES\"", "scc_earfcn=6300 scc_state=\"ACTIVE\" scc_sinr=8 ;",
         "\"NSA\"", "-11", "null"},
        // Halfway: -88 to -100 dBm, -10 to -13 dB (whole dB between whole dB,
        // -11.5 rounding to -12), -11 to -15.5 dB (-13.25, to the half dB).
        {"27.5", "-94", "-12", "\"YES\"", "scc_earfcn=6300 scc_state=\"ACTIVE\" scc_sinr=3 ;",
         "\"NSA\"", "-13.5", "null"},
        {"45", "-112", "-16.5", "\"YES\"", "", "\"NONE\"", "null", "null"},
        {"60", "null", "null", "\"NO\"", "", "\"NONE\"", "null", "null"},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.t);
        ASSERT_TRUE(Publish("/dev/radio/cellular/clock", std::string(step.t) + "\n"));
        rapidjson::Document lte, nr;
        screen("lteopinfo", &lte);
        screen("nropinfo", &nr);
        if (HasFatalFailure()) return;
        EXPECT_EQ(field(lte, "serving_cell", "lte_camped"), step.camped);
        EXPECT_EQ(field(lte, "serving_cell", "scell_rsrp"), step.rsrp);
        EXPECT_EQ(field(lte, "serving_cell", "scell_rsrq"), step.rsrq);
        EXPECT_EQ(rows(lte, "secondary_carriers", {"scc_earfcn", "scc_state", "scc_sinr"}),
                  step.carriers);
        EXPECT_EQ(field(nr, "nr_cell", "nr_mode"), step.mode);
        EXPECT_EQ(field(nr, "nr_cell", "nr_scell_ss_rsrq"), step.nr_rsrq);
        EXPECT_EQ(field(nr, "nr_cell", "nr_scell_tac"), step.nr_tac);
    }
    // After the fallback the WCDMA screen has the serving cell.
    Ran r = Diagctl({"radionwinfo"});
    EXPECT_NE(r.out.find("10700"), std::string::npos) << r.out;

    ASSERT_TRUE(Publish("/dev/radio/cellular/clock", "20\n"));
    r = Diagctl({"lteopinfo"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char *has : {"Secondary carriers", "ACTIVE", "RSRP", "-88"})
        EXPECT_NE(r.out.find(has), std::string::npos) << has << "\n" << r.out;
    const std::string rec = UserDir() + "/lte.jsonl";
    r = Diagctl({"record", "-o", rec, "--count", "1", "lteopinfo", "nropinfo"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Diagctl({"export", "--csv", "--command", "lteopinfo", rec});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(",serving_cell.scell_rsrp,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(",-88,"), std::string::npos) << r.out;
    r = Diagctl({"export", "--csv", "--command", "nropinfo", rec});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(",nr_cell.nr_scell_ss_rsrp,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(",-90,"), std::string::npos) << r.out;
}

}  // namespace
