// SPDX-License-Identifier: Apache-2.0
#include "Recording.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "OwnFile.h"
#include "PpsValue.h"

namespace diagctl {

namespace {

std::string Errno(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + strerror(errno);
}

// A JSON value as a CSV cell's text; texts are marked for the formula guard.
std::string CellText(const rapidjson::Value &v, bool *text) {
    *text = false;
    if (v.IsNull()) return "";
    if (v.IsString()) {
        *text = true;
        return std::string(v.GetString(), v.GetStringLength());
    }
    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    v.Accept(w);
    // Nested values (not made by diagctl, but a file may hold anything)
    // are texts to a spreadsheet.
    *text = v.IsObject() || v.IsArray();
    return std::string(sb.GetString(), sb.GetSize());
}

// A cell as RFC 4180 takes it. Control characters and bytes that are not
// UTF-8 show as \xNN, as on the screens (JSON records keep them escaped as
// JSON does): a modem's NUL or terminal escape never reaches a spreadsheet
// or a terminal raw, and each row stays on one line.
std::string Quote(std::string s, bool text) {
    s = Printable(s);
    if (text && !s.empty() && strchr("=+-@", s[0]) != nullptr) s.insert(0, "'");
    if (s.find_first_of(",\"") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

}  // namespace

LineFile::~LineFile() {
    if (owned_ && fd_ >= 0) close(fd_);
}

bool LineFile::Open(const std::string &path, uint64_t max_bytes, std::string *error) {
    path_ = path;
    max_ = max_bytes;
    if (path == "-") {
        fd_ = STDOUT_FILENO;
        owned_ = false;
        max_ = 0;
        return true;
    }
    return OpenFile(error);
}

bool LineFile::OpenFile(std::string *error) {
    // Run as root in /tmp, a link or a file another user planted at the
    // path must not take the records. Read too: for the last byte.
    const int fd = toolfile::OpenForWriting(path_, O_RDWR | O_CREAT | O_APPEND, 0600, error);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *error = Errno("cannot open", path_);
        close(fd);
        return false;
    }
    fd_ = fd;
    owned_ = true;
    size_ = static_cast<uint64_t>(st.st_size);
    // A writer killed mid-line left its last line cut off: end it, so that
    // the first line written now stays whole instead of joining it.
    char last = '\n';
    if (size_ > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n' &&
        write(fd, "\n", 1) == 1)
        size_++;
    return true;
}

bool LineFile::Rotate(std::string *error) {
    // Never over a name that is taken, even one taken since the look (a
    // link another user put there stays as it is); lstat first for a file
    // system that cannot rename without replacing.
    auto move_to = [this](const std::string &target) {
        struct stat st;
        if (lstat(target.c_str(), &st) == 0) {
            errno = EEXIST;
            return false;
        }
        if (renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        return errno == EINVAL && rename(path_.c_str(), target.c_str()) == 0;
    };
    std::string target;
    for (unsigned n = 1;; n++) {
        target = path_ + "." + std::to_string(n);
        if (move_to(target)) break;
        if (errno != EEXIST) {
            *error = Errno("cannot rotate", path_);
            return false;
        }
        if (n == 1000000) {
            *error = "no free name to rotate " + path_ + " to";
            return false;
        }
    }
    close(fd_);
    fd_ = -1;
    rotated_.push_back(target);
    return OpenFile(error);
}

bool LineFile::Write(const std::string &line, std::string *error) {
    const std::string text = line + "\n";
    if (max_ > 0 && size_ > 0 && size_ + text.size() > max_ && !Rotate(error)) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = Errno("cannot write to", path_);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    size_ += text.size();
    return true;
}

std::size_t CsvTable::Column(const std::string &name) {
    auto it = index_.find(name);
    if (it != index_.end()) return it->second;
    columns_.push_back(name);
    index_[name] = columns_.size() - 1;
    return columns_.size() - 1;
}

bool CsvTable::Add(const std::string &line, std::string *why) {
    Row row;
    if (!Parse(line, &row, why)) return false;
    if (!row.empty()) rows_.push_back(std::move(row));
    return true;
}

bool CsvTable::Parse(const std::string &line, Row *out, std::string *why) {
    out->clear();
    rapidjson::Document doc;
    // Iterative: a hostile file's deep nesting cannot exhaust the stack.
    doc.Parse<rapidjson::kParseIterativeFlag>(line.data(), line.size());
    if (doc.HasParseError() || !doc.IsObject()) {
        *why = "not a JSON object (a line cut off?)";
        return false;
    }
    auto text = [&doc](const char *name) -> const rapidjson::Value * {
        auto it = doc.FindMember(name);
        return it != doc.MemberEnd() && it->value.IsString() ? &it->value : nullptr;
    };
    if (text("time") == nullptr || text("command") == nullptr) {
        *why = "not a diagctl record (no time or command)";
        return false;
    }
    if (!command_.empty() && command_ != doc["command"].GetString()) return true;
    Row &row = *out;
    auto put = [&](const std::string &column, const rapidjson::Value &v) {
        bool is_text;
        std::string s = CellText(v, &is_text);
        row.emplace_back(Column(column), Quote(s, is_text));
    };
    // A fleet's records (diagctl serve --mqtt) say whose they are.
    auto host = doc.FindMember("host");
    if (host != doc.MemberEnd() && host->value.IsString()) put("host", host->value);
    for (const char *name : {"time", "latency_ms", "command", "result"}) {
        Column(name);
        auto it = doc.FindMember(name);
        if (it != doc.MemberEnd()) put(name, it->value);
    }
    auto error = doc.FindMember("error");
    if (error != doc.MemberEnd() && error->value.IsObject()) {
        auto message = error->value.FindMember("message");
        if (message != error->value.MemberEnd()) put("error", message->value);
    }
    auto screen = doc.FindMember("screen");
    if (screen != doc.MemberEnd() && screen->value.IsObject()) {
        auto sections = screen->value.FindMember("sections");
        if (sections != screen->value.MemberEnd() && sections->value.IsObject()) {
            for (const auto &s : sections->value.GetObject()) {
                const std::string key = s.name.GetString();
                if (s.value.IsObject()) {
                    for (const auto &f : s.value.GetObject())
                        put(key + "." + f.name.GetString(), f.value);
                } else if (s.value.IsArray()) {
                    std::size_t position = 0;
                    for (const auto &r : s.value.GetArray()) {
                        position++;
                        if (!r.IsObject()) continue;
                        auto index = r.FindMember("index");
                        std::string at = index != r.MemberEnd() && index->value.IsInt64()
                                             ? std::to_string(index->value.GetInt64())
                                             : std::to_string(position);
                        for (const auto &f : r.GetObject()) {
                            if (std::string(f.name.GetString()) == "index") continue;
                            put(key + "." + at + "." + f.name.GetString(), f.value);
                        }
                    }
                } else {
                    put(key, s.value);
                }
            }
        }
    }
    return true;
}

std::string CsvTable::Header() const {
    std::string out;
    for (std::size_t c = 0; c < columns_.size(); c++)
        out += (c ? "," : "") + Quote(columns_[c], true);
    return out + "\r\n";
}

std::string CsvTable::RowText(const Row &row) const {
    std::vector<const std::string *> cells(columns_.size(), nullptr);
    for (const auto &cell : row) cells[cell.first] = &cell.second;
    std::string out;
    for (std::size_t c = 0; c < cells.size(); c++) {
        if (c) out += ',';
        if (cells[c]) out += *cells[c];
    }
    return out + "\r\n";
}

std::string CsvTable::Csv() const {
    std::string out = Header();
    for (const auto &row : rows_) out += RowText(row);
    return out;
}

}  // namespace diagctl
