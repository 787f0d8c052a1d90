#include "sha1_calc.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace kel::wizard {
namespace {

constexpr const char *kDigits = "0123456789ABCDEF";

int digit_value(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    return 0;
}

QChar digit_char(int v) { return QLatin1Char(kDigits[v & 15]); }

QString upper_digits(const QString &s) {
    QString out(s.size(), QLatin1Char('0'));
    for (qsizetype i = 0; i < s.size(); ++i) out[i] = digit_char(digit_value(s[i]));
    return out;
}

// Applies op digit by digit from the right; keep_surplus decides whether the
// longer operand's extra leading digits survive.
template <class Op>
QString digitwise(const QString &a, const QString &b, bool keep_surplus, Op op) {
    const QString &longer = a.size() >= b.size() ? a : b;
    const QString &shorter = a.size() >= b.size() ? b : a;
    const qsizetype surplus = longer.size() - shorter.size();
    QString out;
    out.reserve(longer.size());
    if (keep_surplus) out += upper_digits(longer.left(surplus));
    for (qsizetype i = 0; i < shorter.size(); ++i)
        out += digit_char(op(digit_value(longer[surplus + i]), digit_value(shorter[i])));
    return out;
}

// The last 8 digits, padded on the left with "0".
QString last_word(const QString &a) {
    QString w = a.right(8);
    return QString(8 - w.size(), QLatin1Char('0')) + w;
}

uint32_t word_value(const QString &a) {
    uint32_t v = 0;
    for (QChar c : last_word(a)) v = (v << 4) | static_cast<uint32_t>(digit_value(c));
    return v;
}

QString word_text(uint32_t v) {
    QString out(8, QLatin1Char('0'));
    for (int i = 7; i >= 0; --i, v >>= 4) out[i] = digit_char(static_cast<int>(v & 15));
    return out;
}

QString byte_digits(unsigned char b) {
    QString out(2, QLatin1Char('0'));
    out[0] = digit_char(b >> 4);
    out[1] = digit_char(b & 15);
    return out;
}

// Windows-1252 positions 0x80..0x9F; 0 marks the five the code page leaves
// undefined, which pass through as their own code.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char ansi_byte(char16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
    for (int i = 0; i < 32; ++i) {
        const char16_t mapped = kCp1252High[i] ? kCp1252High[i] : static_cast<char16_t>(0x80 + i);
        if (mapped == u) return static_cast<char>(0x80 + i);
    }
    return '?';
}

}  // namespace

QString HexXor(const QString &a, const QString &b) {
    return digitwise(a, b, true, [](int x, int y) { return x ^ y; });
}

QString HexOr(const QString &a, const QString &b) {
    return digitwise(a, b, true, [](int x, int y) { return x | y; });
}

QString HexAnd(const QString &a, const QString &b) {
    return digitwise(a, b, false, [](int x, int y) { return x & y; });
}

QString HexNot(const QString &a) {
    QString w = last_word(a);
    for (auto &c : w) c = digit_char(15 - digit_value(c));
    return w;
}

QString HexRotateLeft(const QString &a, int n) {
    const int shift = ((n % 32) + 32) % 32;
    if (shift == 0) return a;
    const uint32_t v = word_value(a);
    return word_text((v << shift) | (v >> (32 - shift)));
}

QString HexAddDigits(const QString &a, const QString &b) {
    const qsizetype len = std::max(a.size(), b.size());
    QString out(len, QLatin1Char('0'));
    int carry = 0;
    for (qsizetype i = 1; i <= len; ++i) {
        const int x = i <= a.size() ? digit_value(a[a.size() - i]) : 0;
        const int y = i <= b.size() ? digit_value(b[b.size() - i]) : 0;
        const int sum = x + y + carry;
        out[len - i] = digit_char(sum & 15);
        carry = sum >> 4;
    }
    if (carry) out.prepend(QLatin1Char('1'));
    return out;
}

QString HexAdd32(const QString &a, const QString &b) { return HexAddDigits(a, b).right(8); }

QByteArray to_ansi(const QString &text) {
    QByteArray out;
    out.reserve(text.size());
    for (QChar c : text) out.append(ansi_byte(c.unicode()));
    return out;
}

QString Sha1Hex(const QString &text) { return Sha1Hex(to_ansi(text)); }

QString Sha1Hex(const QByteArray &bytes) {
    QByteArray msg = bytes;
    const uint64_t length_bits = static_cast<uint64_t>(bytes.size()) * 8u;
    msg.append(static_cast<char>(0x80));
    const qsizetype r = msg.size() % 64;
    msg.append(r <= 56 ? 56 - r : 120 - r, '\0');
    for (int i = 7; i >= 0; --i) msg.append(static_cast<char>((length_bits >> (8 * i)) & 0xFF));

    std::array<QString, 5> h = {QStringLiteral("67452301"), QStringLiteral("EFCDAB89"),
                                QStringLiteral("98BADCFE"), QStringLiteral("10325476"),
                                QStringLiteral("C3D2E1F0")};
    static const std::array<QString, 4> k = {QStringLiteral("5A827999"), QStringLiteral("6ED9EBA1"),
                                             QStringLiteral("8F1BBCDC"), QStringLiteral("CA62C1D6")};
    std::array<QString, 80> w;
    for (qsizetype block = 0; block < msg.size(); block += 64) {
        QString a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int t = 0; t < 16; ++t) {
            QString word;
            for (int i = 0; i < 4; ++i)
                word += byte_digits(static_cast<unsigned char>(msg[block + 4 * t + i]));
            w[t] = word;
        }
        for (int t = 16; t < 80; ++t)
            w[t] = HexRotateLeft(HexXor(HexXor(HexXor(w[t - 3], w[t - 8]), w[t - 14]), w[t - 16]), 1);
        for (int t = 0; t < 80; ++t) {
            QString f;
            if (t < 20)
                f = HexOr(HexAnd(b, c), HexAnd(HexNot(b), d));
            else if (t < 40 || t >= 60)
                f = HexXor(HexXor(b, c), d);
            else
                f = HexOr(HexOr(HexAnd(b, c), HexAnd(b, d)), HexAnd(c, d));
            QString temp = HexAdd32(HexAdd32(HexAdd32(HexAdd32(HexRotateLeft(a, 5), f), e), w[t]), k[t / 20]);
            e = d;
            d = c;
            c = HexRotateLeft(b, 30);
            b = a;
            a = temp;
        }
        h[0] = HexAdd32(h[0], a);
        h[1] = HexAdd32(h[1], b);
        h[2] = HexAdd32(h[2], c);
        h[3] = HexAdd32(h[3], d);
        h[4] = HexAdd32(h[4], e);
    }
    return h[0] + h[1] + h[2] + h[3] + h[4];
}

}  // namespace kel::wizard
