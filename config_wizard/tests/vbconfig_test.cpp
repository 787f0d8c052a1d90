// Wiring of the windows only; every decision is tested in core.
#include "vbconfig.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QFocusEvent>
#include <QFrame>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include <functional>

#include <gtest/gtest.h>

#include "fakes.h"
#include "more_settings.h"
#include "qt_dialogs.h"
#include "wizhelp.h"

namespace kel::wizard {
namespace {

using testing::FakeStore;
using testing::RecordingOpener;
using testing::ScriptedBoxes;
using testing::ScriptedPrompter;

const QString kConf = QStringLiteral("/prog/valdrin.conf");
const QString kDefaults = QStringLiteral("/prog/valdrin.conf.default");

// Answers the modal dialogs that open, one step each, from a timer; gives up
// (closing whatever is open) after a few seconds so that a test never hangs.
class ModalAnswerer {
public:
    using Step = std::function<void(QWidget *)>;
    explicit ModalAnswerer(std::vector<Step> steps) : steps_(std::move(steps)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
        timer_.start(5);
    }
    size_t answered() const { return next_; }

private:
    void tick() {
        QWidget *modal = QApplication::activeModalWidget();
        if (++ticks_ > 1000) {  // about five seconds
            if (modal) modal->close();
            timer_.stop();
            return;
        }
        if (!modal || modal->property("answered").toBool()) return;
        modal->setProperty("answered", true);
        if (next_ < steps_.size()) {
            steps_[next_++](modal);
        } else {
            modal->close();
            timer_.stop();
        }
    }
    std::vector<Step> steps_;
    size_t next_ = 0;
    int ticks_ = 0;
    QTimer timer_;
};

struct Window : ::testing::Test {
    FakeStore store;
    ScriptedBoxes boxes;
    ScriptedPrompter prompts;
    RecordingOpener opener;
    Wizard wizard{store, boxes, prompts, {kConf, kDefaults, QStringLiteral("/prog/guide")}};
    VBConfig window{wizard, opener, QStringLiteral("/prog/guide")};

    void SetUp() override { window.open(); }

