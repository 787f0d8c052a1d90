#include "library_activity.h"

#include <QDir>
#include <QFile>

#include "activity/src/runtime_dir.h"

namespace valdrin::tray {

namespace {

// Enough for a ports file of every address, and for the end of a log.
constexpr qint64 kMaxPortsFileBytes = 64 * 1024;
constexpr qint64 kLogTailBytes = 16 * 1024;
constexpr int kStopReasonLines = 3;
constexpr int kMaxReasonLineChars = 200;

}  // namespace

LibraryActivity::LibraryActivity(const QString &folder, const QString &file_name, QString runtime_dir)
    : library_(QDir(folder).filePath(file_name)), runtime_dir_(std::move(runtime_dir)) {}

bool LibraryActivity::load() {
    if (tried_) return poll_ != nullptr;
    tried_ = true;
    if (!library_.load()) {
        failure_ = library_.errorString();
        return false;
    }
    struct Wanted {
        const char *name;
        Entry *slot;
    };
    for (const Wanted &w : {Wanted{"activity_poll", &poll_}, Wanted{"activity_start", &start_},
                            Wanted{"activity_stop", &stop_}, Wanted{"activity_auto", &auto_},
                            Wanted{"activity_noauto", &noauto_}}) {
        *w.slot = reinterpret_cast<Entry>(library_.resolve(w.name));
        if (*w.slot == nullptr) {
            failure_ = QStringLiteral("%1: no entry %2").arg(library_.fileName(), QString::fromLatin1(w.name));
            poll_ = nullptr;
            return false;
        }
    }
    reload_ = reinterpret_cast<Entry>(library_.resolve("activity_reload"));
    return true;
}

// The component's results for commands carry nothing the agent acts on:
// the next poll shows their effect.
std::optional<quint16> LibraryActivity::poll() {
    if (!load()) return std::nullopt;
    return static_cast<quint16>(poll_(0));
}

QString LibraryActivity::failure() const {
    if (failure_.isEmpty()) return QString();
    return tr("The activity component could not be loaded, so the proxy server can be neither watched nor "
              "started.\n%1")
        .arg(failure_);
}

void LibraryActivity::start() {
    if (load()) start_(1);
}

void LibraryActivity::stop() {
    if (load()) stop_(1);
}

void LibraryActivity::set_autostart() {
    if (load()) auto_(1);
}

void LibraryActivity::clear_autostart() {
    if (load()) noauto_(1);
}

ReloadResult LibraryActivity::reload() {
    if (!load() || reload_ == nullptr) return ReloadResult::Unsupported;
    const qint16 verdict = reload_(1);
    return verdict >= 1 && verdict <= 3 ? static_cast<ReloadResult>(verdict) : ReloadResult::Failed;
}

QString LibraryActivity::runtime_file(const char *name) {
    if (runtime_dir_.isEmpty()) {
        // The component's own choice, so that both read the same files.
        if (auto dir = kel::activity::runtime_dir()) runtime_dir_ = QString::fromStdString(*dir);
    }
    if (runtime_dir_.isEmpty()) return QString();
    return QDir(runtime_dir_).filePath(QString::fromLatin1(name));
}

StatusAddress LibraryActivity::status_address() {
    const QString path = runtime_file(kel::activity::kPortsFileName);
    if (path.isEmpty()) return {QString(), tr("the folder of the daemon's files cannot be used")};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QString(), tr("%1 cannot be read (%2)").arg(path, file.errorString())};
    const QString address = http_address_in_ports_file(file.read(kMaxPortsFileBytes));
    if (address.isEmpty()) return {QString(), tr("%1 names no HTTP proxy address").arg(path)};
    return {reachable(address), QString()};
}

void LibraryActivity::explain_stop(std::function<void(const QString &reason)> done) {
    const QString path = runtime_file(kel::activity::kLogFileName);
    if (path.isEmpty()) return done(QString());
    QFile log(path);
    if (!log.open(QIODevice::ReadOnly)) return done(tr("Its log %1 cannot be read (%2).").arg(path, log.errorString()));
    const bool cut = log.size() > kLogTailBytes;
    if (cut) log.seek(log.size() - kLogTailBytes);
    QByteArray tail = log.read(kLogTailBytes);
    // Read from the middle of a line, the first one is not whole.
    if (cut) tail.remove(0, tail.indexOf('\n') + 1);
    const QStringList lines = last_lines(tail, kStopReasonLines, kMaxReasonLineChars);
    if (lines.isEmpty()) return done(tr("Its log %1 is empty.").arg(path));
    done(tr("The last lines of its log %1:").arg(path) + QLatin1Char('\n') + lines.join(QLatin1Char('\n')));
}

}  // namespace valdrin::tray
