// SPDX-License-Identifier: Apache-2.0
#include "Timeline.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace sim {

struct Drive::Step {
    double at = 0;
    double until = std::numeric_limits<double>::infinity();  // events: at + for
    // Keyframes: the whole state at this keyframe; events: their fields.
    rapidjson::Document json;
};

namespace {

using rapidjson::Document;
using rapidjson::Value;

const std::size_t kMaxSteps = 1000;
const double kMaxSeconds = 1e7;  // some four months of drive

// Numbers that move smoothly between keyframes: levels in dBm and dB, and
// the other measurements and rates. Everything else is a code, a count or
// an identity, which changes at the keyframe.
bool Continuous(const std::string &name) {
    static const std::set<std::string> kMeasured = {
        "rxlev",       "rxlev_full",           "rxlev_sub",
        "rxqual_full", "rxqual_sub",           "hsdpa_rate",
        "datarate_ul", "datarate_dl",          "c1",
        "c2",          "bler_residual",        "timing_advance",
        "cqi",         "battery_temperature_c"};
    auto ends = [&name](const char *suffix) {
        std::size_t n = strlen(suffix);
        return name.size() > n && name.compare(name.size() - n, n, suffix) == 0;
    };
    return ends("_dbm") || ends("_db") || kMeasured.count(name) != 0;
}

// What makes a list entry the same cell (or bearer, or context) in two
// keyframes; "" when it has none of these.
std::string Identity(const Value &entry) {
    std::string key;
    if (!entry.IsObject()) return key;
    for (const char *name : {"uarfcn", "psc", "arfcn", "bsic", "rab_id", "apn", "earfcn", "pci"}) {
        auto it = entry.FindMember(name);
        if (it == entry.MemberEnd()) continue;
        rapidjson::StringBuffer sb;
        rapidjson::Writer<rapidjson::StringBuffer> w(sb);
        it->value.Accept(w);
        key += std::string(name) + "=" + sb.GetString() + ";";
    }
    return key;
}

// Lays src's members over target's: objects member by member, anything
// else replaced.
void Merge(Value &target, const Value &src, Document::AllocatorType &a) {
    for (auto m = src.MemberBegin(); m != src.MemberEnd(); ++m) {
        auto t = target.FindMember(m->name);
        if (t == target.MemberEnd()) {
            target.AddMember(Value(m->name, a), Value(m->value, a), a);
        } else if (t->value.IsObject() && m->value.IsObject()) {
            Merge(t->value, m->value, a);
        } else {
            t->value.CopyFrom(m->value, a);
        }
    }
}

// The value a fraction f of the way from x (at f = 0) to y; name is the
// member that holds them.
Value Between(const Value &x, const Value &y, double f, const std::string &name,
              Document::AllocatorType &a) {
    if (x.IsObject() && y.IsObject()) {
        Value out(x, a);
        for (auto m = out.MemberBegin(); m != out.MemberEnd(); ++m) {
            auto other = y.FindMember(m->name);
            if (other != y.MemberEnd())
                m->value = Between(m->value, other->value, f, m->name.GetString(), a);
        }
        return out;
    }
    if (x.IsArray() && y.IsArray()) {
        Value out(rapidjson::kArrayType);
        for (rapidjson::SizeType i = 0; i < x.Size(); i++) {
            const Value &e = x[i];
            const Value *match = nullptr;
            const std::string key = Identity(e);
            if (!key.empty()) {
                for (const Value &o : y.GetArray())
                    if (Identity(o) == key) match = &o;
            } else if (i < y.Size()) {
                match = &y[i];
            }
            out.PushBack(match != nullptr ? Between(e, *match, f, name, a) : Value(e, a), a);
        }
        return out;
    }
    if (x.IsNumber() && y.IsNumber() && Continuous(name)) {
        double v = x.GetDouble() + (y.GetDouble() - x.GetDouble()) * f;
        if (x.IsInt64() && y.IsInt64()) return Value(static_cast<int64_t>(std::lround(v)));
        return Value(v);
    }
    return Value(x, a);
}

std::string Serialize(const Value &v) {
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    v.Accept(w);
    return std::string(sb.GetString(), sb.GetSize());
}

[[noreturn]] void Fail(const std::string &origin, const std::string &path,
                       const std::string &what) {
    throw ScenarioError(origin + ": " + path + ": " + what);
}

std::string Seconds(double t) {
    char buf[32];
    snprintf(buf, sizeof buf, "%g", t);
    return buf;
}

// A time member ("at", "for") of a step: a number of seconds.
double Time(const Value &step, const char *name, const std::string &origin, const std::string &path,
            bool positive) {
    auto it = step.FindMember(name);
    if (it == step.MemberEnd()) Fail(origin, path, std::string("needs \"") + name + "\"");
    const Value &v = it->value;
    double t = v.IsNumber() ? v.GetDouble() : -1;
    if (!v.IsNumber() || !std::isfinite(t) || t < 0 || (positive && t == 0) || t > kMaxSeconds)
        Fail(origin, path + "." + name,
             std::string("must be a number of seconds from ") + (positive ? "above 0" : "0") +
                 " to " + Seconds(kMaxSeconds));
    return t;
}

// The scenario fields of a step: itself without its times.
void Fields(const Value &step, const char *const *times, Document *out) {
    out->SetObject();
    for (auto m = step.MemberBegin(); m != step.MemberEnd(); ++m) {
        bool time = false;
        for (const char *const *t = times; *t != nullptr; t++) time = time || m->name == *t;
        if (!time)
            out->AddMember(Value(m->name, out->GetAllocator()),
                           Value(m->value, out->GetAllocator()), out->GetAllocator());
    }
}

}  // namespace

