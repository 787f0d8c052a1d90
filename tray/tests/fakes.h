// Fakes for the agent's ports, recording what the controller does.
#pragma once

#include <QLibrary>
#include <QString>
#include <QStringList>
#include <vector>

#include "core/ports.h"
#include "kelplat_qt/notify_area.h"

namespace valdrin::tray::testing {

// Keeps the area's rules: an add while present is refused and changes nothing.
class FakeNotifyArea final : public kel::qtplat::NotifyArea {
public:
    struct Call {
        bool is_add;
        kel::qtplat::NotifyIconData record;
        bool accepted;
    };
    bool add(const kel::qtplat::NotifyIconData &record) override {
        const bool ok = !shown;
        if (ok) {
            shown = record;
        }
        calls.push_back({true, record, ok});
        return ok;
    }
    bool remove(const kel::qtplat::NotifyIconData &record) override {
        const bool ok = shown && shown->window == record.window && shown->id == record.id;
        if (ok) shown.reset();
        calls.push_back({false, record, ok});
        return ok;
    }
    std::optional<kel::qtplat::NotifyIconData> shown;
    std::vector<Call> calls;
};

class FakeView final : public TrayView {
public:
    void set_start_stop_caption(const QString &c) override { caption = c; }
    void set_autostart_checked(bool c) override { checked = c; }
    void open_menu() override { ++menus_opened; }
    QString caption;
    bool checked = false;
    int menus_opened = 0;
};

class FakeBoxes final : public MessageBoxes {
public:
    void error(const QString &title, const QString &text) override { shown.push_back({title, text}); }
    std::vector<std::pair<QString, QString>> shown;
};

class FakeLauncher final : public Launcher {
public:
    bool start_program(const QString &path) override {
        started.append(path);
        return succeed;
    }
    bool succeed = true;
    QStringList started;
};

// An in-process component whose status the test sets.
class ScriptedActivity final : public Activity {
public:
    std::optional<quint16> poll() override {
        ++polls;
        return status;
    }
    void start() override { log.append("start"); }
    void stop() override { log.append("stop"); }
    void set_autostart() override { log.append("auto"); }
    void clear_autostart() override { log.append("noauto"); }
    QString failure() const override { return QStringLiteral("not loaded"); }
    std::optional<quint16> status = 0;
    int polls = 0;
    QStringList log;
};

// The fake component library's own controls, reached by name like its entries.
class FakeLibraryControl {
public:
    explicit FakeLibraryControl(const QString &path) : lib_(path) {
        lib_.load();
        set_ = reinterpret_cast<void (*)(int)>(lib_.resolve("fake_activity_set_status"));
        log_ = reinterpret_cast<const char *(*)()>(lib_.resolve("fake_activity_log"));
        reset_ = reinterpret_cast<void (*)()>(lib_.resolve("fake_activity_reset"));
        clear_ = reinterpret_cast<void (*)()>(lib_.resolve("fake_activity_clear_log"));
        if (reset_) reset_();
    }
    bool ok() const { return set_ && log_ && reset_ && clear_; }
    void set_status(int s) { set_(s); }
    QString log() const { return QString::fromLatin1(log_()).trimmed(); }
    void clear_log() { clear_(); }

private:
    QLibrary lib_;
    void (*set_)(int) = nullptr;
    const char *(*log_)() = nullptr;
    void (*reset_)() = nullptr;
    void (*clear_)() = nullptr;
};

}  // namespace valdrin::tray::testing
