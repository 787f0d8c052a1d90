// Feeds arbitrary text to the request and response header parsers, checks
// the record invariants, serialises whatever parsed, and parses a serialised
// request again: the second record must hold what the first one held.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kelhttpe.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

bool same(const char *a, const char *b) {
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

void check_record(const kelHttpEntete *che) {
    check(che->param_nb >= 0 && che->param_nb <= KEL_HE_MAX_PARAMS);
    for (int32_t i = 0; i < che->param_nb; ++i) {
        check(che->param[i] != nullptr && che->param[i][0] != '\0');
        check(che->param_val[i] != nullptr);
        // A name stops at a blank or colon; a value never starts with one and
        // never spans a line end.
        check(std::strpbrk(che->param[i], " :\r\n") == nullptr);
        check(che->param_val[i][0] != ' ' && che->param_val[i][0] != ':');
        check(std::strpbrk(che->param_val[i], "\r\n") == nullptr);
        for (int32_t j = 0; j < i; ++j) check(std::strcmp(che->param[i], che->param[j]) != 0);
        check(kelHttpE_recup_param(che, che->param[i]) == che->param_val[i]);
    }
    for (int32_t i = che->param_nb; i < KEL_HE_MAX_PARAMS; ++i) check(che->param[i] == nullptr);
}

void check_uri_fields(const kelHttpEntete *che) {
    check(che->port >= 1 && che->port <= 65535);
    check(che->protocole != nullptr && che->hote != nullptr && che->chemin != nullptr);
    check(che->chemin[0] == '\0' || che->chemin[0] == '/');
}

void check_same_params(const kelHttpEntete *a, const kelHttpEntete *b) {
    check(a->param_nb == b->param_nb);
    for (int32_t i = 0; i < a->param_nb; ++i) {
        check(same(a->param[i], b->param[i]));
        check(same(a->param_val[i], b->param_val[i]));
    }
}

void serialise(const kelHttpEntete *che) {
    for (int32_t flag = 0; flag <= 1; ++flag) {
        char *text = kelHttpE_en_str(che, flag);
        check(text != nullptr);
        std::free(text);
    }
    char *params = kelHttpE_params_en_str(che);
    check(params != nullptr);
    std::free(params);
    if (che->type == KEL_HE_REQUETE) {
        char *uri = kelHttpE_en_str_uri(che, 1);
        check(uri != nullptr);
        std::free(uri);
        // The origin form always carries a request target.
        char *origin = kelHttpE_en_str_uri(che, 0);
        check(origin != nullptr && origin[0] == '/');
        std::free(origin);
    }
}

// The absolute form parses back into the same request. Port 80 is left out
// of the text for every scheme, so a scheme with another default port reads
// back with that default. A record without a host has no absolute form that
// reads back ("scheme://:port/").
void check_request_round_trip(const kelHttpEntete *req) {
    if (req->hote[0] == '\0') return;
    char *text = kelHttpE_en_str(req, 1);
    check(text != nullptr);
    kelHttpEntete *again = kelHttpE_cree_str(text, KEL_HE_REQUETE);
    std::free(text);
    check(again != nullptr);
    check(same(req->methode, again->methode));
    check(same(req->version, again->version));
    check(same(req->protocole, again->protocole));
    check(same(req->hote, again->hote));
    check(same(req->chemin, again->chemin));
    if (req->port != 80) check(req->port == again->port);
    check_same_params(req, again);
    kelHttpE_detruit(&again);
}

void check_response_round_trip(const kelHttpEntete *resp) {
    char *text = kelHttpE_en_str(resp, 0);
    check(text != nullptr);
    // Without a phrase of its own the status line ends early, and the first
    // field line would read as the phrase.
    const char *phrase = kelHttpE_code_en_str(resp->code);
    if (resp->code >= 0 && phrase != nullptr && phrase[0] != '\0' && phrase[0] != ' ') {
        kelHttpEntete *again = kelHttpE_cree_str(text, KEL_HE_REPONSE);
        check(again != nullptr);
        check(same(resp->version, again->version));
        check(resp->code == again->code);
        check_same_params(resp, again);
        kelHttpE_detruit(&again);
    }
    std::free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);

    if (kelHttpEntete *req = kelHttpE_cree_str(text.c_str(), KEL_HE_REQUETE)) {
        check(req->type == KEL_HE_REQUETE);
        check_record(req);
        check_uri_fields(req);
        check(req->methode != nullptr && req->version != nullptr);
        serialise(req);
        check_request_round_trip(req);
        // Removing a field keeps the others and the record's invariants.
        if (req->param_nb > 0) {
            const int32_t before = req->param_nb;
            std::string name = req->param[0];
            check(kelHttpE_enleve_param(req, name.c_str()) == 0);
            check(req->param_nb == before - 1);
            check(kelHttpE_recup_param(req, name.c_str()) == nullptr);
            check_record(req);
        }
        kelHttpE_detruit(&req);
        check(req == nullptr);
    }

    if (kelHttpEntete *resp = kelHttpE_cree_str(text.c_str(), KEL_HE_REPONSE)) {
        check(resp->type == KEL_HE_REPONSE);
        check_record(resp);
        check(resp->version != nullptr && resp->message != nullptr);
        serialise(resp);
        check_response_round_trip(resp);
        kelHttpE_detruit(&resp);
    }
    return 0;
}
