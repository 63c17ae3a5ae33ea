// SPDX-License-Identifier: Apache-2.0
// Microbenchmarks of the daemon's request path, in process: the TLV walks,
// each fetcher's decode, the encoder, PPSProcess, and each command's whole
// body against a fake tech-mode device that answers at once from replies
// encoded before the timed loop. Heap allocations per iteration are counted
// by wrapping malloc and friends.
//
// Logging goes to a no-op capture hook (the cost of the platform's logger is
// not the daemon's), standard output to /dev/null.
#include <benchmark/benchmark.h>
#include <devctl.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "Replies.h"
#include "Scenario.h"
#include "VelomarPPS.h"
#include "devctl_xfer.h"
#include "slog_capture.h"
#include "techmode/techmode_structs.h"
#include "techmode/tlv_codec.h"
#include "velomar_version.h"

// ---------------------------------------------------------------- malloc hook

static std::atomic<long> g_allocs{0};

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

extern "C" void *malloc(size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t a, size_t b) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(a, b);
}
extern "C" void *realloc(void *p, size_t n) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
extern "C" void free(void *p) {
    __libc_free(p);
}

// Runs body in the timed loop and reports heap allocations per iteration.
template <typename F>
static void Measure(benchmark::State &state, F body) {
    long before = g_allocs.load();
    for (auto _ : state) body();
    state.counters["allocs/iter"] =
        benchmark::Counter(static_cast<double>(g_allocs.load() - before) / state.iterations());
}

// ---------------------------------------------------------------- fake device

constexpr int kDeviceFd = 901;
static std::vector<uint8_t> g_replies[kTechModeStructTypeCount];

static void PrepareReplies() {
    static bool done = false;
    if (done) return;
    sim::Scenario s = sim::ParseScenario(sim::DefaultScenarioJson(), "built-in");
    s.drift.enabled = false;
    for (unsigned t = 0; t < kTechModeStructTypeCount; t++)
        g_replies[t] = sim::EncodeStructure(s, t);
    done = true;
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (fd != kDeviceFd) return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    auto *x = static_cast<devctl_xfer *>(arg);
    unsigned type = x->data[8] | (x->data[9] << 8);
    const std::vector<uint8_t> &r = g_replies[type < kTechModeStructTypeCount ? type : 0];
    memcpy(x->data, r.data(), r.size());
    x->recv_len = static_cast<uint32_t>(r.size());
    x->status = EOK;
    return 0;
}

// The fetchers print progress lines; main() sends standard output to
// /dev/null and the report to the original standard output.
static void Quiet() {
    slog_set_capture([](void *, int, int, const char *) {}, nullptr);
}

// ---------------------------------------------------------------- TLV walks

static void BM_TlvGetValuePointer(benchmark::State &state) {
    PrepareReplies();
    const std::vector<uint8_t> &r = g_replies[TECHMODE_STRUCT_SERVING_CELL_2G];
    const uint8_t *end = r.data() + r.size();
    const uint8_t *structure = TlvGetTlv(r.data(), end, TECHMODE_STRUCT_SERVING_CELL_2G);
    uint16_t tag = static_cast<uint16_t>(state.range(0));
    Measure(state, [&] { benchmark::DoNotOptimize(TlvGetValuePointer(structure, end, tag, 1)); });
}
BENCHMARK(BM_TlvGetValuePointer)->Arg(0)->Arg(8)->Arg(16);

// ---------------------------------------------------------------- fetchers

template <typename Record, int (*Fetch)(int, Record *)>
static void BM_Fetch(benchmark::State &state) {
    PrepareReplies();
    Quiet();
    static Record rec;
    if (Fetch(kDeviceFd, &rec) != 0) {
        state.SkipWithError("the fake device's reply does not decode");
        return;
    }
    Measure(state, [&] {
        memset(&rec, 0, sizeof rec);
        benchmark::DoNotOptimize(Fetch(kDeviceFd, &rec));
    });
}
#define FETCH(Record, fetcher) BENCHMARK_TEMPLATE(BM_Fetch, Record, fetcher)->Name(#fetcher)
FETCH(BasicData, getDtaBasicDta);
FETCH(IdentityData, getDtaIdentityDta);
FETCH(RadioStatData, getDtaRadioStatDta);
FETCH(ServingCell3G, getDta3GServingCellDta);
FETCH(ServingCell2G, getDta2GServingCellDta);
FETCH(BearerInfo3G, getDta3GBearerInfoDta);
FETCH(BearerInfo2G, getDta2GBearerInfoDta);
FETCH(MobilityData, getDtaMobilityDta);
FETCH(DedicatedChannelPower, getDtaDedicatedChannelPowerDta);
FETCH(InterRatMeasurementsInfo, getDtaInterRatMeasurementsInfoDta);
FETCH(HspaChannelInfo, getDtaHspaChannelInfoDta);
FETCH(RadioAccessInfo3G, getDta3GRadioAccessInfoDta);
FETCH(SmCcCause, getDtaSmCcCauseDta);
FETCH(PdpContextInfo, getDtaPdpContextInfoDta);
FETCH(IntraRatNeighbourCellMeasInfo3G, getDta3GIntraRatNeighbourCellMeasInfoDta);
FETCH(IdleNeighborCellsInfo2G, getDta2GIdleNeighborCellsInfoDta);
FETCH(DedicatedMeasurementInfo2G, getDta2GDedicatedMeasurementDta);
FETCH(ActiveSetInfo, getDtaActiveSetInfoDta);
FETCH(MonitoredSetInfo, getDtaMonitoredSetInfoDta);
FETCH(HspaInterRatMeas, getDtaHspaInterRatMeasDta);
FETCH(BatteryTemperature, getDtaBatteryTemperatureDta);
#undef FETCH

