// The About window. It also owns what carries the icon: the status
// pictures, the poll timer and the pop-up menu. Displays and forwards;
// every decision is the controller's.
#pragma once

#include <QList>
#include <QWidget>

#include "core/ports.h"

class QAction;
class QMenu;
class QTimer;

namespace kel::qtplat {
class QtNotifyArea;
}

namespace valdrin::tray {

class TrayController;

class AboutForm final : public QWidget, public TrayView {
    Q_OBJECT
public:
    // The website the About window links to.
    static constexpr const char *kWebsite = "https://www.valdrin.example/";
    // How often the status is polled.
    static constexpr int kPollIntervalMs = 3000;

    explicit AboutForm(QWidget *parent = nullptr);
    ~AboutForm() override;

    // Hooks the menu, the timer and closing to the controller.
    void attach(TrayController *controller);
    // Where notifications show; without one they go to standard error.
    void set_notify_area(kel::qtplat::QtNotifyArea *area) { area_ = area; }

    void set_start_stop_caption(const QString &caption) override;
    void set_autostart_checked(bool checked) override;
    void open_menu() override;
    // Between Start/Stop and "Open status page".
    void set_service_lines(const QStringList &lines) override;
    void set_status_page_enabled(bool enabled) override;
    void notify(const QString &title, const QString &text) override;

    void centre_on_screen();

    QMenu *popup_menu() const { return popup_mnu_; }
    QAction *start_stop_action() const { return popup_start_stop_; }
    QAction *autostart_action() const { return popup_autostart_; }
    QAction *configure_action() const { return popup_configure_; }
    QAction *status_page_action() const { return popup_status_page_; }
    const QList<QAction *> &service_actions() const { return service_actions_; }
    QAction *about_action() const { return popup_about_; }
    QAction *exit_action() const { return popup_exit_; }
    QTimer *poll_timer() const { return timer1_; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void end_program();

    TrayController *controller_ = nullptr;
    kel::qtplat::QtNotifyArea *area_ = nullptr;
    QTimer *timer1_;
    QMenu *popup_mnu_;
    QAction *popup_start_stop_;
    QList<QAction *> service_actions_;
    QStringList service_lines_;
    QAction *popup_status_page_;
    QAction *popup_autostart_;
    QAction *popup_configure_;
    QAction *popup_about_;
    QAction *popup_exit_;
};

// Message boxes over QMessageBox, owned by a parent window.
class WidgetMessageBoxes final : public MessageBoxes {
public:
    explicit WidgetMessageBoxes(QWidget *owner) : owner_(owner) {}
    void error(const QString &title, const QString &text) override;

private:
    QWidget *owner_;
};

// The desktop's browser, through QDesktopServices.
class DesktopBrowser final : public Browser {
public:
    bool open(const QUrl &url) override;
};

}  // namespace valdrin::tray
