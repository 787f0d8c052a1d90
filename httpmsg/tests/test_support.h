// Helpers shared by the library's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "kelhttpe.h"

namespace kel::test {

struct RecordDeleter {
    void operator()(kelHttpEntete *p) const noexcept {
        if (p != nullptr) kelHttpE_detruit(&p);
    }
};
using Record = std::unique_ptr<kelHttpEntete, RecordDeleter>;

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
using Text = std::unique_ptr<char, FreeDeleter>;

inline Record fresh() { return Record(kelHttpE_cree_vide()); }

inline std::string str_or_null(const char *s) { return s ? std::string(s) : std::string("<null>"); }

inline std::string owned(char *s) {
    Text t(s);
    return str_or_null(t.get());
}

// The fields of a record as "name=value;" pairs, in list order.
inline std::string fields(const kelHttpEntete *che) {
    std::string out;
    for (int32_t i = 0; i < che->param_nb; ++i)
        out += str_or_null(che->param[i]) + "=" + str_or_null(che->param_val[i]) + ";";
    return out;
}

}  // namespace kel::test
