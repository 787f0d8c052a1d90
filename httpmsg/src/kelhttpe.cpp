// Header record: creation, field list, parsing, URI decomposition, builders,
// serialisation and status phrases.
#include "kelhttpe.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kelchaine.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/owned.h"

namespace kel::httpe {
namespace {

constexpr const char *kModule = "kelhttpe";

using Owned = std::unique_ptr<char, FreeDeleter>;

// ---------------------------------------------------------------------------
// Token walking

enum class Took { Token, Nothing, NoMemory };

struct Token {
    Took status = Took::Nothing;
    Owned text;
    bool ok() const { return status == Took::Token; }
};

bool is_separator(char c, const char *separators) {
    return c != '\0' && std::strchr(separators, c) != nullptr;
}

// One kelstr_extrait step. Ends of text are handled here so that they give
// nothing without the support library's diagnostic line; the cursor moves
// exactly as kelstr_extrait would move it (null once only separators remain,
// unchanged on an empty text), because callers tell "ended the text" from
// "followed by separators" by it.
Token take(const char **cursor, const char *separators) {
    Token t;
    if (*cursor == nullptr || **cursor == '\0') return t;
    const char *p = *cursor;
    while (is_separator(*p, separators)) ++p;
    if (*p == '\0') {
        *cursor = nullptr;
        return t;
    }
    t.text.reset(kelstr_extrait(cursor, separators));
    t.status = t.text ? Took::Token : Took::NoMemory;
    return t;
}

// Replaces an owned string field with a copy of text.
bool assign_copy(char *&field, const char *text) {
    char *copy = kelstr_cree(text);
    if (copy == nullptr) return false;
    std::free(field);
    field = copy;
    return true;
}

void assign_owned(char *&field, Owned text) {
    std::free(field);
    field = text.release();
}

bool equals_ignoring_case(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return *a == *b;
}

bool param_count_valid(const kelHttpEntete *che) {
    return che->param_nb >= 0 && che->param_nb <= KEL_HE_MAX_PARAMS;
}

// ---------------------------------------------------------------------------
// Field list

void clear_params(kelHttpEntete *che) {
    int32_t n = che->param_nb;
    if (n < 0) n = 0;
    if (n > KEL_HE_MAX_PARAMS) n = KEL_HE_MAX_PARAMS;
    for (int32_t i = 0; i < n; ++i) {
        std::free(che->param[i]);
        std::free(che->param_val[i]);
        che->param[i] = nullptr;
        che->param_val[i] = nullptr;
    }
    che->param_nb = 0;
}

// Index of the entry named name, param_nb when absent, -1 when an entry in
// use has no name.
int32_t find_param(const kelHttpEntete *che, const char *name) {
    for (int32_t i = 0; i < che->param_nb; ++i) {
        if (che->param[i] == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            return -1;
        }
        if (std::strcmp(che->param[i], name) == 0) return i;
    }
    return che->param_nb;
}

int32_t add_param(kelHttpEntete *che, const char *name, const char *value) {
    if (che == nullptr || name == nullptr || value == nullptr || !param_count_valid(che)) {
        KEL_DIAG();
        return -1;
    }
    const int32_t i = find_param(che, name);
    if (i < 0) return -1;
    if (i >= KEL_HE_MAX_PARAMS) {
        KEL_DIAG_MSG("Nombre de paramètres excédé");
        return -1;
    }
    // Copy first: name or value may be the record's own strings.
    Owned name_copy(kelstr_cree(name));
    Owned value_copy(kelstr_cree(value));
    if (!name_copy || !value_copy) {
        KEL_DIAG();
        return -1;
    }
    assign_owned(che->param[i], std::move(name_copy));
    assign_owned(che->param_val[i], std::move(value_copy));
    if (i == che->param_nb) ++che->param_nb;
    return 0;
}

int32_t remove_param(kelHttpEntete *che, const char *name) {
    if (che == nullptr || name == nullptr || !param_count_valid(che)) {
        KEL_DIAG();
        return -1;
    }
    const int32_t i = find_param(che, name);
    if (i < 0) return -1;
    if (i == che->param_nb) return 0;
    const int32_t last = che->param_nb - 1;
    std::free(che->param[i]);
    std::free(che->param_val[i]);
    che->param[i] = che->param[last];
    che->param_val[i] = che->param_val[last];
    che->param[last] = nullptr;
    che->param_val[last] = nullptr;
    che->param_nb = last;
    return 0;
}

// ---------------------------------------------------------------------------
// URI decomposition

int32_t default_port(const char *scheme) {
    if (equals_ignoring_case(scheme, "HTTP")) return 80;
    if (equals_ignoring_case(scheme, "FTP")) return 21;
    if (equals_ignoring_case(scheme, "HTTPS")) return 8080;
    return 80;
}

// Leading decimal digits as a port. More than five significant digits are
// out of range whatever 32-bit arithmetic would wrap them to (":4294967376"
// must not come out as port 80).
int32_t leading_port(const char *text) {
    if (text == nullptr) return 0;
    size_t zeros = 0;
    while (text[zeros] == '0') ++zeros;
    size_t digits = 0;
    while (text[zeros + digits] >= '0' && text[zeros + digits] <= '9') ++digits;
    if (digits > 5) return 65536;
    return kelstr_enint(text);
}

bool valid_port(int32_t port) { return port >= 1 && port <= 65535; }

// The text between the brackets of an IPv6 literal host: hex digits,
// colons (at least two) and the dots of an embedded IPv4 part, then maybe
// a zone after "%" (RFC 6874 writes it "%25"). Anything else would reach
// the resolver and the origin's Host field as it came.
bool ipv6_literal_text(const char *begin, const char *end) {
    int colons = 0;
    const char *c = begin;
    for (; c < end && *c != '%'; ++c) {
        if (*c == ':') {
            ++colons;
        } else if (!std::isxdigit(static_cast<unsigned char>(*c)) && *c != '.') {
            return false;
        }
    }
    if (colons < 2) return false;
    if (c == end) return true;
    if (++c == end) return false;  // "%" with no zone
    for (; c < end; ++c) {
        const unsigned char z = static_cast<unsigned char>(*c);
        if (!std::isalnum(z) && z != '-' && z != '.' && z != '_' && z != '~' && z != '%') return false;
    }
    return true;
}

int32_t decompose_uri(kelHttpEntete *che, const char *uri) {
    if (che == nullptr || uri == nullptr) {
        KEL_DIAG();
        return -1;
    }
    const char *cursor = uri;
    if (std::strstr(uri, "://") != nullptr) {
        Token scheme = take(&cursor, ":");
        if (scheme.status == Took::NoMemory) {
            KEL_DIAG();
            return -4;
        }
        // The two characters of "//" must still be there to be passed over
        // ("://x" leaves nothing behind its scheme token).
        if (!scheme.ok() || cursor == nullptr || cursor[0] == '\0' || cursor[1] == '\0') {
            KEL_DIAG();
            return -1;
        }
        cursor += 2;
        assign_owned(che->protocole, std::move(scheme.text));
    } else if (!assign_copy(che->protocole, "http")) {
        KEL_DIAG();
        return -4;
    }
    const int32_t port_by_scheme = default_port(che->protocole);

    Token authority = take(&cursor, "/");
    if (authority.status == Took::NoMemory) {
        KEL_DIAG();
        return -4;
    }
    if (!authority.ok()) {
        che->port = port_by_scheme;
        if (!assign_copy(che->hote, "")) {
            KEL_DIAG();
            return -4;
        }
    } else if (authority.text.get()[0] == '[') {
        // An IPv6 literal keeps its brackets: its colons are not the port's.
        const char *text = authority.text.get();
        const char *close = std::strchr(text, ']');
        if (close == nullptr || (close[1] != '\0' && close[1] != ':') || !ipv6_literal_text(text + 1, close)) {
            KEL_DIAG();
            return -2;
        }
        const std::string host(text, static_cast<size_t>(close - text) + 1);
        if (!assign_copy(che->hote, host.c_str())) {
            KEL_DIAG();
            return -4;
        }
        che->port = close[1] == ':' ? leading_port(close + 2) : port_by_scheme;
        if (che->port == 0) {
            KEL_DIAG();
            return -2;
        }
    } else if (kelstr_contient(authority.text.get(), ':')) {
        const char *inner = authority.text.get();
        Token host = take(&inner, ":");
        if (host.status == Took::NoMemory) {
            KEL_DIAG();
            return -4;
        }
        // Brackets belong to an IPv6 literal only, which starts with one.
        if (!host.ok() || std::strpbrk(host.text.get(), "[]") != nullptr) {
            KEL_DIAG();
            return -2;
        }
        assign_owned(che->hote, std::move(host.text));
        che->port = leading_port(inner);
        if (che->port == 0) {
            KEL_DIAG();
            return -2;
        }
    } else {
        if (std::strpbrk(authority.text.get(), "[]") != nullptr) {
            KEL_DIAG();
            return -2;
        }
        assign_owned(che->hote, std::move(authority.text));
        che->port = port_by_scheme;
    }

    if (!valid_port(che->port)) {
        KEL_DIAG_MSG("port non valide");
        return -3;
    }

    if (cursor == nullptr) {
        // The authority ended the text: nothing, not even a slash, follows.
        if (!assign_copy(che->chemin, "")) {
            KEL_DIAG();
            return -4;
        }
        return 0;
    }
    Token path = take(&cursor, " ");
    if (path.status == Took::NoMemory) {
        KEL_DIAG();
        return -4;
    }
    const char *rest = path.ok() ? path.text.get() : "";
    const size_t len = std::strlen(rest);
    Owned joined(static_cast<char *>(std::malloc(len + 2)));
    if (!joined) {
        KEL_DIAG();
        return -4;
    }
    joined.get()[0] = '/';
    std::memcpy(joined.get() + 1, rest, len + 1);
    assign_owned(che->chemin, std::move(joined));
    return 0;
}

// ---------------------------------------------------------------------------
// Parsing

// Header lines up to the end of the text. A line whose name runs to the end
// of the line ends the header (it and every later line are dropped); a name
// followed only by separators is stored with an empty value.
int32_t parse_fields(kelHttpEntete *che, const char **cursor) {
    for (;;) {
        Token line = take(cursor, "\r\n");
        if (line.status == Took::NoMemory) {
            KEL_DIAG();
            return -1;
        }
        if (!line.ok()) return 0;
        const char *in_line = line.text.get();
        Token name = take(&in_line, " :");
        if (name.status == Took::NoMemory) {
            KEL_DIAG();
            return -1;
        }
        if (!name.ok() || in_line == nullptr) return 0;
        Token value = take(&in_line, "\r\n");
        if (value.status == Took::NoMemory) {
            KEL_DIAG();
            return -1;
        }
        if (add_param(che, name.text.get(), value.ok() ? value.text.get() : "") < 0) return -1;
    }
}

int32_t parse_request(kelHttpEntete *che, const char *str) {
    if (che == nullptr || str == nullptr) {
        KEL_DIAG();
        return -1;
    }
    clear_params(che);
    che->type = KEL_HE_REQUETE;
    const char *cursor = str;

    Token method = take(&cursor, " ");
    if (!method.ok()) {
        KEL_DIAG();
        return -1;
    }
    assign_owned(che->methode, std::move(method.text));

    Token uri = take(&cursor, " ");
    if (uri.status == Took::NoMemory) {
        KEL_DIAG();
        return -1;
    }
    if (!uri.ok()) {
        KEL_DIAG();
        return -2;
    }
    if (decompose_uri(che, uri.text.get()) < 0) return -1;
    uri.text.reset();

    Token version = take(&cursor, "\r\n ");
    if (!version.ok()) {
        KEL_DIAG();
        return -1;
    }
    assign_owned(che->version, std::move(version.text));
    return parse_fields(che, &cursor);
}

int32_t parse_response(kelHttpEntete *che, const char *str) {
    if (che == nullptr || str == nullptr) {
        KEL_DIAG();
        return -1;
    }
    che->type = KEL_HE_REPONSE;
    const char *cursor = str;

    Token version = take(&cursor, " ");
    if (!version.ok()) {
        KEL_DIAG();
        return -1;
    }
    assign_owned(che->version, std::move(version.text));

    Token status = take(&cursor, " ");
    if (status.status == Took::NoMemory) {
        KEL_DIAG();
        return -1;
    }
    if (!status.ok()) {
        KEL_DIAG();
        return -2;
    }
    che->code = kelstr_enint(status.text.get());
    status.text.reset();

    Token phrase = take(&cursor, "\r\n");
    if (phrase.status == Took::NoMemory) {
        KEL_DIAG();
        return -1;
    }
    if (!phrase.ok()) {
        KEL_DIAG();
        return -3;
    }
    assign_owned(che->message, std::move(phrase.text));
    return parse_fields(che, &cursor);
}

int32_t parse(kelHttpEntete *che, const char *str, kelHttpE_type type) {
    switch (type) {
    case KEL_HE_REQUETE:
        return parse_request(che, str);
    case KEL_HE_REPONSE:
        return parse_response(che, str);
    default:
        KEL_DIAG_MSG("Type inconnu");
        return -1;
    }
}

void destroy(kelHttpEntete *che) {
    clear_params(che);
    std::free(che->methode);
    std::free(che->hote);
    std::free(che->chemin);
    std::free(che->message);
    std::free(che->version);
    std::free(che->protocole);
    std::free(che);
}

struct RecordDeleter {
    void operator()(kelHttpEntete *p) const noexcept { destroy(p); }
};
using Record = std::unique_ptr<kelHttpEntete, RecordDeleter>;

kelHttpEntete *create_empty() {
    auto *che = static_cast<kelHttpEntete *>(std::calloc(1, sizeof(kelHttpEntete)));
    if (che == nullptr) KEL_DIAG();
    return che;
}

// ---------------------------------------------------------------------------
// Builders

int32_t fill_request(kelHttpEntete *che, const char *method, const char *uri,
                     const char *version) {
    if (che == nullptr || method == nullptr || version == nullptr) {
        KEL_DIAG();
        return -1;
    }
    che->type = KEL_HE_REQUETE;
    if (decompose_uri(che, uri) < 0) return -1;
    if (!assign_copy(che->methode, method) || !assign_copy(che->version, version)) {
        KEL_DIAG();
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Serialisation

// Copies the text into a block the caller releases with free().
char *to_owned(const std::string &text) {
    auto *out = static_cast<char *>(std::malloc(text.size() + 1));
    if (out == nullptr) {
        KEL_DIAG();
        return nullptr;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

bool append_params(std::string &out, const kelHttpEntete *che) {
    if (!param_count_valid(che)) {
        KEL_DIAG();
        return false;
    }
    for (int32_t i = 0; i < che->param_nb; ++i) {
        if (che->param[i] == nullptr || che->param_val[i] == nullptr) {
            KEL_DIAG_MSG("Parametre null");
            return false;
        }
        out += che->param[i];
        out += ": ";
        out += che->param_val[i];
        out += "\r\n";
    }
    return true;
}

// Scheme, host and, unless it is 80, the port: the prefix of an absolute URI.
bool append_absolute_prefix(std::string &out, const kelHttpEntete *che) {
    if (che->protocole == nullptr || che->hote == nullptr) {
        KEL_DIAG();
        return false;
    }
    out += che->protocole;
    out += "://";
    out += che->hote;
    if (che->port != 80) {
        out += ':';
        out += std::to_string(che->port);
    }
    return true;
}

// The request target. The origin form of an empty path is "/": an empty
// target between method and version is not a valid request line.
bool append_target(std::string &out, const kelHttpEntete *che, bool absolute) {
    if (absolute && !append_absolute_prefix(out, che)) return false;
    if (che->chemin == nullptr) {
        KEL_DIAG();
        return false;
    }
    out += (!absolute && che->chemin[0] == '\0') ? "/" : che->chemin;
    return true;
}

char *request_text(const kelHttpEntete *che, bool absolute) {
    if (che->methode == nullptr || che->version == nullptr) {
        KEL_DIAG();
        return nullptr;
    }
    std::string out;
    out += che->methode;
    out += ' ';
    if (!append_target(out, che, absolute)) return nullptr;
    out += ' ';
    out += che->version;
    out += "\r\n";
    if (!append_params(out, che)) return nullptr;
    out += "\r\n";
    return to_owned(out);
}

const char *phrase_of(int32_t code);

char *response_text(const kelHttpEntete *che) {
    if (che->version == nullptr) {
        KEL_DIAG();
        return nullptr;
    }
    std::string out;
    out += che->version;
    out += ' ';
    out += std::to_string(che->code);
    out += ' ';
    out += phrase_of(che->code);
    out += "\r\n";
    if (!append_params(out, che)) return nullptr;
    out += "\r\n";
    return to_owned(out);
}

char *header_text(const kelHttpEntete *che, int32_t proxy) {
    switch (che->type) {
    case KEL_HE_REQUETE:
        return request_text(che, proxy != 0);
    case KEL_HE_REPONSE:
        return response_text(che);
    default:
        KEL_DIAG_MSG("Type inconnu");
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// Status phrases

constexpr const char *kInformational[] = {"Continue", "Switching Protocols"};
constexpr const char *kSuccess[] = {"OK",
                                    "Created",
                                    "Accepted",
                                    "Non-Authoritative Information",
                                    "No Content",
                                    "Reset Content",
                                    "Partial Content"};
constexpr const char *kRedirection[] = {"Multiple Choices", "Moved Permanently", "Found",
                                        "See Other",        "Not Modified",      "Use Proxy",
                                        "(unused)",         "Temporary Redirect"};
constexpr const char *kClientError[] = {"Bad Request",
                                        "Unauthorized",
                                        "Payment Required",
                                        "Forbidden",
                                        "Not Found",
                                        "Method Not Allowed",
                                        "Not Acceptable",
                                        "Proxy Authentication Required",
                                        "Request Timeout",
                                        "Conflict",
                                        "Gone",
                                        "Length Required",
                                        "Precondition Failed",
                                        "Request Entity Too Large",
                                        "Request-URI Too Long",
                                        "Unsupported Media Type",
                                        "Requested Range Not Satisfiable",
                                        "Expectation Failed"};
constexpr const char *kServerError[] = {"Internal Server Error", "Not Implemented",
                                        "Bad Gateway",           "Service Unavailable",
                                        "Gateway Timeout",       "HTTP Version Not Supported"};

template <size_t N>
const char *lookup(const char *const (&group)[N], int32_t first, int32_t code) {
    if (code < first || code - first >= static_cast<int32_t>(N)) return nullptr;
    return group[code - first];
}

const char *phrase_of(int32_t code) {
    const char *phrase = nullptr;
    if (!phrase) phrase = lookup(kInformational, 100, code);
    if (!phrase) phrase = lookup(kSuccess, 200, code);
    if (!phrase) phrase = lookup(kRedirection, 300, code);
    if (!phrase) phrase = lookup(kClientError, 400, code);
    if (!phrase) phrase = lookup(kServerError, 500, code);
    return phrase ? phrase : "Unknown";
}

}  // namespace
}  // namespace kel::httpe

using namespace kel::httpe;

// ---------------------------------------------------------------------------
// Exported operations

extern "C" KELHTTP_API kelHttpEntete *kelHttpE_cree_vide(void) {
    return kel::guard(__func__, static_cast<kelHttpEntete *>(nullptr), [] { return create_empty(); });
}

extern "C" KELHTTP_API kelHttpEntete *kelHttpE_cree_str(const char *cs_str, kelHttpE_type type) {
    return kel::guard(__func__, static_cast<kelHttpEntete *>(nullptr), [&]() -> kelHttpEntete * {
        Record che(create_empty());
        if (!che) return nullptr;
        if (parse(che.get(), cs_str, type) < 0) {
            KEL_DIAG();
            return nullptr;
        }
        return che.release();
    });
}

extern "C" KELHTTP_API kelHttpEntete *kelHttpE_cree_net(uint32_t sd, kelHttpE_type type) {
    return kel::guard(__func__, static_cast<kelHttpEntete *>(nullptr), [&]() -> kelHttpEntete * {
        Record che(create_empty());
        if (!che) return nullptr;
        char *received = nullptr;
        const int32_t got = kelnet_recup_entete(sd, &received);
        Owned text(received);
        if (got < 0 || !text) return nullptr;
        if (parse(che.get(), text.get(), type) < 0) return nullptr;
        return che.release();
    });
}

extern "C" KELHTTP_API void kelHttpE_detruit(kelHttpEntete **che) {
    kel::guard_void(__func__, [&] {
        if (che == nullptr || *che == nullptr) {
            KEL_DIAG();
            return;
        }
        destroy(*che);
        *che = nullptr;
    });
}

extern "C" KELHTTP_API void kelHttpE_vire_params(kelHttpEntete *che) {
    kel::guard_void(__func__, [&] {
        if (che == nullptr) {
            KEL_DIAG();
            return;
        }
        clear_params(che);
    });
}

extern "C" KELHTTP_API int32_t kelHttpE_ajoute_param(kelHttpEntete *che, const char *prm,
                                                     const char *prm_val) {
    return kel::guard(__func__, int32_t{-1}, [&] { return add_param(che, prm, prm_val); });
}

extern "C" KELHTTP_API int32_t kelHttpE_enleve_param(kelHttpEntete *che, const char *prm) {
    return kel::guard(__func__, int32_t{-1}, [&] { return remove_param(che, prm); });
}

extern "C" KELHTTP_API const char *kelHttpE_recup_param(const kelHttpEntete *che,
                                                        const char *etiquette) {
    return kel::guard(__func__, static_cast<const char *>(nullptr), [&]() -> const char * {
        if (che == nullptr || etiquette == nullptr || !param_count_valid(che)) {
            KEL_DIAG();
            return nullptr;
        }
        for (int32_t i = 0; i < che->param_nb; ++i) {
            if (che->param[i] != nullptr && std::strcmp(che->param[i], etiquette) == 0)
                return che->param_val[i];
        }
        return nullptr;
    });
}

extern "C" KELHTTP_API int32_t kelHttpE_decortique_uri(kelHttpEntete *che, const char *uri) {
    return kel::guard(__func__, int32_t{-1}, [&] { return decompose_uri(che, uri); });
}

extern "C" KELHTTP_API int32_t kelHttpE_remplit_str(kelHttpEntete *che, const char *str,
                                                    kelHttpE_type type) {
    return kel::guard(__func__, int32_t{-1}, [&] { return parse(che, str, type); });
}

extern "C" KELHTTP_API int32_t kelHttpE_remplit_str_requete(kelHttpEntete *che, const char *str) {
    return kel::guard(__func__, int32_t{-1}, [&] { return parse_request(che, str); });
}

extern "C" KELHTTP_API int32_t kelHttpE_remplit_str_reponse(kelHttpEntete *che, const char *str) {
    return kel::guard(__func__, int32_t{-1}, [&] { return parse_response(che, str); });
}

extern "C" KELHTTP_API int32_t kelHttpE_remplit_requete(kelHttpEntete *che, const char *methode,
                                                        const char *uri, const char *version) {
    return kel::guard(__func__, int32_t{-1},
                      [&] { return fill_request(che, methode, uri, version); });
}

extern "C" KELHTTP_API int32_t kelHttpE_remplit_get(kelHttpEntete *che, const char *uri) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (che == nullptr) {
            KEL_DIAG();
            return -1;
        }
        clear_params(che);
        if (fill_request(che, "GET", uri, "HTTP/1.1") < 0) return -1;
        // The host alone: a caller that needs the port in "Host" adds it.
        if (add_param(che, "Host", che->hote) < 0) return -1;
        if (add_param(che, "Accept", "*/*") < 0) return -1;
        if (!assign_copy(che->version, "HTTP/1.1")) {
            KEL_DIAG();
            return -1;
        }
        return 0;
    });
}

extern "C" KELHTTP_API int32_t kelHttpE_remplit_reponse(kelHttpEntete *che, int32_t i_code,
                                                        const char *version) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (che == nullptr || version == nullptr) {
            KEL_DIAG();
            return -1;
        }
        clear_params(che);
        che->type = KEL_HE_REPONSE;
        if (!assign_copy(che->message, phrase_of(i_code))) {
            KEL_DIAG();
            return -1;
        }
        che->code = i_code;
        if (!assign_copy(che->version, version)) {
            KEL_DIAG();
            return -1;
        }
        return 0;
    });
}

