#include "request_framing.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "field_text.h"

namespace kel::server {
namespace {

constexpr std::string_view kCrlf = "\r\n";

bool is_tchar(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool is_token(std::string_view s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!is_tchar(c)) return false;
    return true;
}

// Field values may hold tabs and obs-text (0x80 and up), never other controls.
bool is_value_byte(unsigned char c) { return c == '\t' || (c >= 0x20 && c != 0x7F); }

// In the target even a tab is refused: some origins split the request line
// on any blank and would read a different target and version.
bool is_target_byte(unsigned char c) { return c > 0x20 && c != 0x7F; }

// Lines end in CR LF only: the parser would also split on a lone CR or LF.
const char *bare_line_end(std::string_view head) {
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n'))
            return "bare CR in request head";
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) return "bare LF in request head";
    }
    return nullptr;
}

const char *request_line_fault(std::string_view line, bool &is_http10) {
    const size_t first = line.find(' ');
    if (first == std::string_view::npos) return "request line without target and version";
    if (!is_token(line.substr(0, first))) return "request method is not a token";
    const size_t second = line.find(' ', first + 1);
    if (second == std::string_view::npos) return "request line without version";
    const std::string_view target = line.substr(first + 1, second - first - 1);
    if (target.empty()) return "stray space in request line";
    for (unsigned char c : target)
        if (!is_target_byte(c)) return "control character in request target";
    const std::string_view version = line.substr(second + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        if (version.empty() || version.find(' ') != std::string_view::npos) return "stray space in request line";
        return "request version is not HTTP/1.0 or HTTP/1.1";
    }
    is_http10 = version == "HTTP/1.0";
    return nullptr;
}

// 1*DIGIT within optional blanks, at most 2^63 - 1.
const char *content_length_fault(std::string_view value) {
    const std::string_view digits = trim_blanks(value);
    if (digits.empty()) return "empty Content-Length";
    uint64_t n = 0;
    constexpr uint64_t kMax = INT64_MAX;
    for (char c : digits) {
        if (c < '0' || c > '9') return "Content-Length is not a decimal number";
        const auto d = static_cast<uint64_t>(c - '0');
        if (n > (kMax - d) / 10) return "Content-Length overflows";
        n = n * 10 + d;
    }
    return nullptr;
}

struct FieldLine {
    std::string_view name;
    std::string_view value;
};

// The codings of the given Transfer-Encoding fields, in order, as one list.
// The last must be chunked and chunked must appear only there, or the origin
// cannot tell where the body ends. Empty members are refused too: not every
// origin skips them.
const char *transfer_coding_fault(const std::vector<FieldLine> &fields) {
    std::vector<std::string_view> codings;
    for (const FieldLine &field : fields) {
        std::string_view value = field.value;
        for (;;) {
            const size_t comma = value.find(',');
            const std::string_view member = trim_blanks(value.substr(0, comma));
            if (member.empty()) return "empty Transfer-Encoding member";
            const std::string_view name = trim_blanks(member.substr(0, member.find(';')));
            if (!is_token(name)) return "Transfer-Encoding member is not a token";
            codings.push_back(member);
            if (comma == std::string_view::npos) break;
            value.remove_prefix(comma + 1);
        }
    }
    for (size_t i = 0; i + 1 < codings.size(); ++i)
        if (equals_ignoring_case(codings[i], "chunked")) return "chunked is not the last transfer coding";
    if (!equals_ignoring_case(codings.back(), "chunked")) return "last transfer coding is not chunked";
    return nullptr;
}

// The fields as the header record keeps them, and so as the origin gets
// them: a name repeated with the same case keeps its first place and its
// last value.
std::vector<FieldLine> as_forwarded(const std::vector<FieldLine> &fields) {
    std::vector<FieldLine> kept;
    for (const FieldLine &field : fields) {
        bool replaced = false;
        for (FieldLine &earlier : kept) {
            if (earlier.name == field.name) {
                earlier.value = field.value;
                replaced = true;
                break;
            }
        }
        if (!replaced) kept.push_back(field);
    }
    return kept;
}

}  // namespace

std::string_view RequestHead::field(std::string_view name) const {
    for (const Field &f : fields)
        if (equals_ignoring_case(f.name, name)) return trim_blanks(f.value);
    return {};
}

