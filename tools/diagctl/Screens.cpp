// SPDX-License-Identifier: Apache-2.0
#include "Screens.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>

#include "Trend.h"

namespace diagctl {

namespace {

const char kDbm[] = "dBm";
const char kDb[] = "dB";

const char kNotSupported[] = "NOT SUPPORTED";
const char kNotAvailable[] = "N/A";

// tchtxpower and tchtxpwr are one command under two names.
const std::vector<Section> kTxPowerSections = {
    {"Dedicated channel",
     Layout::kFields,
     nullptr,
     nullptr,
     {{"dch_tx_pwr", "TX power", kDbm, Secret::kNone, true},
      {"dch_tx_pwr_step", "TX power step", kDb},
      {"dch_tx_pwr_algo", "Power control algorithm", ""},
      {"dch_utra_rssi", "UTRA RSSI", kDbm},
      {"dch_sir", "SIR", kDb},
      {"dch_sir_target", "SIR target", kDb},
      {"dch_bler", "BLER", ""},
      {"dch_bler_target", "BLER target", ""},
      {"dch_avgcalls", "Average calls", ""}}},
    {"Radio",
     Layout::kFields,
     nullptr,
     nullptr,
     {{"radio_temp", "Temperature", "°C", Secret::kNone, true}}},
};

std::vector<Screen> BuildScreens() {
    return {
        {"identity",
         "Subscriber and equipment identities",
         "status_data",
         true,
         {{"Subscriber",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"IMSI", "IMSI", "", Secret::kDigits},
            {"TMSI", "TMSI", "", Secret::kAll},
            {"PTMSI", "P-TMSI", "", Secret::kAll},
            {"TLLI", "TLLI", ""}}},
          {"Equipment", Layout::kFields, nullptr, nullptr, {{"IMEI", "IMEI", "", Secret::kDigits}}},
          {"Radio network identities",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"SRNCID", "SRNC id", ""},
            {"SRNTI", "S-RNTI", ""},
            {"CRNTI", "C-RNTI", ""},
            {"HRNTI", "H-RNTI", ""}}}}},
        {"access",
         "Reject and release causes, random access",
         "status_data",
         true,
         {{"Latest causes",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"sm_latest_cause", "SM", ""},
            {"cc_latest_cause", "CC", ""},
            {"gmm_latest_cause", "GMM", ""},
            {"mm_latest_cause", "MM", ""},
            {"rr_latest_cause", "RR", ""},
            {"rrc_latest_cause", "RRC", ""},
            {"rrc_rej_cause", "RRC reject", ""},
            {"rrc_rel_cause", "RRC release", ""}}},
          {"Random access (UTRA)",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"init_tx_power", "Initial TX power", kDbm},
            {"rach_step_size", "Power ramp step", kDb},
            {"prea_retr_max", "Max preamble retransmissions", ""},
            {"rach_attempts", "RACH attempts", ""},
            {"final_tx_power", "Final TX power", kDbm},
            {"num_preambles", "Preambles sent", ""},
            {"num_succ_prach", "Successful PRACH", ""},
            {"not_acked_prach", "PRACH not acknowledged", ""},
            {"nacked_prach", "PRACH negatively acknowledged", ""}}}}},
        {"gsmopinfo",
         "GSM/GPRS operating information",
         "status_geran",
         true,
         {{"Serving cell",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"active_rat", "Active RAT", ""},
            {"gsm_mcc", "MCC", ""},
            {"gsm_mnc", "MNC", ""},
            {"gsm_lac", "LAC", ""},
            {"gsm_rac", "RAC", ""},
            {"gsm_cellid", "Cell id", ""},
            {"gsm_arfcn", "ARFCN", ""},
            {"gsm_bsic", "BSIC", ""},
            {"gsm_bands", "Band", ""},
            {"gsm_tx_power", "TX power", kDbm, Secret::kNone, true},
            {"gsm_ta", "Timing advance", ""},
            {"rr_state", "RR state", ""},
            {"gsm_pch_period", "Paging period", ""},
            {"last_sddch", "Last SDCCH", ""}}},
          {"GPRS",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"gprs_state", "GPRS state", ""},
            {"gprs_nco", "Network control order", ""},
            {"gsm_nmo", "Network operation mode", ""},
            {"edge_support", "EDGE support", ""},
            {"msc_rev", "MSC revision", ""},
            {"sgsn_rev", "SGSN revision", ""},
            {"gsm_t3312", "T3312", ""},
            {"gsm_t3314", "T3314", ""},
            {"gsm_cs_ps_pdp", "CS/PS/PDP", ""},
            {"dtm_support", "DTM support", ""},
            {"gsm_dnlk_thru", "Downlink throughput", "", Secret::kNone, true},
            {"edge_bler", "EDGE BLER", ""}}},
          {"Latest TBF",
           Layout::kFields,
           "latest_tbf",
           "(not published)",
           {{"tbf_channel", "Coding scheme", ""},
            {"tfi_ul", "TFI uplink", ""},
            {"tfi_dl", "TFI downlink", ""},
            {"timeslots_ul", "Timeslots uplink", ""},
            {"timeslots_dl", "Timeslots downlink", ""}}},
          {"Idle-mode neighbour cells",
           Layout::kIndexedTable,
           nullptr,
           nullptr,
           {{"gsm_cell_type%d", "Type", ""},
            {"gsm_arfcn%d", "ARFCN", ""},
            {"gsm_bsic%d", "BSIC", ""},
            {"gsm_rssi%d", "RSSI", kDbm},
            {"gsm_cellid%d", "Cell id", ""},
            {"gsm_lac%d", "LAC", ""},
            {"gsm_rac%d", "RAC", ""},
            {"gsm_c1_%d", "C1", ""},
            {"gsm_c2_%d", "C2", ""}}},
          {"Dedicated-mode serving cell",
           Layout::kFields,
           "gsm_sc_dec",
           "(no dedicated measurements)",
           {{"rxlev_full", "RXLEV full", "", Secret::kNone, true},
            {"rxlev_sub", "RXLEV sub", "", Secret::kNone, true},
            {"rxqual_full", "RXQUAL full", "", Secret::kNone, true},
            {"rxqual_sub", "RXQUAL sub", "", Secret::kNone, true}}},
          {"Dedicated-mode neighbour cells",
           Layout::kArrayTable,
           "gsm_ded_meas",
           "(no dedicated measurements)",
           {{"%d gsm_dec_arfcn", "ARFCN", ""},
            {"%d gsm_dec_bsic", "BSIC", ""},
            {"%d gsm_dec_rxlev", "RXLEV", ""}}},
          {"UTRA cells measured from GSM",
           Layout::kArrayTable,
           "gsm_irat_meas",
           "(measured only while camped on GSM)",
           {{"%d irat_3g_uarfcn", "UARFCN", ""},
            {"%d irat_3g_psc", "PSC", ""},
            {"%d irat_3g_rscp", "RSCP", kDbm},
            {"%d irat_3g_ecn0", "Ec/N0", kDb},
            {"%d irat_3g_rssi", "RSSI", kDbm}}}}},
        {"tchtxpower", "Dedicated channel transmit power", "status_utra", true, kTxPowerSections},
        {"tchtxpwr", "Dedicated channel transmit power", "status_utra", true, kTxPowerSections},
        {"bearer",
         "Radio bearers",
         "status_data",
         true,
         {{"Active technology", Layout::kFields, nullptr, nullptr, {{"active_rat", "RAT", ""}}},
          {"Bearer summary",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"rab_id", "RAB id", ""},
            {"rab_data_rate", "RAB data rate", ""},
            {"ps_channel", "PS channel", ""},
            {"ps_srb_id", "PS SRB id", ""},
            {"cs_rab_id", "CS RAB id", ""},
            {"cs_channel", "CS channel", ""},
            {"cs_speed", "CS speed", ""},
            {"cs_ulsf", "CS uplink SF", ""},
            {"cs_dlsf", "CS downlink SF", ""}}},
          {"WCDMA radio access bearers",
           Layout::kArrayTable,
           "rab_3g",
           nullptr,
           {{"%d rab_id", "RAB", ""},
            {"%d domain", "Domain", ""},
            {"%d traffic_class", "Class", ""},
            {"%d datarate_ul", "UL", "bps"},
            {"%d datarate_dl", "DL", "bps"},
            {"%d maxrate_ul", "UL max", "bps"},
            {"%d maxrate_dl", "DL max", "bps"},
            {"%d bler_residual", "BLER", ""},
            {"%d codec", "Codec", ""},
            {"%d ciphering", "Ciphering", ""}}},
          {"GSM bearer",
           Layout::kFields,
           "rab_2g",
           nullptr,
           {{"domain", "Domain", ""},
            {"datarate_ul", "UL rate", "bps", Secret::kNone, true},
            {"datarate_dl", "DL rate", "bps", Secret::kNone, true},
            {"maxrate_ul", "UL max rate", "bps"},
            {"maxrate_dl", "DL max rate", "bps"},
            {"bler_residual", "Residual BLER", ""},
            {"codec", "Codec", ""},
            {"ciphering", "Ciphering", ""}}}}},
        {"hspaopinfo",
         "HSPA operating information",
         "status_utra",
         true,
         {{"HSDPA",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"hssch_code", "HS-SCCH code", ""},
            {"hsdpa_rate", "Data rate", "kbps", Secret::kNone, true},
            {"hsdpa_cqi_num", "CQI count", ""},
            {"hsdpa_cqi_type", "CQI type", ""},
            {"hsdpa_bler", "BLER", ""}}},
          {"HSUPA", Layout::kFields, nullptr, nullptr, {{"edch_tti", "E-DCH TTI", ""}}},
          {"State and inter-RAT",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"hspa_ue_state", "UE state", ""},
            {"hspa_irat_cm", "Compressed mode", ""},
            {"hspa_irat_ch", "Inter-RAT channel", ""},
            {"hspa_irat_carrier_rssi", "Inter-RAT carrier RSSI", kDbm}}}}},
        {"umtsopinfo",
         "UMTS operating information",
         "status_utra",
         true,
         {{"Registration",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"gmm_reject", "GMM reject cause", ""},
            {"mm_reject", "MM reject cause", ""},
            {"t3212", "T3212", ""},
            {"drx", "DRX", ""}}},
          {"Intra-frequency neighbours",
           Layout::kIndexedTable,
           nullptr,
           nullptr,
           {{"intra_psc%d", "PSC", ""},
            {"intra_ecno%d", "Ec/No", kDb},
            {"intra_rscp%d", "RSCP", kDbm}}},
          {"Inter-frequency neighbours",
           Layout::kIndexedTable,
           nullptr,
           nullptr,
           {{"inter_uarfcn%d", "UARFCN", ""},
            {"inter_psc%d", "PSC", ""},
            {"inter_ecno%d", "Ec/No", kDb},
            {"inter_rscp%d", "RSCP", kDbm},
            {"inter_rssi%d", "RSSI", kDbm}}},
          {"GSM neighbours",
           Layout::kIndexedTable,
           nullptr,
           nullptr,
           {{"irat_system%d", "System", ""},
            {"irat_ch%d", "ARFCN", ""},
            {"irat_bsic%d", "BSIC", ""},
            {"irat_gsm_rssi%d", "RSSI", kDbm},
            {"irat_cellid%d", "Cell id", ""},
            {"irat_cm%d", "CM", ""}}},
          {"PDP contexts",
           Layout::kIndexedTable,
           nullptr,
           nullptr,
           {{"apn%d_name", "APN", ""},
            {"apn%d_ipv4_addr", "IPv4", ""},
            {"apn%d_ipv6_addr", "IPv6", ""}}}}},
        {"radiostats",
         "RRC state and causes",
         "status_utra",
         true,
         {{"RRC",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"rrc_state", "RRC state", ""},
            {"rrc_conn_state", "Connection state", ""},
            {"rrc_reject", "Last reject cause", ""},
            {"rrc_release", "Last release cause", ""}}}}},
        {"radionwinfo",
         "WCDMA radio network information",
         "status_utra",
         true,
         {{"Serving cell",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"scell_uarfcn", "UARFCN", ""},
            {"scell_sc", "Scrambling code", ""},
            {"scell_rscp", "RSCP", kDbm, Secret::kNone, true},
            {"scell_ecio", "Ec/Io", kDb, Secret::kNone, true},
            {"scell_cellid", "Cell id", ""},
            {"scell_mcc", "MCC", ""},
            {"scell_mnc", "MNC", ""},
            {"scell_lac", "LAC", ""},
            {"scell_rac", "RAC", ""},
            {"scell_ura", "URA", ""},
            {"cell_status", "Cell status", ""}}},
          {"Active set",
           Layout::kIndexedTable,
           nullptr,
           nullptr,
           {{"aset_arfcn%d", "UARFCN", ""},
            {"aset_sc%d", "SC", ""},
            {"aset_rscp%d", "RSCP", kDbm},
            {"aset_ecio%d", "Ec/Io", kDb},
            {"aset_cellid%d", "Cell id", ""},
            {"aset_mcc%d", "MCC", ""},
            {"aset_mnc%d", "MNC", ""},
            {"aset_lac%d", "LAC", ""},
            {"aset_rac%d", "RAC", ""},
            {"aset_ura%d", "URA", ""}}},
          {"Monitored set",
           Layout::kIndexedTable,
           nullptr,
           nullptr,
           {{"mset_uarfcn%d", "UARFCN", ""},
            {"mset_sc%d", "SC", ""},
            {"mset_rscp%d", "RSCP", kDbm},
            {"mset_ecio%d", "Ec/Io", kDb},
            {"srxlev%d", "Srxlev", kDb},
            {"squal%d", "Squal", kDb},
            {"mset_cellid%d", "Cell id", ""},
            {"mset_mcc%d", "MCC", ""},
            {"mset_mnc%d", "MNC", ""},
            {"mset_lac%d", "LAC", ""},
            {"mset_rac%d", "RAC", ""},
            {"mset_ura%d", "URA", ""}}}}},
        {"lteopinfo",
         "LTE operating information",
         "status_eutra",
         true,
         {{"Serving cell",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"lte_camped", "Camped", ""},
            {"scell_earfcn", "EARFCN", ""},
            {"scell_pci", "PCI", ""},
            {"scell_tac", "TAC", ""},
            {"scell_cellid", "Cell id", ""},
            {"scell_mcc", "MCC", ""},
            {"scell_mnc", "MNC", ""},
            {"scell_band", "Band", ""},
            {"scell_dl_bw", "DL bandwidth", ""},
            {"scell_rsrp", "RSRP", kDbm, Secret::kNone, true},
            {"scell_rsrq", "RSRQ", kDb, Secret::kNone, true},
            {"scell_rssi", "RSSI", kDbm},
            {"scell_sinr", "SINR", kDb, Secret::kNone, true},
            {"scell_cqi", "CQI", ""},
            {"scell_ta", "Timing advance", ""}}},
          {"RRC and EMM",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"lte_rrc_state", "RRC state", ""},
            {"emm_state", "EMM state", ""},
            {"emm_latest_cause", "Last EMM cause", ""}}},
          {"Neighbour cells",
           Layout::kIndexedTable,
           nullptr,
           nullptr,
           {{"ncell_earfcn%d", "EARFCN", ""},
            {"ncell_pci%d", "PCI", ""},
            {"ncell_rsrp%d", "RSRP", kDbm},
            {"ncell_rsrq%d", "RSRQ", kDb},
            {"ncell_cellid%d", "Cell id", ""}}},
          {"Secondary carriers",
           Layout::kIndexedTable,
           nullptr,
           nullptr,
           {{"scc_earfcn%d", "EARFCN", ""},
            {"scc_pci%d", "PCI", ""},
            {"scc_band%d", "Band", ""},
            {"scc_dl_bw%d", "Bandwidth", ""},
            {"scc_rsrp%d", "RSRP", kDbm},
            {"scc_rsrq%d", "RSRQ", kDb},
            {"scc_sinr%d", "SINR", kDb},
            {"scc_state%d", "State", ""}}}}},
        {"nropinfo",
         "NR operating information",
         "status_nr",
         true,
         {{"NR cell",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"nr_mode", "Mode", ""},
            {"nr_scell_arfcn", "NR-ARFCN", ""},
            {"nr_scell_pci", "PCI", ""},
            {"nr_scell_band", "Band", ""},
            {"nr_scell_ss_rsrp", "SS-RSRP", kDbm, Secret::kNone, true},
            {"nr_scell_ss_rsrq", "SS-RSRQ", kDb, Secret::kNone, true},
            {"nr_scell_ss_sinr", "SS-SINR", kDb, Secret::kNone, true},
            {"nr_scell_scs", "SCS", ""},
            {"nr_scell_tac", "TAC", ""},
            {"nr_scell_nci", "NCI", ""}}},
          {"Neighbour cells",
           Layout::kIndexedTable,
           nullptr,
           nullptr,
           {{"nr_ncell_arfcn%d", "NR-ARFCN", ""},
            {"nr_ncell_pci%d", "PCI", ""},
            {"nr_ncell_band%d", "Band", ""},
            {"nr_ncell_ss_rsrp%d", "SS-RSRP", kDbm},
            {"nr_ncell_ss_rsrq%d", "SS-RSRQ", kDb},
            {"nr_ncell_ss_sinr%d", "SS-SINR", kDb},
            {"nr_ncell_scs%d", "SCS", ""}}}}},
        {"nitz",
         "Network time (NITZ)",
         "status_data",
         false,
         {{"Last NITZ update",
           Layout::kFields,
           nullptr,
           nullptr,
           {{"nitz_source", "Source", ""},
            {"nitz_date", "Date (UTC)", ""},
            {"nitz_time", "Time (UTC)", ""}}}}},
    };
}

