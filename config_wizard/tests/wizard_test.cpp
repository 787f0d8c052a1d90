#include "wizard.h"

#include "help.h"
#include "more_settings.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace kel::wizard {
namespace {

using testing::FakeStore;
using testing::RecordingOpener;
using testing::ScriptedBoxes;
using testing::ScriptedPrompter;

const QString kConf = QStringLiteral("/prog/valdrin.conf");
const QString kDefaults = QStringLiteral("/prog/valdrin.conf.default");

struct WizardWindow : ::testing::Test {
    FakeStore store;
    ScriptedBoxes boxes;
    ScriptedPrompter prompts;
    Wizard wizard{store, boxes, prompts, {kConf, kDefaults, QStringLiteral("/prog/guide")}};

    void SetUp() override { wizard.open(); }
};

TEST_F(WizardWindow, OpensOnTheMainSection) {
    EXPECT_EQ(wizard.visible_panel(), 0);
    EXPECT_EQ(wizard.title(), QStringLiteral("Main configuration"));
    EXPECT_EQ(wizard.model().text5, QStringLiteral("3128"));
}

TEST_F(WizardWindow, SelectingASectionShowsOnlyItsPanel) {
    wizard.select_section(3);
    EXPECT_EQ(wizard.visible_panel(), 3);
    EXPECT_EQ(wizard.title(), QStringLiteral("DNS Proxy server configuration"));
    EXPECT_EQ(wizard.description(), QStringLiteral("This section describes the behaviour of the DNS Proxy server."));
    wizard.select_section(4);
    EXPECT_EQ(wizard.description(),
              QStringLiteral("This section describes the behaviour of the port redirector server."));
    wizard.select_section(kAdvancedSection);
    EXPECT_EQ(wizard.visible_panel(), kAdvancedSection);
    EXPECT_EQ(wizard.title(), QStringLiteral("Advanced configuration"));
    // Out of range: every panel hidden, texts unchanged.
    wizard.select_section(kPanelCount);
    EXPECT_EQ(wizard.visible_panel(), -1);
    EXPECT_EQ(wizard.title(), QStringLiteral("Advanced configuration"));
}

TEST_F(WizardWindow, PortFieldIsNormalisedToItsLeadingNumber) {
    wizard.model().text3 = QStringLiteral("1080abc");
    wizard.check_port(PortField::Socks);
    EXPECT_EQ(wizard.model().text3, QStringLiteral("1080"));
    wizard.model().text3 = QStringLiteral("  +8 0.");
    wizard.check_port(PortField::Socks);
    EXPECT_EQ(wizard.model().text3, QStringLiteral("80"));
    // Disabled server: no message whatever the value.
    wizard.model().text3 = QStringLiteral("abc");
    wizard.check_port(PortField::Socks);
    EXPECT_EQ(wizard.model().text3, QStringLiteral("0"));
    EXPECT_TRUE(boxes.calls.empty());
    EXPECT_EQ(wizard.visible_panel(), 0);
}

TEST_F(WizardWindow, InvalidPortOfAnEnabledServerSwitchesSectionAndWarns) {
    wizard.model().check3 = true;
    wizard.model().text3 = QStringLiteral("abc");
    wizard.check_port(PortField::Socks);
    EXPECT_EQ(wizard.visible_panel(), 1);
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("Invalid port number"));
    EXPECT_EQ(boxes.calls[0].text, QStringLiteral("Unless you specify a valid port number, the SOCKS server will not "
                                                  "function properly.\nValid port numbers range from 1 to 65535 "
                                                  "inclusive."));
    wizard.select_section(0);
    wizard.model().check4 = true;
    for (const char *bad : {"65536", "-5", "0.5"}) {
        wizard.model().text5 = QLatin1String(bad);
        wizard.check_port(PortField::Http);
        EXPECT_EQ(wizard.visible_panel(), 2) << bad;
        EXPECT_TRUE(boxes.calls.back().text.contains(QStringLiteral("the HTTP/FTP server"))) << bad;
        EXPECT_EQ(wizard.model().text5, QLatin1String(bad));
    }
    const size_t before = boxes.calls.size();
    for (const char *good : {"1", "65535", "3128"}) {
        wizard.model().text5 = QLatin1String(good);
        wizard.check_port(PortField::Http);
    }
    EXPECT_EQ(boxes.calls.size(), before);
}

TEST_F(WizardWindow, OkStaysOpenAfterAWriteFailureAndEndsAfterAGoodSave) {
    store.fail_all = true;
    EXPECT_FALSE(wizard.ok());
    EXPECT_EQ(boxes.calls.size(), 1u);
    store.fail_all = false;
    EXPECT_TRUE(wizard.ok());
    EXPECT_EQ(store.get(kConf, QStringLiteral("HTTP"), QStringLiteral("HTTPPort")), QStringLiteral("3128"));
}

TEST_F(WizardWindow, OkStaysOpenAfterAnInternalError) {
    wizard.model().list2 << QStringLiteral("ghost");
    EXPECT_FALSE(wizard.ok());
}

