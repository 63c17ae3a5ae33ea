// SPDX-License-Identifier: Apache-2.0
// What diagctl serve --mqtt takes from a broker, as pure code: real records
// read back and written again byte for byte, and each field of a good one
// spoiled in turn (a publisher that lies) refused; topics and host states.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fstream>
#include <string>
#include <vector>

#include "Fleet.h"
#include "Snapshot.h"

namespace diagctl {
namespace {

std::vector<std::string> GoldenRecords() {
    std::ifstream in(GOLDEN_DIR "/drive-handover.screens.jsonl");
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string CommandOf(const std::string &record) {
    const std::string key = "\"command\":\"";
    const std::size_t at = record.find(key) + key.size();
    return record.substr(at, record.find('"', at) - at);
}

// A recorder's records, read back, are written again exactly as they were:
// nothing is lost or changed on the way through a broker.
TEST(FleetRecords, RoundTripByteForByte) {
    std::vector<std::string> records = GoldenRecords();
    ASSERT_GE(records.size(), 10u);
    // The edges of the calendar and the clock are times too.
    for (const char *time : {"2026-01-01T00:00:00.000Z", "2024-02-29T23:59:59.999Z",
                             "2000-02-29T12:00:00.000Z", "2026-12-31T23:59:59.999Z"})
        records.push_back(
            RenderErrorJson(*FindScreen("bearer"), {time, 5000}, kExitTimeout, "no answer"));
    for (const std::string &line : records) {
        const Screen *screen = FindScreen(CommandOf(line));
        ASSERT_NE(screen, nullptr) << line;
        SCOPED_TRACE(screen->command);
        Snapshot snap;
        std::string why;
        ASSERT_TRUE(ParseRecord(*screen, line, &snap, &why)) << why;
        EXPECT_EQ(RecordLine(*screen, snap), line);
    }
}

TEST(FleetRecords, RefusesEachLie) {
    const std::string good = GoldenRecords().at(0);  // identity
    ASSERT_EQ(CommandOf(good), "identity");
    auto with = [&](const std::string &from, const std::string &to) {
        std::string s = good;
        const std::size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return at == std::string::npos ? s : s.replace(at, from.size(), to);
    };
    // The record with one member's value replaced (nullptr: the member gone).
    auto member = [&](const char *name, const char *value) {
        rapidjson::Document d, v(&d.GetAllocator());
        d.Parse(good.c_str());
        if (value == nullptr) d.EraseMember(name);
        if (value != nullptr) d[name] = v.Parse(value).Move();
        rapidjson::StringBuffer text;
        rapidjson::Writer<rapidjson::StringBuffer> writer(text);
        d.Accept(writer);
        return std::string(text.GetString());
    };
    Snapshot snap;
    std::string why;  // the good record written again by the helper is still taken
    ASSERT_TRUE(
        ParseRecord(*FindScreen("identity"), member("command", "\"identity\""), &snap, &why))
        << why;
    const std::string deep = "{\"IMEI\":" + std::string(40, '[') + "1" + std::string(40, ']');
    const struct {
        const char *name;
        std::string payload;
    } cases[] = {
        {"another command", with("\"command\":\"identity\"", "\"command\":\"bearer\"")},
        {"another object", with("\"object\":\"status_data\"", "\"object\":\"status_utra\"")},
        {"a time without milliseconds", member("time", "\"2026-01-01T00:00:00Z\"")},
        {"a local time", member("time", "\"2026-01-01T00:00:00.000+02:00\"")},
        {"month 13", member("time", "\"2026-13-01T00:00:00.000Z\"")},
        {"month 0", member("time", "\"2026-00-01T00:00:00.000Z\"")},
        {"day 0", member("time", "\"2026-01-00T00:00:00.000Z\"")},
        {"31 April", member("time", "\"2026-04-31T00:00:00.000Z\"")},
        {"29 February of a common year", member("time", "\"2026-02-29T00:00:00.000Z\"")},
        {"29 February of 1900", member("time", "\"1900-02-29T00:00:00.000Z\"")},
        {"hour 24", member("time", "\"2026-01-01T24:00:00.000Z\"")},
        {"minute 60", member("time", "\"2026-01-01T00:60:00.000Z\"")},
        {"second 60", member("time", "\"2026-01-01T00:00:60.000Z\"")},
        {"nothing in range", member("time", "\"2026-13-99T99:99:99.999Z\"")},
        {"no time", member("time", nullptr)},
        {"a negative latency", member("latency_ms", "-1")},
        {"a latency as text", member("latency_ms", "\"1\"")},
        {"a huge latency", member("latency_ms", "1e300")},
        {"a member no record has", with("{\"time\"", "{\"script\":1,\"time\"")},
        {"a member twice", with("{\"time\"", "{\"command\":\"identity\",\"time\"")},
        {"an attribute twice",
         with("\"attributes\":{", "\"attributes\":{\"IMEI\":\"1\",\"IMEI\":\"2\",")},
        {"attributes nested too deep", with("\"attributes\":{", "\"attributes\":" + deep + ",")},
        {"attributes as a list", member("attributes", "[]")},
        {"no attributes", member("attributes", nullptr)},
        {"a result that the response denies", member("result", "\"FAILURE\"")},
        {"no result", member("result", nullptr)},
        {"no response", member("response", nullptr)},
        {"a response id as a number", member("response", "{\"res\":\"identity\",\"id\":7}")},
        {"a response with more", with("\"response\":{", "\"response\":{\"extra\":1,")},
        {"an err of 0", with("\"response\":{", "\"response\":{\"err\":0,")},
        {"an error beside the answer",
         with("{\"time\"", "{\"error\":{\"status\":4,\"message\":\"x\"},\"time\"")},
        {"bad UTF-8", with("\"TLLI\":\"NOT SUPPORTED\"", "\"TLLI\":\"NOT\xff\"")},
        {"text after the object", good + "{}"},
        {"not an object", "[" + good + "]"},
        {"not JSON", "identity SUCCESS"},
        {"too long", with("\"attributes\":{", "\"attributes\":{\"IMEI\":\"" +
                                                  std::string(kMaxRecordBytes, 'x') + "\",")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        why.clear();
        EXPECT_FALSE(ParseRecord(*FindScreen("identity"), c.payload, &snap, &why));
        EXPECT_NE(why, "");
    }
    // Error records: only a status that is an error, with its message.
    const Screen &bearer = *FindScreen("bearer");
    for (const char *error :
         {"{\"status\":0,\"message\":\"x\"}", "{\"status\":1,\"message\":\"x\"}",
          "{\"status\":999,\"message\":\"x\"}", "{\"status\":4}",
          "{\"status\":4,\"message\":\"x\",\"more\":1}", "\"timeout\""}) {
        SCOPED_TRACE(error);
        const std::string payload =
            "{\"time\":\"2026-01-01T00:00:00.000Z\",\"latency_ms\":1,\"command\":\"bearer\","
            "\"object\":\"status_data\",\"error\":" +
            std::string(error) + "}";
        EXPECT_FALSE(ParseRecord(bearer, payload, &snap, &why));
    }
}

// Attributes of other screens that share the status object are left out,
// as diagctl itself leaves them out.
TEST(FleetRecords, KeepsOnlyTheScreensOwnAttributes) {
    const std::string payload =
        "{\"time\":\"2026-01-01T00:00:00.000Z\",\"latency_ms\":1,\"command\":\"nitz\","
        "\"object\":\"status_data\",\"attributes\":{\"nitz_source\":\"network\","
        "\"IMEI\":\"351234567890123\",\"<img src=x>\":1},\"screen\":{}}";
    Snapshot snap;
    std::string why;
    ASSERT_TRUE(ParseRecord(*FindScreen("nitz"), payload, &snap, &why)) << why;
    const std::string again = RecordLine(*FindScreen("nitz"), snap);
    EXPECT_NE(again.find("\"nitz_source\":\"network\""), std::string::npos) << again;
    EXPECT_EQ(again.find("IMEI"), std::string::npos) << again;
    EXPECT_EQ(again.find("img"), std::string::npos) << again;
}

TEST(FleetTopics, SplitsOnlyWhatFits) {
    for (const char *prefix : {"diagctl", "lab/fleet"}) {
        std::string host, leaf;
        ASSERT_TRUE(SplitFleetTopic(prefix, std::string(prefix) + "/car.7-x/status", &host, &leaf));
        EXPECT_EQ(host + " " + leaf, "car.7-x status");
    }
    // Each character that markup or JSON gives a meaning to, alone.
    const std::string long_host = "diagctl/" + std::string(65, 'a') + "/identity";
    for (const char *topic :
         {"diagctl/car-7", "diagctl/car-7/identity/extra", "diagctl//identity",
          "diagctl/../identity", "diagctl/car 7/identity", "diagctl/a<b/identity",
          "diagctl/a>b/identity", "diagctl/a\"b/identity", "diagctl/a&b/identity",
          "diagctl/car-7/Identity", "diagctl/car-7/", "diagctlx/car-7/identity",
          "other/car-7/identity", long_host.c_str()}) {
        SCOPED_TRACE(topic);
        std::string host, leaf;
        EXPECT_FALSE(SplitFleetTopic("diagctl", topic, &host, &leaf));
    }
    for (const char *prefix : {"", "$SYS", "a/+", "a/#", "/a", "a/", "a//b", "tab\there"}) {
        SCOPED_TRACE(prefix);
        std::string why;
        EXPECT_FALSE(ValidTopicPrefix(prefix, &why));
    }
}

TEST(FleetStatus, RoundTripsAndRefusesTheRest) {
    HostStatus s;
    s.online = false;
    s.time = "2026-01-01T00:00:00.000Z";
    s.dropped = 12;
    s.reason = "stopped";
    HostStatus back;
    std::string why;
    ASSERT_TRUE(ParseHostStatus(HostStatusJson(s), &back, &why)) << why;
    EXPECT_EQ(HostStatusJson(back), HostStatusJson(s));
    for (const char *bad :
         {"{}", "{\"state\":\"away\"}", "{\"state\":\"online\",\"dropped\":-1}",
          "{\"state\":\"online\",\"dropped\":1.5}", "{\"state\":\"online\",\"time\":\"now\"}",
          "{\"state\":\"offline\",\"reason\":\"<script>\"}", "{\"state\":\"online\",\"x\":1}",
          "{\"state\":\"online\",\"state\":\"offline\"}", "online"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(ParseHostStatus(bad, &back, &why));
    }
}

}  // namespace
}  // namespace diagctl
