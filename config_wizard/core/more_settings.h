// The settings the five sections do not show: every other key the daemon
// reads, on a further section's panel, one row each, grouped by server.
#pragma once

#include <QString>

#include <vector>

namespace valdrin::keys {
struct Key;
}

namespace kel::wizard {

enum class SettingKind { Text, Check, List };

struct MoreSetting {
    QString group;    // the group box of the panel: a section's button text
    QString section;  // of the file
    QString key;      // for a list, the stem of its numbered keys
    QString control;  // object name of the control: "Text9", "Check10", "List4"
    QString label;
    QString caption;  // a check box's own text
    SettingKind kind = SettingKind::Text;
    QString help_icon;
    QString page;
    QString help;
};

// In panel order.
const std::vector<MoreSetting> &more_settings();
const MoreSetting *find_more_setting(const QString &key);
// Its entry in the daemon's key table (its default, when it applies); null
// for a name the table does not hold.
const valdrin::keys::Key *table_key(const MoreSetting &setting);

// The list of further block lists: AdListFile0 to AdListFile99.
inline constexpr int kListFileKeys = 100;

}  // namespace kel::wizard
