// SPDX-License-Identifier: Apache-2.0
// techmode-mm against the real ModemManager in its test mode: a private
// dbus-daemon is the system bus, ModemManager (--test-session) drives a
// scripted AT modem of the test's own (tools/techmode-mm/AtModem.h) on an abstract
// socket, and techmode-mm serves the tech-mode device to the unchanged
// daemon in the deployment layout (support/SystemFixture.h). The screens
// must show what the script says, in the structures' units; they must
// follow the modem when it goes away and comes back, and when ModemManager
// stops and starts again. Skipped without ModemManager and dbus-daemon
// (scripts/setup.sh installs them).
#include <gtest/gtest.h>
#include <math.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "AtModem.h"
#include "support/SystemFixture.h"

namespace {

using namespace systemtest;

const char kModemManager[] = "/usr/sbin/ModemManager";
const char kPython[] = "/usr/bin/python3";
const char kDbusDaemon[] = "/usr/bin/dbus-daemon";

// What the scripted modem says, and what the screens must show for it.
struct Script {
    const char *operator_code;   // +COPS? numeric
    const char *lac, *ci;        // +CREG? hexadecimal
    int rscp_index, ecno_index;  // +CESQ: RSCP n is n - 121 dBm, Ec/No n is n/2 - 24.5 dB
    const char *cclk;            // +CCLK? local time and quarter-hours of zone
};

// A private dbus-daemon as the system bus, techmode-mm on it, and the
// screens as diagctl --json gives them.
class OnPrivateBus : public DiagctlSystem {
  protected:
    void SetUp() override {
        if (access(kDbusDaemon, X_OK) != 0)
            GTEST_SKIP() << "no dbus-daemon: scripts/setup.sh installs it";
        DiagctlSystem::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(bus_.Start({kDbusDaemon, "--session", "--nofork", "--print-address=1"},
                               tmp_ + "/bus", tmp_ + "/bus.err"));
        std::string address;
        for (int i = 0; i < 500 && address.find('\n') == std::string::npos; i++, usleep(10000))
            address = ReadFile(tmp_ + "/bus");
        ASSERT_NE(address.find('\n'), std::string::npos) << ReadFile(tmp_ + "/bus.err");
        address.resize(address.find('\n'));
        // ModemManager's test mode is on the session bus; techmode-mm, mmcli
        // and gdbus find it as the system bus.
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    }

    void TearDown() override {
        DiagctlSystem::TearDown();
        bus_.Stop(SIGTERM);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    // Runs a command (gdbus, mmcli) as root; its exit status and output.
    Ran Run(const std::vector<std::string> &args) {
        Child c;
        c.Start(args, tmp_ + "/run.out", tmp_ + "/run.err");
        int status = c.Wait(30000);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(tmp_ + "/run.out"),
                ReadFile(tmp_ + "/run.err")};
    }

