// SPDX-License-Identifier: Apache-2.0
// The mapping table from ModemManager to the tech-mode structures, and the
// checks every value passes on its way (Mapping.h).
#include "Mapping.h"

#include <ModemManager.h>
#include <arpa/inet.h>
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "Structures.h"

namespace mm {

namespace {

// ------------------------------------------------------------ checks

// text when it is min to max decimal digits.
std::optional<std::string> Digits(const std::string &text, size_t min, size_t max) {
    if (text.size() < min || text.size() > max ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return text;
}

// 1 to 8 hexadecimal digits (cell info's LAC, CI and BSIC) up to max.
std::optional<uint32_t> Hex(const std::string &text, uint32_t max) {
    if (text.empty() || text.size() > 8 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    unsigned long v = strtoul(text.c_str(), nullptr, 16);
    if (v > max) return std::nullopt;
    return static_cast<uint32_t>(v);
}

std::optional<uint32_t> Number(uint64_t v, uint64_t max) {
    if (v > max) return std::nullopt;
    return static_cast<uint32_t>(v);
}

// A level in dBm or dB, rounded, when it is a number from lo to hi (which
// leaves out ModemManager's "unknown", -DBL_MAX).
std::optional<int8_t> Level(double v, double lo, double hi) {
    if (!std::isfinite(v) || v < lo || v > hi) return std::nullopt;
    return static_cast<int8_t>(lround(v));
}

// The ranges of the 3GPP quantities (TS 25.133 RSCP and CPICH Ec/No, with
// room for a modem's rounding; TS 45.008 RXLEV; TS 25.101 UARFCN; TS 45.005
// ARFCN; TS 23.003 LAC, CI and the 28-bit UTRAN cell id).
constexpr double kRscpLo = -140, kRscpHi = 0, kEcioLo = -40, kEcioHi = 0;
constexpr double kRssiLo = -140, kRssiHi = 0;
constexpr uint32_t kMaxLac = 0xFFFF, kMaxGsmCi = 0xFFFF, kMaxUtranCi = 0x0FFFFFFF;
constexpr uint32_t kMaxUarfcn = 16383, kMaxPsc = 511, kMaxArfcn = 1023;
constexpr uint32_t kMaxBsic = 63, kMaxRxlev = 63, kMaxTimingAdvance = 63;
// An APN is at most 100 bytes (TS 23.003, 9.1), the PDP context's room.
constexpr size_t kMaxApn = 100;

constexpr uint32_t kGsmFamily = MM_MODEM_ACCESS_TECHNOLOGY_GSM |
                                MM_MODEM_ACCESS_TECHNOLOGY_GSM_COMPACT |
                                MM_MODEM_ACCESS_TECHNOLOGY_GPRS | MM_MODEM_ACCESS_TECHNOLOGY_EDGE;
constexpr uint32_t kUmtsFamily =
    MM_MODEM_ACCESS_TECHNOLOGY_UMTS | MM_MODEM_ACCESS_TECHNOLOGY_HSDPA |
    MM_MODEM_ACCESS_TECHNOLOGY_HSUPA | MM_MODEM_ACCESS_TECHNOLOGY_HSPA |
    MM_MODEM_ACCESS_TECHNOLOGY_HSPA_PLUS;

bool OnUmts(const Reading &r) {
    return (r.access_technologies & kUmtsFamily) != 0;
}
bool OnGsm(const Reading &r) {
    return !OnUmts(r) && (r.access_technologies & kGsmFamily) != 0;
}

const CellReading *Serving(const Reading &r, CellReading::Rat rat) {
    for (const CellReading &c : r.cells)
        if (c.serving && c.rat == rat) return &c;
    return nullptr;
}

// LTE and NR: TS 36.101 EARFCN, TS 36.211 and 38.211 PCI, TS 23.003 TAC
// (16 bits in LTE, 24 in 5GS), the 28-bit E-UTRAN and 36-bit NR cell ids,
// TS 38.104 NR-ARFCN, TS 36.213 timing advance; levels as TS 36.133 and
// 38.133 report them.
constexpr uint32_t kMaxEarfcn = 262143, kMaxLtePci = 503, kMaxLteTac = 0xFFFF;
constexpr uint32_t kMaxEci = 0x0FFFFFFF, kMaxLteTa = 1282;
constexpr uint32_t kMaxNrArfcn = 3279165, kMaxNrPci = 1007, kMaxNrTac = 0xFFFFFF;
constexpr uint64_t kMaxNci = (uint64_t{1} << 36) - 1;
constexpr double kRsrpLo = -156, kRsrpHi = -31, kRsrqLo = -34, kRsrqHi = 2.5;
constexpr double kNrRsrqLo = -43, kNrRsrqHi = 20, kSinrLo = -23, kSinrHi = 40;
constexpr uint32_t kLteFamily = MM_MODEM_ACCESS_TECHNOLOGY_LTE |
                                MM_MODEM_ACCESS_TECHNOLOGY_LTE_CAT_M |
                                MM_MODEM_ACCESS_TECHNOLOGY_LTE_NB_IOT;

bool OnLte(const Reading &r) {
    return (r.access_technologies & kLteFamily) != 0;
}
bool OnNr(const Reading &r) {
    return (r.access_technologies & MM_MODEM_ACCESS_TECHNOLOGY_5GNR) != 0;
}

// A level in half decibels (the LTE and NR structures' unit), from lo to hi.
std::optional<int16_t> HalfDb(double v, double lo, double hi) {
    const bool in_range = std::isfinite(v) && v >= lo && v <= hi;
    if (!in_range) return std::nullopt;
    return static_cast<int16_t>(lround(v * 2));
}

// 1 to 16 hexadecimal digits (the NR cell id's 36 bits) up to max.
std::optional<uint64_t> Hex64(const std::string &text, uint64_t max) {
    if (text.empty() || text.size() > 16 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return std::nullopt;
    unsigned long long v = strtoull(text.c_str(), nullptr, 16);
    if (v > max) return std::nullopt;
    return static_cast<uint64_t>(v);
}

// ------------------------------------------------------------ rows

bool FillImei(const Reading &r, sim::Scenario &s) {
    // An IMEI has 15 digits, an IMEISV 16 (TS 23.003, 6.2).
    auto d = Digits(!r.imei.empty() ? r.imei : r.equipment_id, 15, 16);
    if (d) s.identity.imeisv = *d;
    return d.has_value();
}

bool FillImsi(const Reading &r, sim::Scenario &s) {
    auto d = Digits(r.imsi, 6, 15);  // at most 15 digits (TS 23.003, 2.2)
    if (d) s.identity.imsi = *d;
    return d.has_value();
}

bool FillRat(const Reading &r, sim::Scenario &s) {
    // 0 GSM, 1 WCDMA, 3 unknown: what the modem says when it is on neither
    // (LTE, 5G) or does not know.
    s.mobility.active_rat = OnUmts(r) ? 1 : OnGsm(r) ? 0 : 3;
    return true;
}

// The MCC and MNC of a 5- or 6-digit operator code.
bool FillMcc(const Reading &r, sim::Scenario &s) {
    auto d = Digits(r.operator_code, 5, 6);
    if (d) s.mobility.mcc = static_cast<uint16_t>(std::stoi(d->substr(0, 3)));
    return d.has_value();
}
bool FillMnc(const Reading &r, sim::Scenario &s) {
    auto d = Digits(r.operator_code, 5, 6);
    if (d) s.mobility.mnc = static_cast<uint16_t>(std::stoi(d->substr(3)));
    return d.has_value();
}

std::optional<uint32_t> ServingLac(const Reading &r) {
    if (r.has_location) return Number(r.lac, kMaxLac);
    const CellReading *c = Serving(r, OnGsm(r) ? CellReading::Rat::kGsm : CellReading::Rat::kUmts);
    return c != nullptr ? Hex(c->lac, kMaxLac) : std::nullopt;
}
bool FillLac(const Reading &r, sim::Scenario &s) {
    auto v = ServingLac(r);
    if (v) s.mobility.lac = static_cast<uint16_t>(*v);
    return v.has_value();
}

// The serving cell's id on its RAT: the location's CI, else cell info's.
std::optional<uint32_t> ServingCi(const Reading &r, CellReading::Rat rat, uint32_t max) {
    const bool on = rat == CellReading::Rat::kUmts ? OnUmts(r) : OnGsm(r);
    if (on && r.has_location) return Number(r.ci, max);
    const CellReading *c = Serving(r, rat);
    return c != nullptr ? Hex(c->ci, max) : std::nullopt;
}

bool FillUarfcn(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kUmts);
    auto v = c ? Number(c->uarfcn, kMaxUarfcn) : std::nullopt;
    if (v) s.serving_cell_3g.uarfcn = static_cast<uint16_t>(*v);
    return v.has_value();
}
bool FillPsc(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kUmts);
    auto v = c ? Number(c->psc, kMaxPsc) : std::nullopt;
    if (v) s.serving_cell_3g.psc = static_cast<uint16_t>(*v);
    return v.has_value();
}
bool FillCellId3G(const Reading &r, sim::Scenario &s) {
    auto v = ServingCi(r, CellReading::Rat::kUmts, kMaxUtranCi);
    if (v) s.serving_cell_3g.cell_id = *v;
    return v.has_value();
}
// The serving UMTS cell's level from cell info, else from Modem.Signal
// (only while on UMTS: the interface keeps the last values it had).
bool FillRscp(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kUmts);
    auto v = c ? Level(c->rscp, kRscpLo, kRscpHi) : std::nullopt;
    if (!v && OnUmts(r)) v = Level(r.umts_rscp, kRscpLo, kRscpHi);
    if (v) s.serving_cell_3g.rscp_dbm = *v;
    return v.has_value();
}
bool FillEcio(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kUmts);
    auto v = c ? Level(c->ecio, kEcioLo, kEcioHi) : std::nullopt;
    if (!v && OnUmts(r)) v = Level(r.umts_ecio, kEcioLo, kEcioHi);
    if (v) s.serving_cell_3g.ecio_db = *v;
    return v.has_value();
}

bool FillBsic(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kGsm);
    auto v = c ? Hex(c->bsic, kMaxBsic) : std::nullopt;
    if (v) s.serving_cell_2g.bsic = static_cast<uint8_t>(*v);
    return v.has_value();
}
bool FillArfcn(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kGsm);
    auto v = c ? Number(c->arfcn, kMaxArfcn) : std::nullopt;
    if (v) s.serving_cell_2g.arfcn = static_cast<uint16_t>(*v);
    return v.has_value();
}
bool FillCellId2G(const Reading &r, sim::Scenario &s) {
    auto v = ServingCi(r, CellReading::Rat::kGsm, kMaxGsmCi);
    if (v) s.serving_cell_2g.cell_id = static_cast<uint16_t>(*v);
    return v.has_value();
}
bool FillTimingAdvance(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kGsm);
    auto v = c ? Number(c->timing_advance, kMaxTimingAdvance) : std::nullopt;
    if (v) s.serving_cell_2g.timing_advance = static_cast<uint8_t>(*v);
    return v.has_value();
}

