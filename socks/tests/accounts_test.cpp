// The SOCKS accounts as the wizard stores them: the digest, the rules of
// which user and password a session may give, and the slowing of an
// address that keeps failing.
#include <gtest/gtest.h>

#include "accounts.h"

namespace kel::socks {
namespace {

using server::SocksAccount;
using namespace std::chrono_literals;

// Digests of user "::" password ";" over Windows-1252 bytes, as the wizard
// computes them.
const std::string kBobSecret1 = "7E720BD054768A309CA76B612C004716410CC849";
const std::string kStarAny = "292547DADCD4AB6286E7C7AC83A3F4C0A59C8833";
const std::string kEliseUmlauts = "4A6F9E5CCE01E1F8514FC493A12A78F61E8D37D8";  // "élise", "pässwörd"

TEST(AccountDigest, IsSha1OverUserSeparatorPasswordTerminatorInUpperCase) {
    EXPECT_EQ(account_digest("bob", "secret1"), kBobSecret1);
    EXPECT_EQ(account_digest("bob", ""), "E9B759670FBB52F3A53AF2650D121523E2E6B40A");
    EXPECT_EQ(account_digest("\xE9lise", "p\xE4ssw\xF6rd"), kEliseUmlauts);
}

TEST(Cp1252, TakesUtf8ThatTheCodePageHolds) {
    EXPECT_EQ(utf8_to_cp1252("plain"), "plain");
    EXPECT_EQ(utf8_to_cp1252("\xC3\xA9"), "\xE9");          // é
    EXPECT_EQ(utf8_to_cp1252("\xE2\x82\xAC"), "\x80");      // € sits in 0x80..0x9F
    EXPECT_EQ(utf8_to_cp1252("\xC5\xB8"), "\x9F");          // Ÿ
    EXPECT_EQ(utf8_to_cp1252("\xC2\x81"), "\x81");          // an undefined position stands for itself
    EXPECT_EQ(utf8_to_cp1252(""), "");
}

TEST(Cp1252, RefusesWhatIsNotUtf8OrNotInTheCodePage) {
    EXPECT_FALSE(utf8_to_cp1252("\xE9"));                    // a lone Latin-1 byte
    EXPECT_FALSE(utf8_to_cp1252("\xC3"));                    // cut after the lead byte
    EXPECT_FALSE(utf8_to_cp1252("\xE2\x82"));                // cut inside
    EXPECT_FALSE(utf8_to_cp1252("\xC0\xA9"));                // overlong
    EXPECT_FALSE(utf8_to_cp1252("\xE4\xB8\x80"));            // U+4E00: not in the code page
    EXPECT_FALSE(utf8_to_cp1252("\xF0\x9F\x98\x80"));        // an emoji
    EXPECT_FALSE(utf8_to_cp1252("\xC3\x28"));                // a continuation that is not one
}

TEST(Passwords, AListedUserNeedsItsOwnPassword) {
    const std::vector<SocksAccount> accounts = {{"bob", kBobSecret1}};
    EXPECT_TRUE(password_accepted(accounts, "bob", "secret1"));
    EXPECT_FALSE(password_accepted(accounts, "bob", "secret2"));
    EXPECT_FALSE(password_accepted(accounts, "bob", ""));
    EXPECT_FALSE(password_accepted(accounts, "Bob", "secret1")) << "names compare exactly";
    EXPECT_FALSE(password_accepted(accounts, "alice", "secret1"));
}

TEST(Passwords, AnAccountWithoutPasswordTakesAny) {
    const std::vector<SocksAccount> accounts = {{"guest", ""}};
    EXPECT_TRUE(password_accepted(accounts, "guest", ""));
    EXPECT_TRUE(password_accepted(accounts, "guest", "whatever"));
    EXPECT_FALSE(password_accepted(accounts, "other", "whatever"));
}

TEST(Passwords, TheStarAccountStandsForAnyUserNotListed) {
    const std::vector<SocksAccount> accounts = {{"bob", kBobSecret1}, {"*", kStarAny}};
    EXPECT_TRUE(password_accepted(accounts, "carol", "any"));
    EXPECT_FALSE(password_accepted(accounts, "carol", "secret1"));
    EXPECT_FALSE(password_accepted(accounts, "", "any")) << "the star stands for a user that is not empty";
    // A listed user is held to its own password, not the star's.
    EXPECT_FALSE(password_accepted(accounts, "bob", "any"));
    EXPECT_TRUE(password_accepted({{"*", ""}}, "anyone", "anything"));
}

TEST(Passwords, NonAsciiTypedInTheWizardIsAcceptedFromAUtf8Client) {
    const std::vector<SocksAccount> accounts = {{"\xC3\xA9lise", kEliseUmlauts}, {"\xE9lise", kEliseUmlauts}};
    // curl on Linux sends UTF-8 bytes; the wizard hashed Windows-1252 ones.
    EXPECT_TRUE(password_accepted(accounts, "\xC3\xA9lise", "p\xC3\xA4ssw\xC3\xB6rd"));
    // A client that sends the single-byte form matches as sent.
    EXPECT_TRUE(password_accepted(accounts, "\xE9lise", "p\xE4ssw\xF6rd"));
    EXPECT_FALSE(password_accepted(accounts, "\xC3\xA9lise", "passwort"));
}

TEST(UserIds, Socks4NeedsAListedUserIdOrTheStar) {
    EXPECT_TRUE(user_id_accepted({{"bob", kBobSecret1}}, "bob"));
    EXPECT_FALSE(user_id_accepted({{"bob", kBobSecret1}}, "alice"));
    EXPECT_FALSE(user_id_accepted({{"bob", kBobSecret1}}, ""));
    EXPECT_TRUE(user_id_accepted({{"*", ""}}, "alice"));
    EXPECT_FALSE(user_id_accepted({{"*", ""}}, ""));
}

TEST(Throttle, AnswersTheFirstFailuresAtOnceThenDoublesUpToTheCap) {
    FailureThrottle t;
    const auto at = FailureThrottle::Clock::now();
    for (int i = 0; i < FailureThrottle::kFreeFailures; ++i) EXPECT_EQ(t.failed("10.0.0.1", at), 0ms) << i;
    EXPECT_EQ(t.failed("10.0.0.1", at), 100ms);
    EXPECT_EQ(t.failed("10.0.0.1", at), 200ms);
    EXPECT_EQ(t.failed("10.0.0.1", at), 400ms);
    for (int i = 0; i < 40; ++i) t.failed("10.0.0.1", at);
    EXPECT_EQ(t.failed("10.0.0.1", at), FailureThrottle::kMaxDelay);
    // Another address is not slowed by the first.
    EXPECT_EQ(t.failed("10.0.0.2", at), 0ms);
}

TEST(Throttle, ForgetsAfterQuietOrSuccess) {
    FailureThrottle t;
    const auto at = FailureThrottle::Clock::now();
    for (int i = 0; i < 10; ++i) t.failed("a", at);
    EXPECT_GT(t.failed("a", at), 0ms);
    EXPECT_EQ(t.failed("a", at + FailureThrottle::kForget + 1s), 0ms) << "quiet long enough starts again";
    for (int i = 0; i < 10; ++i) t.failed("b", at);
    t.succeeded("b");
    EXPECT_EQ(t.failed("b", at), 0ms);
}

TEST(Throttle, StaysBoundedUnderAFloodOfAddresses) {
    FailureThrottle t;
    const auto at = FailureThrottle::Clock::now();
    for (size_t i = 0; i < 3 * FailureThrottle::kMaxAddresses; ++i) t.failed("addr" + std::to_string(i), at);
    // Still answers, and a new address is free.
    EXPECT_EQ(t.failed("fresh", at), 0ms);
}

}  // namespace
}  // namespace kel::socks