    template <class T>
    T *child(const QString &name) {
        T *w = window.findChild<T *>(name);
        EXPECT_NE(w, nullptr) << name.toStdString();
        return w;
    }
    template <class T>
    T *child(const char *name) { return child<T>(QLatin1String(name)); }
    void click(const char *name) { child<QAbstractButton>(name)->click(); }
};

TEST_F(Window, EveryControlCarriesItsName) {
    for (const char *name : {"Text1", "Text2", "Text3", "Text5", "Text6", "Text8"})
        EXPECT_NE(window.findChild<QLineEdit *>(QLatin1String(name)), nullptr) << name;
    for (const char *name : {"Check1", "Check3", "Check4", "Check5", "Check6", "Check7", "Check8", "Check9"})
        EXPECT_NE(window.findChild<QCheckBox *>(QLatin1String(name)), nullptr) << name;
    for (const char *name : {"List1", "List2", "List3"})
        EXPECT_NE(window.findChild<QListWidget *>(QLatin1String(name)), nullptr) << name;
    for (const char *name : {"Command1", "Command2", "Command3", "Command4", "Command5", "Command7", "Command8",
                             "Command9", "Command10", "Command11", "Command12", "Command14"})
        EXPECT_NE(window.findChild<QPushButton *>(QLatin1String(name)), nullptr) << name;
    for (int i = 0; i < kSectionCount; ++i) {
        EXPECT_NE(window.findChild<QPushButton *>(QStringLiteral("Command6(%1)").arg(i)), nullptr) << i;
        EXPECT_NE(window.findChild<QFrame *>(QStringLiteral("ConfigFrame(%1)").arg(i)), nullptr) << i;
    }
    for (const auto &topic : help_topics())
        EXPECT_NE(window.findChild<QToolButton *>(topic.icon), nullptr) << topic.icon.toStdString();
    EXPECT_EQ(child<QPushButton>("Command3")->toolTip(), QStringLiteral("Update the configuration and quit"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Valdrin Proxy Server - Configuration Wizard"));
}

TEST_F(Window, SectionButtonsShowOnePanelAndItsTitle) {
    EXPECT_TRUE(child<QFrame>("ConfigFrame(0)")->isVisibleTo(&window));
    click("Command6(3)");
    for (int i = 0; i < kSectionCount; ++i)
        EXPECT_EQ(child<QFrame>(QStringLiteral("ConfigFrame(%1)").arg(i))->isVisibleTo(&window), i == 3) << i;
    EXPECT_EQ(child<QLabel>("Label14")->text(), QStringLiteral("DNS Proxy server configuration"));
}

TEST_F(Window, ApplyWritesTheEditedFieldsThroughTheStore) {
    child<QLineEdit>("Text1")->setText(QStringLiteral("proxy.log"));
    child<QCheckBox>("Check4")->setChecked(true);
    click("Command1");
    EXPECT_EQ(store.get(kConf, QStringLiteral("Main"), QStringLiteral("LogFile")), QStringLiteral("proxy.log"));
    EXPECT_EQ(store.get(kConf, QStringLiteral("HTTP"), QStringLiteral("HTTPEnabled")), QStringLiteral("true"));
}

TEST_F(Window, TheAdvancedPanelHoldsEveryOtherKeyAndWritesWhatWasEdited) {
    click("Command6(5)");
    EXPECT_TRUE(child<QFrame>("ConfigFrame(5)")->isVisibleTo(&window));
    EXPECT_FALSE(child<QFrame>("ConfigFrame(0)")->isVisibleTo(&window));
    EXPECT_EQ(child<QLabel>("Label14")->text(), QStringLiteral("Advanced configuration"));
    for (const MoreSetting &m : more_settings()) {
        QWidget *control = window.findChild<QWidget *>(m.control);
        ASSERT_NE(control, nullptr) << m.control.toStdString();
        EXPECT_TRUE(control->isVisibleTo(&window)) << m.control.toStdString();
    }
    // The daemon's defaults are shown for absent keys.
    EXPECT_EQ(child<QLineEdit>("Text14")->text(), QStringLiteral("8000"));
    EXPECT_TRUE(child<QCheckBox>("Check10")->isChecked());
    child<QLineEdit>("Text10")->setText(QStringLiteral("127.0.0.1"));
    child<QCheckBox>("Check10")->setChecked(false);
    click("Command1");
    EXPECT_EQ(store.get(kConf, QStringLiteral("HTTP"), QStringLiteral("HTTPListen")), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(store.get(kConf, QStringLiteral("DNS"), QStringLiteral("DNSBlock")), QStringLiteral("false"));
    EXPECT_FALSE(store.has(kConf, QStringLiteral("HTTP"), QStringLiteral("HTTPMaxClients")));
}

TEST_F(Window, OkClosesOnlyAfterAGoodSave) {
    window.show();
    store.fail_all = true;
    click("Command3");
    EXPECT_TRUE(window.isVisible());
    store.fail_all = false;
    click("Command3");
    EXPECT_FALSE(window.isVisible());
}

TEST_F(Window, LeavingThePortFieldNormalisesItButAMessageBoxDoesNot) {
    auto *text3 = child<QLineEdit>("Text3");
    text3->setText(QStringLiteral("1080abc"));
    QFocusEvent activation(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(text3, &activation);
    EXPECT_EQ(text3->text(), QStringLiteral("1080abc"));
    QFocusEvent tab(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(text3, &tab);
    EXPECT_EQ(text3->text(), QStringLiteral("1080"));

    // Ticking the server's box checks at once, and switches to its section.
    text3->setText(QStringLiteral("0"));
    child<QCheckBox>("Check3")->click();
    ASSERT_EQ(boxes.calls.size(), 1u);
    EXPECT_EQ(boxes.calls[0].caption, QStringLiteral("Invalid port number"));
    EXPECT_TRUE(child<QFrame>("ConfigFrame(1)")->isVisibleTo(&window));
}

TEST_F(Window, DeleteKeyRemovesEverySelectedLine) {
    prompts.then(QStringLiteral("a")).then(QStringLiteral("b")).then(QStringLiteral("c")).then(QStringLiteral("d"));
    for (int i = 0; i < 4; ++i) click("Command4");
    auto *list1 = child<QListWidget>("List1");
    ASSERT_EQ(list1->count(), 4);
    list1->item(0)->setSelected(true);
    list1->item(2)->setSelected(true);
    list1->item(3)->setSelected(true);
    QTest::keyClick(list1, Qt::Key_Delete);
    ASSERT_EQ(list1->count(), 1);
    EXPECT_EQ(list1->item(0)->text(), QStringLiteral("b"));
    EXPECT_EQ(wizard.model().list1, QStringList{QStringLiteral("b")});
}

TEST_F(Window, HelpIconFillsTheHelpWindowAndItsLinksOpenGuidePages) {
    child<QToolButton>("Picture12")->click();
    WizHelp *help = window.help_window();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_EQ(help->findChild<QLabel *>(QStringLiteral("Label1"))->text(), QStringLiteral("DNSServer :"));
    QTest::mouseClick(help->findChild<QLabel *>(QStringLiteral("Label3")), Qt::LeftButton);
    QTest::mouseClick(help->findChild<QLabel *>(QStringLiteral("Label4")), Qt::LeftButton);
    EXPECT_EQ(opener.opened, (QStringList{QStringLiteral("/prog/guide/dns.html"),
                                          QStringLiteral("/prog/guide/typical.html")}));

    // Taller for a longer text, with the button just below it.
    const int short_height = help->height();
    child<QToolButton>("Picture3")->click();
    EXPECT_EQ(window.help_window(), help);
    EXPECT_GT(help->height(), short_height);
    auto *dismiss = help->findChild<QPushButton *>(QStringLiteral("Command1"));
    auto *text = help->findChild<QLabel *>(QStringLiteral("Label2"));
    EXPECT_GT(dismiss->y(), text->geometry().bottom());
    EXPECT_LT(dismiss->y() - text->geometry().bottom(), 20);

    dismiss->click();
    EXPECT_FALSE(help->isVisible());
    child<QToolButton>("Picture1")->click();
    EXPECT_TRUE(help->isVisible());
    help->close();  // the close box destroys it
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(window.help_window(), nullptr);
    child<QToolButton>("Picture1")->click();
    EXPECT_NE(window.help_window(), nullptr);
}

}  // namespace

// The real dialogs, answered from a timer.
class UrlCatcher : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl &url) { urls << url; }

public:
    QList<QUrl> urls;
};

namespace {

TEST(RealDialogs, PasswordPromptsAreMaskedAndTheAccountIsAdded) {
    FakeStore store;
    QtPrompter prompter;
    QtMessageBoxes boxes;
    RecordingOpener opener;
    Wizard wizard{store, boxes, prompter, {kConf, kDefaults, QStringLiteral("/prog/guide")}};
    VBConfig window{wizard, opener, QStringLiteral("/prog/guide")};
    prompter.set_parent(&window);
    boxes.set_parent(&window);
    window.open();

    std::vector<QLineEdit::EchoMode> echoes;
    QStringList captions;
    auto answer = [&](const char *text) {
        return [&, text](QWidget *w) {
            auto *dialog = qobject_cast<QInputDialog *>(w);
            ASSERT_NE(dialog, nullptr);
            echoes.push_back(dialog->textEchoMode());
            dialog->setTextValue(QLatin1String(text));
            dialog->accept();
        };
    };
    auto acknowledge = [&](QWidget *w) {
        auto *box = qobject_cast<QMessageBox *>(w);
        ASSERT_NE(box, nullptr);
        captions << box->windowTitle();
        box->button(QMessageBox::Ok)->click();
    };
    ModalAnswerer answers({answer("bob"), answer("secret1"), answer("secret1"), acknowledge});
    window.findChild<QPushButton *>(QStringLiteral("Command8"))->click();

    EXPECT_EQ(answers.answered(), 4u);
    EXPECT_EQ(echoes, (std::vector<QLineEdit::EchoMode>{QLineEdit::Normal, QLineEdit::Password, QLineEdit::Password}));
    EXPECT_EQ(captions, QStringList{QStringLiteral("New account created")});
    auto *list2 = window.findChild<QListWidget *>(QStringLiteral("List2"));
    ASSERT_EQ(list2->count(), 1);
    EXPECT_EQ(list2->item(0)->text(), QStringLiteral("bob"));
}

TEST(RealDialogs, CancelAnsweredNoKeepsTheWindowAndYesClosesIt) {
    FakeStore store;
    QtPrompter prompter;
    QtMessageBoxes boxes;
    RecordingOpener opener;
    Wizard wizard{store, boxes, prompter, {kConf, kDefaults, QStringLiteral("/prog/guide")}};
    VBConfig window{wizard, opener, QStringLiteral("/prog/guide")};
    boxes.set_parent(&window);
    window.open();
    window.show();
    auto press = [](QMessageBox::StandardButton which) {
        return [which](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            ASSERT_NE(box, nullptr);
            EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
            box->button(which)->click();
        };
    };
    {
        ModalAnswerer answers({press(QMessageBox::No)});
        window.findChild<QPushButton *>(QStringLiteral("Command2"))->click();
        EXPECT_EQ(answers.answered(), 1u);
    }
    EXPECT_TRUE(window.isVisible());
    ModalAnswerer answers({press(QMessageBox::Yes)});
    window.findChild<QPushButton *>(QStringLiteral("Command2"))->click();
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(store.writes.isEmpty());
}

TEST(RealDialogs, GuidePagesGoToTheBrowserAsFileUrls) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    DesktopUrlOpener opener;
    HelpContent help(opener, QStringLiteral("/opt/valdrin/guide"));
    help.fill(QStringLiteral("HTTPPort"), QStringLiteral("t"), QStringLiteral("http.html"));
    help.open_guide();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls[0], QUrl::fromLocalFile(QStringLiteral("/opt/valdrin/guide/http.html")));
}

}  // namespace
}  // namespace kel::wizard

#include "vbconfig_test.moc"
