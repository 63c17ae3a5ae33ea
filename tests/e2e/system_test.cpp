// SPDX-License-Identifier: Apache-2.0
// The whole system as it runs on a handset, in a private mount namespace:
// ppsfs at /pps, techmode-sim at /dev/radio/cellular with the scenario
// below, and qrx_velomar_server, all as built. The test talks to them only
// through PPS objects, as a client would: requests written to the control
// object, responses read back from it, values read from the status objects
// through ?delta opens. The daemon's log lines are read from a syslog socket
// at /dev/log, on a /dev of the namespace's own. Every child process dies
// with its test.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/ExpectedText.h"
#include "support/Fd.h"
#include "support/Sandbox.h"

namespace {

using testsupport::Child;
using testsupport::ReadFile;

const std::string kDiag = "/pps/services/radioctrl/modem0/diag";
const std::string kControl = kDiag + "/control";
const std::string kNetworkTime = "/pps/services/network-time";
const char kDevice[] = "/dev/radio/cellular";

// A handset camped on WCDMA with one radio bearer, one PDP context and a
// one-cell active set; everything not named keeps the simulator's default.
// No drift, so every value is exact.
const char kScenario[] = R"({
  "identity": {"imsi": "262019876543210", "tmsi": "0A0B0C0D", "ptmsi": "DEADBEEF",
               "srnc_id": 4321},
  "mobility": {"active_rat": "WCDMA", "mcc": 262, "mnc": 2, "lac": 4660, "rac": 9},
  "basic": {"gmm_cause": 7, "mm_cause": 17, "rr_cause": 65, "rr_state": 122},
  "radio_stats": {"rrc_state": 4, "rrc_reject_cause": 1, "rrc_release_cause": 2,
                  "rrc_conn_state": 10, "t3212": 240, "t3312": 3240, "t3314": 44},
  "bearers_3g": [{"rab_id": 5, "datarate_ul": 64000, "datarate_dl": 384000,
                  "maxrate_ul": 128000, "maxrate_dl": 384000, "traffic_class": 2,
                  "domain": "PS", "bler_residual": 10, "codec": 99, "ciphering": 2}],
  "pdp_contexts": [{"apn": "internet", "ipv4": "10.64.12.7", "ipv6": "2001:db8::7"}],
  "active_set": [{"uarfcn": 10700, "psc": 310, "rscp_dbm": -85, "ecio_db": -6}],
  "battery_temperature_c": -12,
  "drift": {"enabled": false}
})";

using testsupport::IndexedLines;
using testsupport::NA;
using testsupport::NS;

// A command and what a ?delta reader of its status object receives for one
// run: each attribute the run wrote, once, where it first wrote it and with
// the last value it gave (tchtxpower writes radio_temp twice); deleting an
// attribute the object does not hold changes nothing, so shows nothing.
// The commands whose whole text the diag tables decide (access, radiostats,
// hspaopinfo) are left to them; these are the ones decided here.
struct Command {
    std::string msg, object;
    std::string with_device;     // under kScenario: every run succeeds
    std::string without_device;  // no tech-mode device: every run fails
};