TEST_F(WizardWindow, CancelAsksAndNoKeepsTheEdits) {
    wizard.model().text1 = QStringLiteral("edited");
    boxes.then(Answer::No);
    EXPECT_FALSE(wizard.cancel());
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("Quit"));
    EXPECT_EQ(boxes.calls[0].default_button, Answer::No);
    EXPECT_EQ(wizard.model().text1, QStringLiteral("edited"));
    boxes.then(Answer::Yes);
    EXPECT_TRUE(wizard.cancel());
    EXPECT_TRUE(store.writes.isEmpty());
}

TEST_F(WizardWindow, RestoreDefaultsNoChangesNothingYesReloads) {
    store.set(kDefaults, QStringLiteral("HTTP"), QStringLiteral("HTTPPort"), QStringLiteral("8080"));
    wizard.select_section(2);
    wizard.model().text1 = QStringLiteral("edited");
    boxes.then(Answer::No);
    wizard.restore_defaults();
    EXPECT_EQ(wizard.model().text1, QStringLiteral("edited"));
    EXPECT_FALSE(store.files.contains(kConf));
    boxes.then(Answer::Yes);
    wizard.restore_defaults();
    EXPECT_EQ(wizard.model().text1, QStringLiteral("log.txt"));
    EXPECT_EQ(wizard.model().text5, QStringLiteral("8080"));
    EXPECT_EQ(wizard.visible_panel(), 2);
}

TEST_F(WizardWindow, RestoreDefaultsWithoutTheDefaultFileKeepsTheEdits) {
    wizard.model().text1 = QStringLiteral("edited");
    boxes.then(Answer::Yes);
    wizard.restore_defaults();
    EXPECT_EQ(wizard.model().text1, QStringLiteral("edited"));
    ASSERT_EQ(boxes.calls.size(), 2u);
    EXPECT_EQ(boxes.calls[1].icon, Icon::Critical);
}

TEST(WizardLayout, WindowAndButtonsFollowTheSectionPanel) {
    const WizardGeometry g = wizard_geometry(6795, 3795);
    EXPECT_EQ(g.width, 8920);
    EXPECT_EQ(g.height, 5655);
    EXPECT_EQ(g.buttons_top, 4830);
    EXPECT_EQ(g.ok_left, 5080);
    EXPECT_EQ(g.cancel_left - g.ok_left, 1260);
    EXPECT_EQ(g.apply_left - g.cancel_left, 1260);
    EXPECT_EQ(twips_to_pixels(8920), 595);
    EXPECT_EQ(twips_to_pixels(15), 1);
}

TEST(HelpWindow, TitleTextAndGuidePageFollowTheIcon) {
    RecordingOpener opener;
    HelpContent help(opener, QStringLiteral("/prog/guide"));
    const HelpTopic *dns = find_help_topic(QStringLiteral("Picture12"));
    ASSERT_NE(dns, nullptr);
    help.fill(dns->item, dns->text, dns->page);
    EXPECT_EQ(help.title(), QStringLiteral("DNSServer :"));
    EXPECT_EQ(help.body(), QStringLiteral("This setting specifies  the DNS servers to be used.\nYou must specify at least "
                                          "one name server for the DNS Proxy to function correctly.\n\nPlease refer "
                                          "to the Users Guide for further reference."));
    help.open_guide();
    help.open_tutorials();
    EXPECT_EQ(opener.opened, (QStringList{QStringLiteral("/prog/guide/dns.html"),
                                          QStringLiteral("/prog/guide/typical.html")}));
    help.fill(QStringLiteral("X"), QStringLiteral("t"), QString());
    EXPECT_EQ(help.help_page(), QStringLiteral("guide.html"));
}

TEST(HelpWindow, EveryHelpIconHasATopicAndAGuidePage) {
    const QStringList pages{"general.html", "socks.html", "http.html", "dns.html", "port.html"};
    EXPECT_EQ(help_topics().size(), 16u + more_settings().size());
    QStringList icons;
    for (const auto &t : help_topics()) icons << t.icon;
    EXPECT_EQ(icons.removeDuplicates(), 0) << icons.join(QLatin1Char(' ')).toStdString();
    for (const auto &t : help_topics()) EXPECT_TRUE(pages.contains(t.page)) << t.icon.toStdString();
    EXPECT_EQ(find_help_topic(QStringLiteral("Picture99")), nullptr);
}

TEST(HelpWindow, ButtonsAndLinksSitJustBelowTheText) {
    const HelpLayout short_text = help_layout(195);
    const HelpLayout long_text = help_layout(1800);
    EXPECT_GT(long_text.window_height, short_text.window_height);
    EXPECT_EQ(long_text.dismiss_top, 720 + 1800 + 120);
    EXPECT_EQ(long_text.links_top, long_text.dismiss_top + 60);
    EXPECT_EQ(long_text.window_height, 720 + 1800 + 860);
}

TEST(HelpWindow, OpensAboveTheWizardCentredOnItsLeftEdgeButNeverOffScreen) {
    Position p = help_window_position(400, 300, 410, 150);
    EXPECT_EQ(p.left, 195);
    EXPECT_EQ(p.top, 150);
    p = help_window_position(0, 0, 410, 150);
    EXPECT_EQ(p.left, 0);
    EXPECT_EQ(p.top, 0);
}

}  // namespace
}  // namespace kel::wizard
