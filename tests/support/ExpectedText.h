/* SPDX-License-Identifier: Apache-2.0 */
// Test support: the PPS text the diagnostic commands are expected to write,
// built from names, and the blocks every run of a list command writes first
// whatever the modem answers.
#ifndef TESTS_SUPPORT_EXPECTEDTEXT_H
#define TESTS_SUPPORT_EXPECTEDTEXT_H

#include <stdio.h>

#include <initializer_list>
#include <string>

namespace testsupport {

// "name::value" lines, one per name.
inline std::string Same(const char *value, std::initializer_list<const char *> names) {
    std::string out;
    for (const char *n : names) out += std::string(n) + "::" + value + "\n";
    return out;
}
inline std::string NA(std::initializer_list<const char *> names) {
    return Same("N/A", names);
}
inline std::string NS(std::initializer_list<const char *> names) {
    return Same("NOT SUPPORTED", names);
}

// One line per format (printed with the index, then suffix; a format may use
// the index twice) for every index from first to last, index by index.
inline std::string IndexedLines(std::initializer_list<const char *> formats, int first, int last,
                                const std::string &suffix = "") {
    std::string out;
    char line[96];
    for (int i = first; i <= last; i++)
        for (const char *f : formats) {
            snprintf(line, sizeof line, f, i, i);
            out += line + suffix + "\n";
        }
    return out;
}

inline std::string GsmopinfoHead() {
    return NS({"gsm_cs_ps_pdp"}) + NA({"dtm_support"}) +
           NS({"gsm_pch_period", "last_sddch", "gsm_dnlk_thru", "edge_bler"}) +
           IndexedLines({"gsm_cell_type%d", "gsm_arfcn%d", "gsm_rssi%d", "gsm_cellid%d",
                         "gsm_bsic%d", "gsm_lac%d", "gsm_rac%d", "gsm_c1_%d", "gsm_c2_%d"},
                        1, 6, "::N/A");
}

inline std::string UmtsopinfoHead() {
    return NS({"drx"}) +
           IndexedLines({"intra_psc%d", "intra_ecno%d", "intra_rscp%d", "inter_uarfcn%d",
                         "inter_psc%d", "inter_ecno%d", "inter_rscp%d", "inter_rssi%d"},
                        1, 6, "::N/A");
}

// umtsopinfo's GSM cells when they are not shown (not on WCDMA, or failed).
inline std::string UmtsopinfoGsmCellsNA() {
    return IndexedLines({"irat_system%d", "irat_ch%d", "irat_bsic%d", "irat_gsm_rssi%d",
                         "irat_cellid%d", "irat_cm%d"},
                        1, 6, "::N/A");
}

// radionwinfo's first lines: what the modem never supplies, per cell too.
inline std::string RadionwinfoUnsupported() {
    return NS({"scell_ura", "cell_status"}) +
           IndexedLines({"aset_mcc%d", "aset_mnc%d", "aset_lac%d", "aset_rac%d", "aset_ura%d",
                         "aset_cellid%d", "srxlev%d", "squal%d", "mset_mcc%d", "mset_mnc%d",
                         "mset_lac%d", "mset_rac%d", "mset_ura%d", "mset_cellid%d"},
                        1, 6, "::NOT SUPPORTED");
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_EXPECTEDTEXT_H
