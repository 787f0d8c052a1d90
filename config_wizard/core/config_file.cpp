#include "config_file.h"

#include "config_keys.h"
#include "more_settings.h"
#include "numbers.h"

namespace kel::wizard {
namespace {

const QString kMain = QStringLiteral("Main");
const QString kSocks = QStringLiteral("Socks");
const QString kHttp = QStringLiteral("HTTP");
const QString kDns = QStringLiteral("DNS");
const QString kRdr = QStringLiteral("RDR");

QString family_key(const char *family, int index) { return QLatin1String(family) + QString::number(index); }

QString bool_text(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }

// As the daemon reads a boolean: true when it begins with T or Y, in either
// case, after the blanks around it. Reading only "TRUE" made a file with
// HTTPEnabled=yes open unticked, and the next Apply wrote false: the proxy
// was off at its next start.
bool reads_true(const QString &text) {
    const QString value = text.trimmed();
    return !value.isEmpty() &&
           (value.front().toUpper() == QLatin1Char('T') || value.front().toUpper() == QLatin1Char('Y'));
}

// Drops a run of decimal digits at the start of `text`.
QString after_digits(const QString &text) {
    qsizetype i = 0;
    while (i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) ++i;
    return text.mid(i);
}

bool is_port(int value) { return value > 0 && value < 65536; }

}  // namespace

std::optional<AccountRecord> split_account(const QString &value) {
    constexpr qsizetype kHashDigits = 40;
    if (value.size() > kHashDigits) return AccountRecord{value.left(value.size() - kHashDigits), value.right(kHashDigits)};
    if (value.size() < kNoPassword.size()) return std::nullopt;
    return AccountRecord{value.left(value.size() - kNoPassword.size()), kNoPassword};
}

std::optional<ParsedRedirection> parse_redirection(const QString &value) {
    ParsedRedirection out;
    out.line = trim_blanks(value);
    out.port = leading_port(out.line);
    if (!is_port(out.port)) return std::nullopt;
    QString rest = after_digits(out.line);
    while (rest.size() > 1 &&
           (rest[0] == QLatin1Char(' ') || rest[0] == QLatin1Char('-') || rest[0] == QLatin1Char('>')))
        rest.remove(0, 1);
    out.record.dest_port = leading_port(rest);
    if (!is_port(out.record.dest_port)) return std::nullopt;
    out.record.host = trim_blanks(after_digits(rest));
    return out;
}

QString format_redirection(int port, const RedirectionRecord &record) {
    return QString::number(port) + QStringLiteral(" -> ") + QString::number(record.dest_port) +
           QLatin1Char(' ') + record.host;
}

QString ConfigFile::IniRead(const QString &section, const QString &key, const QString &fallback,
                            const QString &file) {
    return store_.read(file, section, key, fallback).left(kMaxValueChars);
}

int ConfigFile::IniWrite(const QString &section, const QString &key, const QString &value, const QString &file) {
    if (store_.write(file, section, key, value)) return 0;
    report_write_failure(file);
    return 1;
}

int ConfigFile::IniDelete(const QString &section, const QString &key, const QString &file) {
    if (store_.remove(file, section, key)) return 0;
    report_write_failure(file);
    return 1;
}

void ConfigFile::report_write_failure(const QString &file) {
    write_failed_ = true;
    QString text = QStringLiteral("An error has occured while writing to the configuration file\n"
                                  "Please make sure you have sufficient privileges to modify it.");
    // The fixed text names neither the file nor the cause; add them when known.
    const QString why = store_.last_failure();
    if (!why.isEmpty()) text += QStringLiteral("\n\n%1: %2.").arg(file, why);
    boxes_.show(text, QString(), Icon::Critical);
}

void ConfigFile::LoadConfig(const QString &fichier, ConfigModel &m) {
    auto text = [&](const QString &section, const char *key, const char *fallback) {
        return IniRead(section, QLatin1String(key), QLatin1String(fallback), fichier);
    };
    auto flag = [&](const QString &section, const char *key) { return reads_true(text(section, key, "false")); };
    auto family = [&](const QString &section, const char *name, int last = kFamilyLast) {
        QStringList values;
        for (int i = kFamilyFirst; i <= last; ++i) {
            QString v = IniRead(section, family_key(name, i), QString(), fichier);
            if (!v.isEmpty()) values << v;
        }
        return values;
    };

    m.list1.clear();
    m.list2.clear();
    m.list3.clear();
    m.account_table.clear();
    m.unshown_accounts.clear();
    m.unshown_bindings.clear();

    m.text1 = text(kMain, "LogFile", "log.txt");
    m.text2 = text(kMain, "ErrFile", "err.txt");
    m.list1 = family(kMain, "AllowedHost");
    m.check1 = flag(kMain, "Verbose");

    m.check3 = flag(kSocks, "SocksEnabled");
    m.check9 = flag(kSocks, "Socks4Allowed");
    for (const QString &v : family(kSocks, "SocksAccount")) {
        auto account = split_account(v);
        if (!account) {
            m.unshown_accounts << v;
            continue;
        }
        m.list2 << account->name;
        m.account_table.push_back(*account);
    }
    m.text3 = text(kSocks, "SocksPort", "1080");

    m.check4 = flag(kHttp, "HTTPEnabled");
    m.text5 = text(kHttp, "HTTPPort", "3128");
    m.check8 = flag(kHttp, "HTTPSecure");
    m.check5 = flag(kHttp, "AdHostsEnabled");

    m.check6 = flag(kDns, "DNSEnabled");
    m.text6 = text(kDns, "DNSServer1", "0.0.0.0");
    m.text8 = text(kDns, "DNSServer2", "0.0.0.0");

    m.check7 = flag(kRdr, "RDREnabled");
    for (const QString &v : family(kRdr, "RDRBinding")) {
        auto parsed = parse_redirection(v);
        if (!parsed) {
            m.unshown_bindings << v;
            continue;
        }
        m.redirection_table[parsed->port] = parsed->record;
        m.list3 << parsed->line;
    }

    // Advanced: absent keys show the daemon's own defaults.
    m.more.clear();
    for (const MoreSetting &setting : more_settings()) {
        if (setting.kind == SettingKind::List) continue;
        const valdrin::keys::Key *entry = table_key(setting);
        const QString fallback = entry ? QString::fromUtf8(entry->fallback.data(), static_cast<qsizetype>(entry->fallback.size()))
                                       : QString();
        if (setting.kind == SettingKind::Check) {
            m.more[setting.key] = bool_text(reads_true(IniRead(setting.section, setting.key, fallback, fichier)));
        } else {
            m.more[setting.key] = IniRead(setting.section, setting.key, fallback, fichier);
        }
    }
    m.more_loaded = m.more;
    m.list4 = family(kHttp, "AdListFile", kListFileKeys - 1);
    m.list4_loaded = m.list4;
}

SaveResult ConfigFile::SaveConfig(const QString &fichier, const ConfigModel &m) {
    write_failed_ = false;
    store_.begin_batch(fichier);
    SaveResult result = save_steps(fichier, m);
    // What was written before a failure stays written, as it would key by key.
    if (!store_.commit_batch() && !write_failed_) {
        report_write_failure(fichier);
        result = SaveResult::WriteFailed;
    }
    return result;
}

SaveResult ConfigFile::save_steps(const QString &fichier, const ConfigModel &m) {
    auto put = [&](const QString &section, const char *key, const QString &value) {
        return IniWrite(section, QLatin1String(key), value, fichier) == 0;
    };
    auto clear_family = [&](const QString &section, const char *name) {
        for (int i = kFamilyFirst; i <= kFamilyLast; ++i)
            if (IniDelete(section, family_key(name, i), fichier) != 0) return false;
        return true;
    };
    auto put_family = [&](const QString &section, const char *name, const QStringList &values) {
        for (int i = 0; i < values.size(); ++i)
            if (IniWrite(section, family_key(name, i), values[i], fichier) != 0) return false;
        return true;
    };

    if (!put(kMain, "LogFile", m.text1) || !put(kMain, "ErrFile", m.text2)) return SaveResult::WriteFailed;
    if (!clear_family(kMain, "AllowedHost") || !put_family(kMain, "AllowedHost", m.list1))
        return SaveResult::WriteFailed;
    if (!put(kMain, "Verbose", bool_text(m.check1))) return SaveResult::WriteFailed;

    if (!put(kSocks, "SocksEnabled", bool_text(m.check3)) || !put(kSocks, "Socks4Allowed", bool_text(m.check9)) ||
        !put(kSocks, "SocksPort", m.text3))
        return SaveResult::WriteFailed;
    if (!clear_family(kSocks, "SocksAccount")) return SaveResult::WriteFailed;
    QStringList accounts;
    for (const QString &name : m.list2) {
        const AccountRecord *record = m.find_account(name);
        if (!record) {
            boxes_.show(QStringLiteral("Internal error 'SAVECFG'."), QString(), Icon::Critical);
            return SaveResult::InternalError;
        }
        accounts << record->name + record->hash;
    }
    if (!put_family(kSocks, "SocksAccount", accounts + m.unshown_accounts)) return SaveResult::WriteFailed;

    if (!put(kHttp, "HTTPEnabled", bool_text(m.check4)) || !put(kHttp, "HTTPPort", m.text5) ||
        !put(kHttp, "HTTPSecure", bool_text(m.check8)) || !put(kHttp, "AdHostsEnabled", bool_text(m.check5)))
        return SaveResult::WriteFailed;

    if (!put(kDns, "DNSEnabled", bool_text(m.check6)) || !put(kDns, "DNSServer1", m.text6) ||
        !put(kDns, "DNSServer2", m.text8))
        return SaveResult::WriteFailed;

    if (!put(kRdr, "RDREnabled", bool_text(m.check7))) return SaveResult::WriteFailed;
    if (!clear_family(kRdr, "RDRBinding")) return SaveResult::WriteFailed;
    QStringList bindings;
    for (const QString &line : m.list3) {
        const int port = leading_port(line);
        bindings << format_redirection(port, m.redirection(port));
    }
    if (!put_family(kRdr, "RDRBinding", bindings + m.unshown_bindings)) return SaveResult::WriteFailed;

    // Advanced: only what was changed.
    for (const MoreSetting &setting : more_settings()) {
        if (setting.kind == SettingKind::List) continue;
        const QString value = m.more.value(setting.key);
        if (m.more_loaded.contains(setting.key) && m.more_loaded.value(setting.key) == value) continue;
        if (IniWrite(setting.section, setting.key, value, fichier) != 0) return SaveResult::WriteFailed;
    }
    if (m.list4 != m.list4_loaded) {
        for (int i = kFamilyFirst; i < kListFileKeys; ++i)
            if (IniDelete(kHttp, family_key("AdListFile", i), fichier) != 0) return SaveResult::WriteFailed;
        if (!put_family(kHttp, "AdListFile", m.list4)) return SaveResult::WriteFailed;
    }
    return SaveResult::Saved;
}

bool ConfigFile::restore_defaults(const QString &default_file, const QString &config_file, ConfigModel &model) {
    QString why;
    if (!store_.replace_with_copy(default_file, config_file, &why)) {
        boxes_.show(QStringLiteral("The default configuration could not be restored: copying '%1' over '%2' "
                                   "failed (%3).\nThe configuration shown is unchanged.")
                        .arg(default_file, config_file, why),
                    QStringLiteral("Restore defaults"), Icon::Critical);
        return false;
    }
    LoadConfig(config_file, model);
    return true;
}

}  // namespace kel::wizard
