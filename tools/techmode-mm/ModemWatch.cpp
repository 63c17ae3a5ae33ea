// SPDX-License-Identifier: Apache-2.0
// The modem watch on libmm-glib (ModemWatch.h). Everything GLib happens on
// the watch's own thread and main context; the only thing shared with
// other threads is the published state, under ModemWatch::mu_.
#include "ModemWatch.h"

#include <errno.h>
#include <fcntl.h>
#include <libmm-glib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "ToolLog.h"

namespace mm {

namespace {

// No string from ModemManager is kept longer than this; longer ones are
// cut here and then refused by the mapping's checks.
constexpr size_t kMaxText = 256;

std::string Text(const char *s) {
    return s != nullptr ? std::string(s, strnlen(s, kMaxText + 1)) : std::string();
}

// The modem's index: the last part of its path (/org/.../Modem/3 is 3).
std::string IndexOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void Unref(gpointer p) {
    if (p != nullptr) g_object_unref(p);
}

struct ObjectList {
    GList *list = nullptr;
    ~ObjectList() { g_list_free_full(list, Unref); }
};

// Whether an object is the modem --modem names ("" takes any).
bool Chosen(MMObject *obj, const std::string &want) {
    if (want.empty()) return true;
    const std::string path = Text(mm_object_get_path(obj));
    if (want[0] == '/') return path == want;
    if (want.size() < 14) return IndexOf(path) == want;
    MMModem *modem = mm_object_peek_modem(obj);
    MMModem3gpp *gpp = mm_object_peek_modem_3gpp(obj);
    return (gpp != nullptr && Text(mm_modem_3gpp_get_imei(gpp)) == want) ||
           (modem != nullptr && Text(mm_modem_get_equipment_identifier(modem)) == want);
}

// The chosen modem among the manager's objects, the lowest index first.
MMObject *Choose(MMManager *manager, const std::string &want) {
    ObjectList objects;
    objects.list = g_dbus_object_manager_get_objects(G_DBUS_OBJECT_MANAGER(manager));
    MMObject *best = nullptr;
    long best_index = 0;
    for (GList *l = objects.list; l != nullptr; l = l->next) {
        MMObject *obj = MM_OBJECT(l->data);
        if (mm_object_peek_modem(obj) == nullptr || !Chosen(obj, want)) continue;
        long index = strtol(IndexOf(Text(mm_object_get_path(obj))).c_str(), nullptr, 10);
        if (best == nullptr || index < best_index) best = obj, best_index = index;
    }
    return best != nullptr ? MM_OBJECT(g_object_ref(best)) : nullptr;
}

}  // namespace

// The GLib side of the watch: the bus, the manager and what is known of the
// modem followed.
struct ModemWatch::Loop {
    ModemWatch *owner = nullptr;  // nullptr for --report
    WatchOptions options;
    GMainContext *context = g_main_context_new();
    GMainLoop *loop = g_main_loop_new(context, FALSE);
    GCancellable *cancel = g_cancellable_new();
    GDBusConnection *bus = nullptr;
    MMManager *manager = nullptr;
    // The modem followed: its manager's owner and path ("" for none), and
    // what has been set up on it this appearance.
    std::string appearance;
    bool signal_ready = false, location_ready = false, cell_info_unsupported = false;
    std::string last_problem;    // logged once until it changes
    std::string last_time_line;  // published to the network-time object
    std::string time_problem;

    ~Loop() {
        UnwatchTime();
        Unref(manager);
        Unref(bus);
        // GDBus frees what the manager's signal subscriptions held from
        // callbacks on this context: run them before it goes.
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_object_unref(cancel);
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }

    // Logs a problem once, until another one (or none) replaces it.
    void Problem(const std::string &what) {
        if (what == last_problem) return;
        last_problem = what;
        if (!what.empty()) toollog::Log(LOG_WARNING, "%s", what.c_str());
    }