bool FillUtraRssi(const Reading &r, sim::Scenario &s) {
    auto v = OnUmts(r) ? Level(r.umts_rssi, kRssiLo, kRssiHi) : std::nullopt;
    if (v) s.dedicated_channel_power.utra_rssi_dbm = *v;
    return v.has_value();
}

// ---- LTE serving cell: each field from cell info's serving LTE cell,
// levels else from Signal.Lte while on LTE.

bool FillCamped(const Reading &r, sim::Scenario &s) {
    if (r.access_technologies == 0) return false;  // unknown: not "not camped"
    s.lte_serving_cell.camped = OnLte(r) ? 1 : 0;
    return true;
}
bool FillEarfcn(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kLte);
    auto v = c ? Number(c->earfcn, kMaxEarfcn) : std::nullopt;
    if (v) s.lte_serving_cell.earfcn = *v;
    return v.has_value();
}
bool FillLtePci(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kLte);
    auto v = c ? Hex(c->physical_ci, kMaxLtePci) : std::nullopt;
    if (v) s.lte_serving_cell.pci = static_cast<uint16_t>(*v);
    return v.has_value();
}
bool FillLteTac(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kLte);
    auto v = c ? Hex(c->tac, kMaxLteTac) : std::nullopt;
    if (v) s.lte_serving_cell.tac = static_cast<uint16_t>(*v);
    return v.has_value();
}
bool FillLteCellId(const Reading &r, sim::Scenario &s) {
    std::optional<uint32_t> v;
    if (OnLte(r) && r.has_location) {
        v = Number(r.ci, kMaxEci);
    } else if (const CellReading *c = Serving(r, CellReading::Rat::kLte)) {
        v = Hex(c->ci, kMaxEci);
    }
    if (v) s.lte_serving_cell.cell_id = *v;
    return v.has_value();
}
bool FillLteMcc(const Reading &r, sim::Scenario &s) {
    auto d = OnLte(r) ? Digits(r.operator_code, 5, 6) : std::nullopt;
    if (d) s.lte_serving_cell.mcc = static_cast<uint16_t>(std::stoi(d->substr(0, 3)));
    return d.has_value();
}
bool FillLteMnc(const Reading &r, sim::Scenario &s) {
    auto d = OnLte(r) ? Digits(r.operator_code, 5, 6) : std::nullopt;
    if (d) s.lte_serving_cell.mnc = static_cast<uint16_t>(std::stoi(d->substr(3)));
    return d.has_value();
}
// The serving LTE cell's level, else Signal.Lte's while on LTE (the
// interface keeps the last values it had).
std::optional<int16_t> LteLevel(const Reading &r, double CellReading::*cell, double signal,
                                double lo, double hi) {
    const CellReading *c = Serving(r, CellReading::Rat::kLte);
    auto v = c ? HalfDb(c->*cell, lo, hi) : std::nullopt;
    if (!v && OnLte(r)) v = HalfDb(signal, lo, hi);
    return v;
}
bool FillLteRsrp(const Reading &r, sim::Scenario &s) {
    auto v = LteLevel(r, &CellReading::rsrp, r.lte_rsrp, kRsrpLo, kRsrpHi);
    if (v) s.lte_serving_cell.rsrp = *v;
    return v.has_value();
}
bool FillLteRsrq(const Reading &r, sim::Scenario &s) {
    auto v = LteLevel(r, &CellReading::rsrq, r.lte_rsrq, kRsrqLo, kRsrqHi);
    if (v) s.lte_serving_cell.rsrq = *v;
    return v.has_value();
}
bool FillLteRssi(const Reading &r, sim::Scenario &s) {
    auto v = OnLte(r) ? HalfDb(r.lte_rssi, kRssiLo, kRssiHi) : std::nullopt;
    if (v) s.lte_serving_cell.rssi = *v;
    return v.has_value();
}
bool FillLteSinr(const Reading &r, sim::Scenario &s) {
    auto v = OnLte(r) ? HalfDb(r.lte_snr, kSinrLo, kSinrHi) : std::nullopt;
    if (v) s.lte_serving_cell.sinr = *v;
    return v.has_value();
}
bool FillLteTimingAdvance(const Reading &r, sim::Scenario &s) {
    const CellReading *c = Serving(r, CellReading::Rat::kLte);
    auto v = c ? Number(c->timing_advance, kMaxLteTa) : std::nullopt;
    if (v) s.lte_serving_cell.timing_advance = static_cast<uint16_t>(*v);
    return v.has_value();
}

