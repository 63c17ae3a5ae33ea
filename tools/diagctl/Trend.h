/* SPDX-License-Identifier: Apache-2.0 */
// The recent values of a screen's trend items (the numbers people follow
// while they watch: RSCP, Ec/Io, RXLEV, RXQUAL, TX power, temperature, data
// rates), frame by frame, and the sparkline --watch draws from them. Pure
// code: no I/O.
#ifndef TOOLS_DIAGCTL_TREND_H
#define TOOLS_DIAGCTL_TREND_H

#include <cstddef>
#include <deque>
#include <map>
#include <string>

#include "Screens.h"

namespace diagctl {

class Trends {
  public:
    explicit Trends(std::size_t depth = 12) : depth_(depth) {}
    std::size_t depth() const { return depth_; }

    // Adds one frame: each trend item's value, or NaN where it is a
    // placeholder, missing or not a number; keeps the last depth values.
    void Add(const Screen &screen, const Value &attributes);
    // The values of a trend item, oldest first; key is the attribute name,
    // or "container.name" for an item inside an object attribute. nullptr
    // when there are none.
    const std::deque<double> *Find(const std::string &key) const;

  private:
    std::size_t depth_;
    std::map<std::string, std::deque<double>> values_;
};

// One character per value, from U+2581 (lowest of the values) to U+2588
// (highest), a space for NaN; all the same height when they do not vary.
std::string Sparkline(const std::deque<double> &values);

}  // namespace diagctl

#endif
