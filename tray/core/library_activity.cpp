#include "library_activity.h"

#include <QDir>

namespace valdrin::tray {

LibraryActivity::LibraryActivity(const QString &folder, const QString &file_name)
    : library_(QDir(folder).filePath(file_name)) {}

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

}  // namespace valdrin::tray