// LTE neighbours: cells with channel, PCI and both levels (the block's 16
// at most); the cell id only when cell info has one.
bool FillLteNeighbours(const Reading &r, sim::Scenario &s) {
    for (const CellReading &c : r.cells) {
        if (c.rat != CellReading::Rat::kLte || c.serving || s.lte_neighbours.size() == 16) continue;
        auto earfcn = Number(c.earfcn, kMaxEarfcn);
        auto pci = Hex(c.physical_ci, kMaxLtePci);
        auto rsrp = HalfDb(c.rsrp, kRsrpLo, kRsrpHi);
        auto rsrq = HalfDb(c.rsrq, kRsrqLo, kRsrqHi);
        if (!earfcn || !pci || !rsrp || !rsrq) continue;
        sim::LteNeighbour e;
        e.earfcn = *earfcn;
        e.pci = static_cast<uint16_t>(*pci);
        e.rsrp = *rsrp;
        e.rsrq = *rsrq;
        e.cell_id = Hex(c.ci, kMaxEci).value_or(0xFFFFFFFFu);
        s.lte_neighbours.push_back(e);
    }
    return !s.lte_neighbours.empty();
}

// ---- NR: one block, so every value ModemManager has no source for (band,
// subcarrier spacing) is sent as not reported, never as a zero.

