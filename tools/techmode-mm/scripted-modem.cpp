// SPDX-License-Identifier: Apache-2.0
// scripted-modem: an AT modem answered from a script file (AtModem.h), for
// ModemManager's test mode, so that techmode-mm can be shown without
// hardware (scripts/demo.sh --modem). Runs until SIGINT or SIGTERM.
#include <signal.h>
#include <stdio.h>

#include <fstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "AtModem.h"
#include "velomar_version.h"

namespace {

// Reads a script: a command at the start of a line, its answer lines
// indented under it ("ERROR" alone for an error); '#' starts a comment
// line. False with the reason in *why for a file that cannot be read or
// an answer line before any command.
bool LoadScript(const std::string &path, atmodem::AtModem *modem, std::string *why) {
    std::ifstream in(path);
    if (!in) {
        *why = "cannot read " + path;
        return false;
    }
    std::string line, command;
    std::vector<std::string> lines;
    int number = 0;
    auto flush = [&] {
        if (command.empty()) return;
        const bool error = lines.size() == 1 && lines[0] == "ERROR";
        modem->Set(command, error ? std::vector<std::string>{} : lines, error);
        lines.clear();
    };
    while (std::getline(in, line)) {
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == ' ' || line[0] == '\t') {
            if (command.empty()) {
                *why = path + ":" + std::to_string(number) + ": an answer before any command";
                return false;
            }
            lines.push_back(line.substr(line.find_first_not_of(" \t")));
        } else {
            flush();
            command = line;
        }
    }
    flush();
    return true;
}

}  // namespace

int main(int argc, char *argv[]) {
    CLI::App app{
        "scripted-modem: an AT modem answered from a script, on an abstract Unix socket,\n"
        "for ModemManager's test mode (Test.SetProfile with the port abstract:NAME).",
        "scripted-modem"};
    app.set_version_flag("--version", VELOMAR_VERSION_TEXT("scripted-modem"));
    std::string name, script;
    app.add_option("name", name, "The socket's abstract name, e.g. abstract:demo-modem")
        ->required();
    app.add_option("script", script, "The script file (see samples/umts.at)")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    atmodem::AtModem modem(name);
    std::string why;
    if (!LoadScript(script, &modem, &why)) {
        fprintf(stderr, "scripted-modem: %s\n", why.c_str());
        return 2;
    }
    // Blocked before the modem's thread starts, so it inherits the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    if (!modem.Start()) {
        fprintf(stderr, "scripted-modem: cannot listen on %s\n", name.c_str());
        return 1;
    }
    int sig = 0;
    sigwait(&stop, &sig);
    modem.Stop();
    return 0;
}
