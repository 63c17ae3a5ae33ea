// SPDX-License-Identifier: Apache-2.0
#include "Metrics.h"

#include <rapidjson/document.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "Client.h"

namespace diagctl {
namespace {

// A screen's unit as a metric's suffix in base units, and the factor to
// them.
const char *UnitSuffix(const char *unit, double *scale) {
    *scale = 1;
    if (strcmp(unit, "dBm") == 0) return "_dbm";
    if (strcmp(unit, "dB") == 0) return "_db";
    // Data in bytes, Prometheus's base unit (promtool's lint wants it).
    if (strcmp(unit, "bps") == 0) {
        *scale = 1.0 / 8;
        return "_bytes_per_second";
    }
    if (strcmp(unit, "kbps") == 0) {
        *scale = 1000.0 / 8;
        return "_bytes_per_second";
    }
    if (strcmp(unit, "°C") == 0) return "_celsius";
    return "";
}

// The label a column that identifies a cell becomes ("" for others).
const char *CellLabel(const Item &item) {
    static const char *const kLabels[][2] = {
        {"ARFCN", "arfcn"},        {"UARFCN", "uarfcn"},     {"SC", "sc"},           {"PSC", "sc"},
        {"Scrambling code", "sc"}, {"BSIC", "bsic"},         {"Cell id", "cell_id"}, {"LAC", "lac"},
        {"EARFCN", "earfcn"},      {"NR-ARFCN", "nr_arfcn"}, {"PCI", "pci"},         {"TAC", "tac"},
        {"NCI", "cell_id"},
    };
    for (const auto &l : kLabels)
        if (strcmp(item.label, l[0]) == 0) return l[1];
    return "";
}

// Letters, digits and '_' only: names come from our screen tables, but a
// metric name is checked where it is made.
std::string MetricName(const std::string &field, const char *suffix) {
    std::string out = "velomar_";
    for (char c : field)
        out += isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(tolower(c)) : '_';
    return out + suffix;
}

std::string Number(double v) {
    char buf[32];
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        snprintf(buf, sizeof buf, "%.0f", v);
    else
        snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

// A JSON value as a number, when it is one.
bool NumberOf(const rapidjson::Value &v, double *out) {
    if (!v.IsNumber() || v.IsBool()) return false;
    *out = v.GetDouble();
    return std::isfinite(*out);
}

// A cell's label value: a number as such, a text as given (escaped).
std::string LabelText(const rapidjson::Value &v) {
    double d;
    if (NumberOf(v, &d)) return Number(d);
    return v.IsString() ? LabelValue(v.GetString()) : "";
}

struct Family {
    std::string help, type;
    std::vector<std::string> lines;
};

class Builder {
  public:
    void Add(const std::string &name, const char *type, const std::string &help,
             const std::string &labels, double value, const char *sample_suffix = "") {
        const std::string series =
            name + sample_suffix + (labels.empty() ? "" : "{" + labels + "}");
        if (!seen_.insert(series).second) return;  // a cell listed twice: its first row
        Family &f = families_[name];
        if (f.type.empty()) {
            f.type = type;
            f.help = help;
        }
        f.lines.push_back(series + " " + Number(value));
    }
    std::string Text() const {
        std::string out;
        for (const auto &f : families_) {
            out += "# HELP " + f.first + " " + f.second.help + "\n";
            out += "# TYPE " + f.first + " " + f.second.type + "\n";
            for (const std::string &line : f.second.lines) out += line + "\n";
        }
        return out;
    }

  private:
    std::map<std::string, Family> families_;
    std::set<std::string> seen_;
};

std::string Join(const std::vector<std::pair<std::string, std::string>> &labels) {
    std::string out;
    for (const auto &l : labels) {
        if (l.second.empty()) continue;
        out += (out.empty() ? "" : ",") + l.first + "=\"" + l.second + "\"";
    }
    return out;
}

// The gauges of one record of a screen.
void RecordGauges(const Screen &screen, const rapidjson::Value &sections, const std::string &host,
                  Builder *b) {
    const std::vector<std::pair<std::string, std::string>> base = {{"host", host}};
    for (const Section &section : screen.sections) {
        auto it = sections.FindMember(SectionKey(section).c_str());
        if (it == sections.MemberEnd()) continue;
        const bool table = section.layout != Layout::kFields;
        auto emit = [&](const Item &item, const rapidjson::Value &row, bool as_label_too) {
            const char *label = CellLabel(item);
            if (item.secret != Secret::kNone || (*label && !as_label_too)) return;
            const std::string key = table ? ColumnKey(item) : item.name;
            auto v = row.FindMember(key.c_str());
            double value;
            if (v == row.MemberEnd() || !NumberOf(v->value, &value)) return;
            // The cell's labels: what identifies it in the same row or section.
            std::vector<std::pair<std::string, std::string>> labels = base;
            for (const Item &other : section.items) {
                const char *l = CellLabel(other);
                if (!*l || &other == &item) continue;
                auto o =
                    row.FindMember((table ? ColumnKey(other) : std::string(other.name)).c_str());
                if (o != row.MemberEnd()) labels.emplace_back(l, LabelText(o->value));
            }
            if (table && labels.size() == base.size()) {
                auto index = row.FindMember("index");
                if (index != row.MemberEnd()) labels.emplace_back("row", LabelText(index->value));
            }
            double scale;
            const char *suffix = UnitSuffix(item.unit, &scale);
            b->Add(MetricName(key, suffix), "gauge",
                   std::string(screen.command) + ": " + section.title + ", " + item.label +
                       (*item.unit ? std::string(" (") + item.unit + ")" : ""),
                   Join(labels), value * scale);
        };
        if (!table) {
            if (!it->value.IsObject()) continue;
            for (const Item &item : section.items) emit(item, it->value, true);
        } else if (it->value.IsArray()) {
            for (const auto &row : it->value.GetArray())
                if (row.IsObject())
                    for (const Item &item : section.items) emit(item, row, false);
        }
    }
}

// Unix time of "YYYY-MM-DDTHH:MM:SS[.mmm]Z", or 0.
double UnixTime(const std::string &time) {
    struct tm tm = {};
    const char *rest = strptime(time.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (rest == nullptr) return 0;
    double frac = 0;
    if (*rest == '.') frac = atof(rest);  // ".250Z" reads as 0.250
    return static_cast<double>(timegm(&tm)) + frac;
}

}  // namespace

constexpr double Tally::kBuckets[];

void Tally::Count(int status, double latency_ms, const std::string &time) {
    requests++;
    if (status != kExitSuccess) failures[FailureReason(status)]++;
    const double s = latency_ms / 1000;
    if (std::isfinite(s) && s >= 0) {
        for (std::size_t i = 0; i < kBucketCount; i++)
            if (s <= kBuckets[i]) buckets[i]++;
        latency_sum_s += s;
    }
    const double at = UnixTime(time);
    if (at > 0) last_answer_s = at;
}

const char *FailureReason(int status) {
    switch (status) {
        case kExitFailure:
            return "failure";
        case kExitNoDaemon:
            return "no_daemon";
        case kExitTimeout:
            return "timeout";
        case kExitInterrupted:
            return "interrupted";
        default:
            return "error";
    }
}

std::string LabelValue(const std::string &text) {
    std::string out;
    for (unsigned char c : text.substr(0, 64)) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
        }
    }
    return out;
}

std::string Exposition(const std::vector<const Screen *> &screens,
                       const std::vector<HostFigures> &hosts) {
    Builder b;
    for (const HostFigures &h : hosts) {
        const std::string host = LabelValue(h.host);
        for (std::size_t i = 0; i < screens.size() && i < h.records.size(); i++) {
            const Screen &screen = *screens[i];
            const std::vector<std::pair<std::string, std::string>> labels = {
                {"host", host}, {"command", screen.command}};
            if (i < h.tallies.size()) {
                const Tally &t = h.tallies[i];
                b.Add("velomar_requests_total", "counter",
                      "Refreshes of the screen (requests to the daemon, or records of a host)",
                      Join(labels), static_cast<double>(t.requests));
                for (const auto &f : t.failures) {
                    auto with = labels;
                    with.emplace_back("reason", f.first);
                    b.Add("velomar_request_failures_total", "counter",
                          "Refreshes that failed, by reason", Join(with),
                          static_cast<double>(f.second));
                }
                const char *help = "Time from request to answer";
                for (std::size_t k = 0; k < Tally::kBucketCount; k++) {
                    auto with = labels;
                    with.emplace_back("le", Number(Tally::kBuckets[k]));
                    b.Add("velomar_answer_latency_seconds", "histogram", help, Join(with),
                          static_cast<double>(t.buckets[k]), "_bucket");
                }
                auto inf = labels;
                inf.emplace_back("le", "+Inf");
                b.Add("velomar_answer_latency_seconds", "histogram", help, Join(inf),
                      static_cast<double>(t.requests), "_bucket");
                b.Add("velomar_answer_latency_seconds", "histogram", help, Join(labels),
                      t.latency_sum_s, "_sum");
                b.Add("velomar_answer_latency_seconds", "histogram", help, Join(labels),
                      static_cast<double>(t.requests), "_count");
                if (t.last_answer_s > 0)
                    b.Add("velomar_last_answer_timestamp_seconds", "gauge",
                          "Unix time of the screen's last answer", Join(labels), t.last_answer_s);
            }
            const std::string &record = h.records[i];
            if (record.empty() || record == "null") continue;
            rapidjson::Document d;
            d.Parse<rapidjson::kParseIterativeFlag>(record.data(), record.size());
            if (d.HasParseError() || !d.IsObject()) continue;
            auto s = d.FindMember("screen");
            if (s == d.MemberEnd() || !s->value.IsObject()) continue;
            auto sections = s->value.FindMember("sections");
            if (sections == s->value.MemberEnd() || !sections->value.IsObject()) continue;
            RecordGauges(screen, sections->value, host, &b);
        }
    }
    return b.Text();
}

}  // namespace diagctl