sim::NrCell NrCellOf(const CellReading &c) {
    sim::NrCell e;
    e.arfcn = Number(c.earfcn, kMaxNrArfcn).value_or(0xFFFFFFFFu);
    e.pci = static_cast<uint16_t>(Hex(c.physical_ci, kMaxNrPci).value_or(0xFFFF));
    e.band = 0xFFFF;
    e.ss_rsrp = HalfDb(c.rsrp, kRsrpLo, kRsrpHi).value_or(sim::kNoLevel);
    e.ss_rsrq = HalfDb(c.rsrq, kNrRsrqLo, kNrRsrqHi).value_or(sim::kNoLevel);
    e.ss_sinr = HalfDb(c.sinr, kSinrLo, kSinrHi).value_or(sim::kNoLevel);
    e.scs = 0xFF;
    return e;
}

// The mode from the access technologies: NR beside LTE is NSA, NR alone SA.
bool FillNrMode(const Reading &r, sim::Scenario &s) {
    sim::NrCells &n = s.nr_cells;
    n.cell = NrCellOf(CellReading());
    n.tac = 0xFFFFFFFFu;
    n.nci = -1;
    n.neighbours.clear();
    if (r.access_technologies == 0) return false;
    n.mode = !OnNr(r) ? 0 : OnLte(r) ? 2 : 1;
    return true;
}
// The serving (SA) or secondary (NSA) NR cell from cell info, its levels
// else from Signal.Nr5g while on NR; TAC and NCI under SA only.
bool FillNrCell(const Reading &r, sim::Scenario &s) {
    if (!OnNr(r)) return false;
    sim::NrCells &n = s.nr_cells;
    const CellReading *c = Serving(r, CellReading::Rat::kNr);
    if (c != nullptr) n.cell = NrCellOf(*c);
    if (n.cell.ss_rsrp == sim::kNoLevel)
        n.cell.ss_rsrp = HalfDb(r.nr_rsrp, kRsrpLo, kRsrpHi).value_or(sim::kNoLevel);
    if (n.cell.ss_rsrq == sim::kNoLevel)
        n.cell.ss_rsrq = HalfDb(r.nr_rsrq, kNrRsrqLo, kNrRsrqHi).value_or(sim::kNoLevel);
    if (n.cell.ss_sinr == sim::kNoLevel)
        n.cell.ss_sinr = HalfDb(r.nr_snr, kSinrLo, kSinrHi).value_or(sim::kNoLevel);
    if (c != nullptr && n.mode == 1) {
        n.tac = Hex(c->tac, kMaxNrTac).value_or(0xFFFFFFFFu);
        if (auto nci = Hex64(c->ci, kMaxNci)) n.nci = static_cast<int64_t>(*nci);
    }
    return c != nullptr || n.cell.ss_rsrp != sim::kNoLevel || n.cell.ss_rsrq != sim::kNoLevel ||
           n.cell.ss_sinr != sim::kNoLevel;
}
// The report's rows of the NR cell, one per value: each fills the cell (the
// same values every time) and says whether its own value came.
bool FillNrArfcn(const Reading &r, sim::Scenario &s) {
    return FillNrCell(r, s) && s.nr_cells.cell.arfcn != 0xFFFFFFFFu;
}
bool FillNrPci(const Reading &r, sim::Scenario &s) {
    return FillNrCell(r, s) && s.nr_cells.cell.pci != 0xFFFF;
}
bool FillNrRsrp(const Reading &r, sim::Scenario &s) {
    return FillNrCell(r, s) && s.nr_cells.cell.ss_rsrp != sim::kNoLevel;
}
bool FillNrRsrq(const Reading &r, sim::Scenario &s) {
    return FillNrCell(r, s) && s.nr_cells.cell.ss_rsrq != sim::kNoLevel;
}
bool FillNrSinr(const Reading &r, sim::Scenario &s) {
    return FillNrCell(r, s) && s.nr_cells.cell.ss_sinr != sim::kNoLevel;
}
bool FillNrTac(const Reading &r, sim::Scenario &s) {
    return FillNrCell(r, s) && s.nr_cells.tac != 0xFFFFFFFFu;
}
bool FillNci(const Reading &r, sim::Scenario &s) {
    return FillNrCell(r, s) && s.nr_cells.nci >= 0;
}

