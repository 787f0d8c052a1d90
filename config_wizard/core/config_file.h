// The configuration file: its three INI routines, loading into and saving
// from the window's state, and restoring the factory configuration.
#pragma once

#include <QString>

#include <optional>

#include "config_model.h"
#include "wizard_io.h"

namespace kel::wizard {

// Values longer than this are cut on reading: what the daemon reads of a
// value, so that a value it reads whole is written back whole.
inline constexpr int kMaxValueChars = 1023;
// Each numbered key family is read and cleared at these indices.
inline constexpr int kFamilyFirst = 0;
inline constexpr int kFamilyLast = 200;

// A "SocksAccount" value split into user name and hash; nullopt for a value
// shorter than "<none>", which has no user name to take.
std::optional<AccountRecord> split_account(const QString &value);

struct ParsedRedirection {
    int port = 0;
    RedirectionRecord record;
    QString line;  // the value without its outer blanks, as shown in the list
};
// Lenient reading of an "RDRBinding" value; nullopt when either port is not
// within 1 to 65535.
std::optional<ParsedRedirection> parse_redirection(const QString &value);
// The canonical layout: "<port> -> <dest port> <host>".
QString format_redirection(int port, const RedirectionRecord &record);

// Refused: a value the daemon would refuse, said, and nothing written.
enum class SaveResult { Saved, WriteFailed, InternalError, Refused };

class ConfigFile {
public:
    ConfigFile(ConfigStore &store, MessageBoxes &boxes) : store_(store), boxes_(boxes) {}

    QString IniRead(const QString &section, const QString &key, const QString &fallback, const QString &file);
    // 0 on success, 1 on failure; a failure shows the write error and raises
    // the write-failure flag.
    int IniWrite(const QString &section, const QString &key, const QString &value, const QString &file);
    int IniDelete(const QString &section, const QString &key, const QString &file);

    // Replaces every loaded member of `model` with the file's content.
    void LoadConfig(const QString &fichier, ConfigModel &model);
    // Writes every key; stops at the first failed write (keys already
    // written stay written).
    SaveResult SaveConfig(const QString &fichier, const ConfigModel &model);
    // Copies the factory file over `config_file` and loads it. When the copy
    // fails, says why in a message box and leaves `model` untouched.
    bool restore_defaults(const QString &default_file, const QString &config_file, ConfigModel &model);

    bool write_failed() const { return write_failed_; }

private:
    void report_write_failure(const QString &file);
    SaveResult save_steps(const QString &fichier, const ConfigModel &model);

    ConfigStore &store_;
    MessageBoxes &boxes_;
    bool write_failed_ = false;
};

}  // namespace kel::wizard
