#include "kelplat/ini.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "kelplat/fs.h"

namespace kel::ini {
namespace {

// A stray CR before the line end counts as a blank too.
constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool has_line_break(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

void add_unique(std::vector<std::string> &names, std::string_view name) {
    for (const auto &n : names)
        if (iequals(n, name)) return;
    names.emplace_back(name);
}

// Writers read, change and replace the whole file; two at once in one
// process would lose one change.
std::mutex g_write_mutex;

}  // namespace

Document::Line Document::classify(std::string text, std::string end, bool first) {
    Line line;
    line.text = std::move(text);
    line.end = std::move(end);
    std::string_view view = line.text;
    std::size_t offset = 0;
    if (first && view.substr(0, 3) == "\xEF\xBB\xBF") offset = 3;  // UTF-8 mark
    const auto lead = view.find_first_not_of(kBlanks, offset);
    if (lead == std::string_view::npos) return line;
    view.remove_prefix(lead);
    if (view.front() == '[') {
        const auto close = view.find(']');
        line.kind = Kind::kSection;
        line.name = trim(view.substr(1, close == std::string_view::npos ? close : close - 1));
        return line;
    }
    if (view.front() == ';' || view.front() == '#') return line;
    const auto eq = view.find('=');
    if (eq == std::string_view::npos) return line;
    const auto name = trim(view.substr(0, eq));
    if (name.empty()) return line;
    line.kind = Kind::kKey;
    line.name = name;
    line.value_at = lead + eq + 1;
    return line;
}

Document Document::parse(std::string_view text) {
    Document doc;
    bool eol_known = false;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto nl = text.find('\n', at);
        std::string_view body;
        std::string end;
        if (nl == std::string_view::npos) {
            body = text.substr(at);
            at = text.size();
        } else {
            body = text.substr(at, nl - at);
            end = "\n";
            if (!body.empty() && body.back() == '\r') {
                body.remove_suffix(1);
                end = "\r\n";
            }
            at = nl + 1;
            if (!eol_known) {
                doc.eol_ = end;
                eol_known = true;
            }
        }
        doc.lines_.push_back(classify(std::string(body), std::move(end), doc.lines_.empty()));
    }
    return doc;
}

std::string Document::serialize() const {
    std::string out;
    for (const auto &line : lines_) {
        out += line.text;
        out += line.end;
    }
    return out;
}

std::size_t Document::line_of(std::string_view section, std::string_view key) const {
    bool in = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line &line = lines_[i];
        if (line.kind == Kind::kSection) {
            in = iequals(line.name, section);
        } else if (in && line.kind == Kind::kKey && iequals(line.name, key)) {
            return i + 1;
        }
    }
    return 0;
}

std::optional<std::string> Document::get(std::string_view section, std::string_view key) const {
    const std::size_t at = line_of(section, key);
    if (at == 0) return std::nullopt;
    const Line &line = lines_[at - 1];
    std::string_view value = trim(std::string_view(line.text).substr(line.value_at));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

bool Document::set(std::string_view section, std::string_view key, std::string_view value) {
    section = trim(section);
    key = trim(key);
    if (section.empty() || has_line_break(section) || section.find(']') != std::string_view::npos)
        return false;
    if (key.empty() || has_line_break(key) || key.find('=') != std::string_view::npos ||
        key.front() == '[' || key.front() == ';' || key.front() == '#')
        return false;
    if (has_line_break(value)) return false;

    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    bool in = false;
    bool in_first = false;
    std::size_t first_section = kNone;
    std::size_t insert_after = kNone;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        Line &line = lines_[i];
        if (line.kind == Kind::kSection) {
            in = iequals(line.name, section);
            in_first = in && first_section == kNone;
            if (in_first) first_section = insert_after = i;
        } else if (in && line.kind == Kind::kKey) {
            if (iequals(line.name, key)) {
                // Keep the key's spelling and the spacing around '='.
                std::string_view old(line.text);
                std::size_t keep = line.value_at;
                while (keep < old.size() && (old[keep] == ' ' || old[keep] == '\t')) ++keep;
                if (keep == old.size()) keep = line.value_at;
                line.text = std::string(old.substr(0, keep)) + std::string(value);
                return true;
            }
            if (in_first) insert_after = i;
        }
    }
    Line entry;
    entry.text = std::string(key) + "=" + std::string(value);
    entry.end = eol_;
    entry.kind = Kind::kKey;
    entry.name = key;
    entry.value_at = key.size() + 1;
    if (first_section != kNone) {
        if (lines_[insert_after].end.empty()) lines_[insert_after].end = eol_;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert_after) + 1,
                      std::move(entry));
        return true;
    }
    if (!lines_.empty()) {
        if (lines_.back().end.empty()) lines_.back().end = eol_;
        if (!trim(lines_.back().text).empty()) {
            Line blank;
            blank.end = eol_;
            lines_.push_back(std::move(blank));
        }
    }
    Line header;
    header.text = "[" + std::string(section) + "]";
    header.end = eol_;
    header.kind = Kind::kSection;
    header.name = section;
    lines_.push_back(std::move(header));
    lines_.push_back(std::move(entry));
    return true;
}