std::string Format(const std::string &pattern, int index) {
    std::string s = pattern;
    std::size_t at = s.find("%d");
    if (at != std::string::npos) s.replace(at, 2, std::to_string(index));
    return s;
}

// A cell or field value: numbers carry the unit, texts (placeholders
// included) are shown as they are, a missing attribute as "-".
std::string Show(const Value *v, const char *unit) {
    if (v == nullptr) return "-";
    std::string s = Printable(v->Display());
    if (v->IsNumber() && unit[0] != '\0') s += std::string(" ") + unit;
    return s;
}

bool IsText(const Value *v, const char *text) {
    return v != nullptr && v->kind == Value::Kind::kString && v->text == text;
}

// Display width in characters, counting a UTF-8 sequence as one ("°C").
std::size_t Width(const std::string &s) {
    std::size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) n++;
    return n;
}

std::string Pad(const std::string &s, std::size_t width) {
    std::size_t w = Width(s);
    return w >= width ? s : s + std::string(width - w, ' ');
}

bool Missing(const Value *v) {
    return v == nullptr || IsUnavailable(v);
}

// One value as a screen shows it, and whether it changed since the frame
// before.
struct Cell {
    std::string text;
    bool changed = false;
};

Cell MakeCell(const Value *v, const Value *before, bool compare, const char *unit) {
    Cell c;
    c.text = Show(v, unit);
    if (compare) c.changed = (v == nullptr) != (before == nullptr) || c.text != Show(before, unit);
    return c;
}

