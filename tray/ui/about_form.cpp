#include "about_form.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDesktopServices>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "core/tray_controller.h"

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
    auto *label4 = new QLabel(tr("Questions are answered on the bulletin board and in the frequently asked questions "
                                 "of the website. If they do not help, write to support@valdrin.example."),
                              this);
    label4->setWordWrap(true);
    auto *label8 = new QLabel(tr("Get the latest version from the website :"), this);
    auto *label2 = new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(QString::fromLatin1(kWebsite)), this);
    label2->setObjectName(QStringLiteral("Label2"));
    label2->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    connect(label2, &QLabel::linkActivated, this, [](const QString &link) { QDesktopServices::openUrl(QUrl(link)); });
    auto *label7 = new QLabel(tr("Copyright © 2002 The Valdrin Proxy Server developers. All rights reserved."), this);
    auto *command1 = new QPushButton(tr("&Dismiss"), this);
    command1->setObjectName(QStringLiteral("Command1"));
    connect(command1, &QPushButton::clicked, this, &QWidget::hide);

    auto *grid = new QGridLayout;
    grid->addWidget(picture, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(label1, 0, 1, 1, 2);
    grid->addWidget(label5, 1, 1, Qt::AlignTop);
    grid->addWidget(label6, 1, 2);
    grid->addWidget(label3, 2, 1, Qt::AlignTop);
    grid->addWidget(label4, 2, 2);
    grid->addWidget(label8, 3, 1, Qt::AlignTop);
    grid->addWidget(label2, 3, 2);
    grid->setColumnStretch(2, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(label7);
    layout->addWidget(command1, 0, Qt::AlignRight);
    setMinimumWidth(520);

    popup_start_stop_ = popup_mnu_->addAction(tr("&Start"));
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

}  // namespace valdrin::tray
