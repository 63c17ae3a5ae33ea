// SPDX-License-Identifier: Apache-2.0
// nropinfo: the NR operating information screen, published into status_nr.
// In order: the mode (SA, NSA or none), the serving cell under SA or the
// NR secondary cell under NSA, and the neighbour cells (8 indices). Every
// run writes every index, so nothing of an earlier run survives.
#include <stdio.h>
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "IndexedName.h"
#include "ReportedValue.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"
#include "techmode/techmode_text.h"

static int s_nropinfoLastId = -1;

namespace {

constexpr int kMaxNeighbours = 8;  // the structure's room

const char *const kCellNames[] = {"nr_scell_arfcn",   "nr_scell_pci",     "nr_scell_band",
                                  "nr_scell_ss_rsrp", "nr_scell_ss_rsrq", "nr_scell_ss_sinr",
                                  "nr_scell_scs"};
// Identities of an SA cell; under NSA the E-UTRA anchor carries them.
const char *const kSaNames[] = {"nr_scell_tac", "nr_scell_nci"};
const char *const kNeighbourNames[] = {
    "nr_ncell_arfcn%1d",   "nr_ncell_pci%1d",     "nr_ncell_band%1d", "nr_ncell_ss_rsrp%1d",
    "nr_ncell_ss_rsrq%1d", "nr_ncell_ss_sinr%1d", "nr_ncell_scs%1d"};

// One cell under the given names (plain or indexed with index).
void AddCell(pps_encoder_t *enc, AttrName &name, const char *const (&names)[7], int index,
             const NrCell &c) {
    AddReported(enc, IndexedName(name, names[0], index), c.arfcn, 0xFFFFFFFFu, 0, 3279165);
    AddReported(enc, IndexedName(name, names[1], index), c.pci, 0xFFFF, 0, 1007);
    AddReported(enc, IndexedName(name, names[2], index), c.band, 0xFFFF, 1, 0xFFFE);
    AddLevel(enc, IndexedName(name, names[3], index), c.ss_rsrp, kRsrpLo, kRsrpHi);
    AddLevel(enc, IndexedName(name, names[4], index), c.ss_rsrq, kNrRsrqLo, kNrRsrqHi);
    AddLevel(enc, IndexedName(name, names[5], index), c.ss_sinr, kSinrLo, kSinrHi);
    AddCode(enc, IndexedName(name, names[6], index), c.scs, NrScsText);
}

}  // namespace

int VeloNropinfoHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                        const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloNropinfoHandler");
    g_service->NropinfoCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::NropinfoCmd(uint64_t clientId, const char *msg, const char *id, const char *dat) {
    NrCellInfo info;
    AttrName name;
    memset(&info, 0, sizeof info);
    memset(name, 0, sizeof name);

    CommandRun run("NropinfoHandler", &s_nropinfoLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;
    pps_encoder_t *enc = &run.enc;

    const bool success = getDtaNrCellInfoDta(m_techmodeFd, &info) == 0;
    int n = 0;
    if (success) {
        AddCode(enc, "nr_mode", info.mode, NrModeText);
        const bool sa = info.mode == kNrModeSa, nsa = info.mode == kNrModeNsa;
        if (sa || nsa)
            AddCell(enc, name, kCellNames, 0, info.serving);
        else
            run.NotAvailable(kCellNames);  // no NR cell: an empty row
        if (sa) {
            AddReported(enc, "nr_scell_tac", info.tac, 0xFFFFFFFFu, 0, 0xFFFFFF);
            AddReported(enc, "nr_scell_nci", info.nci, ~uint64_t{0}, 0, (uint64_t{1} << 36) - 1);
        } else {
            run.NotAvailable(kSaNames);
        }
        n = info.neighbour_count > kMaxNeighbours ? kMaxNeighbours : info.neighbour_count;
        for (int i = 1; i <= n; i++) AddCell(enc, name, kNeighbourNames, i, info.neighbours[i - 1]);
    } else {
        static const char *const kMode[] = {"nr_mode"};
        run.NotAvailable(kMode);
        run.NotAvailable(kCellNames);
        run.NotAvailable(kSaNames);
    }
    AddIndexedText(enc, name, kNeighbourNames, n + 1, kMaxNeighbours, "N/A");

    FinishCommand(run, m_statusNrFd, success);
}