// Draws a screen: knows the options and keeps the text.
class Painter {
  public:
    explicit Painter(const RenderOptions &o) : o_(o) {}

    // A cell's text padded to width; in colour when it changed and colour
    // is on (the escape codes take no room on the screen).
    std::string Paint(const Cell &c, std::size_t width) const {
        std::string pad = Width(c.text) < width ? std::string(width - Width(c.text), ' ') : "";
        if (c.changed && o_.colour) return "\033[1;33m" + c.text + "\033[0m" + pad;
        return c.text + pad;
    }
    // A line whose first character is a space: '*' instead when it holds
    // a changed value and there is no colour to show it.
    void Line(std::string text, bool changed) {
        if (changed && !o_.colour && o_.previous != nullptr && !text.empty()) text[0] = '*';
        out += text + "\n";
    }
    const RenderOptions &options() const { return o_; }
    std::string out;

  private:
    const RenderOptions &o_;
};

std::string Spark(const RenderOptions &o, const Item &item, const Section &section) {
    if (!item.trend || o.trends == nullptr) return "";
    std::string key = section.container != nullptr
                          ? std::string(section.container) + "." + item.name
                          : std::string(item.name);
    const std::deque<double> *d = o.trends->Find(key);
    if (d == nullptr) return "";
    // Always as wide as a full history, so that the lines do not move
    // while it fills.
    return std::string(o.trends->depth() - std::min(o.trends->depth(), d->size()), ' ') +
           Sparkline(*d);
}

