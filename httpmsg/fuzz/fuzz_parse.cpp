// Feeds arbitrary text to both header parsers and to the URI decomposition,
// then serialises whatever parsed. Besides memory errors, it stops on any
// broken record invariant.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kelhttpe.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void check_record(const kelHttpEntete *che) {
    check(che->param_nb >= 0 && che->param_nb <= KEL_HE_MAX_PARAMS);
    for (int32_t i = 0; i < che->param_nb; ++i) {
        check(che->param[i] != nullptr && che->param[i][0] != '\0');
        check(che->param_val[i] != nullptr);
        for (int32_t j = 0; j < i; ++j) check(std::strcmp(che->param[i], che->param[j]) != 0);
    }
    for (int32_t i = che->param_nb; i < KEL_HE_MAX_PARAMS; ++i) check(che->param[i] == nullptr);
}

void check_uri_fields(const kelHttpEntete *che) {
    check(che->port >= 1 && che->port <= 65535);
    check(che->protocole != nullptr && che->hote != nullptr && che->chemin != nullptr);
    check(che->chemin[0] == '\0' || che->chemin[0] == '/');
}

void serialise(const kelHttpEntete *che) {
    for (int32_t flag = 0; flag <= 1; ++flag) {
        char *text = kelHttpE_en_str(che, flag);
        check(text != nullptr);
        std::free(text);
    }
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);

    if (kelHttpEntete *req = kelHttpE_cree_str(text.c_str(), KEL_HE_REQUETE)) {
        check_record(req);
        check_uri_fields(req);
        check(req->methode != nullptr && req->version != nullptr);
        serialise(req);
        kelHttpE_detruit(&req);
        check(req == nullptr);
    }

    if (kelHttpEntete *resp = kelHttpE_cree_str(text.c_str(), KEL_HE_REPONSE)) {
        check_record(resp);
        check(resp->version != nullptr && resp->message != nullptr);
        serialise(resp);
        kelHttpE_detruit(&resp);
    }

    if (kelHttpEntete *che = kelHttpE_cree_vide()) {
        if (kelHttpE_decortique_uri(che, text.c_str()) == 0) check_uri_fields(che);
        if (kelHttpE_remplit_get(che, text.c_str()) == 0) {
            check_record(che);
            serialise(che);
        }
        kelHttpE_detruit(&che);
    }
    return 0;
}
