// INI files with the private-profile behaviour the system relies on.
//
// Section and key names match without regard to ASCII case. Names and
// values are trimmed of surrounding blanks, and a value enclosed in one pair
// of matching quotes loses them on reading. Lines starting with ';' or '#'
// are comments; keys before the first section header are never found. The
// first of duplicate keys wins. A rewrite keeps every line it does not
// touch (comments, blank lines, unknown keys, order, CRLF or LF ends) and
// replaces the file atomically: a reader sees the old file or the new one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kel::ini {

// One INI text held line by line.
class Document {
public:
    static Document parse(std::string_view text);
    std::string serialize() const;

    // The value of the first such key in the sections of that name.
    std::optional<std::string> get(std::string_view section, std::string_view key) const;
    // The 1-based line of the key that get reads, for messages that point
    // at it; 0 when the key is absent.
    std::size_t line_of(std::string_view section, std::string_view key) const;
    // Replaces the first such key, or adds it at the end of the section, or
    // adds the section at the end of the text. False, with nothing changed,
    // for a name or value the format can't hold (line breaks, a key with
    // '=', a section with ']', empty names).
    bool set(std::string_view section, std::string_view key, std::string_view value);
    // Removes every such key; true when one was there.
    bool remove_key(std::string_view section, std::string_view key);
    // Removes every section of that name with all its lines; true when one
    // was there.
    bool remove_section(std::string_view section);

    // Section names in file order, each once (first spelling).
    std::vector<std::string> sections() const;
    // Key names of the sections of that name in file order, each once.
    std::vector<std::string> keys(std::string_view section) const;
    // The line end new lines get: the file's own, else LF.
    const std::string &line_end() const { return eol_; }

private:
    enum class Kind { kOther, kSection, kKey };
    struct Line {
        std::string text;  // without its line end
        std::string end;   // "\r\n", "\n", or "" for a last line without one
        Kind kind = Kind::kOther;
        std::string name;          // section or key name, trimmed
        std::size_t value_at = 0;  // key lines: offset of the raw value in text
    };
    static Line classify(std::string text, std::string end, bool first);
    // Calls f(index, in_section) for each line; in_section tells whether the
    // line lies in a section of that name (header lines excluded).
    template <class F>
    void walk(std::string_view section, F &&f) const;

    std::vector<Line> lines_;
    std::string eol_ = "\n";
};

// Loads a file; a missing file gives an empty document, an unreadable one
// nothing.
std::optional<Document> load(const char *path);
// Writes the document over the file atomically; false when it can't, or
// when the file is read-only.
bool save(const char *path, const Document &doc);

// Copies the value, or `def` when the file, section or key is missing (a
// null default counts as ""), into `out`, cut to size - 1 characters and
// always NUL-terminated when size > 0. Returns the copied length. A null
// section or key copies the default.
std::size_t ini_read(const char *path, const char *section, const char *key, const char *def,
                     char *out, std::size_t size);
// Sets a key; a null value removes the key, a null key the whole section.
// Creates the file and the section as needed. False when the file can't be
// read or modified (read-only file, folder not writable, full disk) or the
// names can't be stored; the file is then unchanged. Writers within one
// process are serialised.
bool ini_write(const char *path, const char *section, const char *key, const char *value);
// Key names of a section, in file order; empty for a missing file or section.
std::vector<std::string> ini_keys(const char *path, const char *section);

}  // namespace kel::ini
