// SHA-1 (FIPS 180-1) of a text, computed on 32-bit words carried as
// hexadecimal text. The account passwords of the SOCKS server are stored only
// as this digest.
#pragma once

#include <QByteArray>
#include <QString>

namespace kel::wizard {

// Word routines. They accept upper- or lower-case digits (anything else
// counts as 0) and return upper-case digits.

// Digit-wise xor / or; surplus leading digits of the longer operand are kept.
QString HexXor(const QString &a, const QString &b);
QString HexOr(const QString &a, const QString &b);
// Digit-wise and; surplus leading digits of the longer operand are dropped.
QString HexAnd(const QString &a, const QString &b);
// Complement of the last 8 digits, padded on the left with "0" to 8 digits.
QString HexNot(const QString &a);
// Rotates the last 8 digits (padded to 8) left by n bits; a multiple of 32
// returns `a` unchanged.
QString HexRotateLeft(const QString &a, int n);
// Sum with carry; a final carry adds a leading digit.
QString HexAddDigits(const QString &a, const QString &b);
// Sum modulo 2^32: the last 8 digits of HexAddDigits.
QString HexAdd32(const QString &a, const QString &b);

// The single-byte (Windows-1252) form of a text: one byte per character;
// a character the code page cannot hold becomes '?'.
QByteArray to_ansi(const QString &text);

// 40 upper-case hexadecimal digits, H0 first. The length is kept in 64 bits,
// so every input length gives the true digest.
QString Sha1Hex(const QByteArray &bytes);
QString Sha1Hex(const QString &text);

}  // namespace kel::wizard
