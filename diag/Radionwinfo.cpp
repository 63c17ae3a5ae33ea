// SPDX-License-Identifier: Apache-2.0
// radionwinfo: the WCDMA radio network information screen, published into
// status_utra. In order: the attributes the modem never supplies, the serving
// cell, the serving network identity, the active set and the monitored set.
// Every run writes every index of its lists, so nothing of an earlier run
// survives.
#include <stdio.h>
#include <string.h>
#include <sys/slog.h>

#include "CommandRun.h"
#include "IndexedName.h"
#include "pps/VelomarLog.h"
#include "techmode/techmode_structs.h"

static int s_radionwinfoLastId = -1;

namespace {

// The active and monitored sets show six cells each.
constexpr int kMaxListed = 6;

const char *const kUnsupportedPerCell[] = {
    "aset_mcc%1d",    "aset_mnc%1d", "aset_lac%1d", "aset_rac%1d",    "aset_ura%1d",
    "aset_cellid%1d", "srxlev%1d",   "squal%1d",    "mset_mcc%1d",    "mset_mnc%1d",
    "mset_lac%1d",    "mset_rac%1d", "mset_ura%1d", "mset_cellid%1d",
};
// Channel, scrambling code, RSCP and Ec/Io of one cell of a set.
const char *const kActiveSetNames[] = {"aset_arfcn%1d", "aset_sc%1d", "aset_rscp%1d",
                                       "aset_ecio%1d"};
const char *const kMonitoredSetNames[] = {"mset_uarfcn%1d", "mset_sc%1d", "mset_rscp%1d",
                                          "mset_ecio%1d"};

// Publishes a fetched set (set non-null) or a failed one: the listed cells,
// then "N/A" for every index up to six that they leave.
void AddCellSet(pps_encoder_t *enc, AttrName &name, const char *const (&names)[4],
                const CellSetInfo3G *set) {
    int n = 0;
    if (set != nullptr) {
        n = set->cell_count > kMaxListed ? kMaxListed : set->cell_count;
        for (int i = 1; i <= n; i++) {
            const UtraCell3G &c = set->cells[i - 1];
            pps_encoder_add_int(enc, IndexedName(name, names[0], i), c.uarfcn);
            pps_encoder_add_int(enc, IndexedName(name, names[1], i), c.psc);
            pps_encoder_add_int(enc, IndexedName(name, names[2], i), c.rscp);
            pps_encoder_add_int(enc, IndexedName(name, names[3], i), c.ecio);
        }
    }
    AddIndexedText(enc, name, names, n + 1, kMaxListed, "N/A");
}

}  // namespace

int VeloRadionwinfoHandler(PPSServer *, void *, uint64_t clientId, const char *msg, const char *id,
                           const char *dat) {
    slogf(kVelomarLogCode, _SLOG_DEBUG1, "VeloRadionwinfoHandler");
    printf("VeloRadionwinfoHandler\n");
    g_service->RadionwinfoCmd(clientId, msg, id, dat);
    return 0;
}

void VelomarPPS::RadionwinfoCmd(uint64_t clientId, const char *msg, const char *id,
                                const char *dat) {
    ServingCell3G serving;
    MobilityData mobility;
    ActiveSetInfo active;
    MonitoredSetInfo monitored;
    AttrName name;
    memset(&serving, 0, sizeof serving);
    memset(&mobility, 0, sizeof mobility);
    memset(&active, 0, sizeof active);
    memset(&monitored, 0, sizeof monitored);
    memset(name, 0, sizeof name);

    CommandRun run("RadionwinfoHandler", &s_radionwinfoLastId);
    if (!BeginCommand(run, clientId, msg, id, dat)) return;
    pps_encoder_t *enc = &run.enc;

    static const char *const kUnsupported[] = {"scell_ura", "cell_status"};
    run.NotSupported(kUnsupported);
    AddIndexedText(enc, name, kUnsupportedPerCell, 1, kMaxListed, "NOT SUPPORTED");

    bool success = false;
    if (getDta3GServingCellDta(m_techmodeFd, &serving) == 0) {
        success = true;
        pps_encoder_add_int(enc, "scell_uarfcn", serving.uarfcn);
        pps_encoder_add_int(enc, "scell_sc", serving.psc);
        pps_encoder_add_int(enc, "scell_rscp", serving.rscp);
        pps_encoder_add_int(enc, "scell_ecio", serving.ecio);
        // The 32-bit cell identity goes out as the encoder's 32-bit integer.
        pps_encoder_add_int(enc, "scell_cellid", static_cast<int>(serving.cell_id));
    } else {
        static const char *const kServing[] = {"scell_uarfcn", "scell_sc", "scell_rscp",
                                               "scell_ecio", "scell_cellid"};
        run.NotAvailable(kServing);
    }

    if (getDtaMobilityDta(m_techmodeFd, &mobility) == 0) {
        success = true;
        pps_encoder_add_int(enc, "scell_mcc", mobility.mcc);
        pps_encoder_add_int(enc, "scell_mnc", mobility.mnc);
        pps_encoder_add_int(enc, "scell_lac", mobility.lac);
        pps_encoder_add_int(enc, "scell_rac", mobility.rac);
    } else {
        static const char *const kIdentity[] = {"scell_mcc", "scell_mnc", "scell_lac", "scell_rac"};
        run.NotAvailable(kIdentity);
    }

    bool ok = getDtaActiveSetInfoDta(m_techmodeFd, &active) == 0;
    AddCellSet(enc, name, kActiveSetNames, ok ? &active : nullptr);
    success = success || ok;

    ok = getDtaMonitoredSetInfoDta(m_techmodeFd, &monitored) == 0;
    AddCellSet(enc, name, kMonitoredSetNames, ok ? &monitored : nullptr);
    success = success || ok;

    FinishCommand(run, m_statusUtraFd, success);
}