bool FillNrNeighbours(const Reading &r, sim::Scenario &s) {
    for (const CellReading &c : r.cells)
        if (c.rat == CellReading::Rat::kNr && !c.serving && s.nr_cells.neighbours.size() < 8)
            s.nr_cells.neighbours.push_back(NrCellOf(c));
    return !s.nr_cells.neighbours.empty();
}

// A list entry has room for no missing value: a cell without one of them
// is left out of the list, never sent with a made-up level.
std::optional<sim::SetCell> UmtsSetCell(const CellReading &c) {
    auto uarfcn = Number(c.uarfcn, kMaxUarfcn);
    auto psc = Number(c.psc, kMaxPsc);
    auto rscp = Level(c.rscp, kRscpLo, kRscpHi);
    auto ecio = Level(c.ecio, kEcioLo, kEcioHi);
    if (!uarfcn || !psc || !rscp || !ecio) return std::nullopt;
    sim::SetCell e;
    e.uarfcn = static_cast<uint16_t>(*uarfcn);
    e.psc = static_cast<uint16_t>(*psc);
    e.rscp_dbm = *rscp;
    e.ecio_db = *ecio;
    return e;
}

// The blocks hold 32 entries of a list.
constexpr size_t kListRoom = 32;

bool FillUmtsSet(const Reading &r, std::vector<sim::SetCell> &set, bool serving) {
    for (const CellReading &c : r.cells) {
        if (c.rat != CellReading::Rat::kUmts || c.serving != serving || set.size() == kListRoom)
            continue;
        if (auto e = UmtsSetCell(c)) set.push_back(*e);
    }
    return !set.empty();
}
bool FillActiveSet(const Reading &r, sim::Scenario &s) {
    return FillUmtsSet(r, s.active_set, true);
}
bool FillMonitoredSet(const Reading &r, sim::Scenario &s) {
    return FillUmtsSet(r, s.monitored_set, false);
}

bool FillIdleNeighbours(const Reading &r, sim::Scenario &s) {
    for (const CellReading &c : r.cells) {
        if (c.rat != CellReading::Rat::kGsm || c.serving ||
            s.idle_neighbours_2g.size() == kListRoom)
            continue;
        auto arfcn = Number(c.arfcn, kMaxArfcn);
        auto bsic = Hex(c.bsic, kMaxBsic);
        auto rxlev = Number(c.rxlev, kMaxRxlev);
        if (!arfcn || !bsic || !rxlev) continue;
        sim::IdleNeighbour2G e;
        e.cell_type = 0;  // 2G
        e.arfcn = static_cast<uint16_t>(*arfcn);
        e.bsic = static_cast<uint8_t>(*bsic);
        // RXLEV n is a level from n - 111 to n - 110 dBm (TS 45.008, 8.1.4).
        e.rssi_dbm = static_cast<int8_t>(static_cast<int>(*rxlev) - 110);
        e.lac = static_cast<uint16_t>(Hex(c.lac, kMaxLac).value_or(0));
        e.cell_id = static_cast<uint16_t>(Hex(c.ci, kMaxGsmCi).value_or(0));
        s.idle_neighbours_2g.push_back(e);
    }
    return !s.idle_neighbours_2g.empty();
}

// The bearers as PDP contexts, the first seven (the block's room). An APN
// longer than the field, or with a byte that is not printable ASCII, is
// left empty; an address that does not parse stays all zero (no address).
constexpr size_t kContextRoom = 7;
bool FillContexts(const Reading &r, sim::Scenario &s) {
    for (const BearerReading &b : r.bearers) {
        if (s.pdp_contexts.size() == kContextRoom) break;
        sim::PdpContext c;
        const bool printable =
            std::all_of(b.apn.begin(), b.apn.end(), [](char ch) { return ch > 0x20 && ch < 0x7F; });
        bool any = false;
        if (!b.apn.empty() && b.apn.size() <= kMaxApn && printable) c.apn = b.apn, any = true;
        if (b.ipv4.size() < INET_ADDRSTRLEN &&
            inet_pton(AF_INET, b.ipv4.c_str(), c.ipv4.data()) == 1)
            any = true;
        else
            c.ipv4.fill(0);
        if (b.ipv6.size() < INET6_ADDRSTRLEN &&
            inet_pton(AF_INET6, b.ipv6.c_str(), c.ipv6.data()) == 1)
            any = true;
        else
            c.ipv6.fill(0);
        if (any) s.pdp_contexts.push_back(c);
    }
    return !s.pdp_contexts.empty();
}

}  // namespace