    // The manager, connecting first when needed; nullptr with the problem
    // logged when there is no bus.
    MMManager *Manager() {
        GError *err = nullptr;
        // A bus that went away (the system bus restarted) is dropped with
        // the manager on it, and connected to anew.
        if (bus != nullptr && g_dbus_connection_is_closed(bus)) {
            toollog::Log(LOG_WARNING, "the system bus closed the connection; connecting again");
            g_clear_object(&manager);
            g_clear_object(&bus);
        }
        if (bus == nullptr) bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, cancel, &err);
        if (bus == nullptr) {
            Problem(std::string("no system bus: ") + (err ? err->message : "unknown error"));
            g_clear_error(&err);
            return nullptr;
        }
        if (manager == nullptr)
            manager = mm_manager_new_sync(bus, G_DBUS_OBJECT_MANAGER_CLIENT_FLAGS_DO_NOT_AUTO_START,
                                          cancel, &err);
        if (manager == nullptr) {
            Problem(std::string("ModemManager's objects cannot be followed: ") +
                    (err ? err->message : "unknown error"));
            g_clear_error(&err);
        }
        return manager;
    }

    // The chosen modem while ModemManager runs, else nullptr.
    MMObject *Modem(std::string *why) {
        MMManager *m = Manager();
        if (m == nullptr) {
            *why = last_problem;
            return nullptr;
        }
        char *owner_name =
            g_dbus_object_manager_client_get_name_owner(G_DBUS_OBJECT_MANAGER_CLIENT(m));
        if (owner_name == nullptr) {
            *why = "ModemManager is not running";
            return nullptr;
        }
        MMObject *obj = Choose(m, options.modem);
        if (obj == nullptr) {
            *why = options.modem.empty() ? "ModemManager has no modem"
                                         : "ModemManager has no modem " + options.modem;
            g_free(owner_name);
            return nullptr;
        }
        // A new appearance: another modem, or the same path under a
        // ModemManager started again, which remembers no setup.
        const std::string key = std::string(owner_name) + " " + Text(mm_object_get_path(obj));
        g_free(owner_name);
        if (key != appearance) {
            appearance = key;
            signal_ready = location_ready = cell_info_unsupported = false;
            toollog::Log(LOG_NOTICE, "following modem %s", Text(mm_object_get_path(obj)).c_str());
        }
        return obj;
    }

    // What a modem needs to be asked for after each appearance; tried again
    // at each refresh until it succeeds (a modem not yet enabled refuses).
    void SetUp(MMObject *obj) {
        GError *err = nullptr;
        MMModemSignal *signal = mm_object_peek_modem_signal(obj);
        if (!signal_ready && signal != nullptr) {
            signal_ready =
                mm_modem_signal_setup_sync(signal, options.refresh_seconds, cancel, &err);
            if (!signal_ready)
                toollog::Log(LOG_DEBUG, "Signal.Setup: %s", err ? err->message : "failed");
            g_clear_error(&err);
        }
        MMModemLocation *location = mm_object_peek_modem_location(obj);
        if (!location_ready && location != nullptr &&
            (mm_modem_location_get_capabilities(location) & MM_MODEM_LOCATION_SOURCE_3GPP_LAC_CI)) {
            const auto enabled = static_cast<MMModemLocationSource>(
                mm_modem_location_get_enabled(location) | MM_MODEM_LOCATION_SOURCE_3GPP_LAC_CI);
            location_ready = mm_modem_location_setup_sync(
                location, enabled, mm_modem_location_signals_location(location), cancel, &err);
            if (!location_ready)
                toollog::Log(LOG_DEBUG, "Location.Setup: %s", err ? err->message : "failed");
            g_clear_error(&err);
        }
    }