extern "C" KELHTTP_API char *kelHttpE_params_en_str(const kelHttpEntete *che) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (che == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        std::string out;
        if (!append_params(out, che)) return nullptr;
        return to_owned(out);
    });
}

extern "C" KELHTTP_API char *kelHttpE_en_str_requete(const kelHttpEntete *che,
                                                     int32_t i_requete_proxy) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (che == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        return request_text(che, i_requete_proxy != 0);
    });
}

extern "C" KELHTTP_API char *kelHttpE_en_str_reponse(const kelHttpEntete *che) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (che == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        return response_text(che);
    });
}

extern "C" KELHTTP_API char *kelHttpE_en_str(const kelHttpEntete *che, int32_t i_proxy) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (che == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        return header_text(che, i_proxy);
    });
}

extern "C" KELHTTP_API char *kelHttpE_en_str_uri(const kelHttpEntete *che,
                                                 int32_t i_requete_proxy) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (che == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        std::string out;
        if (!append_target(out, che, i_requete_proxy != 0)) return nullptr;
        return to_owned(out);
    });
}

extern "C" KELHTTP_API int32_t kelHttpE_en_net(uint32_t sd, const kelHttpEntete *che,
                                               int32_t i_proxy) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (che == nullptr) {
            KEL_DIAG();
            return -1;
        }
        Owned text(header_text(che, i_proxy));
        if (!text) {
            KEL_DIAG();
            return -1;
        }
        return kelnet_envoie_str(sd, text.get());
    });
}

extern "C" KELHTTP_API const char *kelHttpE_code_en_str(int32_t code) {
    return phrase_of(code);
}