void RenderFields(const Section &section, const Value &scope, const Value *before, Painter *p) {
    const RenderOptions &o = p->options();
    std::vector<const Item *> items;
    std::vector<Cell> cells;
    std::size_t label_width = 0, value_width = 0;
    for (const Item &item : section.items) {
        const Value *v = scope.Find(item.name);
        if (o.compact && Missing(v)) continue;
        items.push_back(&item);
        cells.push_back(MakeCell(v, before != nullptr ? before->Find(item.name) : nullptr,
                                 o.previous != nullptr, item.unit));
        label_width = std::max(label_width, Width(item.label));
        value_width = std::max(value_width, Width(cells.back().text));
    }
    if (!o.compact) {
        for (std::size_t i = 0; i < items.size(); i++) {
            std::string spark = Spark(o, *items[i], section);
            std::string line = "  " + Pad(items[i]->label, label_width) + "  " +
                               p->Paint(cells[i], spark.empty() ? 0 : value_width);
            if (!spark.empty()) {
                // The padding is ours; a value's own spaces are kept.
                line += "  " + spark;
                while (line.back() == ' ') line.pop_back();
            }
            p->Line(line, cells[i].changed);
        }
        return;
    }
    // Side by side: "Title: label value  label value", wrapped under the
    // first field. visible counts what the screen shows of the line (colour
    // codes take no room).
    std::string line = " " + std::string(section.title) + ":";
    std::size_t visible = Width(line);
    const std::size_t indent = 3;
    bool changed = false, first = true;
    for (std::size_t i = 0; i < items.size(); i++) {
        std::string spark = Spark(o, *items[i], section);
        std::string tail = spark.empty() ? "" : " " + spark;
        std::size_t width = Width(items[i]->label) + 1 + Width(cells[i].text) + Width(tail);
        std::size_t sep = first ? 1 : 2;
        if (!first && visible + sep + width > o.width) {
            p->Line(line, changed);
            line = std::string(indent, ' ');
            visible = indent;
            changed = false;
            sep = 0;
        }
        line += std::string(sep, ' ') + items[i]->label + " " + p->Paint(cells[i], 0) + tail;
        visible += sep + width;
        changed = changed || cells[i].changed;
        first = false;
    }
    if (!items.empty()) p->Line(line, changed);
}