    // extra: techmode-mm options (--refresh, --modem).
    void StartTechmodeMm(const std::vector<std::string> &extra = {"--refresh", "1"}) {
        ASSERT_EQ(system("mkdir -p /dev/radio/cellular"), 0);
        std::vector<std::string> args = {
            TECHMODE_MM_BIN, "-f",      "-v",
            "--owner",       "root",    "--mode",
            "0660",          "--group", std::to_string(dep_.daemon_gid)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("/dev/radio/cellular");
        ASSERT_TRUE(sim_.Start(args, "", tmp_ + "/techmode-mm.err"));
        ASSERT_TRUE(testsupport::WaitForMount("/dev/radio/cellular"))
            << ReadFile(tmp_ + "/techmode-mm.err");
    }

    // The attributes of a command's record (diagctl --json), as text: a
    // number as its digits, a string as it stands.
    std::map<std::string, std::string> Screen(const std::string &command) {
        std::map<std::string, std::string> out;
        Ran r = Diagctl({"--json", command});
        rapidjson::Document d;
        if (d.Parse(r.out.c_str()).HasParseError() || !d.IsObject() || !d.HasMember("attributes"))
            return out;
        for (const auto &m : d["attributes"].GetObject()) {
            if (m.value.IsString())
                out[m.name.GetString()] = m.value.GetString();
            else if (m.value.IsInt())
                out[m.name.GetString()] = std::to_string(m.value.GetInt());
        }
        return out;
    }

    // Waits (ten seconds at most) until every attribute of a command's
    // screen is as wanted; the screen as last seen.
    std::map<std::string, std::string> WaitForScreen(
        const std::string &command, const std::map<std::string, std::string> &want) {
        std::map<std::string, std::string> seen;
        for (int i = 0; i < 40; i++, usleep(250000)) {
            seen = Screen(command);
            bool all = true;
            for (const auto &w : want) all = all && seen[w.first] == w.second;
            if (all) break;
        }
        return seen;
    }

    // The end of techmode-mm's log, for failure messages.
    std::string Log() {
        const std::string log = ReadFile(tmp_ + "/techmode-mm.err");
        return log.size() > 2000 ? log.substr(log.size() - 2000) : log;
    }

    Child bus_;
};

// ModemManager in its test mode with the scripted AT modem.
class TechmodeMm : public OnPrivateBus {
  protected:
    void SetUp() override {
        if (access(kModemManager, X_OK) != 0)
            GTEST_SKIP() << "no ModemManager: scripts/setup.sh installs it";
        OnPrivateBus::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(at_.Start());
        Answer({"310150", "1A2B", "00C3D4E5", 40, 31, "26/12/07,10:30:00+04"});
        ASSERT_NO_FATAL_FAILURE(StartModemManager());
    }

    void TearDown() override {
        OnPrivateBus::TearDown();
        mm_.Stop(SIGTERM);
        at_.Stop();
    }

    // The modem's answers; the rest of what ModemManager asks is fixed.
    void Answer(const Script &s) {
        at_.Set("AT+CGSN", {"356938035643809"});
        at_.Set("AT+CIMI", {"310150123456789"});
        at_.Set("AT+CGMI", {"Test Modems"});
        at_.Set("AT+CGMM", {"TM-1"});
        at_.Set("AT+CGMR", {"1.0"});
        at_.Set("AT+GCAP", {"+GCAP: +CGSM"});
        at_.Set("AT+CPIN?", {"+CPIN: READY"});
        at_.Set("AT+CFUN?", {"+CFUN: 1"});
        at_.Set("AT+WS46=?", {"+WS46: (12,22,25)"});
        at_.Set("AT+COPS?", {std::string("+COPS: 0,2,\"") + s.operator_code + "\",2"});
        // Registered at home on UTRAN (2), with the location.
        const std::string creg = std::string("2,1,\"") + s.lac + "\",\"" + s.ci + "\",2";
        at_.Set("AT+CREG?", {"+CREG: " + creg});
        at_.Set("AT+CGREG?", {"+CGREG: " + creg});
        at_.Set("AT+CSQ", {"+CSQ: 20,99"});
        at_.Set("AT+CESQ=?",
                {"+CESQ: (0-63,99),(0-7,99),(0-96,255),(0-49,255),(0-34,255),(0-97,255)"});
        at_.Set("AT+CESQ", {"+CESQ: 99,99," + std::to_string(s.rscp_index) + "," +
                            std::to_string(s.ecno_index) + ",255,255"});
        at_.Set("AT+CCLK?", {std::string("+CCLK: \"") + s.cclk + "\""});
    }

    void StartModemManager() {
        ASSERT_TRUE(mm_.Start({kModemManager, "--test-session", "--test-enable", "--test-no-udev",
                               "--no-auto-scan", "--debug"},
                              tmp_ + "/mm.log", tmp_ + "/mm.log"));
    }

