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

struct Item {
    const char *name;     // attribute name, or a format with one "%d"
    const char *label;    // what the screen calls it
    const char *unit;     // shown after numbers ("dBm"); "" when none
    bool secret = false;  // digits hidden by --mask, all but the last four
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
// Replaces all but the last four decimal digits of the screen's secret
// attributes with '*' when they hold identity digits (hexadecimal, the
// filler 'f' kept); texts such as "N/A" stay as they are.
void MaskSecrets(const Screen &screen, Value *attributes);

// The screen as text: a heading with the status text (for example
// "SUCCESS"; "" for none), then each section. Tables get one row per index
// present; a column that reads "NOT SUPPORTED" in every filled row is
// listed below its table instead of filling it, one that no row has is
// left out.
std::string RenderScreen(const Screen &screen, const Value &attributes, const std::string &status);

// The result of one request for the JSON output; absent for screens that
// send none.
struct Result {
    bool present = false;
    Response response;
};
// One JSON object: command, object, the result ("SUCCESS"/"FAILURE") and the
// response attributes when a request was made, and the attributes.
std::string RenderJson(const Screen &screen, const Value &attributes, const Result &result);

}  // namespace diagctl

#endif
