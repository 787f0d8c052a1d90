// The wizard's reading of a configuration: the input is the file, loaded
// through LoadConfig from a store over the system's INI reader. Account and
// redirection values are split as the loader splits them, and must keep
// their invariants. What loads is saved and loaded again twice: after the
// first save the settings must be a fixed point. The input as one value goes
// through the account and redirection splitters directly too.
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <map>
#include <string>

#include "config_file.h"
#include "config_model.h"
#include "kelplat/ini.h"
#include "numbers.h"
#include "wizard_io.h"

namespace {

using namespace kel::wizard;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Files kept in memory, each parsed and written as the file store would.
class MemoryStore : public ConfigStore {
public:
    std::map<QString, kel::ini::Document> files;

    QString read(const QString &file, const QString &section, const QString &key,
                 const QString &fallback) override {
        auto it = files.find(file);
        if (it == files.end()) return fallback;
        const auto value = it->second.get(section.toStdString(), key.toStdString());
        return value ? QString::fromStdString(*value) : fallback;
    }
    bool write(const QString &file, const QString &section, const QString &key,
               const QString &value) override {
        return files[file].set(section.toStdString(), key.toStdString(), value.toStdString());
    }
    bool remove(const QString &file, const QString &section, const QString &key) override {
        // A save clears 201 keys per family; most are not there.
        auto it = files.find(file);
        if (it == files.end()) return true;
        const std::string s = section.toStdString(), k = key.toStdString();
        if (it->second.get(s, k)) it->second.remove_key(s, k);
        return true;
    }
    bool replace_with_copy(const QString &, const QString &, QString *) override { return false; }
};

class SilentBoxes : public MessageBoxes {
public:
    int shown = 0;
    Answer show(const QString &, const QString &, Icon, Buttons, Answer) override {
        ++shown;
        return Answer::Ok;
    }
};

bool same_model(const ConfigModel &a, const ConfigModel &b) {
    if (a.text1 != b.text1 || a.text2 != b.text2 || a.list1 != b.list1 || a.check1 != b.check1 ||
        a.check3 != b.check3 || a.check9 != b.check9 || a.list2 != b.list2 || a.text3 != b.text3 ||
        a.check4 != b.check4 || a.text5 != b.text5 || a.check8 != b.check8 || a.check5 != b.check5 ||
        a.check6 != b.check6 || a.text6 != b.text6 || a.text8 != b.text8 || a.check7 != b.check7 ||
        a.list3 != b.list3 || a.account_table.size() != b.account_table.size())
        return false;
    for (size_t i = 0; i < a.account_table.size(); ++i)
        if (a.account_table[i].name != b.account_table[i].name ||
            a.account_table[i].hash != b.account_table[i].hash)
            return false;
    for (const QString &line : a.list3) {
        const int port = leading_port(line);
        if (a.redirection(port).dest_port != b.redirection(port).dest_port ||
            a.redirection(port).host != b.redirection(port).host)
            return false;
    }
    return true;
}

void check_loaded(const ConfigModel &m) {
    check(m.list1.size() <= kFamilyLast + 1 && m.list2.size() <= kFamilyLast + 1 &&
          m.list3.size() <= kFamilyLast + 1);
    for (const QString &v : m.list1) check(!v.isEmpty() && v.size() <= kMaxValueChars);
    check(m.list2.size() == static_cast<qsizetype>(m.account_table.size()));
    for (size_t i = 0; i < m.account_table.size(); ++i) {
        check(m.account_table[i].name == m.list2[static_cast<qsizetype>(i)]);
        check(m.account_table[i].hash.size() == 40 || m.account_table[i].hash == kNoPassword);
    }
    for (const QString &line : m.list3) {
        const auto parsed = parse_redirection(line);
        check(parsed.has_value() && parsed->line == line);
        check(m.redirection_table.count(parsed->port) == 1);
    }
}

void check_value(const QString &value) {
    if (auto account = split_account(value)) {
        check(value.size() >= kNoPassword.size());
        if (value.size() > 40) {
            check(account->hash.size() == 40 && account->name + account->hash == value);
        } else {
            check(account->hash == kNoPassword);
            check(account->name == value.left(value.size() - kNoPassword.size()));
        }
    } else {
        check(value.size() < kNoPassword.size());
    }
    if (auto r = parse_redirection(value)) {
        check(r->port > 0 && r->port < 65536);
        check(r->record.dest_port > 0 && r->record.dest_port < 65536);
        check(r->line == trim_blanks(value));
        check(r->record.host == trim_blanks(r->record.host));
        // The canonical layout reads back as the same redirection.
        const auto again = parse_redirection(format_redirection(r->port, r->record));
        check(again.has_value() && again->port == r->port &&
              again->record.dest_port == r->record.dest_port && again->record.host == r->record.host);
    }
}

const QString kFile = QStringLiteral("valdrin.conf");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    check_value(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));

    MemoryStore store;
    SilentBoxes boxes;
    ConfigFile config(store, boxes);
    store.files[kFile] = kel::ini::Document::parse(text);
    ConfigModel first;
    config.LoadConfig(kFile, first);
    check_loaded(first);

    // One quote pair comes off each value at every reading, so a quoted
    // value changes at each load; without quotes the second load is final.
    if (text.find_first_of("\"'") != std::string::npos) return 0;
    MemoryStore saved;
    ConfigFile writer(saved, boxes);
    if (writer.SaveConfig(kFile, first) != SaveResult::Saved) return 0;
    ConfigModel second;
    writer.LoadConfig(kFile, second);
    check_loaded(second);
    check(second.list1.size() == first.list1.size());
    check(second.list2.size() == first.list2.size());
    check(second.list3.size() == first.list3.size());

    MemoryStore resaved;
    ConfigFile rewriter(resaved, boxes);
    check(rewriter.SaveConfig(kFile, second) == SaveResult::Saved);
    ConfigModel third;
    rewriter.LoadConfig(kFile, third);
    check(same_model(second, third));
    return 0;
}