    void ReadCells(MMModem *modem, Reading *r) {
        if (cell_info_unsupported) return;
        GError *err = nullptr;
        ObjectList cells;
        cells.list = mm_modem_get_cell_info_sync(modem, cancel, &err);
        if (err != nullptr) {
            // Unsupported stays so for this appearance: not asked again.
            if (g_error_matches(err, MM_CORE_ERROR, MM_CORE_ERROR_UNSUPPORTED)) {
                cell_info_unsupported = true;
                toollog::Log(LOG_INFO, "this modem gives no cell info: %s", err->message);
            } else {
                toollog::Log(LOG_DEBUG, "GetCellInfo: %s", err->message);
            }
            g_clear_error(&err);
            return;
        }
        r->cell_info = true;
        for (GList *l = cells.list; l != nullptr && r->cells.size() < 64; l = l->next) {
            MMCellInfo *info = MM_CELL_INFO(l->data);
            CellReading c;
            c.serving = mm_cell_info_get_serving(info);
            if (mm_cell_info_get_cell_type(info) == MM_CELL_TYPE_GSM) {
                MMCellInfoGsm *g = MM_CELL_INFO_GSM(info);
                c.rat = CellReading::Rat::kGsm;
                c.lac = Text(mm_cell_info_gsm_get_lac(g));
                c.ci = Text(mm_cell_info_gsm_get_ci(g));
                c.arfcn = mm_cell_info_gsm_get_arfcn(g);
                c.bsic = Text(mm_cell_info_gsm_get_base_station_id(g));
                c.rxlev = mm_cell_info_gsm_get_rx_level(g);
                c.timing_advance = mm_cell_info_gsm_get_timing_advance(g);
            } else if (mm_cell_info_get_cell_type(info) == MM_CELL_TYPE_UMTS) {
                MMCellInfoUmts *u = MM_CELL_INFO_UMTS(info);
                c.rat = CellReading::Rat::kUmts;
                c.lac = Text(mm_cell_info_umts_get_lac(u));
                c.ci = Text(mm_cell_info_umts_get_ci(u));
                c.uarfcn = mm_cell_info_umts_get_uarfcn(u);
                c.psc = mm_cell_info_umts_get_psc(u);
                c.rscp = mm_cell_info_umts_get_rscp(u);
                c.ecio = mm_cell_info_umts_get_ecio(u);
            } else if (mm_cell_info_get_cell_type(info) == MM_CELL_TYPE_LTE) {
                MMCellInfoLte *l = MM_CELL_INFO_LTE(info);
                c.rat = CellReading::Rat::kLte;
                c.tac = Text(mm_cell_info_lte_get_tac(l));
                c.ci = Text(mm_cell_info_lte_get_ci(l));
                c.physical_ci = Text(mm_cell_info_lte_get_physical_ci(l));
                c.earfcn = mm_cell_info_lte_get_earfcn(l);
                c.rsrp = mm_cell_info_lte_get_rsrp(l);
                c.rsrq = mm_cell_info_lte_get_rsrq(l);
                c.timing_advance = mm_cell_info_lte_get_timing_advance(l);
            } else if (mm_cell_info_get_cell_type(info) == MM_CELL_TYPE_5GNR) {
                MMCellInfoNr5g *n = MM_CELL_INFO_NR5G(info);
                c.rat = CellReading::Rat::kNr;
                c.tac = Text(mm_cell_info_nr5g_get_tac(n));
                c.ci = Text(mm_cell_info_nr5g_get_ci(n));
                c.physical_ci = Text(mm_cell_info_nr5g_get_physical_ci(n));
                c.earfcn = mm_cell_info_nr5g_get_nrarfcn(n);
                c.rsrp = mm_cell_info_nr5g_get_rsrp(n);
                c.rsrq = mm_cell_info_nr5g_get_rsrq(n);
                c.sinr = mm_cell_info_nr5g_get_sinr(n);
            } else {
                continue;
            }
            r->cells.push_back(c);
        }
    }

    void ReadBearers(MMModem *modem, Reading *r) {
        GError *err = nullptr;
        ObjectList bearers;
        bearers.list = mm_modem_list_bearers_sync(modem, cancel, &err);
        if (err != nullptr) {
            toollog::Log(LOG_DEBUG, "bearers: %s", err->message);
            g_clear_error(&err);
            return;
        }
        for (GList *l = bearers.list; l != nullptr && r->bearers.size() < 16; l = l->next) {
            MMBearer *bearer = MM_BEARER(l->data);
            BearerReading b;
            if (MMBearerProperties *p = mm_bearer_get_properties(bearer)) {
                b.apn = Text(mm_bearer_properties_get_apn(p));
                g_object_unref(p);
            }
            if (MMBearerIpConfig *c = mm_bearer_get_ipv4_config(bearer)) {
                b.ipv4 = Text(mm_bearer_ip_config_get_address(c));
                g_object_unref(c);
            }
            if (MMBearerIpConfig *c = mm_bearer_get_ipv6_config(bearer)) {
                b.ipv6 = Text(mm_bearer_ip_config_get_address(c));
                g_object_unref(c);
            }
            r->bearers.push_back(b);
        }
    }