// One table: a row of cells per entry, the first cell the index. Columns
// that hold "NOT SUPPORTED" in every row are named below the table instead.
// before holds, for each row, the values of the frame before (or nullptr).
void RenderTable(const Section &section, std::vector<int> indices,
                 std::vector<std::vector<const Value *>> rows,
                 std::vector<std::vector<const Value *>> before, Painter *p) {
    const RenderOptions &o = p->options();
    if (o.compact) {
        // Rows of placeholders are the modem's empty slots.
        for (std::size_t r = rows.size(); r-- > 0;) {
            if (!std::all_of(rows[r].begin(), rows[r].end(), Missing)) continue;
            rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(r));
            before.erase(before.begin() + static_cast<std::ptrdiff_t>(r));
            indices.erase(indices.begin() + static_cast<std::ptrdiff_t>(r));
        }
        if (rows.empty()) return;
    }
    if (!o.compact)
        p->out += "\n" + std::string(section.title) + "\n";
    else
        p->out += " " + std::string(section.title) + "\n";
    if (rows.empty()) {
        p->out += "  (none)\n";
        return;
    }
    std::vector<std::size_t> shown;
    std::string unsupported;
    for (std::size_t c = 0; c < section.items.size(); c++) {
        // Unfilled rows read "N/A" in every column, this one included.
        bool all = std::all_of(rows.begin(), rows.end(), [c](const std::vector<const Value *> &r) {
            return r[c] == nullptr || IsText(r[c], kNotSupported) || IsText(r[c], kNotAvailable);
        });
        bool any = std::any_of(rows.begin(), rows.end(), [c](const std::vector<const Value *> &r) {
            return IsText(r[c], kNotSupported);
        });
        // A column that no row has is not published at all.
        bool none = std::all_of(rows.begin(), rows.end(), [c](const std::vector<const Value *> &r) {
            return r[c] == nullptr;
        });
        if (none) continue;
        if (!all || !any) {
            shown.push_back(c);
            continue;
        }
        if (!unsupported.empty()) unsupported += ", ";
        unsupported += section.items[c].label;
    }

    std::vector<std::vector<Cell>> cells;
    std::vector<Cell> header = {{"#", false}};
    for (std::size_t c : shown) {
        const Item &item = section.items[c];
        header.push_back(
            {item.unit[0] ? std::string(item.label) + "(" + item.unit + ")" : item.label, false});
    }
    cells.push_back(header);
    for (std::size_t r = 0; r < rows.size(); r++) {
        std::vector<Cell> line = {{std::to_string(indices[r]), false}};
        for (std::size_t c : shown)
            line.push_back(MakeCell(rows[r][c], before[r][c], o.previous != nullptr, ""));
        cells.push_back(line);
    }
    std::vector<std::size_t> widths(header.size(), 0);
    for (const auto &line : cells)
        for (std::size_t c = 0; c < line.size(); c++)
            widths[c] = std::max(widths[c], Width(line[c].text));
    for (const auto &line : cells) {
        // The index column is right-aligned, the rest left-aligned.
        std::string text =
            " " + std::string(widths[0] - Width(line[0].text) + 1, ' ') + line[0].text;
        bool changed = false;
        for (std::size_t c = 1; c < line.size(); c++) {
            text += "  " + p->Paint(line[c], widths[c]);
            changed = changed || line[c].changed;
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        p->Line(text, changed);
    }
    if (!unsupported.empty() && !o.compact) p->out += "  NOT SUPPORTED: " + unsupported + "\n";
}