    // Gives ModemManager the modem on `port` (a device of the same id
    // replaces the one before: the modem on the old port goes away) and,
    // for the scripted port, enables it.
    void SetModem(const std::string &port, bool enable = true) {
        Ran r{};
        for (int i = 0; i < 100; i++, usleep(100000)) {
            r = Run({"/usr/bin/gdbus", "call", "--session", "-d", "org.freedesktop.ModemManager1",
                     "-o", "/org/freedesktop/ModemManager1", "-m",
                     "org.freedesktop.ModemManager1.Test.SetProfile", "velomar-test", "generic",
                     "['" + port + "']"});
            if (r.status == 0) break;
        }
        ASSERT_EQ(r.status, 0) << r.err << ReadFile(tmp_ + "/mm.log");
        if (!enable) return;
        for (int i = 0; i < 200; i++, usleep(100000)) {
            r = Run({"/usr/bin/mmcli", "-m", "any", "-e"});
            if (r.status == 0) return;
        }
        FAIL() << "the modem was not enabled: " << r.err;
    }

    Child mm_;
    atmodem::AtModem at_{"abstract:velomar-test-" + std::to_string(getpid())};
};

// Every attribute of want, as the screen shows it.
void ExpectScreen(const std::map<std::string, std::string> &seen,
                  const std::map<std::string, std::string> &want, const std::string &log) {
    for (const auto &w : want) {
        auto it = seen.find(w.first);
        EXPECT_TRUE(it != seen.end() && it->second == w.second)
            << w.first << " is " << (it == seen.end() ? "absent" : it->second) << ", not "
            << w.second << "\n"
            << log;
    }
}

// The screens for a script: IMEI and IMSI digits (with the filler the
// structure's room leaves), operator, LAC and CI from the location, RSCP
// and Ec/Io from +CESQ through the Signal interface; what ModemManager
// does not give is not available.
std::map<std::string, std::string> Radionwinfo(const Script &s) {
    return {{"scell_mcc", std::string(s.operator_code).substr(0, 3)},
            {"scell_mnc", std::to_string(atoi(s.operator_code + 3))},
            {"scell_lac", std::to_string(strtol(s.lac, nullptr, 16))},
            {"scell_cellid", std::to_string(strtol(s.ci, nullptr, 16))},
            {"scell_rscp", std::to_string(s.rscp_index - 121)},
            {"scell_ecio", std::to_string(static_cast<int>(lround(s.ecno_index / 2.0 - 24.5)))}};
}

TEST_F(TechmodeMm, ScreensShowTheModemAndFollowItAndModemManager) {
    const std::string port = "abstract:velomar-test-" + std::to_string(getpid());
    ASSERT_NO_FATAL_FAILURE(SetModem(port));
    // --report, with the modem chosen by IMEI and by path, and by an index,
    // an IMEI and a path there is none of.
    const struct {
        std::string modem;
        bool found;
    } kChoices[] = {{"356938035643809", true},
                    {"/org/freedesktop/ModemManager1/Modem/0", true},
                    {"7", false},
                    {"356938035643800", false},
                    {"/org/freedesktop/ModemManager1/Modem/1", false}};
    for (const auto &[modem, found] : kChoices) {
        SCOPED_TRACE(modem);
        Ran r = Run({TECHMODE_MM_BIN, "--report", "--refresh", "1", "--modem", modem});
        if (!found) {
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("ModemManager has no modem " + modem), std::string::npos) << r.err;
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        for (const char *line :
             {"2  identity                   filled\n",
              "     imsi                 filled  from Sim.Imsi\n",
              "     tmsi                 missing (ModemManager has no source)\n",
              "     uarfcn               missing from GetCellInfo",
              "     rscp_dbm             filled  from GetCellInfo",
              "3  radio_stats                not filled: ModemManager has no source",
              "network time: from Modem.Time (2026-12-07T10:30:00+01)\n"})
            EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
    // Chosen by IMEI, which stays when the modem's index changes (a device
    // given again, ModemManager started again).
    ASSERT_NO_FATAL_FAILURE(StartTechmodeMm({"--refresh", "1", "--modem", "356938035643809"}));
    ASSERT_NO_FATAL_FAILURE(StartDaemon());

    const Script first = {"310150", "1A2B", "00C3D4E5", 40, 31, "26/12/07,10:30:00+04"};
    ExpectScreen(WaitForScreen("radionwinfo", Radionwinfo(first)), Radionwinfo(first), Log());
    ExpectScreen(Screen("identity"),
                 {{"IMEI", "356938035643809ff"}, {"IMSI", "310150123456789fff"}}, Log());
    ExpectScreen(Screen("gsmopinfo"),
                 {{"active_rat", "WCDMA"},
                  {"gsm_mcc", "310"},
                  {"gsm_mnc", "150"},
                  {"gsm_lac", "6699"},
                  {"gprs_state", "N/A"}},
                 Log());
    // A bearer is a PDP context: its APN (not connected: no address).
    ASSERT_EQ(Run({"/usr/bin/mmcli", "-m", "any", "--create-bearer=apn=internet.test"}).status, 0);
    ExpectScreen(WaitForScreen("umtsopinfo", {{"apn1_name", "internet.test"}}),
                 {{"apn1_name", "internet.test"}, {"apn1_ipv4_addr", "0.0.0.0"}, {"apn2_name", ""}},
                 Log());
    // No source (or none this modem gives): the structures fail, and the
    // screens show nothing in their place.
    const struct {
        const char *command, *attribute;
    } kEmpty[] = {{"radiostats", "rrc_state"},     {"access", "init_tx_power"},
                  {"access", "gmm_latest_cause"},  {"hspaopinfo", "hssch_code"},
                  {"tchtxpower", "dch_utra_rssi"}, {"tchtxpower", "radio_temp"},
                  {"umtsopinfo", "t3212"},         {"gsmopinfo", "gsm_arfcn1"}};
    for (const auto &e : kEmpty) {
        SCOPED_TRACE(e.command);
        ExpectScreen(Screen(e.command), {{e.attribute, "N/A"}}, Log());
    }
    // +CCLK's 10:30 at +01:00 (four quarter-hours) is 09:30 UTC, through
    // the network-time status object and the daemon's bridge.
    WaitForText(kDiag + "/status_data", "nitz_time");
    ExpectScreen(Screen("nitz"),
                 {{"nitz_source", "nitz"}, {"nitz_date", "2026:12:07"}, {"nitz_time", "09:30:00"}},
                 Log());

    // The modem goes away (its device now has a port nobody answers on):
    // the device fails every request, the screens show nothing of it.
    ASSERT_NO_FATAL_FAILURE(SetModem(port + "-silent", false));
    ExpectScreen(WaitForScreen("identity", {{"IMEI", "N/A"}}), {{"IMEI", "N/A"}}, Log());
    EXPECT_NE(ReadFile(tmp_ + "/techmode-mm.err").find("modem gone"), std::string::npos) << Log();

    // It comes back, with other values.
    const Script second = {"26201", "2B3C", "0001F00D", 50, 41, "26/12/07,11:00:00+00"};
    Answer(second);
    ASSERT_NO_FATAL_FAILURE(SetModem(port));
    ExpectScreen(WaitForScreen("radionwinfo", Radionwinfo(second)), Radionwinfo(second), Log());

    // ModemManager stops: no modem. It starts again and gets the modem
    // back: the Signal interface is set up again (its values come only
    // after a Setup), and the values are the new ones.
    mm_.Stop(SIGTERM);
    ExpectScreen(WaitForScreen("identity", {{"IMEI", "N/A"}}), {{"IMEI", "N/A"}}, Log());
    const Script third = {"20810", "0C0D", "00ABCDEF", 60, 45, "26/12/07,11:00:00+00"};
    Answer(third);
    ASSERT_NO_FATAL_FAILURE(StartModemManager());
    ASSERT_NO_FATAL_FAILURE(SetModem(port));
    ExpectScreen(WaitForScreen("radionwinfo", Radionwinfo(third)), Radionwinfo(third), Log());
    EXPECT_EQ(Screen("identity")["IMEI"], "356938035643809ff");
}

// ModemManager as python3-dbusmock fakes it (fake_modemmanager.py): a modem
// that answers GetCellInfo, which the real one's generic plugin does not.
class TechmodeMmCellInfo : public OnPrivateBus {
  protected:
    void SetUp() override {
        if (system("/usr/bin/python3 -c 'import dbusmock' 2>/dev/null") != 0)
            GTEST_SKIP() << "no python3-dbusmock: scripts/setup.sh installs it";
        OnPrivateBus::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(
            fake_.Start({kPython, "-m", "dbusmock", "--system", "--template", FAKE_MODEMMANAGER},
                        tmp_ + "/fake.out", tmp_ + "/fake.err"));
        Ran r{};
        for (int i = 0; i < 100 && r.out.find("true") == std::string::npos; i++, usleep(100000))
            r = Run({"/usr/bin/gdbus", "call", "--system", "-d", "org.freedesktop.DBus", "-o",
                     "/org/freedesktop/DBus", "-m", "org.freedesktop.DBus.NameHasOwner",
                     "org.freedesktop.ModemManager1"});
        ASSERT_NE(r.out.find("true"), std::string::npos) << ReadFile(tmp_ + "/fake.err");
    }

    void TearDown() override {
        OnPrivateBus::TearDown();
        fake_.Stop(SIGTERM);
    }

    Child fake_;
};

// The cells fill the serving cell, the active and monitored sets and the
// GSM neighbours; the LAC comes from the serving cell (no location); a
// neighbour with a value out of range is not listed.
TEST_F(TechmodeMmCellInfo, CellsFillTheCellScreens) {
    // Read once at start, and not again for an hour: a network time that
    // comes later can only come by the NetworkTimeChanged signal.
    ASSERT_NO_FATAL_FAILURE(StartTechmodeMm({"--refresh", "3600"}));
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
    const std::map<std::string, std::string> radio = {
        {"scell_uarfcn", "10713"}, {"scell_sc", "123"},    {"scell_rscp", "-77"},
        {"scell_ecio", "-7"},      {"scell_lac", "11068"}, {"scell_cellid", "126989"},
        {"scell_mcc", "262"},      {"scell_mnc", "1"},     {"aset_arfcn1", "10713"},
        {"aset_sc1", "123"},       {"aset_rscp1", "-77"},  {"aset_ecio1", "-7"},
        {"mset_uarfcn1", "10713"}, {"mset_sc1", "456"},    {"mset_rscp1", "-99"},
        {"mset_ecio1", "-14"},     {"mset_sc2", "N/A"}};
    ExpectScreen(WaitForScreen("radionwinfo", radio), radio, Log());
    ExpectScreen(Screen("gsmopinfo"),
                 {{"gsm_arfcn1", "60"},
                  {"gsm_bsic1", "42"},
                  {"gsm_rssi1", "-80"},
                  {"gsm_cellid1", "48879"},
                  {"gsm_lac1", "258"},
                  {"gsm_arfcn2", "N/A"}},
                 Log());

    WaitForText(kDiag + "/status_data", "nitz_time");
    ExpectScreen(Screen("nitz"), {{"nitz_date", "2026:12:07"}, {"nitz_time", "08:00:00"}}, Log());
    ASSERT_EQ(
        Run({"/usr/bin/gdbus", "call", "--system", "-d", "org.freedesktop.ModemManager1", "-o",
             "/org/freedesktop/ModemManager1/Modem/0", "-m", "org.freedesktop.DBus.Mock.EmitSignal",
             "org.freedesktop.ModemManager1.Modem.Time", "NetworkTimeChanged", "s",
             "[<'2026-12-07T08:30:00+01:00'>]"})
            .status,
        0);
    ExpectScreen(WaitForScreen("nitz", {{"nitz_time", "07:30:00"}}), {{"nitz_time", "07:30:00"}},
                 Log());
}

}  // namespace
