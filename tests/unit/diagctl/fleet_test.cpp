// SPDX-License-Identifier: Apache-2.0
// What diagctl serve --mqtt takes from a broker, as pure code: real records
// read back and written again byte for byte, and each field of a good one
// spoiled in turn (a publisher that lies) refused; topics and host states.
#include <gtest/gtest.h>

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
    Timing t{"2026-01-01T00:00:00.000Z", 5000};
    records.push_back(RenderErrorJson(*FindScreen("bearer"), t, kExitTimeout, "no answer"));
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
    auto member = [&](const std::string &name, const char *value) {
        std::string s = good;
        const std::size_t at = s.find("\"" + name + "\":");
        EXPECT_NE(at, std::string::npos) << name;
        std::size_t end = at + name.size() + 3;
        for (int depth = 0; end < s.size(); end++) {
            if (s[end] == '{' || s[end] == '[') depth++;
            if (s[end] == '}' || s[end] == ']') depth--;
            if (depth < 0 || (depth == 0 && s[end] == ',')) break;
        }
        if (value != nullptr) return s.replace(at, end - at, "\"" + name + "\":" + value);
        return s.erase(at, end - at + (s[end] == ',' ? 1 : 0));
    };
    std::string deep = "{\"IMEI\":";
    for (int i = 0; i < 40; i++) deep += "[";
    deep += "1";
    for (int i = 0; i < 40; i++) deep += "]";
    const struct {
        const char *name;
        std::string payload;
    } cases[] = {
        {"another command", with("\"command\":\"identity\"", "\"command\":\"bearer\"")},
        {"another object", with("\"object\":\"status_data\"", "\"object\":\"status_utra\"")},
        {"a time without milliseconds", member("time", "\"2026-01-01T00:00:00Z\"")},
        {"a local time", member("time", "\"2026-01-01T00:00:00.000+02:00\"")},
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
        Snapshot snap;
        std::string why;
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
        Snapshot snap;
        std::string why;
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
    const std::string kLongHost = "diagctl/" + std::string(65, 'a') + "/identity";
    const struct {
        const char *prefix, *topic;
        const char *host, *leaf;  // host nullptr: refused
    } cases[] = {
        {"diagctl", "diagctl/car-7/identity", "car-7", "identity"},
        {"lab/fleet", "lab/fleet/bench.3/status", "bench.3", "status"},
        {"diagctl", "diagctl/car-7", nullptr, nullptr},
        {"diagctl", "diagctl/car-7/identity/extra", nullptr, nullptr},
        {"diagctl", "diagctl//identity", nullptr, nullptr},
        {"diagctl", "diagctl/../identity", nullptr, nullptr},
        {"diagctl", "diagctl/car 7/identity", nullptr, nullptr},
        // Each character that markup or JSON gives a meaning to, alone.
        {"diagctl", "diagctl/a<b/identity", nullptr, nullptr},
        {"diagctl", "diagctl/a>b/identity", nullptr, nullptr},
        {"diagctl", "diagctl/a\"b/identity", nullptr, nullptr},
        {"diagctl", "diagctl/a&b/identity", nullptr, nullptr},
        {"diagctl", "diagctl/car-7/Identity", nullptr, nullptr},
        {"diagctl", "diagctl/car-7/", nullptr, nullptr},
        {"diagctl", "diagctlx/car-7/identity", nullptr, nullptr},
        {"diagctl", "other/car-7/identity", nullptr, nullptr},
        {"diagctl", kLongHost.c_str(), nullptr, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.topic);
        std::string host, leaf;
        const bool ok = SplitFleetTopic(c.prefix, c.topic, &host, &leaf);
        ASSERT_EQ(ok, c.host != nullptr);
        if (ok) {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(leaf, c.leaf);
        }
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