    // Reads the modem; properties come from libmm-glib's cache, kept up to
    // date by this thread's main loop, the rest by method calls.
    void Read(MMObject *obj, Reading *r) {
        GError *err = nullptr;
        MMModem *modem = mm_object_peek_modem(obj);
        r->path = Text(mm_object_get_path(obj));
        r->equipment_id = Text(mm_modem_get_equipment_identifier(modem));
        r->access_technologies = mm_modem_get_access_technologies(modem);
        if (MMModem3gpp *gpp = mm_object_peek_modem_3gpp(obj)) {
            r->imei = Text(mm_modem_3gpp_get_imei(gpp));
            r->operator_code = Text(mm_modem_3gpp_get_operator_code(gpp));
        }
        const std::string sim_path = Text(mm_modem_get_sim_path(modem));
        if (!sim_path.empty() && sim_path != "/") {
            if (MMSim *sim = mm_modem_get_sim_sync(modem, cancel, &err)) {
                r->imsi = Text(mm_sim_get_imsi(sim));
                g_object_unref(sim);
            }
            g_clear_error(&err);
        }
        if (MMModemLocation *location = mm_object_peek_modem_location(obj)) {
            if (MMLocation3gpp *l = mm_modem_location_get_3gpp_sync(location, cancel, &err)) {
                r->has_location = true;
                r->lac = mm_location_3gpp_get_location_area_code(l);
                r->ci = mm_location_3gpp_get_cell_id(l);
                g_object_unref(l);
            }
            g_clear_error(&err);
        }
        if (MMModemSignal *signal = mm_object_peek_modem_signal(obj)) {
            if (MMSignal *umts = mm_modem_signal_peek_umts(signal)) {
                r->umts_rscp = mm_signal_get_rscp(umts);
                r->umts_ecio = mm_signal_get_ecio(umts);
                r->umts_rssi = mm_signal_get_rssi(umts);
            }
            if (MMSignal *lte = mm_modem_signal_peek_lte(signal)) {
                r->lte_rsrp = mm_signal_get_rsrp(lte);
                r->lte_rsrq = mm_signal_get_rsrq(lte);
                r->lte_snr = mm_signal_get_snr(lte);
                r->lte_rssi = mm_signal_get_rssi(lte);
            }
            if (MMSignal *nr = mm_modem_signal_peek_nr5g(signal)) {
                r->nr_rsrp = mm_signal_get_rsrp(nr);
                r->nr_rsrq = mm_signal_get_rsrq(nr);
                r->nr_snr = mm_signal_get_snr(nr);
            }
        }
        ReadCells(modem, r);
        ReadBearers(modem, r);
        if (MMModemTime *t = mm_object_peek_modem_time(obj)) {
            gchar *text = mm_modem_time_get_network_time_sync(t, cancel, &err);
            r->network_time = Text(text);
            g_free(text);
            g_clear_error(&err);
        }
    }

