#include "about_form.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "core/tray_controller.h"
#include "kelplat_qt/qt_notify_area.h"

namespace valdrin::tray {

AboutForm::AboutForm(QWidget *parent) : QWidget(parent), timer1_(new QTimer(this)), popup_mnu_(new QMenu(tr("&Popup"), this)) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(tr("About... Valdrin Proxy Server"));
    setWindowIcon(QIcon(QStringLiteral(":/valdrin/about.png")));

    auto *picture = new QLabel(this);
    picture->setPixmap(QIcon(QStringLiteral(":/valdrin/about.png")).pixmap(64, 64));
    auto *label1 = new QLabel(tr("Valdrin Proxy Server r.1.1"), this);
    QFont big = label1->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    label1->setFont(big);
    auto *label5 = new QLabel(tr("Version :"), this);
    auto *label6 = new QLabel(tr("Valdrin Proxy Server r.1.1 - compiled Sunday 8th December 2002"), this);
    auto *label3 = new QLabel(tr("Support information :"), this);
    auto *label4 = new QLabel(tr("Questions are answered on the bulletin board and in the frequently\n"
                                 "asked questions of the website. If they do not help, write to\n"
                                 "support@valdrin.example."),
                              this);
    auto *label8 = new QLabel(tr("Get the latest version from the website :"), this);
    auto *label2 = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(QString::fromLatin1(kWebsite)), this);
    label2->setObjectName(QStringLiteral("Label2"));
    label2->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    connect(label2, &QLabel::linkActivated, this, [](const QString &link) { QDesktopServices::openUrl(QUrl(link)); });
    auto *label7 = new QLabel(tr("Copyright © 2002 The Valdrin Proxy Server developers. All rights reserved."), this);
    auto *command1 = new QPushButton(tr("&Dismiss"), this);
    command1->setObjectName(QStringLiteral("Command1"));
    connect(command1, &QPushButton::clicked, this, &QWidget::hide);

    // Headings above their text, the picture on the left.
    auto *text = new QVBoxLayout;
    text->addWidget(label1);
    text->addSpacing(6);
    for (QLabel *heading : {label5, label3, label8}) {
        QFont bold = heading->font();
        bold.setBold(true);
        heading->setFont(bold);
    }
    text->addWidget(label5);
    text->addWidget(label6);
    text->addSpacing(6);
    text->addWidget(label3);
    text->addWidget(label4);
    text->addSpacing(6);
    text->addWidget(label8);
    text->addWidget(label2);
    auto *top = new QHBoxLayout;
    top->addWidget(picture, 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addLayout(text, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addWidget(label7);
    layout->addWidget(command1, 0, Qt::AlignRight);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    popup_start_stop_ = popup_mnu_->addAction(tr("&Start"));
    popup_mnu_->addSeparator();
    popup_status_page_ = popup_mnu_->addAction(tr("Open status &page"));
    popup_status_page_->setEnabled(false);
    popup_mnu_->addSeparator();
    popup_autostart_ = popup_mnu_->addAction(tr("&Autostart at boot time"));
    popup_autostart_->setCheckable(true);
    popup_configure_ = popup_mnu_->addAction(tr("&Configure"));
    popup_mnu_->addSeparator();
    popup_about_ = popup_mnu_->addAction(tr("&About"));
    popup_exit_ = popup_mnu_->addAction(tr("&Exit"));

    timer1_->setInterval(kPollIntervalMs);
}

AboutForm::~AboutForm() = default;

void AboutForm::attach(TrayController *controller) {
    controller_ = controller;
    // The check mark follows the status only; a click must not flip it first.
    connect(popup_start_stop_, &QAction::triggered, this, [this] { controller_->on_start_stop(); });
    connect(popup_autostart_, &QAction::triggered, this, [this] {
        popup_autostart_->setChecked(controller_->autostart_checked());
        controller_->on_autostart();
    });
    connect(popup_configure_, &QAction::triggered, this, [this] { controller_->on_configure(); });
    connect(popup_status_page_, &QAction::triggered, this, [this] { controller_->on_open_status_page(); });
    connect(popup_about_, &QAction::triggered, this, [this] {
        show();
        raise();
        activateWindow();
    });
    connect(popup_exit_, &QAction::triggered, this, &AboutForm::end_program);
    connect(timer1_, &QTimer::timeout, this, [this] { controller_->refresh(); });
    timer1_->start();
}

void AboutForm::set_start_stop_caption(const QString &caption) { popup_start_stop_->setText(caption); }

void AboutForm::set_autostart_checked(bool checked) { popup_autostart_->setChecked(checked); }

void AboutForm::open_menu() { popup_mnu_->popup(QCursor::pos()); }

void AboutForm::set_service_lines(const QStringList &lines) {
    // Every poll says the same most of the time; an open menu keeps its items.
    if (lines == service_lines_) return;
    service_lines_ = lines;
    for (QAction *a : service_actions_) {
        popup_mnu_->removeAction(a);
        delete a;
    }
    service_actions_.clear();
    for (QString line : lines) {
        // Shown as said: an ampersand is no mnemonic here.
        auto *a = new QAction(line.replace(QLatin1Char('&'), QLatin1String("&&")), popup_mnu_);
        a->setEnabled(false);
        popup_mnu_->insertAction(popup_status_page_, a);
        service_actions_.append(a);
    }
}

void AboutForm::set_status_page_enabled(bool enabled) { popup_status_page_->setEnabled(enabled); }

void AboutForm::notify(const QString &title, const QString &text) {
    if (area_ != nullptr)
        area_->show_message(title, text);
    else
        qWarning("%s: %s", qUtf8Printable(title), qUtf8Printable(text));
}

void AboutForm::centre_on_screen() {
    const QScreen *screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const QRect area = screen->geometry();
    adjustSize();
    move(area.x() + (area.width() - frameGeometry().width()) / 2,
         area.y() + (area.height() - frameGeometry().height()) / 2);
}

void AboutForm::closeEvent(QCloseEvent *event) {
    // Closing other than by "Dismiss" unloads the window: the agent ends.
    event->accept();
    end_program();
}

void AboutForm::end_program() {
    timer1_->stop();
    if (controller_ != nullptr) controller_->shut_down();
    QCoreApplication::quit();
}

void WidgetMessageBoxes::error(const QString &title, const QString &text) {
    QMessageBox::critical(owner_, title, text);
}

bool DesktopBrowser::open(const QUrl &url) { return QDesktopServices::openUrl(url); }

}  // namespace valdrin::tray
