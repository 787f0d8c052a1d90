#include "kelplat_qt/qt_notify_area.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QSystemTrayIcon>

namespace kel::qtplat {
namespace {

// The widget behind an XEmbed tray icon; it sees the raw presses and
// releases, while QSystemTrayIcon::activated fires on the press only.
constexpr const char *kTrayWidgetClass = "QSystemTrayIconSys";
// Long enough to read a few lines of a log.
constexpr int kMessageShownMs = 15000;

}  // namespace

QtNotifyArea::QtNotifyArea(QObject *parent) : QObject(parent), icon_(new QSystemTrayIcon(this)) {
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { on_activated(reason); });
    if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->installEventFilter(this);
}

QtNotifyArea::~QtNotifyArea() {
    if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->removeEventFilter(this);
}

bool QtNotifyArea::is_available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

void QtNotifyArea::set_picture(int icon, const QIcon &picture) { pictures_[icon] = picture; }

bool QtNotifyArea::add(const NotifyIconData &record) {
    if (present_) return false;
    current_ = record;
    auto picture = pictures_.find(record.icon);
    icon_->setIcon((record.flags & kNotifyIcon) && picture != pictures_.end() ? picture->second : QIcon());
    icon_->setToolTip((record.flags & kNotifyTip) ? record.tip.left(kMaxTipChars) : QString());
    icon_->show();
    present_ = true;
    return true;
}

bool QtNotifyArea::remove(const NotifyIconData &record) {
    if (!present_ || record.window != current_.window || record.id != current_.id) return false;
    icon_->hide();
    present_ = false;
    return true;
}

void QtNotifyArea::show_message(const QString &title, const QString &text) {
    if (present_ && is_available()) {
        icon_->showMessage(title, text, QSystemTrayIcon::Warning, kMessageShownMs);
        return;
    }
    qWarning("%s: %s", qUtf8Printable(title), qUtf8Printable(text));
}

unsigned QtNotifyArea::message_for(int event_type, Qt::MouseButton button) {
    const int column = button == Qt::LeftButton ? 0 : button == Qt::RightButton ? 1 : button == Qt::MiddleButton ? 2 : -1;
    if (column < 0) return 0;
    static constexpr unsigned kDown[] = {kLeftButtonDown, kRightButtonDown, kMiddleButtonDown};
    static constexpr unsigned kUp[] = {kLeftButtonUp, kRightButtonUp, kMiddleButtonUp};
    static constexpr unsigned kDouble[] = {kLeftButtonDoubleClick, kRightButtonDoubleClick, 0};
    switch (event_type) {
    case QEvent::MouseButtonPress: return kDown[column];
    case QEvent::MouseButtonRelease: return kUp[column];
    case QEvent::MouseButtonDblClick: return kDouble[column];
    default: return 0;
    }
}

bool QtNotifyArea::eventFilter(QObject *watched, QEvent *event) {
    const auto type = event->type();
    if ((type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
         type == QEvent::MouseButtonDblClick) &&
        watched->isWidgetType() && qstrcmp(watched->metaObject()->className(), kTrayWidgetClass) == 0) {
        // Presses also raise activated() next; that one is then skipped.
        if (type != QEvent::MouseButtonRelease) raw_event_seen_ = true;
        deliver(message_for(type, static_cast<QMouseEvent *>(event)->button()));
    }
    return QObject::eventFilter(watched, event);
}

void QtNotifyArea::on_activated(int reason) {
    if (raw_event_seen_) {
        raw_event_seen_ = false;
        return;
    }
    // Trays that report only clicks (status notifier items): a click is a
    // completed press and release, so it reads as the release.
    switch (reason) {
    case QSystemTrayIcon::Trigger: deliver(kLeftButtonUp); break;
    case QSystemTrayIcon::Context: deliver(kRightButtonUp); break;
    case QSystemTrayIcon::MiddleClick: deliver(kMiddleButtonUp); break;
    case QSystemTrayIcon::DoubleClick: deliver(kLeftButtonDoubleClick); break;
    default: break;
    }
}

void QtNotifyArea::deliver(unsigned message) {
    if (message != 0 && present_ && (current_.flags & kNotifyMessage)) emit mouse_message(message);
}

}  // namespace kel::qtplat
