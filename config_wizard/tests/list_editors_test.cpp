#include "list_editors.h"

#include "sha1_calc.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace kel::wizard {
namespace {

using testing::ScriptedBoxes;
using testing::ScriptedPrompter;
using testing::ScriptExhausted;

struct ListEditing : ::testing::Test {
    ConfigModel model;
    ScriptedPrompter prompts;
    ScriptedBoxes boxes;
    ListEditors editors{model, prompts, boxes};

    QString last_default() const { return prompts.calls.back().default_text; }
};

// Allowed hosts

TEST_F(ListEditing, CancelledHostAddsNothingAndRestoresTheInitialDefault) {
    prompts.then(QStringLiteral("10.0.0.*"));
    editors.add_allowed_host();
    EXPECT_EQ(prompts.calls[0].default_text, QStringLiteral("192.168.0.*"));
    EXPECT_EQ(prompts.calls[0].caption, QStringLiteral("AllowedHosts"));
    EXPECT_EQ(prompts.calls[0].text,
              QStringLiteral("Enter a host (or wilcard) to allow. Note that using '*' is possible but NOT recommended."));
    prompts.then(QString());
    editors.add_allowed_host();
    EXPECT_EQ(last_default(), QStringLiteral("10.0.0.*"));
    prompts.then(QStringLiteral("10.0.0.*"));
    editors.add_allowed_host();
    EXPECT_EQ(last_default(), QStringLiteral("192.168.0.*"));
    // Duplicates are taken; the form is the daemon's to judge (more_settings_test).
    EXPECT_EQ(model.list1, (QStringList{QStringLiteral("10.0.0.*"), QStringLiteral("10.0.0.*")}));
}

TEST_F(ListEditing, DeleteRemovesEverySelectedLineAndKeepsTheOrder) {
    model.list1 = QStringList{"a", "b", "c", "d", "e", "f"};
    editors.delete_allowed_hosts({4, 1, 2, 99, -1});
    EXPECT_EQ(model.list1, (QStringList{"a", "d", "f"}));
    editors.delete_allowed_hosts({});
    EXPECT_EQ(model.list1.size(), 3);
}

// Accounts

TEST_F(ListEditing, AddsAnAccountWithTheDigestOfNameAndPassword) {
    prompts.then(QStringLiteral("bob")).then(QStringLiteral("secret1")).then(QStringLiteral("secret1"));
    editors.add_account();
    ASSERT_EQ(model.list2, QStringList{QStringLiteral("bob")});
    ASSERT_EQ(model.account_table.size(), 1u);
    const QString expected = Sha1Hex(QStringLiteral("bob") + kDigestSeparator + QStringLiteral("secret1") +
                                     kDigestTerminator);
    EXPECT_EQ(model.account_table[0].hash, expected);
    EXPECT_EQ(account_hash(QStringLiteral("bob"), QStringLiteral("secret1"), true),
              Sha1Hex(QByteArray("bob::secret1;")));
    EXPECT_EQ(prompts.calls[0].default_text, QStringLiteral("newuser"));
    EXPECT_EQ(prompts.calls[1].text, QStringLiteral("Enter a password for user 'bob'."));
    EXPECT_EQ(prompts.calls[2].text, QStringLiteral("Enter the same password again for user 'bob'. (verification)"));
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("New account created"));
    EXPECT_EQ(boxes.calls[0].text,
              QStringLiteral("New account created.\n\nUsername : 'bob'\nPassword hash : ") + expected);
}

TEST_F(ListEditing, PasswordPromptsAreMaskedAndNamePromptIsNot) {
    prompts.then(QStringLiteral("bob")).then(QStringLiteral("secret1")).then(QStringLiteral("secret1"));
    editors.add_account();
    ASSERT_EQ(prompts.calls.size(), 3u);
    EXPECT_EQ(prompts.calls[0].echo, Echo::Normal);
    EXPECT_EQ(prompts.calls[1].echo, Echo::Password);
    EXPECT_EQ(prompts.calls[2].echo, Echo::Password);
    EXPECT_EQ(prompts.calls[1].default_text, QString());
}

TEST_F(ListEditing, EmptyUserNameStopsAndNextDefaultIsNewuser) {
    prompts.then(QString());
    editors.add_account();
    EXPECT_TRUE(model.list2.isEmpty());
    prompts.then(QString());
    editors.add_account();
    EXPECT_EQ(last_default(), QStringLiteral("newuser"));
    EXPECT_TRUE(boxes.calls.empty());
}

