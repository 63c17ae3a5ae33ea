// SPDX-License-Identifier: Apache-2.0
// diagctl serve's /metrics scraped by a real Prometheus (Debian's
// prometheus; skipped without it) on the whole system, the handover drive
// on a clock stopped at chosen times: what Prometheus's API returns for an
// instant query is what diagctl --json says at that moment, and the
// handover ends the old serving cell's series and begins the new one's.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <sys/socket.h>

#include <fstream>
#include <string>

#include "support/SystemFixture.h"

namespace {

using namespace systemtest;

// A port free a moment ago (Prometheus cannot be told to take any).
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

}  // namespace

TEST_F(DiagctlSystem, PrometheusKeepsWhatTheScreensSay) {
    const char kPrometheus[] = "/usr/bin/prometheus";
    if (access(kPrometheus, X_OK) != 0) GTEST_SKIP() << "no prometheus (Debian's prometheus)";
    StartSimulator({"-s", kDrives + "/drive-handover.json"});
    ASSERT_TRUE(Publish("/dev/radio/cellular/clock", "0\n"));
    StartDaemon();
    Child serve;
    std::string token;
    const int port = StartServe(&serve, {"--every", "0.2"}, &token);
    ASSERT_NE(port, 0);

    // Prometheus of the test's own: a scrape a second, the token from a file.
    const std::string dir = tmp_ + "/prometheus";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::ofstream(dir + "/token") << token;
    std::ofstream(dir + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
        << "rule_files: ['" << VELOMAR_ALERTS
        << "']\n"
           "scrape_configs:\n  - job_name: velomar\n    authorization:\n      credentials_file: "
        << dir << "/token\n    static_configs:\n      - targets: ['127.0.0.1:" << port << "']\n";
    const int api_port = FreePort();
    Child prometheus;
    ASSERT_TRUE(prometheus.Start({kPrometheus, "--config.file=" + dir + "/prometheus.yml",
                                  "--storage.tsdb.path=" + dir + "/data",
                                  "--web.listen-address=127.0.0.1:" + std::to_string(api_port)},
                                 dir + "/out", dir + "/err"));
    httplib::Client api("127.0.0.1", api_port);
    api.set_read_timeout(10, 0);
    // The series an instant query finds: labels (as JSON) to value.
    auto query = [&](const std::string &promql) {
        std::map<std::string, std::string> out;
        httplib::Result r = api.Get("/api/v1/query", {{"query", promql}}, httplib::Headers{});
        rapidjson::Document d;
        if (!r || r->status != 200 || d.Parse(r->body.c_str()).HasParseError()) return out;
        for (const auto &s : d["data"]["result"].GetArray()) {
            std::string labels;
            for (const auto &l : s["metric"].GetObject())
                if (std::string(l.name.GetString()) != "instance" &&
                    std::string(l.name.GetString()) != "__name__" &&
                    std::string(l.name.GetString()) != "job")
                    labels += std::string(labels.empty() ? "" : ",") + l.name.GetString() + "=" +
                              l.value.GetString();
            out[labels] = s["value"][1].GetString();
        }
        return out;
    };
    // Waits until the query finds exactly these series.
    auto wait_for = [&](const std::string &promql, const std::map<std::string, std::string> &want) {
        std::map<std::string, std::string> got;
        for (int i = 0; i < 600 && (got = query(promql)) != want; i++) usleep(100000);
        return got;
    };
    // What diagctl --json says of the serving cell now.
    auto serving = [&] {
        Ran r = Diagctl({"--json", "radionwinfo"});
        rapidjson::Document d;
        d.Parse(r.out.c_str());
        const rapidjson::Value &cell = d["screen"]["sections"]["serving_cell"];
        // The series' labels as Prometheus gives them (sorted), and the value.
        return std::make_pair("cell_id=" + std::to_string(cell["scell_cellid"].GetInt()) +
                                  ",lac=" + std::to_string(cell["scell_lac"].GetInt()) +
                                  ",sc=" + std::to_string(cell["scell_sc"].GetInt()) +
                                  ",uarfcn=" + std::to_string(cell["scell_uarfcn"].GetInt()),
                              std::to_string(cell["scell_rscp"].GetInt()));
    };

    const auto [cell0, rscp0] = serving();
    EXPECT_EQ(cell0, "cell_id=19114957,lac=4660,sc=310,uarfcn=10700");
    const std::string up = "up{job=\"velomar\"}";
    ASSERT_EQ(wait_for(up, {{"", "1"}}), (std::map<std::string, std::string>{{"", "1"}}))
        << ReadFile(dir + "/err").substr(0, 3000);
    const std::string rscp = "velomar_scell_rscp_dbm";
    EXPECT_EQ(wait_for(rscp, {{cell0, rscp0}}),
              (std::map<std::string, std::string>{{cell0, rscp0}}));
    // The monitored set's cells, one series each.
    EXPECT_EQ(wait_for("velomar_mset_rscp_dbm",
                       {{"sc=311,uarfcn=10700", "-96"}, {"sc=120,uarfcn=10700", "-102"}})
                  .size(),
              2u);

    // The handover: cell 311 serves. Its series begins; 310's ends (a scrape
    // without it marks it stale, so an instant query no longer finds it).
    ASSERT_TRUE(Publish("/dev/radio/cellular/clock", "30\n"));
    for (int i = 0; i < 100 && serving().first == cell0; i++) usleep(50000);
    const auto [cell1, rscp1] = serving();
    ASSERT_EQ(cell1, "cell_id=19114958,lac=4660,sc=311,uarfcn=10700");
    EXPECT_EQ(wait_for(rscp, {{cell1, rscp1}}),
              (std::map<std::string, std::string>{{cell1, rscp1}}));
    EXPECT_NE(query("count_over_time(" + rscp + "{sc=\"310\"}[1h])").size(), 0u)
        << "the old cell's samples are kept";
    // The console's own figures.
    EXPECT_EQ(query("velomar_request_failures_total{command=\"radionwinfo\"}").size(), 0u);
    EXPECT_NE(query("velomar_requests_total{command=\"radionwinfo\"} > 10").size(), 0u);
    // The alert rules we ship load and evaluate on these series.
    httplib::Result rules = api.Get("/api/v1/rules");
    ASSERT_TRUE(rules);
    rapidjson::Document d;
    ASSERT_FALSE(d.Parse(rules->body.c_str()).HasParseError());
    std::size_t healthy = 0;
    for (const auto &g : d["data"]["groups"].GetArray())
        for (const auto &r : g["rules"].GetArray())
            healthy += std::string(r["health"].GetString()) == "ok";
    EXPECT_EQ(healthy, 6u) << rules->body;
    prometheus.Stop(SIGTERM);
    EXPECT_EQ(serve.Stop(SIGTERM), 0);
}
