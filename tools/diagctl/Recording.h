/* SPDX-License-Identifier: Apache-2.0 */
// diagctl's recordings: JSON Lines files of records (RenderJson), written
// so that every line but possibly the last of a file is whole whatever
// stops the writer, rotated at a size limit; and their export as CSV, one
// row per record and one column per screen field.
#ifndef TOOLS_DIAGCTL_RECORDING_H
#define TOOLS_DIAGCTL_RECORDING_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace diagctl {

// An append-only file of lines. Each line goes out in one write() (a
// short write is finished at once), so a writer killed at any moment
// leaves whole lines and at most one cut-off line at the end. When a line
// would take the file past max_bytes, the file is first renamed to
// PATH.<n> (the lowest n not taken, so nothing is ever overwritten) and a
// new PATH begins; a line longer than max_bytes gets a file of its own.
// Non-copyable; closes its file when destroyed.
class LineFile {
  public:
    LineFile() = default;
    ~LineFile();
    LineFile(const LineFile &) = delete;
    LineFile &operator=(const LineFile &) = delete;

    // Opens (creating, mode 0600: records may hold identities) or appends
    // to path, first ending a last line that was cut off; "-" is standard
    // output, never rotated. max_bytes 0: no limit. False with the reason in *error (also for
    // anything but a regular file, which a FIFO or a device would be).
    bool Open(const std::string &path, uint64_t max_bytes, std::string *error);
    // Writes line and a newline. False with the reason in *error.
    bool Write(const std::string &line, std::string *error);
    // The files rotated away so far, oldest first.
    const std::vector<std::string> &rotated() const { return rotated_; }

  private:
    bool OpenFile(std::string *error);
    bool Rotate(std::string *error);

    std::string path_;
    int fd_ = -1;
    bool owned_ = false;  // false for standard output
    uint64_t size_ = 0, max_ = 0;
    std::vector<std::string> rotated_;
};

// Builds a CSV table from records. Columns: host (for records that have
// one), time, latency_ms, command, result, error, then each screen field
// as "section.field" and each table cell as "section.<index>.column" (the
// index the daemon gave the row), in the order first seen. Unavailable
// values (null) are empty cells.
class CsvTable {
  public:
    // Only records of this command ("" for all).
    explicit CsvTable(std::string command = "") : command_(std::move(command)) {}
    // Adds one line of a recording. False, with the reason in *why, for a
    // line that is not a whole record (it is left out).
    bool Add(const std::string &line, std::string *why);
    std::size_t rows() const { return rows_.size(); }
    // The table as RFC 4180 CSV with CRLF line ends, one line per row:
    // control characters (line ends and tabs too) and bytes that are not
    // UTF-8 are written as \xNN, as the screens show them. A text that a
    // spreadsheet would take for a formula (starting with =, +, - or @) is
    // given a leading apostrophe.
    std::string Csv() const;

    // A table written in two passes, as a download that holds no rows: every
    // line given to Parse() first (learning the columns), then the header and
    // each line's row, parsed again.
    using Row = std::vector<std::pair<std::size_t, std::string>>;
    // One line's cells, its new columns added to the table's; an empty row
    // for a record of another command. False, with *why, as for Add().
    bool Parse(const std::string &line, Row *row, std::string *why);
    std::string Header() const;
    std::string RowText(const Row &row) const;

  private:
    std::size_t Column(const std::string &name);

    std::string command_;
    std::vector<std::string> columns_;
    std::map<std::string, std::size_t> index_;
    std::vector<Row> rows_;
};

}  // namespace diagctl

#endif
