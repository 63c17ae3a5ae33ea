/* SPDX-License-Identifier: Apache-2.0 */
// A drive: a scenario whose state moves with time. The scenario's
// "timeline" holds keyframes (at a time in seconds, any scenario fields)
// and events (at a time, for a while, any scenario fields). The state at a
// time is the scenario, with each keyframe's fields laid over the ones
// before it; between two keyframes signal levels and other measured numbers
// move linearly, while texts, codes and identities change at the keyframe.
// In lists, an entry that is the same cell in both keyframes (same UARFCN
// and PSC, ARFCN and BSIC, EARFCN and PCI, or NR-ARFCN and PCI) moves
// smoothly; others appear or disappear at
// the keyframe. Events lay their fields over that state while they last.
// A scenario without a timeline is a drive that never changes.
#ifndef TECHMODE_SIM_TIMELINE_H
#define TECHMODE_SIM_TIMELINE_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Scenario.h"

namespace sim {

class Drive {
  public:
    // Parses and checks a scenario text: the scenario itself, and the state
    // at every keyframe and under every event, so that no time of the drive
    // gives a scenario that does not check out. Throws ScenarioError naming
    // the keyframe or event and the field.
    static std::shared_ptr<const Drive> Parse(const std::string &json, const std::string &origin);

    bool timed() const { return !keyframes_.empty() || !events_.empty(); }
    bool loop() const { return loop_; }
    // Seconds from the start to the last keyframe or the end of the last
    // event that ends (0 without a timeline).
    double length() const { return length_; }
    // The scenario at t seconds into the drive: with loop, t is taken
    // modulo the length; past the end the last state holds. Thread-safe.
    std::shared_ptr<const Scenario> At(double t) const;

    struct Step;  // a keyframe or an event, as parsed

  private:
    Drive() = default;
    std::string Text(double t) const;

    std::string origin_;
    std::shared_ptr<const Scenario> still_;  // the scenario without its timeline
    std::shared_ptr<const Step> base_;       // its JSON
    std::vector<std::shared_ptr<const Step>> keyframes_, events_;
    bool loop_ = false;
    double length_ = 0;
    // The last state made, by the text it was made from.
    mutable std::mutex mu_;
    mutable std::string last_text_;
    mutable std::shared_ptr<const Scenario> last_;
};

}  // namespace sim

#endif
