// An account the wizard stores is one the daemon's SOCKS server accepts:
// the same digest, and a password typed here accepted from a client that
// sends it in UTF-8.
#include <gtest/gtest.h>

#include <QString>

#include "accounts.h"
#include "list_editors.h"

namespace kel::wizard {
namespace {

struct Case {
    std::string user;      // UTF-8, as typed
    std::string password;  // UTF-8, as typed
};

TEST(DaemonAccounts, TheDaemonAcceptsWhatTheWizardStores) {
    const Case cases[] = {
        {"bob", "secret1"},
        {"*", "any password"},
        {"bob", "p\xC3\xA4ssw\xC3\xB6rd"},            // pässwörd
        {"\xC3\xA9lise", "\xE2\x82\xAC" "uro-\xC3\xA7" "a"},  // élise, €uro-ça
        {"x", std::string(200, 'z')},
    };
    for (const Case &c : cases) {
        const QString user = QString::fromStdString(c.user);
        const QString password = QString::fromStdString(c.password);
        const std::string hash = account_hash(user, password, true).toStdString();
        // The file holds the name as the wizard writes it; the client sends UTF-8.
        const std::vector<server::SocksAccount> stored = {{c.user, hash}};
        EXPECT_TRUE(socks::password_accepted(stored, c.user, c.password)) << c.user << " " << c.password;
        EXPECT_FALSE(socks::password_accepted(stored, c.user, c.password + "x")) << c.user;
        // Pure ASCII: the digest is the daemon's own, byte for byte.
        if (user.toLatin1() == user.toUtf8() && password.toLatin1() == password.toUtf8()) {
            EXPECT_EQ(hash, socks::account_digest(c.user, c.password)) << c.user;
        }
    }
}

TEST(DaemonAccounts, APasswordlessAccountTakesAnyPassword) {
    const std::string hash = account_hash(QStringLiteral("guest"), QString(), false).toStdString();
    ASSERT_EQ(hash, "<none>");
    // The daemon reads "guest<none>" as the user and no digest.
    EXPECT_TRUE(socks::password_accepted({{"guest", ""}}, "guest", "anything"));
}

}  // namespace
}  // namespace kel::wizard