const char *parse_request_head(std::string_view head, RequestHead *out) {
    *out = RequestHead{};
    const size_t line_end = std::min(head.find(kCrlf), head.find('\n'));
    out->request_line = head.substr(0, line_end);
    if (const char *fault = bare_line_end(head)) return fault;
    // Reception stops at the first blank line and the text ends at the first
    // NUL, so a head that does not end in its blank line held a NUL byte.
    const size_t blank = head.find("\r\n\r\n");
    if (blank == std::string_view::npos) return "request head cut short by a NUL byte or without a blank line";
    if (blank + 4 != head.size()) return "data after the blank line of the request head";

    if (line_end == 0) return "empty request line";
    bool is_http10 = false;
    if (const char *fault = request_line_fault(out->request_line, is_http10)) return fault;
    const size_t first = out->request_line.find(' ');
    const size_t second = out->request_line.find(' ', first + 1);
    out->method = out->request_line.substr(0, first);
    out->target = out->request_line.substr(first + 1, second - first - 1);
    out->version = out->request_line.substr(second + 1);

    int content_lengths = 0;
    std::vector<FieldLine> transfer_codings;
    size_t pos = line_end + 2;
    for (;;) {
        const size_t end = head.find(kCrlf, pos);
        const std::string_view line = head.substr(pos, end - pos);
        if (line.empty()) break;  // the blank line, known to end the head
        pos = end + 2;
        if (line.front() == ' ' || line.front() == '\t') return "folded field line";
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) return "field line without a colon";
        const std::string_view name = line.substr(0, colon);
        if (name.empty()) return "empty field name";
        if (!is_token(name)) return "field name is not a token";
        const std::string_view value = line.substr(colon + 1);
        for (unsigned char c : value)
            if (!is_value_byte(c)) return "control character in field value";
        out->fields.push_back({name, value});
        if (equals_ignoring_case(name, "Content-Length")) {
            if (++content_lengths > 1) return "several Content-Length fields";
            if (const char *fault = content_length_fault(value)) return fault;
        } else if (equals_ignoring_case(name, "Transfer-Encoding")) {
            transfer_codings.push_back({name, value});
        }
    }

    if (transfer_codings.empty()) return nullptr;
    if (content_lengths > 0) return "both Content-Length and Transfer-Encoding";
    // An HTTP/1.0 origin may ignore Transfer-Encoding and read the chunks as
    // the next request.
    if (is_http10) return "Transfer-Encoding in an HTTP/1.0 request";
    if (const char *fault = transfer_coding_fault(transfer_codings)) return fault;
    // Merging repeated names may reorder the codings the origin reads.
    if (transfer_coding_fault(as_forwarded(transfer_codings)) != nullptr)
        return "Transfer-Encoding fields would reach the origin reordered";
    return nullptr;
}

kelHttpEntete *request_record(const RequestHead &head) {
    kelHttpEntete *che = kelHttpE_cree_vide();
    if (che == nullptr) return nullptr;
    const std::string method(head.method), target(head.target), version(head.version);
    bool ok = kelHttpE_remplit_requete(che, method.c_str(), target.c_str(), version.c_str()) == 0;
    for (size_t i = 0; ok && i < head.fields.size(); ++i) {
        std::string_view value = head.fields[i].value;
        while (!value.empty() && (value.front() == ' ' || value.front() == ':')) value.remove_prefix(1);
        ok = kelHttpE_ajoute_param(che, std::string(head.fields[i].name).c_str(), std::string(value).c_str()) == 0;
    }
    if (!ok) kelHttpE_detruit(&che);
    return che;
}

const char *request_framing_fault(const char *text) {
    if (text == nullptr) return "no request head";
    RequestHead head;
    return parse_request_head(text, &head);
}

std::string percent_encode_non_ascii(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

bool encode_target_non_ascii(kelHttpEntete *che) {
    if (che == nullptr || che->chemin == nullptr) return true;
    const std::string_view path(che->chemin);
    bool any = false;
    for (unsigned char c : path) any = any || c >= 0x80;
    if (!any) return true;
    const std::string encoded = percent_encode_non_ascii(path);
    auto *copy = static_cast<char *>(std::malloc(encoded.size() + 1));
    if (copy == nullptr) return false;
    std::memcpy(copy, encoded.c_str(), encoded.size() + 1);
    std::free(che->chemin);
    che->chemin = copy;
    return true;
}

}  // namespace kel::server