TEST_F(ListEditing, WildcardNameAsksForConfirmation) {
    prompts.then(QStringLiteral("*"));
    boxes.then(Answer::No);
    editors.add_account();
    EXPECT_TRUE(model.list2.isEmpty());
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("Wildcard username confirmation"));
    EXPECT_EQ(boxes.calls[0].icon, Icon::Question);

    prompts.then(QStringLiteral("*")).then(QString()).then(QString());
    boxes.then(Answer::Yes).then(Answer::Yes);  // wildcard, then passwordless
    editors.add_account();
    EXPECT_EQ(model.list2, QStringList{QStringLiteral("*")});
    EXPECT_EQ(model.account_table[0].hash, kNoPassword);
}

TEST_F(ListEditing, DuplicateNamesAreRefusedButCaseMatters) {
    model.list2 << QStringLiteral("Bob");
    model.account_table.push_back({QStringLiteral("Bob"), kNoPassword});
    prompts.then(QStringLiteral("bob")).then(QStringLiteral("secret1")).then(QStringLiteral("secret1"));
    editors.add_account();
    EXPECT_EQ(model.list2.size(), 2);
    boxes.calls.clear();
    prompts.then(QStringLiteral("bob"));
    editors.add_account();
    EXPECT_EQ(model.list2.size(), 2);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("Username already exists"));
    EXPECT_EQ(boxes.calls[0].text, QStringLiteral("Username 'bob' already exists.\nYou may change its properties by "
                                                  "selecting it and clicking the edit button."));
}

TEST_F(ListEditing, MismatchedPasswordsStartOver) {
    prompts.then(QStringLiteral("bob"))
        .then(QStringLiteral("secret1"))
        .then(QStringLiteral("secret2"))
        .then(QStringLiteral("secret3"))
        .then(QStringLiteral("secret3"));
    editors.add_account();
    ASSERT_EQ(boxes.calls.size(), 2u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("Passwords do not match"));
    EXPECT_EQ(boxes.calls[0].icon, Icon::Exclamation);
    EXPECT_EQ(model.account_table[0].hash, account_hash(QStringLiteral("bob"), QStringLiteral("secret3"), true));
}

TEST_F(ListEditing, EmptyPasswordAnsweredNoAsksAgainAndYesMakesAPasswordlessAccount) {
    prompts.then(QStringLiteral("bob")).then(QString()).then(QString()).then(QString()).then(QString());
    boxes.then(Answer::No).then(Answer::Yes);
    editors.add_account();
    ASSERT_GE(boxes.calls.size(), 2u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("Passwordless account"));
    EXPECT_EQ(boxes.calls[0].default_button, Answer::No);
    EXPECT_EQ(prompts.calls.size(), 5u);
    EXPECT_EQ(model.account_table[0].hash, kNoPassword);
}

TEST_F(ListEditing, ShortPasswordYesAsksAgainNoKeepsIt) {
    prompts.then(QStringLiteral("bob"))
        .then(QStringLiteral("12345"))
        .then(QStringLiteral("12345"))
        .then(QStringLiteral("abcde"))
        .then(QStringLiteral("abcde"));
    boxes.then(Answer::Yes).then(Answer::No);
    editors.add_account();
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("Password too short"));
    EXPECT_EQ(boxes.calls[0].text, QStringLiteral("The password you typed is too short.\nIn order to be efficient a "
                                                  "password should be composed of at least 6 characters.\n\nDo you "
                                                  "wish to enter a new password ?"));
    EXPECT_EQ(model.account_table[0].hash, account_hash(QStringLiteral("bob"), QStringLiteral("abcde"), true));
}

TEST_F(ListEditing, SixCharacterPasswordIsTakenWithoutAQuestion) {
    prompts.then(QStringLiteral("bob")).then(QStringLiteral("123456")).then(QStringLiteral("123456"));
    editors.add_account();
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("New account created"));
}

TEST_F(ListEditing, CancelInEveryPasswordPromptNeverLeavesWithoutAnAnswer) {
    prompts.then(QStringLiteral("bob")).then(QString()).then(QString());
    boxes.then(Answer::No);
    EXPECT_THROW(editors.add_account(), ScriptExhausted);
    EXPECT_TRUE(model.list2.isEmpty());
    EXPECT_TRUE(model.account_table.empty());
}