const std::vector<Command> &Commands() {
    static const std::vector<Command> commands = [] {
        const std::string identity = NS({"TLLI", "SRNTI", "CRNTI", "HRNTI"});
        const std::string tch = NS({"dch_avgcalls", "dch_bler", "dch_bler_target", "dch_sir",
                                    "dch_sir_target", "dch_tx_pwr_algo"});
        const std::string bearer =
            NS({"rab_id", "ps_channel", "rab_data_rate", "ps_srb_id", "cs_rab_id", "cs_channel",
                "cs_speed", "cs_ulsf", "cs_dlsf"});
        // All eight bearer entries are published; those never set up are zeros.
        std::string rab3g =
            "rab_3g:json:[{\"1 rab_id\":5,\"1 domain\":\"PS\",\"1 datarate_ul\":64000,"
            "\"1 datarate_dl\":384000,\"1 maxrate_ul\":128000,\"1 maxrate_dl\":384000,"
            "\"1 traffic_class\":2,\"1 bler_residual\":10,\"1 codec\":\"NOT APPLICABLE\","
            "\"1 ciphering\":\"UAE_2\"}";
        for (char n = '2'; n <= '8'; n++) {
            std::string e =
                ",{\"# rab_id\":0,\"# domain\":\"CS\",\"# datarate_ul\":0,\"# datarate_dl\":0,"
                "\"# maxrate_ul\":0,\"# maxrate_dl\":0,\"# traffic_class\":0,\"# bler_residual\":0,"
                "\"# codec\":\"GSM_FR\",\"# ciphering\":\"UAE_0\"}";
            for (char &ch : e) ch = ch == '#' ? n : ch;
            rab3g += e;
        }
        const std::string &gsm = testsupport::GsmopinfoHead();
        const std::string &umts = testsupport::UmtsopinfoHead();
        const std::string &radionw = testsupport::RadionwinfoUnsupported();
        auto aset = [](int first) {
            return IndexedLines({"aset_arfcn%d", "aset_sc%d", "aset_rscp%d", "aset_ecio%d"}, first,
                                6, "::N/A");
        };
        const std::string mset = IndexedLines(
            {"mset_uarfcn%d", "mset_sc%d", "mset_rscp%d", "mset_ecio%d"}, 1, 6, "::N/A");
        return std::vector<Command>{
            {"identity", "status_data",
             identity + "TMSI::0A0B0C0D\nPTMSI::DEADBEEF\nIMEI::3538070512345601f\n"
                        "IMSI::262019876543210fff\nSRNCID:n:4321\n",
             identity + NA({"TMSI", "PTMSI", "SRNCID", "IMEI", "IMSI"})},
            {"tchtxpower", "status_utra",
             tch + "radio_temp:n:-12\ndch_tx_pwr:n:-10\ndch_tx_pwr_step:n:1\ndch_utra_rssi:n:-70\n",
             tch + NA({"radio_temp", "dch_tx_pwr", "dch_tx_pwr_step", "dch_utra_rssi"})},
            {"bearer", "status_data", bearer + "active_rat::WCDMA\n" + rab3g + "]\n",
             bearer + "active_rat::unknown\n"},
            {"gsmopinfo", "status_geran",
             gsm + "gsm_mcc:n:262\ngsm_mnc:n:2\ngsm_lac:n:4660\ngsm_rac:n:9\nactive_rat::WCDMA\n"
                   "gsm_t3312:n:3240\ngsm_t3314:n:44\ngprs_state::REGISTERED\ngsm_bsic:n:33\n"
                   "gsm_bands::DCS_1800\ngsm_cellid:n:1001\ngsm_arfcn:n:512\ngprs_nco::NC0\n"
                   "gsm_nmo::Mode II\nmsc_rev:n:1\nsgsn_rev:n:1\nedge_support::EGPRS\n"
                   "gsm_tx_power:n:30\ngsm_ta:n:2\nlatest_tbf:json:{\"tbf_channel\":\"MCS5\","
                   "\"tfi_ul\":1,\"tfi_dl\":2,\"timeslots_ul\":1,\"timeslots_dl\":3}\n"
                   "gsm_ded_meas:json:[]\ngsm_sc_dec:json:{\"rxlev_full\":40,\"rxlev_sub\":38,"
                   "\"rxqual_full\":0,\"rxqual_sub\":1}\nrr_state::Packet Dedicated Concurrent\n",
             gsm +
                 NA({"active_rat", "gsm_mcc", "gsm_mnc", "gsm_lac", "gsm_rac", "gsm_t3312",
                     "gsm_t3314", "gprs_state", "gsm_bsic", "gsm_bands", "gsm_cellid", "gsm_arfcn",
                     "gprs_nco", "gsm_nmo", "msc_rev", "sgsn_rev", "edge_support", "gsm_tx_power",
                     "gsm_ta"}) +
                 "latest_tbf:json:{\"tbf_channel\":\"N/A\",\"tfi_ul\":\"N/A\",\"tfi_dl\":\"N/A\","
                 "\"timeslots_ul\":\"N/A\",\"timeslots_dl\":\"N/A\"}\nrr_state::N/A\n"},
            {"umtsopinfo", "status_utra",
             umts +
                 "gmm_reject:n:7\nmm_reject:n:17\nt3212:n:240\napn1_name::internet\n"
                 "apn1_ipv4_addr::10.64.12.7\n"
                 "apn1_ipv6_addr::2001:0db8:0000:0000:0000:0000:0000:0007\n" +
                 IndexedLines({"apn%d_name::", "apn%d_ipv4_addr::0.0.0.0",
                               "apn%d_ipv6_addr::0000:0000:0000:0000:0000:0000:0000:0000"},
                              2, 4),
             umts + NA({"gmm_reject", "mm_reject", "t3212"}) + testsupport::UmtsopinfoGsmCellsNA() +
                 IndexedLines({"apn%d_name", "apn%d_ipv4_addr", "apn%d_ipv6_addr"}, 1, 4, "::N/A")},
            {"radionwinfo", "status_utra",
             radionw +
                 "scell_uarfcn:n:10700\nscell_sc:n:310\nscell_rscp:n:-85\n"
                 "scell_ecio:n:-6\nscell_cellid:n:19114957\nscell_mcc:n:262\n"
                 "scell_mnc:n:2\nscell_lac:n:4660\nscell_rac:n:9\naset_arfcn1:n:10700\n"
                 "aset_sc1:n:310\naset_rscp1:n:-85\naset_ecio1:n:-6\n" +
                 aset(2) + mset,
             radionw +
                 NA({"scell_uarfcn", "scell_sc", "scell_rscp", "scell_ecio", "scell_cellid",
                     "scell_mcc", "scell_mnc", "scell_lac", "scell_rac"}) +
                 aset(1) + mset},
        };
    }();
    return commands;
}