// The indices of an indexed table present in the attributes, in order.
std::vector<int> TableIndices(const Section &section, const Value &attributes) {
    std::set<int> found;
    for (const auto &m : attributes.members)
        for (const Item &item : section.items) {
            int index;
            if (MatchIndexed(item.name, m.first, &index)) found.insert(index);
        }
    return std::vector<int>(found.begin(), found.end());
}

std::vector<const Value *> IndexedRow(const Section &section, const Value *attributes, int index) {
    std::vector<const Value *> row;
    for (const Item &item : section.items)
        row.push_back(attributes != nullptr ? attributes->Find(Format(item.name, index)) : nullptr);
    return row;
}

// Row i of an array table (elements name their members "<i> <name>").
std::vector<const Value *> ArrayRow(const Section &section, const Value *array, std::size_t i) {
    std::vector<const Value *> row;
    const Value *element = array != nullptr && array->IsArray() && i < array->members.size()
                               ? &array->members[i].second
                               : nullptr;
    for (const Item &item : section.items)
        row.push_back(element != nullptr ? element->Find(Format(item.name, static_cast<int>(i) + 1))
                                         : nullptr);
    return row;
}

void RenderIndexedTable(const Section &section, const Value &attributes, const Value *before,
                        Painter *p) {
    std::vector<int> indices = TableIndices(section, attributes);
    std::vector<std::vector<const Value *>> rows, old;
    for (int index : indices) {
        rows.push_back(IndexedRow(section, &attributes, index));
        old.push_back(IndexedRow(section, before, index));
    }
    RenderTable(section, indices, rows, old, p);
}

void RenderArrayTable(const Section &section, const Value &array, const Value *before, Painter *p) {
    std::vector<int> indices;
    std::vector<std::vector<const Value *>> rows, old;
    for (std::size_t i = 0; i < array.members.size(); i++) {
        indices.push_back(static_cast<int>(i) + 1);
        rows.push_back(ArrayRow(section, &array, i));
        old.push_back(ArrayRow(section, before, i));
    }
    RenderTable(section, indices, rows, old, p);
}

// A value where the screen data has null, with its placeholder kept apart.
Value DataValue(const Value *v, const std::string &path, Value *unavailable) {
    if (!IsUnavailable(v)) return *v;
    unavailable->members.emplace_back(path, Value::String(v->text));
    return Value();
}

