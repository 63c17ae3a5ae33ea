// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <functional>
#include <string>

#include "Scenario.h"

// What a parse refuses with, or "accepted".
inline std::string ErrorOf(const std::function<void()> &parse) {
    try {
        parse();
    } catch (const sim::ScenarioError &e) {
        return e.what();
    }
    return "accepted";
}