// One open of a PPS object through the mount.
class Pps {
  public:
    Pps(const std::string &path, int flags) : fd_(open(path.c_str(), flags)) {}
    bool Write(const std::string &text) {
        return write(fd_.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    // What one read returns once the open is readable; "" if nothing comes
    // within timeout_ms.
    std::string Read(int timeout_ms = 5000) {
        struct pollfd p = {fd_.get(), POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return "";
        char buf[65536];
        ssize_t n = read(fd_.get(), buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

  private:
    testsupport::Fd fd_;
};

// A ?delta open whose first read, the whole object, is already taken.
struct Subscriber : Pps {
    explicit Subscriber(const std::string &path) : Pps(path + "?delta", O_RDONLY) {
        first = Read();
    }
    std::string first;
};

std::string Request(const std::string &msg, const std::string &id) {
    return "msg::" + msg + "\nid::" + id + "\n";
}
std::string Response(const std::string &msg, const std::string &id, bool success) {
    return "@control\nres::" + msg + "\nid::" + id + "\n" + (success ? "" : "err:n:-1\n");
}

class System : public ::testing::Test {
  protected:
    void SetUp() override { Mount(true); }
    void TearDown() override {
        daemon_.Stop(SIGTERM);
        sim_.Stop(SIGTERM);
        ppsfs_.Stop(SIGTERM);
        // Were a child killed, its mount would stay behind in this namespace.
        umount2(kDevice, MNT_DETACH);
        umount2("/pps", MNT_DETACH);
        if (!dir_.empty()) (void)!system(("rm -rf " + dir_).c_str());
    }

    // Mounts ppsfs with the objects the service expects to find, and the
    // tech-mode device when asked.
    void Mount(bool device) {
        std::string why = testsupport::EnterPrivateDev();
        if (!why.empty()) GTEST_SKIP() << why;
        // The daemon's log lines reach syslog's socket in the namespace.
        ASSERT_EQ(syslog_.Start(), "");
        dir_ = testsupport::MakeTempDir("e2e");
        ASSERT_FALSE(dir_.empty());
        ASSERT_EQ(system((std::string("mkdir -p /pps ") + kDevice).c_str()), 0);
        ASSERT_TRUE(ppsfs_.Start({PPSFS_BIN, "-f", "/pps"}, "", dir_ + "/ppsfs.err"));
        ASSERT_TRUE(testsupport::WaitForMount("/pps")) << ReadFile(dir_ + "/ppsfs.err");
        ASSERT_EQ(system(("mkdir -p " + kDiag + " " + kNetworkTime).c_str()), 0);
        for (const char *name : {"/control", "/status"}) {
            int fd = open((kNetworkTime + name).c_str(), O_WRONLY | O_CREAT, 0666);
            ASSERT_GE(fd, 0) << strerror(errno);
            close(fd);
        }
        if (!device) return;
        std::ofstream(dir_ + "/scenario.json") << kScenario;
        ASSERT_TRUE(sim_.Start({TECHMODE_SIM_BIN, "-f", "-s", dir_ + "/scenario.json", kDevice}, "",
                               dir_ + "/sim.err"));
        ASSERT_TRUE(testsupport::WaitForMount(kDevice)) << ReadFile(dir_ + "/sim.err");
    }

    // Starts the daemon and waits for its start-up line; false if it ended.
    bool StartDaemon(std::vector<std::string> args = {}) {
        args.insert(args.begin(), QRX_VELOMAR_SERVER_BIN);
        syslog_.Clear();  // never read an earlier run's lines
        daemon_.Start(args, dir_ + "/stdout", dir_ + "/stderr");
        for (int i = 0; i < 1000; i++) {
            if (Log().find("Now Start the Velomar PPS Server") != std::string::npos) return true;
            if (!daemon_.running()) return false;
            usleep(10000);
        }
        return false;
    }
    // What the daemon logged through slogf since it was started.
    std::string Log() { return syslog_.Text(); }
    std::string Out() { return ReadFile(dir_ + "/stdout"); }

    std::string dir_;
    testsupport::SyslogSink syslog_;
    Child ppsfs_, sim_, daemon_;
};

// Every command name, with the device and without it.
class EveryCommand : public System, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override { Mount(GetParam()); }
};

TEST_P(EveryCommand, PublishesItsTextAndAnswers) {
    const bool device = GetParam();
    ASSERT_TRUE(StartDaemon()) << Log();
    EXPECT_EQ(Log().find("Cannot Initiate Tech Mode Interface") == std::string::npos, device);
    std::map<std::string, std::unique_ptr<Subscriber>> status;
    for (const char *name : {"status_data", "status_utra", "status_geran"}) {
        status[name].reset(new Subscriber(kDiag + "/" + name));
        ASSERT_EQ(status[name]->first, "@" + std::string(name) + "\n");  // emptied at start
    }
    Pps client(kControl, O_RDWR);
    int id = 10;
    for (const Command &c : Commands()) {
        SCOPED_TRACE(c.msg);
        std::string n = std::to_string(id++);
        ASSERT_TRUE(client.Write(Request(c.msg, n)));
        EXPECT_EQ(client.Read(), Response(c.msg, n, device));
        EXPECT_EQ(status[c.object]->Read(),
                  "@" + c.object + "\n" + (device ? c.with_device : c.without_device));
    }
    for (auto &s : status) EXPECT_EQ(s.second->Read(0), "") << s.first;  // nothing else
}

INSTANTIATE_TEST_SUITE_P(Device, EveryCommand, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &p) {
                             return p.param ? "Present" : "Absent";
                         });

// Requests of two clients interleaved: each reads its own responses only.
TEST_F(System, ClientsSeeOnlyTheirOwnResponses) {
    ASSERT_TRUE(StartDaemon()) << Log();
    Pps a(kControl, O_RDWR), b(kControl, O_RDWR);
    int id = 100;
    for (const Command &c : Commands()) {
        SCOPED_TRACE(c.msg);
        std::string ia = std::to_string(id++), ib = std::to_string(id++);
        ASSERT_TRUE(a.Write(Request(c.msg, ia)));
        ASSERT_TRUE(b.Write(Request(c.msg, ib)));
        EXPECT_EQ(b.Read(), Response(c.msg, ib, true));  // answered after a's
        EXPECT_EQ(a.Read(), Response(c.msg, ia, true));
        EXPECT_EQ(a.Read(0), "");
        EXPECT_EQ(b.Read(0), "");
    }
}

// A termination signal ends a serving daemon with status 0; its objects
// let their readers know that it is gone. -U switches identity after the
// objects are open, so the daemon still serves; an unknown option is skipped.
TEST_F(System, TerminationSignalsAndRunAsUser) {
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        const bool as_user = sig == SIGTERM;
        ASSERT_TRUE(StartDaemon(as_user ? std::vector<std::string>{"-x", "-U", "1000:1001,20,30"}
                                        : std::vector<std::string>{}))
            << Log();
        const std::string st = ReadFile("/proc/" + std::to_string(daemon_.pid()) + "/status");
        for (const char *id : {"\nUid:\t1000\t1000\t1000\t1000\n",
                               "\nGid:\t1001\t1001\t1001\t1001\n", "\nGroups:\t20 30 \n"})
            EXPECT_EQ(st.find(id) != std::string::npos, as_user) << st;
        Pps client(kControl, O_RDWR);
        Subscriber data(kDiag + "/status_data");
        ASSERT_TRUE(client.Write(Request("identity", std::to_string(sig))));
        EXPECT_EQ(client.Read(), Response("identity", std::to_string(sig), true));
        EXPECT_NE(data.Read(), "");
        int status = daemon_.Stop(sig);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        std::string out = Out(), last = "velomar_pps_main is terminated.\n";
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), last.size())), last);
        EXPECT_EQ(client.Read(), "*@control\n");
        EXPECT_EQ(data.Read(), "*@status_data\n");  // nonpersistent: emptied
    }
}