TEST_F(ListEditing, FullAccountTableRefusesAnotherAccount) {
    for (int i = 0; i < kMaxAccounts; ++i) {
        model.list2 << QString::number(i);
        model.account_table.push_back({QString::number(i), kNoPassword});
    }
    editors.add_account();
    EXPECT_TRUE(prompts.calls.empty());
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].icon, Icon::Exclamation);
    EXPECT_TRUE(boxes.calls[0].text.contains(QStringLiteral("16385")));
    EXPECT_EQ(model.account_table.size(), static_cast<size_t>(kMaxAccounts));
    EXPECT_EQ(model.list2.size(), kMaxAccounts);
    // One fewer leaves room again.
    editors.delete_accounts({0});
    prompts.then(QStringLiteral("new")).then(QStringLiteral("secret1")).then(QStringLiteral("secret1"));
    editors.add_account();
    EXPECT_EQ(model.account_table.size(), static_cast<size_t>(kMaxAccounts));
}

TEST_F(ListEditing, DeletedAccountCanBeAddedAgainWithANewPassword) {
    prompts.then(QStringLiteral("bob")).then(QStringLiteral("secret1")).then(QStringLiteral("secret1"));
    editors.add_account();
    prompts.then(QStringLiteral("amy")).then(QStringLiteral("secret9")).then(QStringLiteral("secret9"));
    editors.add_account();
    editors.delete_accounts({0});
    EXPECT_EQ(model.list2, QStringList{QStringLiteral("amy")});
    ASSERT_EQ(model.account_table.size(), 1u);
    EXPECT_EQ(model.account_table[0].name, QStringLiteral("amy"));
    prompts.then(QStringLiteral("bob")).then(QStringLiteral("secret2")).then(QStringLiteral("secret2"));
    editors.add_account();
    ASSERT_NE(model.find_account(QStringLiteral("bob")), nullptr);
    EXPECT_EQ(model.find_account(QStringLiteral("bob"))->hash,
              account_hash(QStringLiteral("bob"), QStringLiteral("secret2"), true));
}

TEST_F(ListEditing, ChangePasswordAsksFirstAndReplacesTheHash) {
    model.list2 = QStringList{QStringLiteral("amy"), QStringLiteral("bob")};
    model.account_table = {{QStringLiteral("amy"), kNoPassword}, {QStringLiteral("bob"), kNoPassword}};
    boxes.then(Answer::No);
    editors.change_password({1});
    EXPECT_TRUE(prompts.calls.empty());
    EXPECT_EQ(boxes.calls[0].text, QStringLiteral("Are you sure thet you want to change the password for user 'bob' ?"));
    EXPECT_EQ(boxes.calls[0].default_button, Answer::No);

    boxes.then(Answer::Yes);
    prompts.then(QStringLiteral("newpass")).then(QStringLiteral("newpass"));
    editors.change_password({1, 0});  // the first selected line is amy
    EXPECT_EQ(prompts.calls[0].text, QStringLiteral("Enter a new password for user 'amy'."));
    EXPECT_EQ(model.account_table[0].hash, account_hash(QStringLiteral("amy"), QStringLiteral("newpass"), true));
    EXPECT_EQ(model.account_table[1].hash, kNoPassword);
    EXPECT_EQ(boxes.calls.back().caption, QStringLiteral("Password changed"));
}

TEST_F(ListEditing, ChangePasswordWithoutSelectionOrRecordDoesNothingHarmful) {
    editors.change_password({});
    EXPECT_TRUE(boxes.calls.empty());
    model.list2 << QStringLiteral("ghost");
    boxes.then(Answer::Yes);
    prompts.then(QStringLiteral("newpass")).then(QStringLiteral("newpass"));
    editors.change_password({0});
    EXPECT_EQ(boxes.calls.back().text, QStringLiteral("Internal error 'CMD9_Click'."));
    EXPECT_TRUE(model.account_table.empty());
}

// Redirections

TEST_F(ListEditing, AddsARedirectionAndRemembersTheAnswers) {
    prompts.then(QStringLiteral("8 080")).then(QStringLiteral("80")).then(QStringLiteral("10.0.0.2"));
    editors.add_redirection();
    EXPECT_EQ(model.list3, QStringList{QStringLiteral("8080 -> 80 10.0.0.2")});
    EXPECT_EQ(model.redirection(8080).host, QStringLiteral("10.0.0.2"));
    EXPECT_EQ(prompts.calls[0].default_text, QStringLiteral("80"));
    EXPECT_EQ(prompts.calls[2].default_text, QStringLiteral("www.example.com"));
    prompts.then(QString());
    editors.add_redirection();
    EXPECT_EQ(last_default(), QStringLiteral("8080"));
    // 0 for the port falls back to the initial default next time.
    prompts.then(QStringLiteral("9090.5")).then(QStringLiteral("22")).then(QString());
    editors.add_redirection();
    EXPECT_EQ(prompts.calls[4].default_text, QStringLiteral("80"));
    EXPECT_EQ(prompts.calls[5].default_text, QStringLiteral("80"));
    EXPECT_EQ(prompts.calls[6].default_text, QStringLiteral("10.0.0.2"));
    EXPECT_EQ(model.list3.last(), QStringLiteral("9090 -> 22 "));  // halves round to even
}

