// SPDX-License-Identifier: Apache-2.0
// The structure table: every structure's scenario values and reply layout.
#include "Structures.h"

#include <array>
#include <limits>
#include <type_traits>

namespace sim {

namespace {

// The class and the type of a pointer to member.
template <typename T>
struct MemberOf;
template <typename C, typename V>
struct MemberOf<V C::*> {
    using Class = C;
    using Value = V;
};
template <auto M>
using ValueOf = typename MemberOf<decltype(M)>::Value;

// The member M of the object at p. The table's accessors take a const
// object so that the encoders and the writer can use them; those only read
// through what they get.
template <auto M>
void *At(const void *p) {
    using C = typename MemberOf<decltype(M)>::Class;
    return &(const_cast<C *>(static_cast<const C *>(p))->*M);
}
void *Whole(const void *p) {
    return const_cast<void *>(p);
}
// The bytes of a std::array<uint8_t, N> member.
template <auto M>
void *Data(const void *p) {
    return static_cast<ValueOf<M> *>(At<M>(p))->data();
}
template <auto M>
int64_t Get(const void *p) {
    return *static_cast<const ValueOf<M> *>(At<M>(p));
}
template <auto M>
void Set(void *p, int64_t v) {
    *static_cast<ValueOf<M> *>(At<M>(p)) = static_cast<ValueOf<M>>(v);
}

// A row for member M: its kind, JSON name, and tag or offset. Integers take
// their size in the reply and their range from their member's type.
template <auto M>
constexpr Field Row(Kind kind, const char *name, uint16_t wire, uint8_t size = 0) {
    using V = ValueOf<M>;
    Field f{name, kind, wire, size != 0 ? size : uint8_t(sizeof(V)), false, At<M>};
    if constexpr (std::is_same_v<V, std::array<uint8_t, sizeof(V)>>) f.member = Data<M>;
    if constexpr (std::is_integral_v<V>)
        f.get = Get<M>, f.set = Set<M>, f.lo = std::numeric_limits<V>::min(),
        f.hi = std::numeric_limits<V>::max();
    return f;
}
template <auto M>
constexpr Field Int(const char *name, uint16_t wire) {
    return Row<M>(Kind::kInt, name, wire);
}
// A signal level (int8 dBm or dB), moved by drift.
template <auto M>
constexpr Field Level(const char *name, uint16_t wire) {
    static_assert(std::is_same_v<ValueOf<M>, int8_t>, "drift moves int8 levels");
    Field f = Row<M>(Kind::kInt, name, wire);
    f.drifts = true;
    return f;
}
template <auto M>
constexpr Field Code(const char *name, uint16_t wire, Span<const char *> texts) {
    static_assert(std::is_same_v<ValueOf<M>, uint8_t>, "a code is one byte");
    Field f = Row<M>(Kind::kCode, name, wire);
    f.texts = texts;
    return f;
}
template <auto M>
constexpr Field Choice(const char *name, uint16_t wire, Span<uint8_t> choices) {
    Field f = Row<M>(Kind::kChoice, name, wire);
    f.choices = choices;
    return f;
}
template <auto M>
constexpr Field Digits(const char *name, uint16_t tag, uint8_t bytes, int8_t identity_type) {
    Field f = Row<M>(Kind::kDigits, name, tag, bytes);
    f.identity_type = identity_type;
    return f;
}
// An integer whose range is narrower than its member's type.
template <auto M>
constexpr Field Bounded(const char *name, uint16_t wire, uint8_t size, int64_t lo, int64_t hi) {
    Field f = Row<M>(Kind::kInt, name, wire, size);
    f.lo = lo, f.hi = hi;
    return f;
}
// A field of a member object: member I of the object in member O.
template <auto O, auto I>
void *AtIn(const void *p) {
    return &(static_cast<ValueOf<O> *>(At<O>(p))->*I);
}
template <auto O, auto I>
int64_t GetIn(const void *p) {
    return *static_cast<const ValueOf<I> *>(AtIn<O, I>(p));
}
template <auto O, auto I>
void SetIn(void *p, int64_t v) {
    *static_cast<ValueOf<I> *>(AtIn<O, I>(p)) = static_cast<ValueOf<I>>(v);
}
template <auto O, auto I>
constexpr Field In(Kind kind, const char *name, uint16_t wire) {
    using V = ValueOf<I>;
    static_assert(std::is_integral_v<V>, "integers only");
    Field f{name, kind, wire, uint8_t(sizeof(V)), kind == Kind::kHalfDb, AtIn<O, I>};
    f.get = GetIn<O, I>, f.set = SetIn<O, I>, f.lo = std::numeric_limits<V>::min(),
    f.hi = std::numeric_limits<V>::max();
    return f;
}

// A level kept in half decibels (int16), moved by drift.
template <auto M>
constexpr Field HalfDb(const char *name, uint16_t wire) {
    static_assert(std::is_same_v<ValueOf<M>, int16_t>, "half-dB levels are int16");
    Field f = Row<M>(Kind::kHalfDb, name, wire);
    f.drifts = true;
    return f;
}
constexpr Field Zero(uint16_t tag, uint8_t size) {
    return {nullptr, Kind::kZero, tag, size};
}

template <auto M>
size_t Size(const void *p) {
    return static_cast<const ValueOf<M> *>(At<M>(p))->size();
}
template <auto M>
void *Entry(const void *p, size_t i) {
    return &(*static_cast<ValueOf<M> *>(At<M>(p)))[i];
}
template <auto M>
void Append(void *p) {
    static_cast<ValueOf<M> *>(At<M>(p))->emplace_back();
}
template <auto M>
constexpr List ListOf(const char *name, Span<Field> entry, size_t max, int count_at, uint16_t first,
                      uint16_t stride, uint16_t room, uint8_t phase = 0) {
    return {name, entry, max, Size<M>, Entry<M>, Append<M>, count_at, first, stride, room, phase};
}

// ------------------------------------------------------------ code texts

constexpr const char *kGprsStates[] = {"DEREG",      "NO_NORMAL_CELL", "REG_INIT",
                                       "REGISTERED", "RAU_INIT",       "DEREG_INIT"};
constexpr const char *kBands[] = {"DCS_1800", "PCS_1900"};
constexpr const char *kNcos[] = {"NC0", "NC1", "NC2", "unknown"};
constexpr const char *kNmos[] = {"Mode I", "Mode II", "Mode III", "unknown"};
constexpr const char *kEdge[] = {"GPRS", "EGPRS", "EGPRS RACH"};
constexpr const char *kDomains[] = {"CS", "PS", "INVALID"};
constexpr const char *kRats[] = {"GSM", "WCDMA", "GAN", "unknown"};
constexpr const char *kOnOff[] = {"OFF", "ON"};
constexpr const char *kCellTypes[] = {"2G", "GPRS"};
constexpr const char *kYesNo[] = {"NO", "YES"};
constexpr const char *kLteBandwidths[] = {"1.4MHz", "3MHz", "5MHz", "10MHz", "15MHz", "20MHz"};
constexpr const char *kLteRrcStates[] = {"RRC_IDLE", "RRC_CONNECTED"};
constexpr const char *kEmmStates[] = {"EMM-NULL",
                                      "EMM-DEREGISTERED",
                                      "EMM-REGISTERED-INITIATED",
                                      "EMM-REGISTERED",
                                      "EMM-DEREGISTERED-INITIATED",
                                      "EMM-TRACKING-AREA-UPDATING-INITIATED",
                                      "EMM-SERVICE-REQUEST-INITIATED"};
constexpr const char *kScellStates[] = {"CONFIGURED", "ACTIVE"};
constexpr const char *kNrModes[] = {"NONE", "SA", "NSA"};
constexpr const char *kNrScs[] = {"15kHz", "30kHz", "60kHz", "120kHz", "240kHz"};
constexpr uint8_t kTtis[] = {2, 10};  // ms; the reply holds 0 for 2 ms, 1 for 10 ms

// ------------------------------------------------------------ fields
// Field structures list every element of the reply in tag order, reserved
// ones included; blocks list only what is not zero.

constexpr Field kStruct0[] = {Zero(0, 1)};

constexpr Field kBasic[] = {Int<&Basic::gmm_cause>("gmm_cause", 0),
                            Int<&Basic::mm_cause>("mm_cause", 1),
                            Int<&Basic::rr_cause>("rr_cause", 2),
                            Int<&Basic::rr_state>("rr_state", 3),
                            Zero(4, 1),
                            Zero(5, 1),
                            Zero(6, 2)};

// The identity's members: IMEISV as a mobile identity value (3GPP TS 24.008,
// 10.5.1.4: the type of identity, 3, in the low half of byte 1 and the
// digits from its high half, byte 0 left 0), the IMSI's digits from the
// first half-byte, TMSI and P-TMSI as 4 bytes; then the SRNC id field.
constexpr Field kIdentity[] = {
    Digits<&Identity::imeisv>("imeisv", T_TECHMODE_IDENTITY_DATA_IMEISV_ARRAY_MEMBER, 10, 3),
    Digits<&Identity::imsi>("imsi", T_TECHMODE_IDENTITY_DATA_IMSI_ARRAY_MEMBER, 9, -1),
    Row<&Identity::tmsi>(Kind::kHex, "tmsi", T_TECHMODE_IDENTITY_DATA_TMSI_ARRAY_MEMBER, 4),
    Row<&Identity::ptmsi>(Kind::kHex, "ptmsi", T_TECHMODE_IDENTITY_DATA_PTMSI_ARRAY_MEMBER, 4),
    Int<&Identity::srnc_id>("srnc_id", T_TECHMODE_IDENTITY_DATA_SRNC_ID)};

constexpr Field kRadioStats[] = {Int<&RadioStats::rrc_state>("rrc_state", 0),
                                 Int<&RadioStats::rrc_reject_cause>("rrc_reject_cause", 1),
                                 Int<&RadioStats::rrc_release_cause>("rrc_release_cause", 2),
                                 Int<&RadioStats::rrc_conn_state>("rrc_conn_state", 3),
                                 Zero(4, 1),
                                 Zero(5, 1),
                                 Zero(6, 2),
                                 Int<&RadioStats::t3212>("t3212", 7),
                                 Zero(8, 2),
                                 Int<&RadioStats::t3312>("t3312", 9),
                                 Int<&RadioStats::t3314>("t3314", 10)};

constexpr Field kServingCell3G[] = {Int<&ServingCell3G::uarfcn>("uarfcn", 0),
                                    Int<&ServingCell3G::psc>("psc", 1),
                                    Int<&ServingCell3G::cell_id>("cell_id", 2),
                                    Level<&ServingCell3G::rscp_dbm>("rscp_dbm", 3),
                                    Level<&ServingCell3G::ecio_db>("ecio_db", 4),
                                    Zero(5, 1),
                                    Zero(6, 1),
                                    Zero(7, 1),
                                    Zero(8, 1)};

constexpr Field kServingCell2G[] = {Code<&ServingCell2G::gprs_state>("gprs_state", 0, kGprsStates),
                                    Int<&ServingCell2G::bsic>("bsic", 1),
                                    Int<&ServingCell2G::arfcn>("arfcn", 2),
                                    Int<&ServingCell2G::cell_id>("cell_id", 3),
                                    Code<&ServingCell2G::band>("band", 4, kBands),
                                    Code<&ServingCell2G::nco>("nco", 5, kNcos),
                                    Code<&ServingCell2G::nmo>("nmo", 6, kNmos),
                                    Int<&ServingCell2G::msc_rev>("msc_rev", 7),
                                    Int<&ServingCell2G::sgsn_rev>("sgsn_rev", 8),
                                    Code<&ServingCell2G::edge_support>("edge_support", 9, kEdge),
                                    Int<&ServingCell2G::tbf_coding_scheme>("tbf_coding_scheme", 10),
                                    Int<&ServingCell2G::tfi_ul>("tfi_ul", 11),
                                    Int<&ServingCell2G::tfi_dl>("tfi_dl", 12),
                                    Int<&ServingCell2G::timeslots_ul>("timeslots_ul", 13),
                                    Int<&ServingCell2G::timeslots_dl>("timeslots_dl", 14),
                                    Int<&ServingCell2G::tx_power_dbm>("tx_power_dbm", 15),
                                    Int<&ServingCell2G::timing_advance>("timing_advance", 16)};

// A 3G radio bearer: 52 bytes, eight in the block, no count.
constexpr Field kBearer3G[] = {Int<&Bearer::rab_id>("rab_id", 0),
                               Int<&Bearer::datarate_ul>("datarate_ul", 28),
                               Int<&Bearer::datarate_dl>("datarate_dl", 32),
                               Int<&Bearer::maxrate_ul>("maxrate_ul", 36),
                               Int<&Bearer::maxrate_dl>("maxrate_dl", 40),
                               Int<&Bearer::traffic_class>("traffic_class", 44),
                               Code<&Bearer::domain>("domain", 45, kDomains),
                               Int<&Bearer::bler_residual>("bler_residual", 46),
                               Int<&Bearer::codec>("codec", 48),
                               Int<&Bearer::ciphering>("ciphering", 49)};
constexpr List kBearers3G[] = {
    ListOf<&Scenario::bearers_3g>("bearers_3g", kBearer3G, 8, -1, 0, 52, 8)};

constexpr Field kBearer2G[] = {Int<&Bearer::datarate_ul>("datarate_ul", 0),
                               Int<&Bearer::datarate_dl>("datarate_dl", 1),
                               Int<&Bearer::maxrate_ul>("maxrate_ul", 2),
                               Int<&Bearer::maxrate_dl>("maxrate_dl", 3),
                               Zero(4, 1),
                               Code<&Bearer::domain>("domain", 5, kDomains),
                               Int<&Bearer::bler_residual>("bler_residual", 6),
                               Int<&Bearer::codec>("codec", 7),
                               Int<&Bearer::ciphering>("ciphering", 8)};

constexpr Field kMobility[] = {Code<&Mobility::active_rat>("active_rat", 0, kRats),
                               Zero(1, 1),
                               Int<&Mobility::mcc>("mcc", 2),
                               Int<&Mobility::mnc>("mnc", 3),
                               Int<&Mobility::lac>("lac", 4),
                               Int<&Mobility::rac>("rac", 5),
                               Zero(6, 1),
                               Zero(7, 1)};

constexpr Field kDedicatedChannelPower[] = {
    Int<&DedicatedChannelPower::tx_power_dbm>("tx_power_dbm", 0),
    Int<&DedicatedChannelPower::tx_power_step>("tx_power_step", 1),
    Level<&DedicatedChannelPower::utra_rssi_dbm>("utra_rssi_dbm", 2)};

// Lists of any length: the count says how many, the blocks hold 32.
constexpr Field kGsmCell[] = {Int<&GsmCell::arfcn>("arfcn", 0), Int<&GsmCell::bsic>("bsic", 2),
                              Level<&GsmCell::rssi_dbm>("rssi_dbm", 3)};
constexpr Field kUtraCell[] = {Int<&UtraCell::uarfcn>("uarfcn", 0), Int<&UtraCell::psc>("psc", 2),
                               Level<&UtraCell::rscp_dbm>("rscp_dbm", 4),
                               Level<&UtraCell::ecn0_db>("ecn0_db", 5),
                               Level<&UtraCell::rssi_dbm>("rssi_dbm", 6)};
constexpr List kInterRat[] = {
    ListOf<&Scenario::gsm_neighbours>("gsm_cells", kGsmCell, 255, 0, 2, 4, 32),
    ListOf<&Scenario::utra_neighbours>("utra_cells", kUtraCell, 255, 130, 132, 8, 32)};

constexpr Field kHspaChannel[] = {Int<&HspaChannel::hssch_code>("hssch_code", 0),
                                  Int<&HspaChannel::hsdpa_rate>("hsdpa_rate", 4),
                                  Choice<&HspaChannel::edch_tti_ms>("edch_tti_ms", 12, kTtis)};

constexpr Field kRadioAccess3G[] = {
    Int<&RadioAccess3G::initial_tx_power_dbm>("initial_tx_power_dbm", 0),
    Int<&RadioAccess3G::rach_power_step>("rach_power_step", 1),
    Int<&RadioAccess3G::max_preamble_retrans>("max_preamble_retrans", 2)};

constexpr Field kSmCcCause[] = {Int<&SmCcCause::sm_cause>("sm_cause", 1),
                                Int<&SmCcCause::cc_cause>("cc_cause", 3)};

// A PDP context: 122 bytes, seven in the block, no count. The name ends
// with a NUL unless it fills all 100 bytes.
constexpr Field kPdpContext[] = {Row<&PdpContext::apn>(Kind::kText, "apn", 2, 100),
                                 Row<&PdpContext::ipv4>(Kind::kIpv4, "ipv4", 102),
                                 Row<&PdpContext::ipv6>(Kind::kIpv6, "ipv6", 106)};
constexpr List kPdpContexts[] = {
    ListOf<&Scenario::pdp_contexts>("pdp_contexts", kPdpContext, 7, -1, 0, 122, 7)};

constexpr Field kIntraCell[] = {Int<&IntraCell::psc>("psc", 0),
                                Level<&IntraCell::ecno_db>("ecno_db", 2),
                                Level<&IntraCell::rscp_dbm>("rscp_dbm", 3)};
constexpr Field kInterCell[] = {
    Int<&InterCell::uarfcn>("uarfcn", 0), Int<&InterCell::psc>("psc", 2),
    Level<&InterCell::ecno_db>("ecno_db", 4), Level<&InterCell::rscp_dbm>("rscp_dbm", 5),
    Level<&InterCell::rssi_dbm>("rssi_dbm", 6)};
constexpr List kNeighbours3G[] = {
    ListOf<&Scenario::intra_neighbours>("intra", kIntraCell, 255, 0, 2, 4, 32),
    ListOf<&Scenario::inter_neighbours>("inter", kInterCell, 255, 1, 130, 8, 32)};

constexpr Field kIdleNeighbour2G[] = {Code<&IdleNeighbour2G::cell_type>("cell_type", 0, kCellTypes),
                                      Int<&IdleNeighbour2G::arfcn>("arfcn", 2),
                                      Int<&IdleNeighbour2G::bsic>("bsic", 4),
                                      Level<&IdleNeighbour2G::rssi_dbm>("rssi_dbm", 5),
                                      Int<&IdleNeighbour2G::c1>("c1", 6),
                                      Int<&IdleNeighbour2G::c2>("c2", 7),
                                      Int<&IdleNeighbour2G::cell_id>("cell_id", 8),
                                      Int<&IdleNeighbour2G::lac>("lac", 10)};
constexpr List kIdleNeighbours2G[] = {ListOf<&Scenario::idle_neighbours_2g>(
    "idle_neighbours_2g", kIdleNeighbour2G, 255, 0, 2, 12, 32)};

constexpr Field kDedicatedMeasurement2G[] = {
    Level<&DedicatedMeasurement2G::rxlev_full>("rxlev_full", 5),
    Level<&DedicatedMeasurement2G::rxlev_sub>("rxlev_sub", 6),
    Int<&DedicatedMeasurement2G::rxqual_full>("rxqual_full", 7),
    Int<&DedicatedMeasurement2G::rxqual_sub>("rxqual_sub", 8)};
constexpr Field kDedicatedCell2G[] = {Int<&DedicatedCell2G::arfcn>("arfcn", 0),
                                      Int<&DedicatedCell2G::bsic>("bsic", 2),
                                      Level<&DedicatedCell2G::rxlev>("rxlev", 3)};
// The cells' levels move out of step with the serving cell's (phase 1 on).
constexpr List kDedicatedCells2G[] = {
    ListOf<&DedicatedMeasurement2G::cells>("cells", kDedicatedCell2G, 255, 0, 10, 4, 32, 1)};

constexpr Field kSetCell[] = {Int<&SetCell::uarfcn>("uarfcn", 0), Int<&SetCell::psc>("psc", 2),
                              Level<&SetCell::rscp_dbm>("rscp_dbm", 4),
                              Level<&SetCell::ecio_db>("ecio_db", 5)};
constexpr List kActiveSet[] = {
    ListOf<&Scenario::active_set>("active_set", kSetCell, 255, 0, 2, 6, 32)};
constexpr List kMonitoredSet[] = {
    ListOf<&Scenario::monitored_set>("monitored_set", kSetCell, 255, 0, 2, 6, 32)};

constexpr Field kHspaIratCm[] = {Code<&Scenario::hspa_irat_cm>("hspa_irat_cm", 0, kOnOff)};
constexpr Field kBatteryTemperature[] = {
    Int<&Scenario::battery_temperature_c>("battery_temperature_c", 0)};

// LTE serving cell: one element per field, tags 0 to 17.
constexpr Field kLteServingCell[] = {
    Code<&LteServingCell::camped>("camped", 0, kYesNo),
    Int<&LteServingCell::earfcn>("earfcn", 1),
    Int<&LteServingCell::pci>("pci", 2),
    Int<&LteServingCell::tac>("tac", 3),
    Int<&LteServingCell::cell_id>("cell_id", 4),
    Int<&LteServingCell::mcc>("mcc", 5),
    Int<&LteServingCell::mnc>("mnc", 6),
    Int<&LteServingCell::band>("band", 7),
    Code<&LteServingCell::dl_bandwidth>("dl_bandwidth", 8, kLteBandwidths),
    HalfDb<&LteServingCell::rsrp>("rsrp_dbm", 9),
    HalfDb<&LteServingCell::rsrq>("rsrq_db", 10),
    HalfDb<&LteServingCell::rssi>("rssi_dbm", 11),
    HalfDb<&LteServingCell::sinr>("sinr_db", 12),
    Int<&LteServingCell::cqi>("cqi", 13),
    Int<&LteServingCell::timing_advance>("timing_advance", 14),
    Code<&LteServingCell::rrc_state>("rrc_state", 15, kLteRrcStates),
    Code<&LteServingCell::emm_state>("emm_state", 16, kEmmStates),
    Int<&LteServingCell::emm_cause>("emm_cause", 17)};

// LTE neighbours: a count byte, then 16-byte entries from byte 4.
constexpr Field kLteNeighbour[] = {
    Int<&LteNeighbour::earfcn>("earfcn", 0), Int<&LteNeighbour::cell_id>("cell_id", 4),
    Int<&LteNeighbour::pci>("pci", 8), HalfDb<&LteNeighbour::rsrp>("rsrp_dbm", 10),
    HalfDb<&LteNeighbour::rsrq>("rsrq_db", 12)};
constexpr List kLteNeighbours[] = {
    ListOf<&Scenario::lte_neighbours>("lte_neighbours", kLteNeighbour, 255, 0, 4, 16, 16)};

// LTE secondary cells: a count byte, then 16-byte entries from byte 4.
constexpr Field kLteSecondaryCell[] = {
    Int<&LteSecondaryCell::earfcn>("earfcn", 0),
    Int<&LteSecondaryCell::pci>("pci", 4),
    Int<&LteSecondaryCell::band>("band", 6),
    HalfDb<&LteSecondaryCell::rsrp>("rsrp_dbm", 8),
    HalfDb<&LteSecondaryCell::rsrq>("rsrq_db", 10),
    HalfDb<&LteSecondaryCell::sinr>("sinr_db", 12),
    Code<&LteSecondaryCell::dl_bandwidth>("dl_bandwidth", 14, kLteBandwidths),
    Code<&LteSecondaryCell::state>("state", 15, kScellStates)};
constexpr List kLteSecondaryCells[] = {ListOf<&Scenario::lte_secondary_cells>(
    "lte_secondary_cells", kLteSecondaryCell, 255, 0, 4, 16, 7)};

// NR: mode and the neighbour count, the SA identities, the serving cell at
// byte 16 and 16-byte neighbour entries from byte 32.
constexpr Field kNrNeighbour[] = {Int<&NrCell::arfcn>("arfcn", 0),
                                  Int<&NrCell::pci>("pci", 4),
                                  Int<&NrCell::band>("band", 6),
                                  HalfDb<&NrCell::ss_rsrp>("ss_rsrp_dbm", 8),
                                  HalfDb<&NrCell::ss_rsrq>("ss_rsrq_db", 10),
                                  HalfDb<&NrCell::ss_sinr>("ss_sinr_db", 12),
                                  Code<&NrCell::scs>("scs", 14, kNrScs)};
// The cell's subcarrier spacing, a code like the neighbours' scs.
constexpr Field NrScs() {
    Field f = In<&NrCells::cell, &NrCell::scs>(Kind::kCode, "scs", 30);
    f.texts = kNrScs;
    return f;
}
constexpr Field kNrCells[] = {
    Code<&NrCells::mode>("mode", 0, kNrModes),
    Int<&NrCells::tac>("tac", 4),
    Bounded<&NrCells::nci>("nci", 8, 8, -1, (int64_t{1} << 36) - 1),
    In<&NrCells::cell, &NrCell::arfcn>(Kind::kInt, "arfcn", 16),
    In<&NrCells::cell, &NrCell::pci>(Kind::kInt, "pci", 20),
    In<&NrCells::cell, &NrCell::band>(Kind::kInt, "band", 22),
    In<&NrCells::cell, &NrCell::ss_rsrp>(Kind::kHalfDb, "ss_rsrp_dbm", 24),
    In<&NrCells::cell, &NrCell::ss_rsrq>(Kind::kHalfDb, "ss_rsrq_db", 26),
    In<&NrCells::cell, &NrCell::ss_sinr>(Kind::kHalfDb, "ss_sinr_db", 28),
    NrScs()};
constexpr List kNrNeighbours[] = {
    ListOf<&NrCells::neighbours>("neighbours", kNrNeighbour, 255, 1, 32, 16, 8, 1)};

// Rows, by shape: a structure with no scenario values, one of fields, one
// block of fields and lists, one list, one value.
constexpr Structure Nothing(TechModeStructType t, const char *name, Encoding e, uint16_t block,
                            Span<Field> fields = {}) {
    return {t, name, Shape::kNone, e, nullptr, fields, {}, block};
}
template <auto M>
constexpr Structure Fields(TechModeStructType t, const char *name, Span<Field> fields,
                           Encoding e = Encoding::kFields) {
    return {t, name, Shape::kObject, e, At<M>, fields, {}, 0};
}
constexpr Structure Block(TechModeStructType t, const char *name, void *(*section)(const void *),
                          uint16_t block, Span<Field> fields, Span<List> lists = {}) {
    return {t, name, Shape::kObject, Encoding::kBlock, section, fields, lists, block};
}
constexpr Structure ListBlock(TechModeStructType t, Span<List> list, uint16_t block) {
    return {t, list[0].name, Shape::kList, Encoding::kBlock, Whole, {}, list, block};
}
constexpr Structure ValueBlock(TechModeStructType t, Span<Field> value, uint16_t block) {
    return {t, value[0].name, Shape::kValue, Encoding::kBlock, Whole, value, {}, block};
}

}  // namespace

constexpr Structure kStructures[kTechModeStructTypeCount] = {
    Nothing(TECHMODE_STRUCT_NONE, "struct0", Encoding::kFields, 0, kStruct0),
    Fields<&Scenario::basic>(TECHMODE_STRUCT_BASIC_DATA, "basic", kBasic),
    Fields<&Scenario::identity>(TECHMODE_STRUCT_IDENTITY_DATA, "identity", kIdentity,
                                Encoding::kMembers),
    Fields<&Scenario::radio_stats>(TECHMODE_STRUCT_RADIO_STAT_DATA, "radio_stats", kRadioStats),
    Fields<&Scenario::serving_cell_3g>(TECHMODE_STRUCT_SERVING_CELL_3G, "serving_cell_3g",
                                       kServingCell3G),
    Fields<&Scenario::serving_cell_2g>(TECHMODE_STRUCT_SERVING_CELL_2G, "serving_cell_2g",
                                       kServingCell2G),
    ListBlock(TECHMODE_STRUCT_BEARER_INFO_3G, kBearers3G, 416),
    Fields<&Scenario::bearer_2g>(TECHMODE_STRUCT_BEARER_INFO_2G, "bearer_2g", kBearer2G),
    Fields<&Scenario::mobility>(TECHMODE_STRUCT_MOBILITY_DATA, "mobility", kMobility),
    Fields<&Scenario::dedicated_channel_power>(TECHMODE_STRUCT_DEDICATED_CHANNEL_POWER,
                                               "dedicated_channel_power", kDedicatedChannelPower),
    Block(TECHMODE_STRUCT_INTER_RAT_MEASUREMENTS_INFO, "inter_rat_measurements", Whole, 388, {},
          kInterRat),
    Block(TECHMODE_STRUCT_HSPA_CHANNEL_INFO, "hspa_channel", At<&Scenario::hspa_channel>, 16,
          kHspaChannel),
    Block(TECHMODE_STRUCT_RADIO_ACCESS_INFO_3G, "radio_access_3g", At<&Scenario::radio_access_3g>,
          3, kRadioAccess3G),
    Block(TECHMODE_STRUCT_SM_CC_CAUSE, "sm_cc_cause", At<&Scenario::sm_cc_cause>, 4, kSmCcCause),
    ListBlock(TECHMODE_STRUCT_PDP_CONTEXT_INFO, kPdpContexts, 854),
    Nothing(TECHMODE_STRUCT_HSXPA_SUPPORT_INFO, "hsxpa_support", Encoding::kBlock, 4),
    Block(TECHMODE_STRUCT_INTRA_RAT_NEIGHBOUR_CELL_MEAS_INFO_3G, "neighbours_3g", Whole, 386, {},
          kNeighbours3G),
    ListBlock(TECHMODE_STRUCT_IDLE_NEIGHBOR_CELLS_INFO_2G, kIdleNeighbours2G, 386),
    Block(TECHMODE_STRUCT_DEDICATED_MEASUREMENT_INFO_2G, "dedicated_measurement_2g",
          At<&Scenario::dedicated_measurement_2g>, 138, kDedicatedMeasurement2G, kDedicatedCells2G),
    ListBlock(TECHMODE_STRUCT_ACTIVE_SET_INFO, kActiveSet, 194),
    ListBlock(TECHMODE_STRUCT_MONITORED_SET_INFO, kMonitoredSet, 194),
    Nothing(TECHMODE_STRUCT_LAST_REGISTERED_NETWORK, "last_registered_network", Encoding::kBlock,
            3),
    ValueBlock(TECHMODE_STRUCT_HSPA_INTER_RAT_MEAS, kHspaIratCm, 1),
    ValueBlock(TECHMODE_STRUCT_BATTERY_TEMPERATURE, kBatteryTemperature, 4),
    Nothing(TECHMODE_STRUCT_VOICE_STATS, "voice_stats", Encoding::kBlock, 7),
    Fields<&Scenario::lte_serving_cell>(TECHMODE_STRUCT_LTE_SERVING_CELL, "lte_serving_cell",
                                        kLteServingCell),
    ListBlock(TECHMODE_STRUCT_LTE_NEIGHBOUR_CELLS, kLteNeighbours, 260),
    ListBlock(TECHMODE_STRUCT_LTE_SECONDARY_CELLS, kLteSecondaryCells, 116),
    Block(TECHMODE_STRUCT_NR_CELL_INFO, "nr_cells", At<&Scenario::nr_cells>, 160, kNrCells,
          kNrNeighbours)};

namespace {

// Rows sit at the index of their type; every field fits its block.
constexpr bool FitsBlock(const Structure &s) {
    if (s.encoding != Encoding::kBlock) return true;
    for (const Field &f : s.fields)
        if (f.wire + f.size > s.block) return false;
    for (const List &l : s.lists) {
        if (l.count_at >= s.block || l.first + l.stride * l.room > s.block) return false;
        for (const Field &f : l.entry)
            if (f.wire + f.size > l.stride) return false;
    }
    return true;
}
constexpr bool TableChecks() {
    for (unsigned i = 0; i < kTechModeStructTypeCount; i++)
        if (kStructures[i].type != i || !FitsBlock(kStructures[i])) return false;
    return true;
}
static_assert(TableChecks(), "a structure row out of order, or a field outside its block");

}  // namespace

const Structure *FindStructure(int type) {
    return type >= 0 && static_cast<unsigned>(type) < kTechModeStructTypeCount ? &kStructures[type]
                                                                               : nullptr;
}

const char *StructureName(int type) {
    const Structure *s = FindStructure(type);
    return s != nullptr ? s->name : "";
}

std::vector<int> FaultTags(const Structure &s, bool overlong) {
    if (s.encoding == Encoding::kBlock)
        return overlong ? std::vector<int>{} : std::vector<int>{s.type};
    std::vector<int> tags;
    for (const Field &f : s.fields) tags.push_back(f.wire);
    return tags;
}

}  // namespace sim
