// Byte buffers that carry their length, so that data with NUL bytes in it can
// be compared, searched and joined.
#include "keltampon.h"

#include <cstdlib>
#include <cstring>

#include "kelplat/diag.h"
#include "kelplat/guard.h"

namespace {

constexpr const char *kModule = "keltampon";

// Compares count bytes as unsigned values: the first difference, or 0.
int32_t compare_bytes(const unsigned char *a, const unsigned char *b, uint32_t count) noexcept {
    for (uint32_t i = 0; i < count; ++i) {
        if (a[i] != b[i]) return static_cast<int32_t>(a[i]) - static_cast<int32_t>(b[i]);
    }
    return 0;
}

}  // namespace

extern "C" KEL_API keltmp_tampon *keltmp_cree(uint32_t taille) {
    return kel::guard(__func__, static_cast<keltmp_tampon *>(nullptr), [&]() -> keltmp_tampon * {
        if (taille == 0) {
            KEL_DIAG();
            return nullptr;
        }
        auto *record = static_cast<keltmp_tampon *>(std::malloc(sizeof(keltmp_tampon)));
        if (record == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        record->donnees = static_cast<unsigned char *>(std::malloc(taille));
        if (record->donnees == nullptr) {
            std::free(record);
            KEL_DIAG();
            return nullptr;
        }
        record->longueur = taille;
        return record;
    });
}

extern "C" KEL_API void keltmp_detruit(keltmp_tampon **variable) {
    kel::guard_void(__func__, [&] {
        if (variable == nullptr || *variable == nullptr) {
            KEL_DIAG();
            return;
        }
        std::free((*variable)->donnees);
        std::free(*variable);
        *variable = nullptr;
    });
}

extern "C" KEL_API keltmp_tampon *keltmp_duplique(const keltmp_tampon *tampon) {
    return kel::guard(__func__, static_cast<keltmp_tampon *>(nullptr), [&]() -> keltmp_tampon * {
        if (tampon == nullptr || tampon->donnees == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        keltmp_tampon *copy = keltmp_cree(tampon->longueur);
        if (copy == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        std::memcpy(copy->donnees, tampon->donnees, tampon->longueur);
        return copy;
    });
}

extern "C" KEL_API int32_t keltmp_compare(const keltmp_tampon *a, const keltmp_tampon *b,
                                          uint32_t n) {
    return kel::guard(__func__, int32_t{256}, [&]() -> int32_t {
        if (a == nullptr || a->donnees == nullptr || b == nullptr || b->donnees == nullptr) {
            KEL_DIAG();
            return 256;
        }
        uint32_t count = n;
        if (a->longueur < count) count = a->longueur;
        if (b->longueur < count) count = b->longueur;
        return compare_bytes(a->donnees, b->donnees, count);
    });
}

extern "C" KEL_API void *keltmp_cherche_e(const void *donnees, uint32_t longueur, const void *motif,
                                          uint32_t motif_lng) {
    return kel::guard(__func__, static_cast<void *>(nullptr), [&]() -> void * {
        if (donnees == nullptr || motif == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        // Data exactly as long as the pattern is searched too: a header made
        // of nothing but the blank line must be found. Empty data holds
        // nothing, not even the empty pattern.
        if (longueur < motif_lng || longueur == 0) return nullptr;
        const auto *data = static_cast<const unsigned char *>(donnees);
        const auto *pattern = static_cast<const unsigned char *>(motif);
        const uint32_t last = longueur - motif_lng;
        for (uint32_t p = 0; p <= last; ++p) {
            if (compare_bytes(data + p, pattern, motif_lng) == 0)
                return const_cast<unsigned char *>(data + p);
        }
        return nullptr;
    });
}

extern "C" KEL_API void *keltmp_cherche(const keltmp_tampon *tampon, const keltmp_tampon *motif) {
    return kel::guard(__func__, static_cast<void *>(nullptr), [&]() -> void * {
        if (tampon == nullptr || tampon->donnees == nullptr || motif == nullptr ||
            motif->donnees == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        if (motif->longueur > tampon->longueur) {
            KEL_DIAG();
            return nullptr;
        }
        return keltmp_cherche_e(tampon->donnees, tampon->longueur, motif->donnees, motif->longueur);
    });
}

extern "C" KEL_API int32_t keltmp_concat(keltmp_tampon *a, const keltmp_tampon *b) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (a == nullptr || a->donnees == nullptr || b == nullptr || b->donnees == nullptr) {
            KEL_DIAG();
            return -1;
        }
        // Nothing to add: a resize to the same size could only fail.
        if (b->longueur == 0) return 0;
        const uint64_t total = uint64_t{a->longueur} + b->longueur;
        void *grown = nullptr;
        if (total <= UINT32_MAX) grown = std::realloc(a->donnees, static_cast<size_t>(total));
        if (grown == nullptr) {
            // The old block is released rather than leaked; the record is
            // left empty, as its data is gone.
            KEL_DIAG();
            std::free(a->donnees);
            a->donnees = nullptr;
            a->longueur = 0;
            return -1;
        }
        a->donnees = static_cast<unsigned char *>(grown);
        std::memcpy(a->donnees + a->longueur, b->donnees, b->longueur);
        a->longueur = static_cast<uint32_t>(total);
        return 0;
    });
}
