// The notification area over QSystemTrayIcon.
#pragma once

#include <QIcon>
#include <QObject>
#include <map>

#include "kelplat_qt/notify_area.h"

class QSystemTrayIcon;

namespace kel::qtplat {

class QtNotifyArea final : public QObject, public NotifyArea {
    Q_OBJECT
public:
    explicit QtNotifyArea(QObject *parent = nullptr);
    ~QtNotifyArea() override;

    // False when the desktop offers no notification area (yet); adds still
    // succeed and the icon appears if one turns up.
    static bool is_available();

    // The picture shown for `icon` in later records.
    void set_picture(int icon, const QIcon &picture);

    bool add(const NotifyIconData &record) override;
    bool remove(const NotifyIconData &record) override;
    bool is_present() const { return present_; }

    // A passing message beside the icon (the desktop's notification
    // service, or a balloon); while no icon shows, it goes to standard
    // error instead, so that it is not lost.
    void show_message(const QString &title, const QString &text);

    // The message for a mouse event on the icon; 0 for events not reported.
    static unsigned message_for(int event_type, Qt::MouseButton button);

signals:
    // A mouse message on the present icon, when its record asks for them.
    void mouse_message(unsigned message);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void on_activated(int reason);
    void deliver(unsigned message);

    QSystemTrayIcon *icon_;
    std::map<int, QIcon> pictures_;
    NotifyIconData current_;
    bool present_ = false;
    bool raw_event_seen_ = false;
};

}  // namespace kel::qtplat