std::shared_ptr<const Drive> Drive::Parse(const std::string &json, const std::string &origin) {
    std::shared_ptr<Drive> d(new Drive());
    d->origin_ = origin;
    // The scenario as it stands; this also refuses what is not JSON or
    // nests too deep, before the text is parsed here again.
    d->still_ = std::make_shared<const Scenario>(ParseScenario(json, origin));
    Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag>(json.c_str(), json.size());
    auto tl = doc.FindMember("timeline");
    if (doc.HasParseError() || !doc.IsObject() || tl == doc.MemberEnd()) return d;
    const Value &timeline = tl->value;
    if (!timeline.IsObject()) Fail(origin, "timeline", "must be an object");
    for (auto m = timeline.MemberBegin(); m != timeline.MemberEnd(); ++m) {
        const std::string name = m->name.GetString();
        if (name != "loop" && name != "keyframes" && name != "events")
            Fail(origin, "timeline." + name, "unknown field (known: loop, keyframes, events)");
    }
    auto loop = timeline.FindMember("loop");
    if (loop != timeline.MemberEnd()) {
        if (!loop->value.IsBool()) Fail(origin, "timeline.loop", "must be true or false");
        d->loop_ = loop->value.GetBool();
    }
    auto base_step = std::make_shared<Step>();
    Document &base = base_step->json;
    base.CopyFrom(doc, base.GetAllocator());
    base.RemoveMember("timeline");
    d->base_ = base_step;

    auto steps = [&](const char *name) -> const Value * {
        auto it = timeline.FindMember(name);
        if (it == timeline.MemberEnd()) return nullptr;
        if (!it->value.IsArray() || it->value.Size() > kMaxSteps)
            Fail(origin, std::string("timeline.") + name,
                 "must be a list of at most " + std::to_string(kMaxSteps) + " objects");
        for (const Value &s : it->value.GetArray())
            if (!s.IsObject() || s.HasMember("timeline"))
                Fail(origin, std::string("timeline.") + name,
                     "each entry must be an object of scenario fields (no timeline)");
        return &it->value;
    };
    static const char *const kKeyframeTimes[] = {"at", nullptr};
    static const char *const kEventTimes[] = {"at", "for", nullptr};

    if (const Value *keyframes = steps("keyframes")) {
        const Value *state = &base;
        for (rapidjson::SizeType i = 0; i < keyframes->Size(); i++) {
            const std::string path = "timeline.keyframes[" + std::to_string(i) + "]";
            auto k = std::make_shared<Step>();
            k->at = Time((*keyframes)[i], "at", origin, path, false);
            if (!d->keyframes_.empty() && k->at <= d->keyframes_.back()->at)
                Fail(origin, path + ".at", "must be later than the keyframe before");
            Document fields;
            Fields((*keyframes)[i], kKeyframeTimes, &fields);
            k->json.CopyFrom(*state, k->json.GetAllocator());
            Merge(k->json, fields, k->json.GetAllocator());
            ParseScenario(Serialize(k->json),
                          origin + ": " + path + " (at " + Seconds(k->at) + " s)");
            state = &k->json;
            d->length_ = k->at;
            d->keyframes_.push_back(std::move(k));
        }
    }
    if (const Value *events = steps("events")) {
        for (rapidjson::SizeType i = 0; i < events->Size(); i++) {
            const Value &e = (*events)[i];
            const std::string path = "timeline.events[" + std::to_string(i) + "]";
            auto ev = std::make_shared<Step>();
            ev->at = Time(e, "at", origin, path, false);
            if (e.HasMember("for")) ev->until = ev->at + Time(e, "for", origin, path, true);
            Fields(e, kEventTimes, &ev->json);
            // Checked over the scenario: an event's fields are checked on
            // their own, whatever state they land on.
            Document over;
            over.CopyFrom(base, over.GetAllocator());
            Merge(over, ev->json, over.GetAllocator());
            ParseScenario(Serialize(over),
                          origin + ": " + path + " (at " + Seconds(ev->at) + " s)");
            d->length_ = std::max(d->length_, std::isfinite(ev->until) ? ev->until : ev->at);
            d->events_.push_back(std::move(ev));
        }
    }
    if (d->loop_ && d->length_ <= 0) Fail(origin, "timeline.loop", "needs a drive longer than 0 s");
    return d;
}

