#include "ini_file_store.h"

#include <optional>
#include <string>

#include "kelplat/fs.h"
#include "kelplat/ini.h"

namespace kel::wizard {

struct IniFileStore::Batch {
    QString file;
    std::optional<ini::Document> doc;  // empty: the file can't be changed
    std::string original;
    QString why;  // why `doc` is empty
};

namespace {

// Why a write to `path` fails before anything is written; empty when it
// need not.
QString refusal_of(const QByteArray &path) {
    if (fs::is_read_only(path.constData()))
        return QCoreApplication::translate("IniFileStore", "the file is read-only for this user");
    return QString();
}

}  // namespace

IniFileStore::IniFileStore() = default;
IniFileStore::~IniFileStore() = default;

void IniFileStore::begin_batch(const QString &file) {
    batch_ = std::make_unique<Batch>();
    batch_->file = file;
    const QByteArray path = file.toUtf8();
    // Refused up front, so that the first write fails as it would alone.
    batch_->why = refusal_of(path);
    if (!batch_->why.isEmpty()) return;
    std::string text;
    int error = 0;
    switch (fs::read_file(path.constData(), text, &error)) {
    case fs::ReadStatus::kOk:
        batch_->doc = ini::Document::parse(text);
        break;
    case fs::ReadStatus::kMissing:
        batch_->doc = ini::Document{};
        break;
    case fs::ReadStatus::kFailed:
        batch_->why = tr("reading it failed (%1)").arg(QString::fromStdString(fs::error_text(error)));
        return;
    }
    batch_->original = batch_->doc->serialize();
}

bool IniFileStore::commit_batch() {
    std::unique_ptr<Batch> batch = std::move(batch_);
    if (!batch || !batch->doc) return true;  // nothing was written, and the write said so
    const std::string text = batch->doc->serialize();
    if (text == batch->original) return true;
    const QByteArray path = batch->file.toUtf8();
    last_failure_ = refusal_of(path);
    if (!last_failure_.isEmpty()) return false;
    int error = 0;
    if (fs::replace_atomically(path.constData(), text, &error)) return true;
    // The new file is made beside the old one, so the folder must be writable too.
    last_failure_ = tr("replacing it failed (%1)").arg(QString::fromStdString(fs::error_text(error)));
    return false;
}

QString IniFileStore::read(const QString &file, const QString &section, const QString &key,
                           const QString &fallback) {
    const auto doc = ini::load(file.toUtf8().constData());
    if (!doc) return fallback;
    const auto value = doc->get(section.toUtf8().toStdString(), key.toUtf8().toStdString());
    return value ? QString::fromStdString(*value) : fallback;
}

bool IniFileStore::write(const QString &file, const QString &section, const QString &key, const QString &value) {
    if (batch_ && batch_->file == file) {
        if (!batch_->doc) {
            last_failure_ = batch_->why;
            return false;
        }
        if (batch_->doc->set(section.toUtf8().toStdString(), key.toUtf8().toStdString(), value.toUtf8().toStdString()))
            return true;
        last_failure_ = tr("the key %1 or its value can't be stored in an INI file").arg(key);
        return false;
    }
    if (ini::ini_write(file.toUtf8().constData(), section.toUtf8().constData(), key.toUtf8().constData(),
                       value.toUtf8().constData()))
        return true;
    last_failure_ = refusal_of(file.toUtf8());
    return false;
}

bool IniFileStore::remove(const QString &file, const QString &section, const QString &key) {
    if (batch_ && batch_->file == file) {
        if (!batch_->doc) {
            last_failure_ = batch_->why;
            return false;
        }
        batch_->doc->remove_key(section.toUtf8().toStdString(), key.toUtf8().toStdString());
        return true;
    }
    // A save clears 201 keys per family; rewriting the file for keys that are
    // not there would only cost time.
    const QByteArray path = file.toUtf8();
    const auto doc = ini::load(path.constData());
    if (doc && !doc->get(section.toUtf8().toStdString(), key.toUtf8().toStdString())) return true;
    if (ini::ini_write(path.constData(), section.toUtf8().constData(), key.toUtf8().constData(), nullptr)) return true;
    last_failure_ = refusal_of(path);
    return false;
}

bool IniFileStore::replace_with_copy(const QString &source, const QString &target, QString *why) {
    auto fail = [&](const std::string &reason) {
        if (why) *why = QString::fromStdString(reason);
        return false;
    };
    std::string content;
    int error = 0;
    switch (fs::read_file(source.toUtf8().constData(), content, &error)) {
    case fs::ReadStatus::kOk:
        break;
    case fs::ReadStatus::kMissing:
        return fail("the default file is missing");
    case fs::ReadStatus::kFailed:
        return fail("reading the default file: " + fs::error_text(error));
    }
    const QByteArray target_path = target.toUtf8();
    if (fs::is_read_only(target_path.constData())) return fail("the configuration file is read-only");
    if (!fs::replace_atomically(target_path.constData(), content, &error))
        return fail("writing the configuration file: " + fs::error_text(error));
    return true;
}

}  // namespace kel::wizard