// A start that fails ends the process with status 1 and says why: the
// control object cannot be opened (a directory is in its place; ppsfs
// refuses ?server on it, and so does the unlink meant for a stale object), a
// status object cannot (no diag directory), or -U names no user; -U is read
// only after the objects are open. The log goes to standard error too, in
// the programs' shared format, without a syslog socket or with SLOGF_STDERR.
TEST_F(System, StartFailures) {
    const std::string init = "Velomar PPS: Velomar Init Failure....",
                      user = "Invalid user/group specified [no_such_user]";
    struct {
        std::string setup;
        bool init;  // the failure is Init's, else -U's
        const char *line;
        bool syslog, copy;
    } cases[] = {
        {"mkdir " + kControl, true, "Velomar PPS Init: Cannot Initialize Velomar control message",
         true, false},
        {"rmdir " + kControl, false, "", true, true},
        {"rm -r " + kDiag, true, "Velomar PPS Init: PPS Object Initialized Failed, Return", true,
         false},
        {"rm /dev/log", true, "", false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setup);
        ASSERT_EQ(system(c.setup.c_str()), 0);
        if (c.copy) setenv("SLOGF_STDERR", "1", 1);
        EXPECT_FALSE(StartDaemon({"-U", "no_such_user"}));
        unsetenv("SLOGF_STDERR");
        int status = daemon_.Wait(5000);
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 1);
        const std::string err = testsupport::WithoutLogStamps(ReadFile(dir_ + "/stderr")),
                          log = c.syslog ? Log() : err;
        EXPECT_NE(log.find(c.line), std::string::npos) << log;
        EXPECT_EQ(log.find(init) != std::string::npos, c.init) << log;
        EXPECT_EQ(log.find(user) != std::string::npos, !c.init) << log;
        const std::string last =
            "qrx_velomar_server: critical: 0x0640000A " + (c.init ? init : user) + "\n";
        EXPECT_EQ(err.substr(err.size() - std::min(err.size(), last.size())),
                  c.copy || !c.syslog ? last : "");
        EXPECT_EQ(err.find("unformatted"), std::string::npos) << err;
    }
}

}  // namespace