// ---------------------------------------------------------------- encoder

static void BM_Encoder(benchmark::State &state) {
    int attrs = static_cast<int>(state.range(0));
    Measure(state, [&] {
        pps_encoder_t e;
        pps_encoder_initialize(&e, false);
        char name[32];
        for (int i = 0; i < attrs; i++) {
            snprintf(name, sizeof name, "gsm_arfcn%d", i);
            if (i % 2)
                pps_encoder_add_int(&e, name, -i);
            else
                pps_encoder_add_string(&e, name, "NOT SUPPORTED");
        }
        benchmark::DoNotOptimize(pps_encoder_buffer(&e));
        pps_encoder_cleanup(&e);
    });
}
BENCHMARK(BM_Encoder)->Arg(10)->Arg(100)->Arg(300);

// ---------------------------------------------------------------- PPSProcess

static int NoopHandler(PPSServer *, void *, uint64_t, const char *, const char *, const char *) {
    return 0;
}

static void BM_PPSProcess(benchmark::State &state) {
    PPSServer server;
    server.AddMessageHandler("identity", NoopHandler, nullptr);
    const char text[] = "@control.12\nmsg::identity\nid::1\n";
    char buf[sizeof text];
    Measure(state, [&] {
        memcpy(buf, text, sizeof text);
        server.PPSProcess(buf);
    });
}
BENCHMARK(BM_PPSProcess);

// ---------------------------------------------------------------- commands

class BenchService : public VelomarPPS {
  public:
    using VelomarPPS::InitializeControlMessage;
};

static BenchService *Service() {
    static BenchService *svc = [] {
        PrepareReplies();
        Quiet();
        auto *s = new BenchService;
        g_service = s;
        char tmpl[] = "/tmp/bench.XXXXXX";
        std::string path = std::string(mkdtemp(tmpl)) + "/control";
        s->InitializeControlMessage(path.c_str());
        // The responses and the status objects go to /dev/null: the
        // measurement is of the daemon's work, not of a PPS service.
        int null_fd = open("/dev/null", O_WRONLY);
        for (int fd = 3; fd < 64; fd++) {
            char link[64], target[256];
            snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            ssize_t n = readlink(link, target, sizeof target - 1);
            if (n > 0) {
                target[n] = '\0';
                if (path == target) dup2(null_fd, fd);
            }
        }
        s->m_statusDataFd = s->m_statusUtraFd = s->m_statusGeranFd = null_fd;
        s->m_techmodeFd = kDeviceFd;
        return s;
    }();
    return svc;
}

using Body = void (VelomarPPS::*)(uint64_t, const char *, const char *, const char *);

static void BM_Command(benchmark::State &state, Body body, const char *msg) {
    BenchService *svc = Service();
    // id "1" is never a duplicate, so every iteration runs the whole body.
    Measure(state, [&] { (svc->*body)(12, msg, "1", nullptr); });
}
BENCHMARK_CAPTURE(BM_Command, identity, &VelomarPPS::IdentityCmd, "identity");
BENCHMARK_CAPTURE(BM_Command, access, &VelomarPPS::AccessCmd, "access");
BENCHMARK_CAPTURE(BM_Command, radiostats, &VelomarPPS::RadiostatsCmd, "radiostats");
BENCHMARK_CAPTURE(BM_Command, tchtxpower, &VelomarPPS::TchtxpowerCmd, "tchtxpower");
BENCHMARK_CAPTURE(BM_Command, hspaopinfo, &VelomarPPS::HspaopinfoCmd, "hspaopinfo");
BENCHMARK_CAPTURE(BM_Command, bearer, &VelomarPPS::BearerCmd, "bearer");
BENCHMARK_CAPTURE(BM_Command, gsmopinfo, &VelomarPPS::GsmopinfoCmd, "gsmopinfo");
BENCHMARK_CAPTURE(BM_Command, umtsopinfo, &VelomarPPS::UmtsopinfoCmd, "umtsopinfo");
BENCHMARK_CAPTURE(BM_Command, radionwinfo, &VelomarPPS::RadionwinfoCmd, "radionwinfo");

// ---------------------------------------------------------------- floor

// A Unix-socket request/response round trip between two threads: what any
// message exchange through the kernel costs, beside the figures above.
static void BM_SocketRoundTripFloor(benchmark::State &state) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
    pid_t pid = fork();
    if (pid == 0) {
        close(sv[0]);
        char b[64];
        ssize_t n;
        while ((n = read(sv[1], b, sizeof b)) > 0)
            if (write(sv[1], b, static_cast<size_t>(n)) != n) break;
        _exit(0);
    }
    close(sv[1]);
    char b[64] = "@control.12\nres::identity\nid::1\n";
    for (auto _ : state) {
        if (write(sv[0], b, 33) != 33 || read(sv[0], b, sizeof b) != 33) state.SkipWithError("io");
    }
    close(sv[0]);
    waitpid(pid, nullptr, 0);
}
BENCHMARK(BM_SocketRoundTripFloor)->UseRealTime();

int main(int argc, char **argv) {
    // Google Benchmark's own flags (--help lists them), and --version.
    for (int i = 1; i < argc; i++) {
        if (std::string(argv[i]) == "--version") {
            std::puts(VELOMAR_VERSION_TEXT("micro_bench"));
            return 0;
        }
    }
    // First the flags (--help prints them on standard output and exits),
    // then standard output away from the report.
    benchmark::Initialize(&argc, argv);
    int report_fd = dup(STDOUT_FILENO);
    if (freopen("/dev/null", "w", stdout) == nullptr) return 1;
    std::ofstream report("/proc/self/fd/" + std::to_string(report_fd));
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&report);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
