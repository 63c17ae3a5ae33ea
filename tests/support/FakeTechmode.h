/* SPDX-License-Identifier: Apache-2.0 */
// Test support: the pretend device of FakeDevice.h answered by the modem
// simulator's reply builder, so the daemon's real devctlv, transport and
// fetchers get replies encoded independently of them.
#ifndef TESTS_SUPPORT_FAKETECHMODE_H
#define TESTS_SUPPORT_FAKETECHMODE_H

#include "FakeDevice.h"
#include "Scenario.h"

namespace testsupport {

constexpr int kFakeTechmodeFd = kFakeDeviceFd;

// The scenario the device answers from (the simulator's defaults until a
// test changes it); the first call sets the device to answer from it.
sim::Scenario &FakeScenario();
// Requests seen per structure type since the last reset.
int FakeRequests(int type);
void ResetFakeRequests();

}  // namespace testsupport

#endif