// The one mapping table; the man page's table is this one.
const MapRow kMapping[] = {
    {TECHMODE_STRUCT_IDENTITY_DATA, "imeisv", "Modem3gpp.Imei, else Modem.EquipmentIdentifier",
     "15 or 16 digits", FillImei},
    {TECHMODE_STRUCT_IDENTITY_DATA, "imsi", "Sim.Imsi", "6 to 15 digits", FillImsi},
    {TECHMODE_STRUCT_SERVING_CELL_3G, "uarfcn", "GetCellInfo: serving UMTS cell", "0 to 16383",
     FillUarfcn},
    {TECHMODE_STRUCT_SERVING_CELL_3G, "psc", "GetCellInfo: serving UMTS cell", "0 to 511", FillPsc},
    {TECHMODE_STRUCT_SERVING_CELL_3G, "cell_id",
     "Location 3GPP CI on UMTS, else GetCellInfo: serving UMTS cell", "28 bits", FillCellId3G},
    {TECHMODE_STRUCT_SERVING_CELL_3G, "rscp_dbm",
     "GetCellInfo: serving UMTS cell, else Signal.Umts rscp (on UMTS)", "dBm, rounded", FillRscp},
    {TECHMODE_STRUCT_SERVING_CELL_3G, "ecio_db",
     "GetCellInfo: serving UMTS cell, else Signal.Umts ecio (on UMTS)", "dB, rounded", FillEcio},
    {TECHMODE_STRUCT_SERVING_CELL_2G, "bsic", "GetCellInfo: serving GSM base-station-id",
     "hexadecimal, 0 to 63", FillBsic},
    {TECHMODE_STRUCT_SERVING_CELL_2G, "arfcn", "GetCellInfo: serving GSM cell", "0 to 1023",
     FillArfcn},
    {TECHMODE_STRUCT_SERVING_CELL_2G, "cell_id",
     "Location 3GPP CI on GSM, else GetCellInfo: serving GSM cell", "16 bits", FillCellId2G},
    {TECHMODE_STRUCT_SERVING_CELL_2G, "timing_advance", "GetCellInfo: serving GSM cell", "0 to 63",
     FillTimingAdvance},
    {TECHMODE_STRUCT_MOBILITY_DATA, "active_rat", "Modem.AccessTechnologies",
     "GSM, GPRS, EDGE: GSM; UMTS, HSPA: WCDMA; anything else: unknown", FillRat},
    {TECHMODE_STRUCT_MOBILITY_DATA, "mcc", "Modem3gpp.OperatorCode", "its first 3 digits", FillMcc},
    {TECHMODE_STRUCT_MOBILITY_DATA, "mnc", "Modem3gpp.OperatorCode", "its last 2 or 3 digits",
     FillMnc},
    {TECHMODE_STRUCT_MOBILITY_DATA, "lac", "Location 3GPP LAC, else GetCellInfo: serving cell",
     "0 to 65535", FillLac},
    {TECHMODE_STRUCT_DEDICATED_CHANNEL_POWER, "utra_rssi_dbm", "Signal.Umts rssi (on UMTS)",
     "dBm, rounded", FillUtraRssi},
    {TECHMODE_STRUCT_PDP_CONTEXT_INFO, "pdp_contexts",
     "Modem.Bearers: Properties apn, Ip4Config and Ip6Config address",
     "first 7; APN at most 100 bytes", FillContexts},
    {TECHMODE_STRUCT_IDLE_NEIGHBOR_CELLS_INFO_2G, "idle_neighbours_2g",
     "GetCellInfo: GSM neighbours", "RxLev n as n - 110 dBm; c1, c2 read 0", FillIdleNeighbours},
    {TECHMODE_STRUCT_ACTIVE_SET_INFO, "active_set", "GetCellInfo: serving UMTS cells",
     "cells with uarfcn, psc, rscp and ecio", FillActiveSet},
    {TECHMODE_STRUCT_MONITORED_SET_INFO, "monitored_set", "GetCellInfo: UMTS neighbours",
     "cells with uarfcn, psc, rscp and ecio", FillMonitoredSet},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "camped", "Modem.AccessTechnologies",
     "LTE, Cat-M, NB-IoT: YES; anything else: NO", FillCamped},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "earfcn", "GetCellInfo: serving LTE cell", "0 to 262143",
     FillEarfcn},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "pci", "GetCellInfo: serving LTE physical-ci",
     "hexadecimal, 0 to 503", FillLtePci},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "tac", "GetCellInfo: serving LTE cell",
     "hexadecimal, 16 bits", FillLteTac},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "cell_id",
     "Location 3GPP CI on LTE, else GetCellInfo: serving LTE cell", "28 bits", FillLteCellId},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "mcc", "Modem3gpp.OperatorCode (on LTE)",
     "its first 3 digits", FillLteMcc},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "mnc", "Modem3gpp.OperatorCode (on LTE)",
     "its last 2 or 3 digits", FillLteMnc},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "rsrp_dbm",
     "GetCellInfo: serving LTE cell, else Signal.Lte rsrp (on LTE)",
     "-156 to -31 dBm, to the half dB", FillLteRsrp},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "rsrq_db",
     "GetCellInfo: serving LTE cell, else Signal.Lte rsrq (on LTE)",
     "-34 to 2.5 dB, to the half dB", FillLteRsrq},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "rssi_dbm", "Signal.Lte rssi (on LTE)",
     "dBm, to the half dB", FillLteRssi},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "sinr_db", "Signal.Lte snr (on LTE)",
     "-23 to 40 dB, to the half dB", FillLteSinr},
    {TECHMODE_STRUCT_LTE_SERVING_CELL, "timing_advance", "GetCellInfo: serving LTE cell",
     "0 to 1282", FillLteTimingAdvance},
    {TECHMODE_STRUCT_LTE_NEIGHBOUR_CELLS, "lte_neighbours", "GetCellInfo: LTE neighbours",
     "first 16 with earfcn, physical-ci, rsrp and rsrq; ci when given", FillLteNeighbours},
    {TECHMODE_STRUCT_NR_CELL_INFO, "mode", "Modem.AccessTechnologies",
     "5GNR with LTE: NSA; 5GNR alone: SA; else NONE", FillNrMode},
    {TECHMODE_STRUCT_NR_CELL_INFO, "arfcn", "GetCellInfo: serving 5GNR cell nrarfcn",
     "0 to 3279165", FillNrArfcn},
    {TECHMODE_STRUCT_NR_CELL_INFO, "pci", "GetCellInfo: serving 5GNR physical-ci",
     "hexadecimal, 0 to 1007", FillNrPci},
    {TECHMODE_STRUCT_NR_CELL_INFO, "ss_rsrp_dbm",
     "GetCellInfo: serving 5GNR cell, else Signal.Nr5g rsrp (on NR)",
     "-156 to -31 dBm, to the half dB", FillNrRsrp},
    {TECHMODE_STRUCT_NR_CELL_INFO, "ss_rsrq_db",
     "GetCellInfo: serving 5GNR cell, else Signal.Nr5g rsrq (on NR)",
     "-43 to 20 dB, to the half dB", FillNrRsrq},
    {TECHMODE_STRUCT_NR_CELL_INFO, "ss_sinr_db",
     "GetCellInfo: serving 5GNR cell, else Signal.Nr5g snr (on NR)", "-23 to 40 dB, to the half dB",
     FillNrSinr},
    {TECHMODE_STRUCT_NR_CELL_INFO, "tac", "GetCellInfo: serving 5GNR cell (SA only)",
     "hexadecimal, 24 bits", FillNrTac},
    {TECHMODE_STRUCT_NR_CELL_INFO, "nci", "GetCellInfo: serving 5GNR cell ci (SA only)",
     "hexadecimal, 36 bits", FillNci},
    {TECHMODE_STRUCT_NR_CELL_INFO, "neighbours", "GetCellInfo: 5GNR neighbours", "first 8",
     FillNrNeighbours},
};
const size_t kMappingRows = sizeof kMapping / sizeof kMapping[0];

