// The configuration store over the system's one INI reader and writer, so
// that the wizard and the server read the file the same way.
#pragma once

#include <QCoreApplication>
#include <QString>

#include <memory>

#include "wizard_io.h"

namespace kel::wizard {

// Names and values travel as UTF-8. Each write replaces the file atomically.
class IniFileStore : public ConfigStore {
    Q_DECLARE_TR_FUNCTIONS(IniFileStore)
public:
    IniFileStore();
    ~IniFileStore() override;

    QString read(const QString &file, const QString &section, const QString &key, const QString &fallback) override;
    bool write(const QString &file, const QString &section, const QString &key, const QString &value) override;
    bool remove(const QString &file, const QString &section, const QString &key) override;
    bool replace_with_copy(const QString &source, const QString &target, QString *why) override;
    void begin_batch(const QString &file) override;
    bool commit_batch() override;
    QString last_failure() const override { return last_failure_; }

private:
    struct Batch;
    std::unique_ptr<Batch> batch_;
    QString last_failure_;
};

}  // namespace kel::wizard