std::string Drive::Text(double t) const {
    if (loop_ && length_ > 0) t = std::fmod(t, length_);
    if (!(t >= 0)) t = 0;
    Document state;
    auto &a = state.GetAllocator();
    const Step *before = nullptr, *after = nullptr;
    for (const auto &k : keyframes_) {
        if (k->at <= t)
            before = k.get();
        else if (after == nullptr)
            after = k.get();
    }
    if (before == nullptr && after != nullptr) {
        state.CopyFrom(after->json, a);  // before the first keyframe: its state
    } else if (before != nullptr && after != nullptr) {
        Value v =
            Between(before->json, after->json, (t - before->at) / (after->at - before->at), "", a);
        state.CopyFrom(v, a);
    } else if (before != nullptr) {
        state.CopyFrom(before->json, a);
    } else {
        state.CopyFrom(base_->json, a);
    }
    for (const auto &e : events_)
        if (e->at <= t && t < e->until) Merge(state, e->json, a);
    return Serialize(state);
}

std::shared_ptr<const Scenario> Drive::At(double t) const {
    if (!timed()) return still_;
    std::string text = Text(t);
    std::lock_guard<std::mutex> lock(mu_);
    if (last_ != nullptr && text == last_text_) return last_;
    try {
        last_ = std::make_shared<const Scenario>(ParseScenario(text, origin_));
    } catch (const ScenarioError &e) {
        // Each keyframe and event checked out; a mix of them that does not
        // keeps the state before.
        fprintf(stderr, "techmode-sim: at %s s: %s\n", Seconds(t).c_str(), e.what());
        if (last_ == nullptr) last_ = still_;
        return last_;
    }
    last_text_ = std::move(text);
    return last_;
}

}  // namespace sim
