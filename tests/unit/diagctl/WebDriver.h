/* SPDX-License-Identifier: Apache-2.0 */
// A headless Chromium driven through chromedriver's WebDriver API (plain
// HTTP with JSON bodies, spoken with cpp-httplib's client), for the tests
// that load diagctl serve's page in a real browser: one session, scripts
// run in the page. chromedriver listens on a free loopback
// port and ends, with its browser, when the object is destroyed.
//
// Not thread-safe; one object per test.
#ifndef TESTS_UNIT_DIAGCTL_WEBDRIVER_H
#define TESTS_UNIT_DIAGCTL_WEBDRIVER_H

#include <rapidjson/document.h>

#include <string>

#include "support/Sandbox.h"

namespace webdriver {

class Browser {
  public:
    Browser() = default;
    Browser(const Browser &) = delete;
    Browser &operator=(const Browser &) = delete;
    // Ends the session (which closes the browser), then chromedriver.
    ~Browser();

    // Why no browser can be had here ("" when chromium and chromedriver
    // are both installed), for GTEST_SKIP.
    static std::string Missing();

    // Starts chromedriver and a headless Chromium session whose profile
    // lives in dir (which must exist); logs of chromedriver go there too.
    // "" on success, else what failed.
    std::string Start(const std::string &dir);
    // Loads url and waits for the page's load event; "" or what failed.
    std::string Navigate(const std::string &url);
    // Runs script as the body of a function in the page and parses what it
    // returns (JSON-able values: null, numbers, texts, arrays, objects)
    // into *result. "" or what failed, with the page's exception message.
    std::string Run(const std::string &script, rapidjson::Document *result);

  private:
    // One WebDriver command: method, path under /session/ID (or "/session"
    // itself when path is empty and there is no session yet), JSON body.
    // The answer's "value" member into *value; "" or what failed.
    std::string Command(const char *method, const std::string &path, const std::string &body,
                        rapidjson::Document *value);

    testsupport::Child driver_;
    int port_ = 0;
    std::string session_;
};

}  // namespace webdriver

#endif