// Rows of a table as objects: "index" and a member per column present.
Value DataTable(const Section &section, const std::string &key, const std::vector<int> &indices,
                const std::vector<std::vector<const Value *>> &rows, Value *unavailable) {
    Value table;
    table.kind = Value::Kind::kArray;
    for (std::size_t r = 0; r < rows.size(); r++) {
        if (std::all_of(rows[r].begin(), rows[r].end(), Missing)) continue;
        Value row = Value::Object();
        row.members.emplace_back("index", Value::Int(indices[r]));
        const std::string at = key + "." + std::to_string(table.members.size()) + ".";
        for (std::size_t c = 0; c < section.items.size(); c++) {
            if (rows[r][c] == nullptr) continue;
            const std::string column = ColumnKey(section.items[c]);
            row.members.emplace_back(column, DataValue(rows[r][c], at + column, unavailable));
        }
        table.members.emplace_back("", std::move(row));
    }
    return table;
}

// s with every character but the last four replaced by '*'; bytes that
// continue a UTF-8 sequence go with the character they belong to.
std::string Masked(const std::string &s, Secret how) {
    auto starts = [&s](std::size_t i) { return (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80; };
    std::size_t end = s.size();
    if (how == Secret::kDigits)
        while (end > 0 && (s[end - 1] == 'f' || s[end - 1] == 'F')) end--;
    std::size_t at = end;
    for (int keep = 4; at > 0 && keep > 0;)
        if (starts(--at)) keep--;
    std::string out;
    for (std::size_t i = 0; i < at; i++)
        if (starts(i)) out += '*';
    return out + s.substr(at);
}

}  // namespace

const std::vector<Screen> &Screens() {
    static const std::vector<Screen> screens = BuildScreens();
    return screens;
}

const Screen *FindScreen(const std::string &command) {
    for (const Screen &s : Screens())
        if (command == s.command) return &s;
    return nullptr;
}

