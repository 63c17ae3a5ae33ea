/* SPDX-License-Identifier: Apache-2.0 */
// Golden sessions: the replies the simulator served, one JSON line each
// with the drive time it was served at, the structure type, the devctl
// status, the delay and the reply bytes in hex; and their replay, which
// serves the recorded replies of each structure type again in the order
// they were recorded, whatever the scenario. With diagctl's recordings of
// the screens this checks the daemon against itself over a whole drive.
#ifndef TECHMODE_SIM_GOLDEN_H
#define TECHMODE_SIM_GOLDEN_H

#include <stdint.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

namespace sim {

struct ServedReply {
    double t = 0;  // drive seconds when it was served
    int type = 0;  // structure type (TechModeStructType)
    int status = 0;
    int delay_ms = 0;
    std::vector<uint8_t> bytes;  // at most DEVCTL_XFER_MAX
};

// One line of a recording, without the newline.
std::string ReplyLine(const ServedReply &r);

// Parses a recording. A last line without its newline (the recorder was
// killed while writing it) is left out, and *warning says so; any other
// line that is not a reply throws ScenarioError naming the line and why.
std::vector<ServedReply> ParseReplies(const std::string &text, const std::string &origin,
                                      std::string *warning);

// Serves recorded replies, each type's in its recorded order.
class Replay {
  public:
    explicit Replay(const std::vector<ServedReply> &replies);
    // The next reply of a type; false when none is left.
    bool Next(int type, ServedReply *out);
    // Replies not served yet.
    std::size_t left() const;

  private:
    std::map<int, std::deque<ServedReply>> queues_;
};

}  // namespace sim

#endif