bool Document::remove_key(std::string_view section, std::string_view key) {
    section = trim(section);
    key = trim(key);
    bool in = false;
    bool removed = false;
    std::vector<Line> kept;
    kept.reserve(lines_.size());
    for (auto &line : lines_) {
        if (line.kind == Kind::kSection) in = iequals(line.name, section);
        if (in && line.kind == Kind::kKey && iequals(line.name, key)) {
            removed = true;
            continue;
        }
        kept.push_back(std::move(line));
    }
    lines_ = std::move(kept);
    return removed;
}

bool Document::remove_section(std::string_view section) {
    section = trim(section);
    bool in = false;
    bool removed = false;
    std::vector<Line> kept;
    kept.reserve(lines_.size());
    for (auto &line : lines_) {
        if (line.kind == Kind::kSection) in = iequals(line.name, section);
        if (in) {
            removed = true;
            continue;
        }
        kept.push_back(std::move(line));
    }
    lines_ = std::move(kept);
    return removed;
}

std::vector<std::string> Document::sections() const {
    std::vector<std::string> names;
    for (const auto &line : lines_)
        if (line.kind == Kind::kSection) add_unique(names, line.name);
    return names;
}

std::vector<std::string> Document::keys(std::string_view section) const {
    std::vector<std::string> names;
    bool in = false;
    for (const auto &line : lines_) {
        if (line.kind == Kind::kSection)
            in = iequals(line.name, section);
        else if (in && line.kind == Kind::kKey)
            add_unique(names, line.name);
    }
    return names;
}

std::optional<Document> load(const char *path) {
    std::string text;
    switch (fs::read_file(path, text)) {
        case fs::ReadStatus::kOk:
            return Document::parse(text);
        case fs::ReadStatus::kMissing:
            return Document{};
        case fs::ReadStatus::kFailed:
            break;
    }
    return std::nullopt;
}

bool save(const char *path, const Document &doc) {
    if (path == nullptr || *path == '\0') return false;
    std::lock_guard<std::mutex> lock(g_write_mutex);
    // A read-only file stays as it is, although the folder would let a
    // rename replace it.
    if (fs::is_read_only(path)) return false;
    return fs::replace_atomically(path, doc.serialize());
}

std::size_t ini_read(const char *path, const char *section, const char *key, const char *def,
                     char *out, std::size_t size) {
    std::optional<std::string> value;
    if (path != nullptr && section != nullptr && key != nullptr) {
        // An unreadable file reads like a missing one: the default.
        if (auto doc = load(path)) value = doc->get(section, key);
    }
    if (!value) value = def != nullptr ? def : "";
    if (out == nullptr || size == 0) return 0;
    const std::size_t n = std::min(value->size(), size - 1);
    std::memcpy(out, value->data(), n);
    out[n] = '\0';
    return n;
}

bool ini_write(const char *path, const char *section, const char *key, const char *value) {
    if (path == nullptr || *path == '\0' || section == nullptr) return false;
    std::lock_guard<std::mutex> lock(g_write_mutex);
    std::string before;
    Document doc;
    switch (fs::read_file(path, before)) {
        case fs::ReadStatus::kOk:
            doc = Document::parse(before);
            break;
        case fs::ReadStatus::kMissing:
            break;
        case fs::ReadStatus::kFailed:
            return false;
    }
    if (fs::is_read_only(path)) return false;
    if (key == nullptr)
        doc.remove_section(section);
    else if (value == nullptr)
        doc.remove_key(section, key);
    else if (!doc.set(section, key, value))
        return false;
    const std::string after = doc.serialize();
    if (after == before) return true;  // nothing to change, nothing to risk
    return fs::replace_atomically(path, after);
}

std::vector<std::string> ini_keys(const char *path, const char *section) {
    if (path == nullptr || section == nullptr) return {};
    if (auto doc = load(path)) return doc->keys(section);
    return {};
}

}  // namespace kel::ini
