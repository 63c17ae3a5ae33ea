// SPDX-License-Identifier: Apache-2.0
// lteopinfo: the LTE operating information screen, published into
// status_eutra. In order: the serving cell with the RRC and EMM states, the
// neighbour cells (16 indices) and the secondary carriers of carrier
// aggregation (7 indices). Every run writes every index of its lists, so
// nothing of an earlier run survives. Whether LTE is in use comes from the
// serving cell structure itself (camped), not from the mobility structure,
// whose RAT codes name GSM, WCDMA and GAN only.
#include <stdio.h>
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "IndexedName.h"
#include "ReportedValue.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_text.h"

static int s_lteopinfoLastId = -1;

namespace {

constexpr int kMaxNeighbours = 16;  // the structure's room
constexpr int kMaxSecondary = 7;

// The serving cell's own values: "N/A" together when the fetch failed or
// the modem is camped on no E-UTRA cell.
const char *const kServingCellNames[] = {"scell_earfcn", "scell_pci",  "scell_tac",  "scell_cellid",
                                         "scell_mcc",    "scell_mnc",  "scell_band", "scell_dl_bw",
                                         "scell_rsrp",   "scell_rsrq", "scell_rssi", "scell_sinr",
                                         "scell_cqi",    "scell_ta"};
const char *const kNeighbourNames[] = {"ncell_earfcn%1d", "ncell_pci%1d", "ncell_rsrp%1d",
                                       "ncell_rsrq%1d", "ncell_cellid%1d"};
const char *const kSecondaryNames[] = {"scc_earfcn%1d", "scc_pci%1d",  "scc_band%1d",
                                       "scc_dl_bw%1d",  "scc_rsrp%1d", "scc_rsrq%1d",
                                       "scc_sinr%1d",   "scc_state%1d"};

void AddServingCell(pps_encoder_t *enc, const LteServingCell &c) {
    AddReported(enc, "scell_earfcn", c.earfcn, 0xFFFFFFFFu, 0, 262143);
    AddReported(enc, "scell_pci", c.pci, 0xFFFF, 0, 503);
    AddReported(enc, "scell_tac", c.tac, 0xFFFF, 0, 0xFFFE);
    AddReported(enc, "scell_cellid", c.cell_id, 0xFFFFFFFFu, 0, 0x0FFFFFFF);
    AddReported(enc, "scell_mcc", c.mcc, 0xFFFF, 0, 999);
    AddReported(enc, "scell_mnc", c.mnc, 0xFFFF, 0, 999);
    AddReported(enc, "scell_band", c.band, 0xFFFF, 1, 0xFFFE);
    AddCode(enc, "scell_dl_bw", c.dl_bandwidth, LteBandwidthText);
    AddLevel(enc, "scell_rsrp", c.rsrp, kRsrpLo, kRsrpHi);
    AddLevel(enc, "scell_rsrq", c.rsrq, kRsrqLo, kRsrqHi);
    AddLevel(enc, "scell_rssi", c.rssi, kRssiLo, kRssiHi);
    AddLevel(enc, "scell_sinr", c.sinr, kSinrLo, kSinrHi);
    AddReported(enc, "scell_cqi", c.cqi, 0xFF, 0, 15);
    AddReported(enc, "scell_ta", c.timing_advance, 0xFFFF, 0, 1282);
}

// Cells listed from a count the modem sent: at most the structure's room,
// whatever the count says. The indices after them read "N/A".
int Listed(unsigned count, int max) {
    return count > static_cast<unsigned>(max) ? max : static_cast<int>(count);
}

void AddNeighbours(pps_encoder_t *enc, AttrName &name, const LteNeighbourCells *list) {
    const int n = list != nullptr ? Listed(list->cell_count, kMaxNeighbours) : 0;
    for (int i = 1; i <= n; i++) {
        const LteNeighbourCell &c = list->cells[i - 1];
        AddReported(enc, IndexedName(name, kNeighbourNames[0], i), c.earfcn, 0xFFFFFFFFu, 0,
                    262143);
        AddReported(enc, IndexedName(name, kNeighbourNames[1], i), c.pci, 0xFFFF, 0, 503);
        AddLevel(enc, IndexedName(name, kNeighbourNames[2], i), c.rsrp, kRsrpLo, kRsrpHi);
        AddLevel(enc, IndexedName(name, kNeighbourNames[3], i), c.rsrq, kRsrqLo, kRsrqHi);
        // All ones until the modem has read the cell's system information.
        AddReported(enc, IndexedName(name, kNeighbourNames[4], i), c.cell_id, 0xFFFFFFFFu, 0,
                    0x0FFFFFFF);
    }
    AddIndexedText(enc, name, kNeighbourNames, n + 1, kMaxNeighbours, "N/A");
}

void AddSecondaryCells(pps_encoder_t *enc, AttrName &name, const LteSecondaryCells *list) {
    const int n = list != nullptr ? Listed(list->cell_count, kMaxSecondary) : 0;
    for (int i = 1; i <= n; i++) {
        const LteSecondaryCell &c = list->cells[i - 1];
        AddReported(enc, IndexedName(name, kSecondaryNames[0], i), c.earfcn, 0xFFFFFFFFu, 0,
                    262143);
        AddReported(enc, IndexedName(name, kSecondaryNames[1], i), c.pci, 0xFFFF, 0, 503);
        AddReported(enc, IndexedName(name, kSecondaryNames[2], i), c.band, 0xFFFF, 1, 0xFFFE);
        AddCode(enc, IndexedName(name, kSecondaryNames[3], i), c.dl_bandwidth, LteBandwidthText);
        AddLevel(enc, IndexedName(name, kSecondaryNames[4], i), c.rsrp, kRsrpLo, kRsrpHi);
        AddLevel(enc, IndexedName(name, kSecondaryNames[5], i), c.rsrq, kRsrqLo, kRsrqHi);
        AddLevel(enc, IndexedName(name, kSecondaryNames[6], i), c.sinr, kSinrLo, kSinrHi);
        AddCode(enc, IndexedName(name, kSecondaryNames[7], i), c.state, ScellStateText);
    }
    AddIndexedText(enc, name, kSecondaryNames, n + 1, kMaxSecondary, "N/A");
}

}  // namespace

int VeloLteopinfoHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                         const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloLteopinfoHandler");
    g_service->LteopinfoCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::LteopinfoCmd(uint64_t clientId, const char *msg, const char *id, const char *dat) {
    // The serving cell starts out "not reported" in every field (its
    // record's own initial values), so that a field the modem leaves out is
    // shown as such; the lists are blocks, copied whole or not at all.
    LteServingCell serving;
    LteNeighbourCells neighbours;
    LteSecondaryCells secondary;
    AttrName name;
    memset(&neighbours, 0, sizeof neighbours);
    memset(&secondary, 0, sizeof secondary);
    memset(name, 0, sizeof name);

    CommandRun run("LteopinfoHandler", &s_lteopinfoLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;
    pps_encoder_t *enc = &run.enc;

    bool success = false;
    if (getDtaLteServingCellDta(m_techmodeFd, &serving) == 0) {
        success = true;
        AddCode(enc, "lte_camped", serving.camped, YesNoText);
        // Camped on no E-UTRA cell: the cell's row is empty. A camped value
        // that is not reported leaves the modem's values to speak.
        if (serving.camped == 0)
            run.NotAvailable(kServingCellNames);
        else
            AddServingCell(enc, serving);
        AddCode(enc, "lte_rrc_state", serving.rrc_state, LteRrcStateText);
        AddCode(enc, "emm_state", serving.emm_state, EmmStateText);
        AddReported(enc, "emm_latest_cause", serving.emm_cause, 0xFF, 0, 254);
    } else {
        static const char *const kCamped[] = {"lte_camped"};
        static const char *const kStates[] = {"lte_rrc_state", "emm_state", "emm_latest_cause"};
        run.NotAvailable(kCamped);
        run.NotAvailable(kServingCellNames);
        run.NotAvailable(kStates);
    }

    bool ok = getDtaLteNeighbourCellsDta(m_techmodeFd, &neighbours) == 0;
    AddNeighbours(enc, name, ok ? &neighbours : nullptr);
    success = success || ok;

    ok = getDtaLteSecondaryCellsDta(m_techmodeFd, &secondary) == 0;
    AddSecondaryCells(enc, name, ok ? &secondary : nullptr);
    success = success || ok;

    FinishCommand(run, m_statusEutraFd, success);
}
