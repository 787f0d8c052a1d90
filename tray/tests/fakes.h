// Fakes for the agent's ports, recording what the controller does.
#pragma once

#include <QCoreApplication>
#include <QLibrary>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
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
    void set_service_lines(const QStringList &l) override { lines = l; }
    void set_status_page_enabled(bool e) override { status_page = e; }
    void notify(const QString &title, const QString &text) override { notes.push_back({title, text}); }
    QString caption;
    bool checked = false;
    int menus_opened = 0;
    QStringList lines;
    bool status_page = false;
    std::vector<std::pair<QString, QString>> notes;
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
    // Answers with `output` on the next turn of the event loop.
    void read_output(const QString &program, const QStringList &args,
                     std::function<void(const std::optional<QByteArray> &)> done) override {
        ran.append(QStringList{program} + args);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [done = std::move(done), out = output] { done(out); }, Qt::QueuedConnection);
    }
    bool succeed = true;
    QStringList started;
    std::optional<QByteArray> output;
    QList<QStringList> ran;
};

class FakeBrowser final : public Browser {
public:
    bool open(const QUrl &url) override {
        opened.append(url);
        return succeed;
    }
    bool succeed = true;
    QList<QUrl> opened;
};

// Holds each question until the test answers it.
class FakeFetcher final : public StatusFetcher {
public:
    void fetch(const QString &address, std::function<void(const StatusFetch &)> done) override {
        asked.append(address);
        pending.push_back(std::move(done));
    }
    // Answers the oldest question; false when none waits.
    bool answer(const StatusFetch &result) {
        if (pending.empty()) return false;
        auto done = std::move(pending.front());
        pending.erase(pending.begin());
        done(result);
        return true;
    }
    bool answer(const Listeners &listening) { return answer(StatusFetch{listening, QString()}); }
    bool fail(const QString &why) { return answer(StatusFetch{std::nullopt, why}); }
    QStringList asked;
    std::vector<std::function<void(const StatusFetch &)>> pending;
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
    StatusAddress status_address() override { return where; }
    void explain_stop(std::function<void(const QString &)> done) override {
        ++explained;
        done(stop_reason);
    }
    std::optional<quint16> status = 0;
    int polls = 0;
    QStringList log;
    StatusAddress where{QStringLiteral("127.0.0.1:3128"), QString()};
    QString stop_reason;
    int explained = 0;
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
        set_reload_ = reinterpret_cast<void (*)(int)>(lib_.resolve("fake_activity_set_reload"));
        if (reset_) reset_();
    }
    bool ok() const { return set_ && log_ && reset_ && clear_ && set_reload_; }
    void set_status(int s) { set_(s); }
    void set_reload_verdict(int v) { set_reload_(v); }
    QString log() const { return QString::fromLatin1(log_()).trimmed(); }
    void clear_log() { clear_(); }

private:
    QLibrary lib_;
    void (*set_)(int) = nullptr;
    const char *(*log_)() = nullptr;
    void (*reset_)() = nullptr;
    void (*clear_)() = nullptr;
    void (*set_reload_)(int) = nullptr;
};

}  // namespace valdrin::tray::testing
