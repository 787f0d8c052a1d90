// Text toolkit: heap copies, tokenising, appending, formatted output,
// prefix comparison, search and leading-digit conversion.
#include "kelchaine.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "format_growth.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "keltampon.h"

namespace {

constexpr const char *kModule = "kelchaine";

// Wraps a text in a buffer record over its characters, without the NUL.
keltmp_tampon as_record(const char *text) noexcept {
    keltmp_tampon record;
    record.longueur = static_cast<uint32_t>(std::strlen(text));
    record.donnees = reinterpret_cast<unsigned char *>(const_cast<char *>(text));
    return record;
}

}  // namespace

namespace kel::format {

char *vformat(const char *fmt, va_list ap, std::size_t *length) noexcept {
    std::size_t size = kInitialBytes;
    char *block = static_cast<char *>(std::malloc(size));
    if (block == nullptr) return nullptr;
    for (;;) {
        va_list copy;
        va_copy(copy, ap);
        const int result = std::vsnprintf(block, size, fmt, copy);
        va_end(copy);
        const std::size_t next = next_size(size, result);
        if (next == 0) {
            if (length != nullptr) *length = static_cast<std::size_t>(result);
            return block;
        }
        if (result < 0 && next > kMaxBlindBytes) break;
        char *grown = static_cast<char *>(std::realloc(block, next));
        if (grown == nullptr) break;
        block = grown;
        size = next;
    }
    std::free(block);
    return nullptr;
}

}  // namespace kel::format

extern "C" KEL_API char *kelstr_cree(const char *texte) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (texte == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        return ::strdup(texte);
    });
}

extern "C" KEL_API char *kelstr_cree_n(const char *texte, uint32_t n) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (texte == nullptr || n == 0) {
            KEL_DIAG();
            return nullptr;
        }
        // Looks no further than n characters: the text may be a long one.
        if (::strnlen(texte, n) < n) {
            KEL_DIAG();
            return nullptr;
        }
        char *copy = static_cast<char *>(std::malloc(std::size_t{n} + 1));
        if (copy == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        std::memcpy(copy, texte, n);
        copy[n] = '\0';
        return copy;
    });
}

extern "C" KEL_API void kelstr_detruit(char **variable) {
    kel::guard_void(__func__, [&] {
        if (variable == nullptr || *variable == nullptr) {
            KEL_DIAG();
            return;
        }
        std::free(*variable);
        *variable = nullptr;
    });
}

extern "C" KEL_API uint32_t kelstr_longeur(const char *texte) {
    return kel::guard(__func__, uint32_t{0}, [&]() -> uint32_t {
        if (texte == nullptr) {
            KEL_DIAG();
            return 0;
        }
        return static_cast<uint32_t>(std::strlen(texte));
    });
}

extern "C" KEL_API int32_t kelstr_contient(const char *texte, char caractere) {
    return kel::guard(__func__, int32_t{0}, [&]() -> int32_t {
        if (texte == nullptr) {
            KEL_DIAG();
            return 0;
        }
        if (caractere == '\0') return 0;
        return std::strchr(texte, caractere) != nullptr ? 1 : 0;
    });
}

extern "C" KEL_API int32_t kelstr_compare(const char *a, const char *b, uint32_t n) {
    return kel::guard(__func__, int32_t{256}, [&]() -> int32_t {
        if (a == nullptr || b == nullptr) {
            KEL_DIAG();
            return 256;
        }
        keltmp_tampon ra = as_record(a);
        keltmp_tampon rb = as_record(b);
        return keltmp_compare(&ra, &rb, n);
    });
}

extern "C" KEL_API char *kelstr_cherche(const char *texte, const char *motif) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (texte == nullptr || motif == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        keltmp_tampon text = as_record(texte);
        keltmp_tampon pattern = as_record(motif);
        return static_cast<char *>(keltmp_cherche(&text, &pattern));
    });
}

extern "C" KEL_API char *kelstr_concat(char **variable, const char *suffixe) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (variable == nullptr || *variable == nullptr || suffixe == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        keltmp_tampon text = as_record(*variable);
        // A suffix taken from the text itself would move with the block;
        // copy it first instead of reading freed memory.
        std::string own_copy;
        const auto begin = reinterpret_cast<std::uintptr_t>(*variable);
        const auto at = reinterpret_cast<std::uintptr_t>(suffixe);
        if (at >= begin && at <= begin + text.longueur) {
            own_copy.assign(suffixe);
            suffixe = own_copy.c_str();
        }
        keltmp_tampon suffix = as_record(suffixe);
        ++suffix.longueur;  // the NUL goes along
        if (keltmp_concat(&text, &suffix) != 0) {
            *variable = nullptr;
            return nullptr;
        }
        *variable = reinterpret_cast<char *>(text.donnees);
        return *variable;
    });
}

extern "C" KEL_API int32_t kelstr_print(char **variable, const char *format, ...) {
    if (variable == nullptr) {
        KEL_DIAG();
        return -1;
    }
    *variable = nullptr;
    if (format == nullptr) {
        KEL_DIAG();
        return -1;
    }
    va_list ap;
    va_start(ap, format);
    char *text = kel::format::vformat(format, ap, nullptr);
    va_end(ap);
    if (text == nullptr) {
        KEL_DIAG();
        return -1;
    }
    *variable = text;
    return 0;
}

extern "C" KEL_API char *kelstr_saute(const char *texte, const char *separateurs) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (texte == nullptr || separateurs == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        if (*texte == '\0') return nullptr;
        return const_cast<char *>(texte + std::strspn(texte, separateurs));
    });
}

extern "C" KEL_API char *kelstr_isole(char *texte, const char *separateurs) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (texte == nullptr || separateurs == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        if (*texte == '\0') return nullptr;
        char *p = texte + std::strcspn(texte, separateurs);
        while (*p != '\0' && std::strchr(separateurs, *p) != nullptr) *p++ = '\0';
        return p;
    });
}

extern "C" KEL_API char *kelstr_extrait(const char **curseur, const char *separateurs) {
    return kel::guard(__func__, static_cast<char *>(nullptr), [&]() -> char * {
        if (separateurs == nullptr || curseur == nullptr || *curseur == nullptr) {
            KEL_DIAG();
            return nullptr;
        }
        if (**curseur == '\0') return nullptr;
        const char *start = kelstr_saute(*curseur, separateurs);
        const std::size_t length = std::strcspn(start, separateurs);
        char *token = kelstr_cree_n(start, static_cast<uint32_t>(length));
        const char *after = start + length;
        *curseur = *after == '\0' ? nullptr : kelstr_saute(after, separateurs);
        return token;
    });
}

extern "C" KEL_API int32_t kelstr_enint(const char *texte) {
    return kel::guard(__func__, int32_t{0}, [&]() -> int32_t {
        const uint32_t length = kelstr_longeur(texte);
        if (texte == nullptr) {
            KEL_DIAG();
            return 0;
        }
        // Unsigned arithmetic wraps the way the 32-bit conversion always has,
        // without signed overflow.
        uint32_t value = 0;
        for (uint32_t i = 0; i < length && texte[i] >= '0' && texte[i] <= '9'; ++i)
            value = value * 10 + static_cast<uint32_t>(texte[i] - '0');
        return static_cast<int32_t>(value);
    });
}
