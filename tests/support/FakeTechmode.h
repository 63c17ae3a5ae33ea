/* SPDX-License-Identifier: Apache-2.0 */
// Test support: an in-process tech-mode device. The pretend device of
// FakeDevice.h (kFakeTechmodeFd) is answered by the modem simulator's reply
// builder from a scenario, so a test exercises the daemon's real devctlv,
// transport and fetchers against replies encoded independently of them.
#ifndef TESTS_SUPPORT_FAKETECHMODE_H
#define TESTS_SUPPORT_FAKETECHMODE_H

#include <string>

#include "FakeDevice.h"
#include "Scenario.h"

namespace testsupport {

constexpr int kFakeTechmodeFd = kFakeDeviceFd;

class FakeTechmode {
  public:
    // Replaces the scenario (JSON as a scenario file holds it); an empty
    // object gives the simulator's defaults. Throws sim::ScenarioError. The
    // first call of any of these sets the device to answer from it.
    static void SetScenario(const std::string &json);
    // The scenario in use, to adjust single values.
    static sim::Scenario &scenario();
    // Requests seen per structure type since the last reset.
    static int Requests(int type);
    static void ResetCounts();
};

}  // namespace testsupport

#endif
