// Decomposes arbitrary text as a request URI, alone and through the GET
// builder, and checks the fields against the text they came from.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kelhttpe.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void check_uri_fields(const kelHttpEntete *che, const std::string &uri) {
    check(che->port >= 1 && che->port <= 65535);
    check(che->protocole != nullptr && che->hote != nullptr && che->chemin != nullptr);
    check(che->chemin[0] == '\0' || che->chemin[0] == '/');
    // Scheme, host and path are pieces of the text; nothing is invented
    // beside the default scheme and the path's leading slash.
    check(std::strcmp(che->protocole, "http") == 0 || uri.find(che->protocole) != std::string::npos);
    check(uri.find(che->hote) != std::string::npos);
    if (che->chemin[0] != '\0') check(uri.find(che->chemin + 1) != std::string::npos);
    check(std::strchr(che->hote, '/') == nullptr);
    // Brackets only around an IPv6 literal.
    check(std::strchr(che->hote, ']') == nullptr || che->hote[0] == '[');
    check(std::strchr(che->hote + (che->hote[0] == '[' ? 1 : 0), '[') == nullptr);
    // A colon only inside the brackets of an IPv6 literal, which hold
    // nothing but its digits, colons, dots and zone.
    if (std::strchr(che->hote, ':') != nullptr) {
        const std::string host = che->hote;
        check(host.size() >= 4 && host.front() == '[' && host.back() == ']');
        for (size_t i = 1; i + 1 < host.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(host[i]);
            check(std::isalnum(c) || std::strchr(":.%-_~", c) != nullptr);
        }
    }
    check(std::strchr(che->chemin, ' ') == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string uri(reinterpret_cast<const char *>(data), size);
    // The text as a C string ends at its first NUL, as a received one would.
    const std::string c_uri(uri.c_str());

    if (kelHttpEntete *che = kelHttpE_cree_vide()) {
        const int32_t rc = kelHttpE_decortique_uri(che, uri.c_str());
        check(rc >= -4 && rc <= 0);
        if (rc == 0) check_uri_fields(che, c_uri);
        // A request line never hands over a target with a blank in it. The
        // absolute form of a record without a host ("scheme://:port/") is
        // not a URI that reads back.
        if (rc == 0 && c_uri.find(' ') == std::string::npos && che->hote[0] != '\0') {
            char *absolute = kelHttpE_en_str_uri(che, 1);
            check(absolute != nullptr);
            // The absolute form decomposes to the same host and path.
            kelHttpEntete *again = kelHttpE_cree_vide();
            check(again != nullptr);
            check(kelHttpE_decortique_uri(again, absolute) == 0);
            check(std::strcmp(again->hote, che->hote) == 0);
            check(std::strcmp(again->chemin, che->chemin) == 0);
            check(std::strcmp(again->protocole, che->protocole) == 0);
            if (che->port != 80) check(again->port == che->port);
            kelHttpE_detruit(&again);
            std::free(absolute);
        }
        kelHttpE_detruit(&che);
        check(che == nullptr);
    }

    if (kelHttpEntete *che = kelHttpE_cree_vide()) {
        if (kelHttpE_remplit_get(che, uri.c_str()) == 0) {
            check_uri_fields(che, c_uri);
            check(che->type == KEL_HE_REQUETE);
            check(std::strcmp(che->methode, "GET") == 0);
            check(std::strcmp(che->version, "HTTP/1.1") == 0);
            const char *host = kelHttpE_recup_param(che, "Host");
            check(host != nullptr && std::strcmp(host, che->hote) == 0);
            for (int32_t flag = 0; flag <= 1; ++flag) {
                char *text = kelHttpE_en_str(che, flag);
                check(text != nullptr);
                std::free(text);
            }
        }
        kelHttpE_detruit(&che);
    }
    return 0;
}
