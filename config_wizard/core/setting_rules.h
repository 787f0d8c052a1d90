// The daemon's own reading of one value, for the wizard's fields and list
// editors: the same code the daemon runs at start-up, so that what the
// wizard accepts the daemon takes, and a refusal has the daemon's words.
#pragma once

#include <QString>

namespace kel::wizard {

class SettingRules {
public:
    // Relative list file names are taken from `folder`: the configuration
    // file's, as the daemon takes them.
    explicit SettingRules(QString folder = QString()) : folder_(std::move(folder)) {}

    // Why the daemon refuses or skips this value of the key (a family
    // member such as "AllowedHost7" too); empty when it takes it.
    QString refusal(const QString &section, const QString &key, const QString &value) const;

    const QString &folder() const { return folder_; }

private:
    QString folder_;
};

}  // namespace kel::wizard
