// SPDX-License-Identifier: Apache-2.0
#include "Fleet.h"

#include <rapidjson/document.h>

#include <cmath>
#include <cstring>
#include <set>

namespace diagctl {

namespace {

constexpr int kMaxDepth = 16;
constexpr std::size_t kMaxText = 4096;  // error messages; response texts are shorter still

bool IsTime(const rapidjson::Value &v) {
    // "2024-05-01T12:00:00.250Z", as UtcTime writes it.
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (!v.IsString() || v.GetStringLength() != sizeof kShape - 1) return false;
    const char *s = v.GetString();
    for (std::size_t i = 0; kShape[i] != '\0'; i++) {
        const bool digit = s[i] >= '0' && s[i] <= '9';
        if (kShape[i] == 'd' ? !digit : s[i] != kShape[i]) return false;
    }
    // And a time that was: a day of its month (29 February in leap years
    // only) and no second 60, which the system clock never gives.
    auto number = [s](int at, int digits) {
        int n = 0;
        for (int i = 0; i < digits; i++) n = n * 10 + (s[at + i] - '0');
        return n;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
    return number(11, 2) <= 23 && number(14, 2) <= 59 && number(17, 2) <= 59;
}

bool ShortString(const rapidjson::Value &v, std::size_t limit) {
    return v.IsString() && v.GetStringLength() <= limit;
}

std::string Text(const rapidjson::Value &v) {
    return std::string(v.GetString(), v.GetStringLength());
}

// A JSON value as a Value; false when it nests deeper than kMaxDepth or an
// object names a member twice (two readers could each take another one).
bool ToValue(const rapidjson::Value &in, int depth, Value *out) {
    if (depth > kMaxDepth) return false;
    switch (in.GetType()) {
        case rapidjson::kNullType:
            out->kind = Value::Kind::kNull;
            return true;
        case rapidjson::kFalseType:
        case rapidjson::kTrueType:
            out->kind = Value::Kind::kBool;
            out->boolean = in.GetBool();
            return true;
        case rapidjson::kNumberType:
            if (in.IsInt64()) {
                *out = Value::Int(in.GetInt64());
            } else {
                out->kind = Value::Kind::kReal;
                out->real = in.GetDouble();
            }
            return true;
        case rapidjson::kStringType:
            *out = Value::String(Text(in));
            return true;
        case rapidjson::kArrayType:
            out->kind = Value::Kind::kArray;
            for (const auto &e : in.GetArray()) {
                out->members.emplace_back(std::string(), Value());
                if (!ToValue(e, depth + 1, &out->members.back().second)) return false;
            }
            return true;
        case rapidjson::kObjectType: {
            *out = Value::Object();
            std::set<std::string> seen;
            for (const auto &m : in.GetObject()) {
                std::string name = Text(m.name);
                if (!seen.insert(name).second) return false;
                out->members.emplace_back(std::move(name), Value());
                if (!ToValue(m.value, depth + 1, &out->members.back().second)) return false;
            }
            return true;
        }
    }
    return false;
}

bool Fail(std::string *why, const std::string &text) {
    *why = text;
    return false;
}

// Parses payload as one JSON object whose member names are all in allowed
// and given once.
bool ParseObject(const std::string &payload, std::size_t limit,
                 std::initializer_list<const char *> allowed, rapidjson::Document *doc,
                 std::string *why) {
    if (payload.size() > limit) return Fail(why, "longer than " + std::to_string(limit) + " bytes");
    // Iterative: deep nesting cannot exhaust the stack; UTF-8 checked, so
    // that every text we serve again is valid.
    doc->Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(
        payload.data(), payload.size());
    if (doc->HasParseError() || !doc->IsObject()) return Fail(why, "not a JSON object");
    std::set<std::string> seen;
    for (const auto &m : doc->GetObject()) {
        const std::string name = Text(m.name);
        bool known = false;
        for (const char *a : allowed) known = known || name == a;
        if (!known) return Fail(why, "unknown member '" + name.substr(0, 32) + "'");
        if (!seen.insert(name).second) return Fail(why, "member '" + name + "' given twice");
    }
    return true;
}

const rapidjson::Value *Member(const rapidjson::Value &doc, const char *name) {
    auto it = doc.FindMember(name);
    return it == doc.MemberEnd() ? nullptr : &it->value;
}

}  // namespace

bool ValidHostName(const std::string &name) {
    if (name.empty() || name.size() > 64 || name == "." || name == "..") return false;
    for (char c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-'))
            return false;
    return true;
}

bool ValidTopicPrefix(const std::string &prefix, std::string *why) {
    if (prefix.empty() || prefix.size() > 200) return Fail(why, "1 to 200 characters");
    if (prefix[0] == '$') return Fail(why, "topics starting with '$' are the broker's own");
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos)
        return Fail(why, "no empty levels (a slash at either end or two together)");
    for (char c : prefix)
        if (c < 0x20 || c > 0x7E || c == '+' || c == '#')
            return Fail(why, "printable ASCII without the wildcards '+' and '#'");
    return true;
}

std::string FleetTopic(const std::string &prefix, const std::string &host,
                       const std::string &leaf) {
    return prefix + "/" + host + "/" + leaf;
}

bool SplitFleetTopic(const std::string &prefix, const std::string &topic, std::string *host,
                     std::string *leaf) {
    if (topic.size() <= prefix.size() + 1 || topic.compare(0, prefix.size(), prefix) != 0 ||
        topic[prefix.size()] != '/')
        return false;
    const std::string rest = topic.substr(prefix.size() + 1);
    const std::size_t slash = rest.find('/');
    if (slash == std::string::npos) return false;
    *host = rest.substr(0, slash);
    *leaf = rest.substr(slash + 1);
    if (!ValidHostName(*host) || leaf->empty() || leaf->size() > 32) return false;
    for (char c : *leaf)
        if (c < 'a' || c > 'z') return false;
    return true;
}

std::string HostStatusJson(const HostStatus &status) {
    Value doc = Value::Object();
    doc.members.emplace_back("state", Value::String(status.online ? "online" : "offline"));
    if (!status.time.empty()) doc.members.emplace_back("time", Value::String(status.time));
    doc.members.emplace_back("dropped", Value::Int(static_cast<int64_t>(status.dropped)));
    if (!status.reason.empty()) doc.members.emplace_back("reason", Value::String(status.reason));
    return ToJson(doc);
}

bool ParseHostStatus(const std::string &payload, HostStatus *out, std::string *why) {
    rapidjson::Document doc;
    if (!ParseObject(payload, 1024, {"state", "time", "dropped", "reason"}, &doc, why))
        return false;
    const rapidjson::Value *state = Member(doc, "state");
    if (state == nullptr || !state->IsString() ||
        (Text(*state) != "online" && Text(*state) != "offline"))
        return Fail(why, "state is online or offline");
    const rapidjson::Value *time = Member(doc, "time");
    if (time != nullptr && !IsTime(*time)) return Fail(why, "time is not a UTC time");
    const rapidjson::Value *dropped = Member(doc, "dropped");
    if (dropped != nullptr && !(dropped->IsUint64() && dropped->GetUint64() < (1ULL << 53)))
        return Fail(why, "dropped is a count");
    const rapidjson::Value *reason = Member(doc, "reason");
    if (reason != nullptr &&
        !(reason->IsString() && (Text(*reason) == "stopped" || Text(*reason) == "connection lost")))
        return Fail(why, "reason is stopped or connection lost");
    *out = HostStatus();
    out->online = Text(*state) == "online";
    if (time != nullptr) out->time = Text(*time);
    if (dropped != nullptr) out->dropped = dropped->GetUint64();
    if (reason != nullptr) out->reason = Text(*reason);
    return true;
}

bool ParseRecord(const Screen &screen, const std::string &payload, Snapshot *out,
                 std::string *why) {
    rapidjson::Document doc;
    if (!ParseObject(payload, kMaxRecordBytes,
                     {"time", "latency_ms", "command", "object", "result", "response", "attributes",
                      "screen", "error"},
                     &doc, why))
        return false;
    const rapidjson::Value *command = Member(doc, "command");
    if (command == nullptr || !command->IsString() || Text(*command) != screen.command)
        return Fail(why, std::string("command is not ") + screen.command);
    const rapidjson::Value *object = Member(doc, "object");
    if (object == nullptr || !object->IsString() || Text(*object) != screen.object)
        return Fail(why, std::string("object is not ") + screen.object);
    const rapidjson::Value *time = Member(doc, "time");
    if (time == nullptr || !IsTime(*time)) return Fail(why, "time is not a UTC time");
    const rapidjson::Value *latency = Member(doc, "latency_ms");
    if (latency == nullptr || !latency->IsNumber() || !std::isfinite(latency->GetDouble()) ||
        latency->GetDouble() < 0 || latency->GetDouble() > 1e9)
        return Fail(why, "latency_ms is not a number of milliseconds");

    Snapshot s;
    s.timing.time = Text(*time);
    s.timing.latency_ms = latency->GetDouble();
    const rapidjson::Value *error = Member(doc, "error");
    const rapidjson::Value *attributes = Member(doc, "attributes");
    const rapidjson::Value *response = Member(doc, "response");
    const rapidjson::Value *result = Member(doc, "result");
    if (error != nullptr) {
        // A refresh that failed: nothing else beside it.
        if (attributes != nullptr || response != nullptr || result != nullptr ||
            Member(doc, "screen") != nullptr)
            return Fail(why, "an error record with an answer");
        if (!error->IsObject() || error->MemberCount() != 2) return Fail(why, "malformed error");
        const rapidjson::Value *status = Member(*error, "status");
        const rapidjson::Value *message = Member(*error, "message");
        // 0 and 1 are answers, not errors.
        if (status == nullptr || !status->IsInt() || status->GetInt() < 2 ||
            status->GetInt() > 255 || message == nullptr || !ShortString(*message, kMaxText))
            return Fail(why, "malformed error");
        s.status = status->GetInt();
        s.error = Text(*message);
        *out = std::move(s);
        return true;
    }
    if (attributes == nullptr || !attributes->IsObject())
        return Fail(why, "neither attributes nor an error");
    Value all;
    if (!ToValue(*attributes, 1, &all))
        return Fail(why, "attributes nest too deep or name a member twice");
    s.own = OwnAttributes(screen, all);
    if (screen.request) {
        if (response == nullptr || !response->IsObject()) return Fail(why, "no response");
        const rapidjson::Value *res = Member(*response, "res");
        const rapidjson::Value *id = Member(*response, "id");
        const rapidjson::Value *err = Member(*response, "err");
        const std::size_t members = 2 + (err != nullptr ? 1 : 0);
        if (res == nullptr || !ShortString(*res, 64) || id == nullptr || !ShortString(*id, 64) ||
            (err != nullptr && (!err->IsInt64() || err->GetInt64() == 0)) ||
            response->MemberCount() != members)
            return Fail(why, "malformed response");
        s.result.present = true;
        s.result.response.res = Text(*res);
        s.result.response.id = Text(*id);
        s.result.response.err = err != nullptr ? err->GetInt64() : 0;
        const bool ok = s.result.response.err == 0;
        if (result == nullptr || !result->IsString() ||
            Text(*result) != (ok ? "SUCCESS" : "FAILURE"))
            return Fail(why, "result does not match the response");
        s.status = ok ? kExitSuccess : kExitFailure;
        s.heading = ok ? "SUCCESS" : "FAILURE (err " + std::to_string(s.result.response.err) + ")";
    } else {
        if (response != nullptr || result != nullptr)
            return Fail(why, std::string(screen.command) + " makes no request");
        if (s.own.members.empty()) {
            s.status = kExitFailure;
            s.heading = "nothing published yet";
        }
    }
    *out = std::move(s);
    return true;
}

std::string WithHost(const std::string &record, const std::string &host) {
    if (record.size() < 2 || record[0] != '{') return record;
    const std::string member = "\"host\":\"" + host + "\"";
    return "{" + member + (record == "{}" ? "" : ",") + record.substr(1);
}

}  // namespace diagctl
