/* SPDX-License-Identifier: Apache-2.0 */
// The screens diagctl shows, as data: for each command the status object
// it reads and the sections of its screen (plain fields, tables over
// indexed attribute names, tables over arrays of objects). A status object
// is shared by several commands, so a screen lists exactly the attributes
// of its own command, and the JSON output is limited to the same set.
// Rendering and filtering are pure functions of the decoded attributes.
#ifndef TOOLS_DIAGCTL_SCREENS_H
#define TOOLS_DIAGCTL_SCREENS_H

#include <string>
#include <vector>

#include "PpsValue.h"

namespace diagctl {

enum class Layout {
    // One line per attribute: label, value, unit.
    kFields,
    // A table with one row per index; each column is an attribute name with
    // one "%d" for the 1-based index ("gsm_arfcn%d", "apn%d_name").
    kIndexedTable,
    // A table over an array attribute: one row per anonymous object, whose
    // members are named "<index> <name>" (the column is "%d gsm_dec_arfcn").
    kArrayTable,
};

// What --mask hides of an identity: every character but the last four,
// whatever they are. In digit identities (IMSI, IMEI) the daemon pads the
// digits with 'f' at the end; that padding is kept and is not one of the
// four.
enum class Secret { kNone, kAll, kDigits };

struct Item {
    const char *name;               // attribute name, or a format with one "%d"
    const char *label;              // what the screen calls it
    const char *unit;               // shown after numbers ("dBm"); "" when none
    Secret secret = Secret::kNone;  // hidden by --mask
    bool trend = false;             // a number people follow: --watch draws its recent values
};

struct Section {
    const char *title;
    Layout layout;
    // kFields: an object attribute whose members are the items, or nullptr
    // for top-level attributes. kArrayTable: the array attribute.
    const char *container;
    // Shown when the container is not in the object; nullptr leaves the
    // whole section out.
    const char *absent;
    std::vector<Item> items;
};

struct Screen {
    const char *command;  // the name sent as msg (and typed by the user)
    const char *title;
    const char *object;  // status object read after the answer
    bool request;        // false: the screen only reads its object
    std::vector<Section> sections;
};

// Every screen, commands first, in the order of the help text.
const std::vector<Screen> &Screens();
// The screen of a command name, or nullptr.
const Screen *FindScreen(const std::string &command);

// Whether name is "<prefix><decimal index><suffix>" for a pattern
// "<prefix>%d<suffix>"; the index goes to *index.
bool MatchIndexed(const std::string &pattern, const std::string &name, int *index);
// Whether the screen shows the top-level attribute of that name.
bool Owns(const Screen &screen, const std::string &name);
// The screen's own attributes of a status object, in the object's order.
Value OwnAttributes(const Screen &screen, const Value &attributes);
// Replaces every character of the screen's secret attributes but the last
// four with '*' (see Secret; a UTF-8 sequence is one character). A value
// that is not a text (a record from a broker may hold anything) becomes
// its text, masked; the placeholders "N/A" and "NOT SUPPORTED" and null
// stay as they are.
void MaskSecrets(const Screen &screen, Value *attributes);

// The name of a section in the JSON screen: its title in lower case with
// runs of other characters as one '_' ("Idle-mode neighbour cells" ->
// "idle_mode_neighbour_cells").
std::string SectionKey(const Section &section);
// The name of a table column in the JSON screen: the item's name without
// the index ("gsm_c1_%d" -> "gsm_c1", "%d gsm_dec_arfcn" -> "gsm_dec_arfcn").
std::string ColumnKey(const Item &item);

// Whether a value is one of the daemon's placeholders for a value it does
// not have ("N/A", "NOT SUPPORTED").
bool IsUnavailable(const Value *v);

// The screen as data for programs, an object of three members:
//   sections:    one member per section (by SectionKey): fields as an object
//                of attribute name to value, tables as arrays of row objects
//                ("index" and one member per column); a placeholder becomes
//                null; rows with nothing but placeholders are left out, and
//                so are sections whose attribute is not published;
//   unavailable: for each null, its path ("section.field",
//                "section.row.column" with the row's position from 0, or
//                "section" for a whole section) and the placeholder text;
//   units:       "section.field" or "section.column" to the unit of numbers.
Value ScreenData(const Screen &screen, const Value &attributes);

class Trends;

// How a screen is drawn for --watch.
struct RenderOptions {
    // The attributes of the frame before: values that differ are marked
    // (nullptr: nothing is).
    const Value *previous = nullptr;
    // Marks in colour (for a terminal); otherwise a line that holds a
    // changed value starts with '*' instead of a space.
    bool colour = false;
    // Leaves out fields and rows that are all placeholders or missing,
    // sections left empty, blank lines and the NOT SUPPORTED notes, and
    // packs fields side by side up to width columns.
    bool compact = false;
    std::size_t width = 80;
    // Recent values of the trend items, drawn beside them (nullptr: none).
    const Trends *trends = nullptr;
};

// The screen as text: a heading with the status text (for example
// "SUCCESS"; "" for none), then each section. Tables get one row per index
// present; a column that reads "NOT SUPPORTED" in every filled row is
// listed below its table instead of filling it, one that no row has is
// left out.
std::string RenderScreen(const Screen &screen, const Value &attributes, const std::string &status,
                         const RenderOptions &options = RenderOptions());

// The result of one request for the JSON output; absent for screens that
// send none.
struct Result {
    bool present = false;
    Response response;
};
// When a refresh was made: the UTC time of the request (ISO 8601 with
// milliseconds, "2024-05-01T12:00:00.250Z") and the milliseconds from the
// request to its answer (for a screen that sends none, to the object read).
struct Timing {
    std::string time;
    double latency_ms = 0;
};

// One JSON object (one record of a recording): time, latency_ms, command,
// object, the result ("SUCCESS"/"FAILURE") and the response attributes when
// a request was made, the attributes as the daemon published them, and the
// screen as ScreenData gives it.
std::string RenderJson(const Screen &screen, const Value &attributes, const Result &result,
                       const Timing &timing);
// The record of a refresh that failed: time, latency_ms, command, object
// and error (the exit status and message diagctl would give).
std::string RenderErrorJson(const Screen &screen, const Timing &timing, int status,
                            const std::string &message);

}  // namespace diagctl

#endif
