// The wizard's digest against an independent SHA-1 on the same bytes; any
// difference stops the run. The word routines are checked against plain
// 32-bit arithmetic on words taken from the input.
#include <openssl/sha.h>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "sha1_calc.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

QString reference_digest(const uint8_t *data, size_t size) {
    unsigned char md[SHA_DIGEST_LENGTH];
    SHA1(data, size, md);
    char hex[2 * SHA_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02X", md[i]);
    return QString::fromLatin1(hex, 2 * SHA_DIGEST_LENGTH);
}

QString word(uint32_t v, bool lower) {
    char hex[9];
    std::snprintf(hex, sizeof hex, lower ? "%08x" : "%08X", v);
    return QString::fromLatin1(hex, 8);
}

void check_words(const uint8_t *data, size_t size) {
    if (size < 9) return;
    uint32_t a, b;
    std::memcpy(&a, data, 4);
    std::memcpy(&b, data + 4, 4);
    const int n = data[8];
    const bool lower = (n & 0x80) != 0;
    const QString wa = word(a, lower), wb = word(b, !lower);
    check(kel::wizard::HexAdd32(wa, wb) == word(a + b, false));
    check(kel::wizard::HexXor(wa, wb) == word(a ^ b, false));
    check(kel::wizard::HexOr(wa, wb) == word(a | b, false));
    check(kel::wizard::HexAnd(wa, wb) == word(a & b, false));
    check(kel::wizard::HexNot(wa) == word(~a, false));
    const int shift = n % 32;
    const uint32_t rotated = shift == 0 ? a : (a << shift) | (a >> (32 - shift));
    if (shift != 0) check(kel::wizard::HexRotateLeft(wa, n) == word(rotated, false));
    const uint64_t sum = static_cast<uint64_t>(a) + b;
    const QString full = kel::wizard::HexAddDigits(wa, wb);
    check(full == (sum > 0xFFFFFFFFu ? QStringLiteral("1") : QString()) + word(static_cast<uint32_t>(sum), false));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QString expected = reference_digest(data, size);
    check(kel::wizard::Sha1Hex(bytes) == expected);

    // Text whose characters all lie outside 0x80-0x9F maps one to one onto
    // the single-byte code page, so the text form gives the same digest.
    bool one_to_one = true;
    for (size_t i = 0; i < size; ++i) one_to_one = one_to_one && (data[i] < 0x80 || data[i] > 0x9F);
    if (one_to_one && size <= 512) {
        const QString text = QString::fromLatin1(bytes);
        check(kel::wizard::to_ansi(text) == bytes);
        check(kel::wizard::Sha1Hex(text) == expected);
    }
    check_words(data, size);
    return 0;
}
