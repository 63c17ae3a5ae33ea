// SPDX-License-Identifier: Apache-2.0
#include "WebDriver.h"

#include <httplib.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace webdriver {
namespace {

const char kChromium[] = "/usr/bin/chromium";
const char kChromedriver[] = "/usr/bin/chromedriver";

std::string JsonText(const rapidjson::Value &v) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    v.Accept(w);
    return buf.GetString();
}

// {"script": script, "args": []}, with the script escaped by the writer.
std::string ScriptBody(const std::string &script) {
    rapidjson::Document d(rapidjson::kObjectType);
    d.AddMember("script", rapidjson::Value(script.c_str(), d.GetAllocator()), d.GetAllocator());
    d.AddMember("args", rapidjson::Value(rapidjson::kArrayType), d.GetAllocator());
    return JsonText(d);
}

}  // namespace

std::string Browser::Missing() {
    if (access(kChromium, X_OK) != 0) return "no /usr/bin/chromium (Debian's chromium)";
    if (access(kChromedriver, X_OK) != 0)
        return "no /usr/bin/chromedriver (Debian's chromium-driver)";
    return "";
}

Browser::~Browser() {
    if (!session_.empty()) {
        rapidjson::Document ignored;
        Command("DELETE", "", "", &ignored);
    }
    driver_.Stop(SIGTERM);
}

std::string Browser::Start(const std::string &dir) {
    const std::string out = dir + "/chromedriver.out";
    if (!driver_.Start({kChromedriver, "--port=0", "--log-path=" + dir + "/chromedriver.log"}, out,
                       dir + "/chromedriver.err"))
        return "cannot start chromedriver";
    // It picks a free port and says which on its standard output.
    const char kSays[] = "started successfully on port ";
    for (int i = 0; i < 3000 && port_ == 0; i++) {
        const std::string text = testsupport::ReadFile(out);
        const std::size_t at = text.find(kSays);
        if (at != std::string::npos) port_ = atoi(text.c_str() + at + strlen(kSays));
        if (port_ == 0) {
            if (!driver_.running()) return "chromedriver ended: " + text;
            usleep(10000);
        }
    }
    if (port_ == 0) return "chromedriver gave no port: " + testsupport::ReadFile(out);

    // Root needs --no-sandbox; the rest keeps the browser off the network
    // and off anything the test did not ask for.
    const std::string caps =
        R"({"capabilities":{"alwaysMatch":{"browserName":"chrome","goog:chromeOptions":{)"
        R"("binary":")" +
        std::string(kChromium) +
        R"(","args":["--headless=new","--no-sandbox","--disable-gpu",)"
        R"("--disable-dev-shm-usage","--no-proxy-server","--disable-background-networking",)"
        R"("--disable-component-update","--disable-sync","--no-first-run",)"
        R"("--window-size=1400,2600","--user-data-dir=)" +
        dir + R"(/profile"]}}}})";
    rapidjson::Document value;
    std::string why = Command("POST", "", caps, &value);
    if (!why.empty()) return why;
    if (!value.IsObject() || !value.HasMember("sessionId") || !value["sessionId"].IsString())
        return "no session id in " + JsonText(value);
    session_ = value["sessionId"].GetString();
    return Command("POST", "/timeouts", R"({"script":30000,"pageLoad":60000})", &value);
}

std::string Browser::Navigate(const std::string &url) {
    rapidjson::Document d(rapidjson::kObjectType), value;
    d.AddMember("url", rapidjson::Value(url.c_str(), d.GetAllocator()), d.GetAllocator());
    return Command("POST", "/url", JsonText(d), &value);
}

std::string Browser::Run(const std::string &script, rapidjson::Document *result) {
    return Command("POST", "/execute/sync", ScriptBody(script), result);
}

std::string Browser::Command(const char *method, const std::string &path, const std::string &body,
                             rapidjson::Document *value) {
    httplib::Client client("127.0.0.1", port_);
    // Starting a browser on two busy shared cores can take a while.
    client.set_read_timeout(120, 0);
    httplib::Request req;
    req.method = method;
    req.path = "/session" + (session_.empty() ? "" : "/" + session_ + path);
    req.body = body;
    if (!body.empty()) req.set_header("Content-Type", "application/json");
    httplib::Result r = client.send(req);
    if (!r) return std::string(method) + " " + req.path + ": " + httplib::to_string(r.error());
    rapidjson::Document answer;
    if (answer.Parse(r->body.c_str()).HasParseError() || !answer.IsObject() ||
        !answer.HasMember("value"))
        return std::string(method) + " " + req.path + ": not a WebDriver answer: " + r->body;
    if (r->status != 200) {
        const rapidjson::Value &v = answer["value"];
        std::string message = v.IsObject() && v.HasMember("message") && v["message"].IsString()
                                  ? v["message"].GetString()
                                  : r->body;
        return std::string(method) + " " + req.path + ": " + std::to_string(r->status) + " " +
               message;
    }
    value->CopyFrom(answer["value"], value->GetAllocator());
    return "";
}

}  // namespace webdriver