namespace {

// A field of a structure row by name, or nullptr.
const sim::Field *FieldNamed(const sim::Structure &st, const std::string &name) {
    for (const sim::Field &f : st.fields)
        if (f.name != nullptr && name == f.name) return &f;
    return nullptr;
}

// Every value of the state at zero (identities without digits): what no
// row fills is then never a value of the built-in scenario's.
void Clear(sim::Scenario &s) {
    for (const sim::Structure &st : sim::kStructures) {
        if (st.section == nullptr) continue;
        void *section = st.section(&s);
        for (const sim::Field &f : st.fields) {
            if (f.set != nullptr) f.set(section, 0);
            if (f.kind == sim::Kind::kDigits || f.kind == sim::Kind::kText)
                sim::Text(f, section).clear();
            if (f.kind == sim::Kind::kHex) sim::Text(f, section).assign(2 * f.size, '0');
        }
    }
}

// The names of a structure's values: its named fields, or its lists.
std::vector<std::string> Names(const sim::Structure &st) {
    std::vector<std::string> names;
    for (const sim::Field &f : st.fields)
        if (f.name != nullptr) names.push_back(f.name);
    for (const sim::List &l : st.lists) names.push_back(l.name);
    return names;
}

}  // namespace

Snapshot Map(const Reading &r) {
    Snapshot snap;
    sim::Scenario &s = snap.state;
    Clear(s);
    std::vector<std::string> filled[kTechModeStructTypeCount];
    for (const MapRow &row : kMapping)
        if (row.fill(r, s)) filled[row.type].push_back(row.field);
    for (const sim::Structure &st : sim::kStructures) {
        const unsigned t = st.type;
        snap.filled[t] = !filled[t].empty();
        for (const std::string &name : Names(st))
            if (std::find(filled[t].begin(), filled[t].end(), name) == filled[t].end())
                snap.missing[t].push_back(name);
        sim::Fault &fault = s.faults[t];
        if (!snap.filled[t]) {
            fault.device_error = ENODATA;
            continue;
        }
        // A field left out of a reply of fields (or identity members); a
        // block's fields cannot be, and its lists are only what was read.
        if (st.encoding != sim::Encoding::kBlock)
            for (const std::string &name : snap.missing[t])
                if (const sim::Field *f = FieldNamed(st, name))
                    fault.missing_tags.push_back(f->wire);
        if (fault.missing_tags.empty()) s.faults.erase(t);
    }
    return snap;
}