    // Writes the network time to the network-time service's status object
    // when it changed, as the daemon's bridge reads it.
    void PublishTime(const std::string &network_time) {
        auto seconds = NetworkTime(network_time);
        if (options.network_time_object.empty() || !seconds) return;
        const std::string line = NetworkTimeLine(*seconds);
        if (line == last_time_line) return;
        std::string problem;
        int fd = open(options.network_time_object.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            problem = "network time not published to " + options.network_time_object + ": " +
                      strerror(errno);
        if (fd >= 0) close(fd);
        if (problem.empty()) {
            last_time_line = line;
            toollog::Log(LOG_INFO, "network time %s published", network_time.c_str());
        } else if (problem != time_problem) {
            toollog::Log(LOG_WARNING, "%s", problem.c_str());
        }
        time_problem = problem;
    }

    // The modem's Time interface, whose NetworkTimeChanged signal publishes
    // a new network time at once rather than at the next refresh.
    MMModemTime *time_watched = nullptr;
    gulong time_handler = 0;

    static void OnNetworkTime(MMModemTime *, const gchar *network_time, gpointer self) {
        static_cast<Loop *>(self)->PublishTime(Text(network_time));
    }

    void WatchTime(MMObject *obj) {
        MMModemTime *t = mm_object_peek_modem_time(obj);
        if (t == time_watched) return;
        UnwatchTime();
        if (t == nullptr) return;
        time_watched = MM_MODEM_TIME(g_object_ref(t));
        time_handler = g_signal_connect(t, "network-time-changed", G_CALLBACK(OnNetworkTime), this);
    }

    void UnwatchTime() {
        if (time_watched == nullptr) return;
        g_signal_handler_disconnect(time_watched, time_handler);
        g_clear_object(&time_watched);
    }

    // One refresh: follow, set up, read, map, publish.
    void Refresh() {
        auto p = std::make_shared<Published>();
        std::string why;
        MMObject *obj = Modem(&why);
        if (obj == nullptr) {
            if (!appearance.empty())
                toollog::Log(LOG_NOTICE, "modem gone (%s); requests fail with EIO until it is back",
                             why.c_str());
            appearance.clear();
            UnwatchTime();
            Problem(why);
            p->state = NoModem();
        } else {
            Problem("");
            SetUp(obj);
            Reading r;
            Read(obj, &r);
            g_object_unref(obj);
            WatchTime(obj);
            PublishTime(r.network_time);
            p->state = Map(r).state;
            p->modem_path = r.path;
        }
        p->taken = std::chrono::steady_clock::now();
        if (owner != nullptr) owner->Publish(std::move(p));
    }

    static gboolean OnTimer(gpointer self) {
        static_cast<Loop *>(self)->Refresh();
        return G_SOURCE_CONTINUE;
    }
};

ModemWatch::ModemWatch(WatchOptions options)
    : options_(std::move(options)), loop_(std::make_unique<Loop>()) {
    loop_->owner = this;
    loop_->options = options_;
    auto none = std::make_shared<Published>();
    none->state = NoModem();
    none->taken = std::chrono::steady_clock::now();
    current_ = std::move(none);
}

ModemWatch::~ModemWatch() {
    Stop();
}

void ModemWatch::Start() {
    thread_ = std::thread([this] {
        Loop &l = *loop_;
        g_main_context_push_thread_default(l.context);
        l.Refresh();
        GSource *timer = g_timeout_source_new_seconds(options_.refresh_seconds);
        g_source_set_callback(timer, Loop::OnTimer, &l, nullptr);
        g_source_attach(timer, l.context);
        g_main_loop_run(l.loop);
        g_source_destroy(timer);
        g_source_unref(timer);
        g_main_context_pop_thread_default(l.context);
    });
}

void ModemWatch::Stop() {
    if (!thread_.joinable()) return;
    g_cancellable_cancel(loop_->cancel);
    g_main_loop_quit(loop_->loop);
    thread_.join();
}

std::shared_ptr<const Published> ModemWatch::Current() const {
    std::lock_guard<std::mutex> lock(mu_);
    return current_;
}

void ModemWatch::Publish(std::shared_ptr<const Published> p) {
    std::lock_guard<std::mutex> lock(mu_);
    current_ = std::move(p);
}

bool ModemWatch::ReadOnce(const WatchOptions &options, unsigned wait_seconds, Reading *out,
                          std::string *why) {
    Loop l;
    l.options = options;
    g_main_context_push_thread_default(l.context);
    bool ok = false;
    MMObject *obj = l.Modem(why);
    if (obj != nullptr) {
        l.SetUp(obj);
        // The Signal interface gives its first values one interval after
        // Setup; the main loop takes in the property changes meanwhile.
        const gint64 until = g_get_monotonic_time() + gint64(wait_seconds) * G_USEC_PER_SEC;
        while (g_get_monotonic_time() < until)
            g_main_context_iteration(l.context, FALSE), g_usleep(50000);
        l.Read(obj, out);
        g_object_unref(obj);
        ok = true;
    }
    g_main_context_pop_thread_default(l.context);
    return ok;
}

}  // namespace mm