TEST_F(ListEditing, ExistingPortMappingIsRefused) {
    model.list3 << QStringLiteral("8080 -> 80 10.0.0.2");
    model.redirection_table[8080] = {80, QStringLiteral("10.0.0.2")};
    prompts.then(QStringLiteral("8080"));
    editors.add_redirection();
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("Port mapping already exists"));
    EXPECT_EQ(boxes.calls[0].text, QStringLiteral("Port number 8080 is already mapped for redirection.\nYou may change "
                                                  "its properties by selecting it and clicking the edit button."));
    EXPECT_EQ(model.list3.size(), 1);
}

TEST_F(ListEditing, InvalidListenedPortStopsAndInvalidDestinationAsksAgain) {
    prompts.then(QStringLiteral("70000"));
    editors.add_redirection();
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].text, QStringLiteral("You must specify a valid port number to redirect.\nValid port "
                                                  "numbers range from 1 to 65535 inclusive."));
    EXPECT_EQ(prompts.calls.size(), 1u);

    prompts.then(QStringLiteral("-5"));
    editors.add_redirection();
    EXPECT_EQ(boxes.calls.size(), 2u);

    prompts.then(QStringLiteral("8080")).then(QStringLiteral("70000")).then(QStringLiteral("81")).then(QStringLiteral("h"));
    editors.add_redirection();
    EXPECT_EQ(boxes.calls.back().text, QStringLiteral("You must specify a valid port number for the redirection.\n"
                                                      "Valid port numbers range from 1 to 65535 inclusive."));
    EXPECT_EQ(prompts.calls[4].default_text, QStringLiteral("70000"));
    EXPECT_EQ(model.list3, QStringList{QStringLiteral("8080 -> 81 h")});
}

TEST_F(ListEditing, CancelAtTheDestinationPortAddsNothing) {
    prompts.then(QStringLiteral("8080")).then(QString());
    editors.add_redirection();
    EXPECT_TRUE(model.list3.isEmpty());
    EXPECT_TRUE(model.redirection_table.empty());
}

TEST_F(ListEditing, EditCancelledAtThePortKeepsTheLineAndAtTheHostEmptiesIt) {
    model.list3 = QStringList{QStringLiteral("8080->80 10.0.0.2"), QStringLiteral("21 -> 21 ftp")};
    model.redirection_table[8080] = {80, QStringLiteral("10.0.0.2")};
    model.redirection_table[21] = {21, QStringLiteral("ftp")};
    prompts.then(QString());
    editors.edit_redirection({0});
    EXPECT_EQ(prompts.calls[0].default_text, QStringLiteral("80"));
    EXPECT_EQ(model.list3[0], QStringLiteral("8080->80 10.0.0.2"));

    prompts.then(QStringLiteral("8081")).then(QString());
    editors.edit_redirection({0});
    EXPECT_EQ(prompts.calls[2].default_text, QStringLiteral("10.0.0.2"));
    EXPECT_EQ(model.list3, (QStringList{QStringLiteral("21 -> 21 ftp"), QStringLiteral("8080 -> 8081 ")}));
    EXPECT_EQ(model.redirection(8080).host, QString());
}

TEST_F(ListEditing, EditAsksAgainForAnInvalidDestinationPort) {
    model.list3 = QStringList{QStringLiteral("21 -> 21 ftp")};
    model.redirection_table[21] = {21, QStringLiteral("ftp")};
    prompts.then(QStringLiteral("0x")).then(QStringLiteral("99999")).then(QStringLiteral("2121")).then(QStringLiteral("ftp2"));
    editors.edit_redirection({0});
    // "0x" reads as 0 and stops at once.
    EXPECT_EQ(model.list3[0], QStringLiteral("21 -> 21 ftp"));
    editors.edit_redirection({0});
    EXPECT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(model.list3[0], QStringLiteral("21 -> 2121 ftp2"));
}

TEST_F(ListEditing, DeletedRedirectionsLeaveTheirLinesOnly) {
    model.list3 = QStringList{"1 -> 1 a", "2 -> 2 b", "3 -> 3 c"};
    editors.delete_redirections({0, 2});
    EXPECT_EQ(model.list3, QStringList{QStringLiteral("2 -> 2 b")});
}

}  // namespace
}  // namespace kel::wizard