sim::Scenario NoModem() {
    sim::Scenario s;
    for (const sim::Structure &st : sim::kStructures) s.faults[st.type].device_error = EIO;
    return s;
}

namespace {

bool Leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// n decimal digits of text at *at, as a number; -1 when they are not digits.
int Take(const std::string &text, size_t *at, size_t n) {
    if (*at + n > text.size()) return -1;
    int v = 0;
    for (size_t i = 0; i < n; i++) {
        char c = text[*at + i];
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    *at += n;
    return v;
}

bool Expect(const std::string &text, size_t *at, char c) {
    if (*at >= text.size() || text[*at] != c) return false;
    ++*at;
    return true;
}

}  // namespace

std::optional<int64_t> NetworkTime(const std::string &t) {
    size_t at = 0;
    const int year = Take(t, &at, 4);
    if (year < 0 || !Expect(t, &at, '-')) return std::nullopt;
    const int month = Take(t, &at, 2);
    if (month < 0 || !Expect(t, &at, '-')) return std::nullopt;
    const int day = Take(t, &at, 2);
    if (day < 0 || !Expect(t, &at, 'T')) return std::nullopt;
    const int hour = Take(t, &at, 2);
    if (hour < 0 || !Expect(t, &at, ':')) return std::nullopt;
    const int minute = Take(t, &at, 2);
    if (minute < 0 || !Expect(t, &at, ':')) return std::nullopt;
    const int second = Take(t, &at, 2);
    if (second < 0) return std::nullopt;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || year > 2037 || month < 1 || month > 12 || day < 1 ||
        day > kDays[month - 1] + (month == 2 && Leap(year) ? 1 : 0) || hour > 23 || minute > 59 ||
        second > 59)
        return std::nullopt;
    // The zone: none, Z, or +HH, +HH:MM, +HHMM (or -).
    int offset = 0;
    if (at < t.size() && t[at] == 'Z') {
        at++;
    } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
        const int sign = t[at++] == '-' ? -1 : 1;
        const int oh = Take(t, &at, 2);
        int om = 0;
        if (at < t.size()) {
            Expect(t, &at, ':');
            om = Take(t, &at, 2);
        }
        if (oh < 0 || oh > 14 || om < 0 || om > 59) return std::nullopt;
        offset = sign * (oh * 3600 + om * 60);
    }
    if (at != t.size()) return std::nullopt;
    struct tm tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const int64_t utc = static_cast<int64_t>(timegm(&tm)) - offset;
    if (utc < 0 || utc > INT32_MAX) return std::nullopt;
    return utc;
}

std::string NetworkTimeLine(int64_t seconds) {
    return "last_sync_detail:json:{\"source\":\"nitz\",\"src_sec\":" + std::to_string(seconds) +
           "}\n";
}

std::string Report(const Reading &r) {
    const Snapshot snap = Map(r);
    std::string out = "modem " + r.path + "\n";
    char line[512];
    for (const sim::Structure &st : sim::kStructures) {
        const unsigned t = st.type;
        if (t == TECHMODE_STRUCT_NONE) continue;
        bool mapped = false;
        for (const MapRow &row : kMapping) mapped = mapped || row.type == t;
        snprintf(line, sizeof line, "%-2u %-26s %s\n", t, st.name,
                 snap.filled[t] ? "filled"
                 : mapped       ? "not filled: this modem gives none of its fields"
                                : "not filled: ModemManager has no source for it");
        out += line;
        if (!mapped) continue;
        for (const MapRow &row : kMapping) {
            if (row.type != t) continue;
            const bool missing = std::find(snap.missing[t].begin(), snap.missing[t].end(),
                                           row.field) != snap.missing[t].end();
            snprintf(line, sizeof line, "     %-20s %-7s from %s\n", row.field,
                     missing ? "missing" : "filled", row.source);
            out += line;
        }
        for (const std::string &name : snap.missing[t]) {
            bool has_row = false;
            for (const MapRow &row : kMapping)
                has_row = has_row || (row.type == t && name == row.field);
            if (has_row) continue;
            snprintf(line, sizeof line, "     %-20s missing (ModemManager has no source)\n",
                     name.c_str());
            out += line;
        }
    }
    auto time = NetworkTime(r.network_time);
    out += "network time: ";
    out += time                     ? "from Modem.Time (" + r.network_time + ")\n"
           : r.network_time.empty() ? "missing (Modem.Time gives none)\n"
                                    : "missing (Modem.Time gave no valid time)\n";
    return out;
}

}  // namespace mm