bool MatchIndexed(const std::string &pattern, const std::string &name, int *index) {
    std::size_t at = pattern.find("%d");
    if (at == std::string::npos) return false;
    std::string prefix = pattern.substr(0, at), suffix = pattern.substr(at + 2);
    if (name.size() <= prefix.size() + suffix.size()) return false;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    // The daemon writes the index in decimal without leading zeros.
    if (digits.size() > 4 || digits[0] == '0' ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    *index = std::stoi(digits);
    return true;
}

bool Owns(const Screen &screen, const std::string &name) {
    for (const Section &section : screen.sections) {
        if (section.container != nullptr) {
            if (name == section.container) return true;
            continue;
        }
        for (const Item &item : section.items) {
            int index;
            if (section.layout == Layout::kIndexedTable ? MatchIndexed(item.name, name, &index)
                                                        : name == item.name)
                return true;
        }
    }
    return false;
}

Value OwnAttributes(const Screen &screen, const Value &attributes) {
    Value own = Value::Object();
    for (const auto &m : attributes.members)
        if (Owns(screen, m.first)) own.members.push_back(m);
    return own;
}

void MaskSecrets(const Screen &screen, Value *attributes) {
    for (const Section &section : screen.sections) {
        if (section.container != nullptr) continue;
        for (const Item &item : section.items) {
            if (item.secret == Secret::kNone) continue;
            for (auto &m : attributes->members)
                if (m.first == item.name && m.second.kind != Value::Kind::kNull &&
                    !IsUnavailable(&m.second))
                    m.second = Value::String(Masked(m.second.Display(), item.secret));
        }
    }
}

bool IsUnavailable(const Value *v) {
    return IsText(v, kNotAvailable) || IsText(v, kNotSupported);
}

std::string SectionKey(const Section &section) {
    std::string key;
    for (const char *c = section.title; *c != '\0'; c++) {
        if (std::isalnum(static_cast<unsigned char>(*c)))
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        else if (!key.empty() && key.back() != '_')
            key += '_';
    }
    while (!key.empty() && key.back() == '_') key.pop_back();
    return key;
}

std::string ColumnKey(const Item &item) {
    std::string key = item.name;
    std::size_t at = key.find("%d");
    if (at != std::string::npos) key.erase(at, 2);
    auto junk = [](char c) { return c == ' ' || c == '_'; };
    while (!key.empty() && junk(key.front())) key.erase(key.begin());
    while (!key.empty() && junk(key.back())) key.pop_back();
    return key;
}

Value ScreenData(const Screen &screen, const Value &attributes) {
    Value sections = Value::Object(), unavailable = Value::Object(), units = Value::Object();
    for (const Section &section : screen.sections) {
        const std::string key = SectionKey(section);
        const Value *container = nullptr;
        if (section.container != nullptr) {
            container = attributes.Find(section.container);
            if (container == nullptr) continue;
            if (IsUnavailable(container) ||
                (section.layout == Layout::kFields ? !container->IsObject()
                                                   : !container->IsArray())) {
                sections.members.emplace_back(key, DataValue(container, key, &unavailable));
                continue;
            }
        }
        Value data;
        switch (section.layout) {
            case Layout::kFields: {
                const Value &scope = container != nullptr ? *container : attributes;
                data = Value::Object();
                for (const Item &item : section.items) {
                    const Value *v = scope.Find(item.name);
                    if (v == nullptr) continue;
                    const std::string path = key + "." + item.name;
                    data.members.emplace_back(item.name, DataValue(v, path, &unavailable));
                    if (item.unit[0] != '\0')
                        units.members.emplace_back(path, Value::String(item.unit));
                }
                break;
            }
            case Layout::kIndexedTable: {
                std::vector<int> indices = TableIndices(section, attributes);
                std::vector<std::vector<const Value *>> rows;
                for (int index : indices) rows.push_back(IndexedRow(section, &attributes, index));
                data = DataTable(section, key, indices, rows, &unavailable);
                break;
            }
            case Layout::kArrayTable: {
                std::vector<int> indices;
                std::vector<std::vector<const Value *>> rows;
                for (std::size_t i = 0; i < container->members.size(); i++) {
                    indices.push_back(static_cast<int>(i) + 1);
                    rows.push_back(ArrayRow(section, container, i));
                }
                data = DataTable(section, key, indices, rows, &unavailable);
                break;
            }
        }
        if (section.layout != Layout::kFields)
            for (const Item &item : section.items)
                if (item.unit[0] != '\0')
                    units.members.emplace_back(key + "." + ColumnKey(item),
                                               Value::String(item.unit));
        sections.members.emplace_back(key, std::move(data));
    }
    Value out = Value::Object();
    out.members.emplace_back("sections", std::move(sections));
    out.members.emplace_back("unavailable", std::move(unavailable));
    out.members.emplace_back("units", std::move(units));
    return out;
}

std::string RenderScreen(const Screen &screen, const Value &attributes, const std::string &status,
                         const RenderOptions &options) {
    Painter p(options);
    const Value *previous = options.previous;
    p.out = std::string(screen.command) + ": " + screen.title + "  [" + screen.object + "]";
    if (!status.empty()) p.out += "  " + status;
    p.out += "\n";
    const bool compact = options.compact;
    for (const Section &section : screen.sections) {
        const Value *container = nullptr, *old = previous;
        if (section.container != nullptr) {
            container = attributes.Find(section.container);
            old = previous != nullptr ? previous->Find(section.container) : nullptr;
            if (container == nullptr && (section.absent == nullptr || compact)) continue;
        }
        const bool odd =
            section.container != nullptr &&
            (container == nullptr ||
             (section.layout == Layout::kFields ? !container->IsObject() : !container->IsArray()));
        if (odd && compact) continue;
        if (section.layout == Layout::kFields || odd) {
            if (!compact) p.out += "\n" + std::string(section.title) + "\n";
        }
        if (container == nullptr && section.container != nullptr) {
            p.out += std::string("  ") + section.absent + "\n";
            continue;
        }
        if (odd) {
            Cell c = MakeCell(container, old, previous != nullptr, "");
            p.Line("  " + p.Paint(c, 0), c.changed);
            continue;
        }
        switch (section.layout) {
            case Layout::kFields:
                RenderFields(section, container ? *container : attributes, old, &p);
                break;
            case Layout::kIndexedTable:
                RenderIndexedTable(section, attributes, previous, &p);
                break;
            case Layout::kArrayTable:
                RenderArrayTable(section, *container, old, &p);
                break;
        }
    }
    return p.out;
}

namespace {

Value Header(const Screen &screen, const Timing &timing) {
    Value doc = Value::Object();
    doc.members.emplace_back("time", Value::String(timing.time));
    Value latency;
    latency.kind = Value::Kind::kReal;
    // Microseconds are noise here; three decimals keep the file short.
    latency.real = std::round(timing.latency_ms * 1000) / 1000;
    doc.members.emplace_back("latency_ms", latency);
    doc.members.emplace_back("command", Value::String(screen.command));
    doc.members.emplace_back("object", Value::String(screen.object));
    return doc;
}

}  // namespace

std::string RenderJson(const Screen &screen, const Value &attributes, const Result &result,
                       const Timing &timing) {
    Value doc = Header(screen, timing);
    if (result.present) {
        const Response &r = result.response;
        doc.members.emplace_back("result", Value::String(r.err == 0 ? "SUCCESS" : "FAILURE"));
        Value response = Value::Object();
        response.members.emplace_back("res", Value::String(r.res));
        response.members.emplace_back("id", Value::String(r.id));
        if (r.err != 0) response.members.emplace_back("err", Value::Int(r.err));
        doc.members.emplace_back("response", std::move(response));
    }
    doc.members.emplace_back("attributes", attributes);
    doc.members.emplace_back("screen", ScreenData(screen, attributes));
    return ToJson(doc);
}

std::string RenderErrorJson(const Screen &screen, const Timing &timing, int status,
                            const std::string &message) {
    Value doc = Header(screen, timing);
    Value error = Value::Object();
    error.members.emplace_back("status", Value::Int(status));
    error.members.emplace_back("message", Value::String(message));
    doc.members.emplace_back("error", std::move(error));
    return ToJson(doc);
}

}  // namespace diagctl
