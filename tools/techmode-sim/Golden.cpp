// SPDX-License-Identifier: Apache-2.0
#include "Golden.h"

#include <math.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Scenario.h"
#include "devctl_xfer.h"
#include "techmode/techmode_protocol.h"

namespace sim {

namespace {

int Nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A member that is an integer from lo to hi.
int Int(const rapidjson::Value &line, const char *name, int lo, int hi, const std::string &where) {
    auto it = line.FindMember(name);
    if (it == line.MemberEnd() || !it->value.IsInt() || it->value.GetInt() < lo ||
        it->value.GetInt() > hi)
        throw ScenarioError(where + ": \"" + name + "\" must be an integer from " +
                            std::to_string(lo) + " to " + std::to_string(hi));
    return it->value.GetInt();
}

ServedReply ParseLine(const std::string &text, const std::string &where) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseIterativeFlag>(text.c_str(), text.size());
    if (d.HasParseError() || !d.IsObject()) throw ScenarioError(where + ": not a JSON object");
    ServedReply r;
    auto t = d.FindMember("t");
    if (t == d.MemberEnd() || !t->value.IsNumber() || !(t->value.GetDouble() >= 0))
        throw ScenarioError(where + ": \"t\" must be a number of seconds");
    r.t = t->value.GetDouble();
    r.type = Int(d, "type", 0, kTechModeStructTypeCount - 1, where);
    r.status = Int(d, "status", 0, 4095, where);
    r.delay_ms = Int(d, "delay_ms", 0, 60000, where);
    auto hex = d.FindMember("reply");
    if (hex == d.MemberEnd() || !hex->value.IsString() || hex->value.GetStringLength() % 2 != 0 ||
        hex->value.GetStringLength() > 2 * DEVCTL_XFER_MAX)
        throw ScenarioError(where + ": \"reply\" must be at most " +
                            std::to_string(DEVCTL_XFER_MAX) + " bytes in hex");
    const char *s = hex->value.GetString();
    for (rapidjson::SizeType i = 0; i < hex->value.GetStringLength(); i += 2) {
        int hi = Nibble(s[i]), lo = Nibble(s[i + 1]);
        if (hi < 0 || lo < 0)
            throw ScenarioError(where + ": \"reply\" holds a character that is not hex");
        r.bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return r;
}

}  // namespace

std::string ReplyLine(const ServedReply &r) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : r.bytes) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    w.StartObject();
    w.Key("t");
    w.Double(round(r.t * 1000) / 1000);
    w.Key("type");
    w.Int(r.type);
    w.Key("status");
    w.Int(r.status);
    w.Key("delay_ms");
    w.Int(r.delay_ms);
    w.Key("reply");
    w.String(hex.c_str(), static_cast<rapidjson::SizeType>(hex.size()));
    w.EndObject();
    return std::string(sb.GetString(), sb.GetSize());
}

std::vector<ServedReply> ParseReplies(const std::string &text, const std::string &origin,
                                      std::string *warning) {
    std::vector<ServedReply> out;
    std::size_t at = 0;
    for (unsigned n = 1; at < text.size(); n++) {
        std::size_t nl = text.find('\n', at);
        const std::string where = origin + ": line " + std::to_string(n);
        if (nl == std::string::npos) {
            *warning = where + " is cut off (no newline at the end); left out";
            break;
        }
        std::string line = text.substr(at, nl - at);
        at = nl + 1;
        if (line.empty()) continue;
        out.push_back(ParseLine(line, where));
    }
    return out;
}

Replay::Replay(const std::vector<ServedReply> &replies) {
    for (const ServedReply &r : replies) queues_[r.type].push_back(r);
}

bool Replay::Next(int type, ServedReply *out) {
    auto it = queues_.find(type);
    if (it == queues_.end() || it->second.empty()) return false;
    *out = std::move(it->second.front());
    it->second.pop_front();
    return true;
}

std::size_t Replay::left() const {
    std::size_t n = 0;
    for (const auto &q : queues_) n += q.second.size();
    return n;
}

}  // namespace sim
