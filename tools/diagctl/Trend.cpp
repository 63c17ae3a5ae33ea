// SPDX-License-Identifier: Apache-2.0
#include "Trend.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace diagctl {

void Trends::Add(const Screen &screen, const Value &attributes) {
    for (const Section &section : screen.sections) {
        if (section.layout != Layout::kFields) continue;
        const Value *scope = &attributes;
        std::string prefix;
        if (section.container != nullptr) {
            scope = attributes.Find(section.container);
            prefix = std::string(section.container) + ".";
        }
        for (const Item &item : section.items) {
            if (!item.trend) continue;
            const Value *v = scope != nullptr ? scope->Find(item.name) : nullptr;
            double x = std::numeric_limits<double>::quiet_NaN();
            if (v != nullptr && v->kind == Value::Kind::kInt) x = static_cast<double>(v->integer);
            if (v != nullptr && v->kind == Value::Kind::kReal) x = v->real;
            std::deque<double> &d = values_[prefix + item.name];
            d.push_back(x);
            while (d.size() > depth_) d.pop_front();
        }
    }
}

const std::deque<double> *Trends::Find(const std::string &key) const {
    auto it = values_.find(key);
    return it == values_.end() ? nullptr : &it->second;
}

std::string Sparkline(const std::deque<double> &values) {
    static const char *const kBars[] = {"\u2581", "\u2582", "\u2583", "\u2584",
                                        "\u2585", "\u2586", "\u2587", "\u2588"};
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (double v : values)
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    std::string out;
    for (double v : values) {
        if (!std::isfinite(v)) {
            out += ' ';
            continue;
        }
        // A flat line sits in the middle, so that a rise or a fall shows.
        int level = hi > lo ? static_cast<int>(std::lround((v - lo) / (hi - lo) * 7)) : 3;
        out += kBars[std::max(0, std::min(7, level))];
    }
    return out;
}

}  // namespace diagctl
