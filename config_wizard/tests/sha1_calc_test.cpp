#include "sha1_calc.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <map>

#include <gtest/gtest.h>

#include "fakes.h"

namespace kel::wizard {
namespace {

QByteArray pattern(int length) {
    QByteArray out;
    for (int i = 0; i < length; ++i) out.append(static_cast<char>((i * 37 + length * 11 + 128) & 0xFF));
    return out;
}

// Digests of the inputs by the system's own sha1sum, in upper case.
std::map<int, QString> reference_digests(const std::vector<int> &lengths) {
    QTemporaryDir dir;
    EXPECT_TRUE(dir.isValid());
    QStringList args;
    for (int n : lengths) {
        QFile f(dir.filePath(QString::number(n)));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(pattern(n));
        args << f.fileName();
    }
    QProcess tool;
    tool.start(QStringLiteral(SHA1SUM_TOOL), args);
    EXPECT_TRUE(tool.waitForFinished(30000));
    std::map<int, QString> out;
    for (const QByteArray &line : tool.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() != 2) continue;
        out[QFileInfo(QString::fromLocal8Bit(parts[1])).fileName().toInt()] = QString::fromLatin1(parts[0]).toUpper();
    }
    return out;
}

TEST(Sha1Digest, MatchesTheStandardVectors) {
    EXPECT_EQ(Sha1Hex(QString()), QStringLiteral("DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"));
    EXPECT_EQ(Sha1Hex(QStringLiteral("abc")), QStringLiteral("A9993E364706816ABA3E25717850C26C9CD0D89D"));
    EXPECT_EQ(Sha1Hex(QStringLiteral("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              QStringLiteral("84983E441C3BD26EBAAE4AA1F95129E5E54670F1"));
}

TEST(Sha1Digest, AgreesWithSha1sumOnEveryLengthUpTo200AndBeyondTheOldLimit) {
    std::vector<int> lengths;
    for (int n = 0; n <= 200; ++n) lengths.push_back(n);
    // Lengths whose bit count no longer fits 16 bits.
    for (int n : {4095, 4096, 4097, 9000}) lengths.push_back(n);
    const auto expected = reference_digests(lengths);
    ASSERT_EQ(expected.size(), lengths.size()) << "sha1sum did not answer for every input";
    for (int n : lengths) EXPECT_EQ(Sha1Hex(pattern(n)), expected.at(n)) << "length " << n;
}

TEST(Sha1Digest, TakesEachCharacterAsOneWesternByte) {
    EXPECT_EQ(to_ansi(QString::fromUtf8("é€\u0081A")), QByteArray("\xE9\x80\x81" "A"));
    EXPECT_EQ(to_ansi(QString::fromUtf8("Ā")), QByteArray("?"));
    EXPECT_EQ(Sha1Hex(QString::fromUtf8("café")), Sha1Hex(QByteArray("caf\xE9")));
    EXPECT_NE(Sha1Hex(QString::fromUtf8("café")), Sha1Hex(QByteArray("caf\xC3\xA9")));
}

TEST(HexWords, DigitwiseOperationsKeepOrDropSurplusDigits) {
    EXPECT_EQ(HexXor(QStringLiteral("1F00"), QStringLiteral("0F")), QStringLiteral("1F0F"));
    EXPECT_EQ(HexXor(QStringLiteral("0F"), QStringLiteral("1F00")), QStringLiteral("1F0F"));
    EXPECT_EQ(HexOr(QStringLiteral("a0"), QStringLiteral("0b")), QStringLiteral("AB"));
    EXPECT_EQ(HexAnd(QStringLiteral("1F0F"), QStringLiteral("ff")), QStringLiteral("0F"));
    EXPECT_EQ(HexXor(QStringLiteral("ab"), QStringLiteral("01")), QStringLiteral("AA"));
}

TEST(HexWords, NotAndRotateWorkOnTheLastEightDigits) {
    EXPECT_EQ(HexNot(QStringLiteral("123456789")), QStringLiteral("DCBA9876"));
    EXPECT_EQ(HexNot(QStringLiteral("F")), QStringLiteral("FFFFFFF0"));
    EXPECT_EQ(HexRotateLeft(QStringLiteral("80000000"), 1), QStringLiteral("00000001"));
    EXPECT_EQ(HexRotateLeft(QStringLiteral("12345678"), 36), QStringLiteral("23456781"));
    EXPECT_EQ(HexRotateLeft(QStringLiteral("1"), 4), QStringLiteral("00000010"));
    EXPECT_EQ(HexRotateLeft(QStringLiteral("abc"), 64), QStringLiteral("abc"));
}

TEST(HexWords, AdditionCarriesIntoANewDigitOrWrapsAt32Bits) {
    EXPECT_EQ(HexAddDigits(QStringLiteral("F"), QStringLiteral("1")), QStringLiteral("10"));
    EXPECT_EQ(HexAddDigits(QStringLiteral("FFFFFFFF"), QStringLiteral("1")), QStringLiteral("100000000"));
    EXPECT_EQ(HexAdd32(QStringLiteral("FFFFFFFF"), QStringLiteral("00000002")), QStringLiteral("00000001"));
    EXPECT_EQ(HexAdd32(QStringLiteral("67452301"), QStringLiteral("efcdab89")), QStringLiteral("5712CE8A"));
}

}  // namespace
}  // namespace kel::wizard
