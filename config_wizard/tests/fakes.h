// Scripted stand-ins for the wizard's prompts, message boxes, INI store and
// browser. A prompt or box that the script did not foresee fails the test.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <deque>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "wizard_io.h"

// Readable failure output for Qt texts.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList &l, std::ostream *os) {
    *os << '[' << l.join(QStringLiteral("|")).toStdString() << ']';
}

namespace kel::wizard::testing {

// Thrown when the code asks more than the script answers, so that a loop
// that never ends shows up as a failure instead of a hang.
struct ScriptExhausted : std::runtime_error {
    ScriptExhausted() : std::runtime_error("script exhausted") {}
};

struct PromptCall {
    QString text, caption, default_text;
    Echo echo;
};

class ScriptedPrompter : public Prompter {
public:
    ScriptedPrompter &then(const QString &answer) {
        answers.push_back(answer);
        return *this;
    }
    QString ask(const QString &text, const QString &caption, const QString &default_text, Echo echo) override {
        calls.push_back({text, caption, default_text, echo});
        if (answers.empty()) throw ScriptExhausted();
        QString a = answers.front();
        answers.pop_front();
        return a;
    }
    std::deque<QString> answers;
    std::vector<PromptCall> calls;
};

struct BoxCall {
    QString text, caption;
    Icon icon;
    Buttons buttons;
    Answer default_button;
};

class ScriptedBoxes : public MessageBoxes {
public:
    // Answers for Yes/No boxes, in order; Ok boxes need no answer.
    ScriptedBoxes &then(Answer a) {
        answers.push_back(a);
        return *this;
    }
    Answer show(const QString &text, const QString &caption, Icon icon, Buttons buttons,
                Answer default_button) override {
        calls.push_back({text, caption, icon, buttons, default_button});
        if (buttons == Buttons::Ok) return Answer::Ok;
        if (answers.empty()) throw ScriptExhausted();
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }
    std::deque<Answer> answers;
    std::vector<BoxCall> calls;
};

// An in-memory INI store with the private-profile matching rules.
class FakeStore : public ConfigStore {
public:
    using Section = QMap<QString, QString>;  // lower-case key -> value
    using File = QMap<QString, Section>;     // lower-case section -> keys

    QString read(const QString &file, const QString &section, const QString &key,
                 const QString &fallback) override {
        ++reads;
        const auto f = files.find(file);
        if (f == files.end()) return fallback;
        const auto s = f->find(section.toLower());
        if (s == f->end()) return fallback;
        const auto k = s->find(key.toLower());
        return k == s->end() ? fallback : *k;
    }
    bool write(const QString &file, const QString &section, const QString &key, const QString &value) override {
        if (fails(key)) return false;
        files[file][section.toLower()][key.toLower()] = value;
        writes << section + QLatin1Char('/') + key;
        return true;
    }
    bool remove(const QString &file, const QString &section, const QString &key) override {
        if (fails(key)) return false;
        auto f = files.find(file);
        if (f != files.end()) {
            auto s = f->find(section.toLower());
            if (s != f->end()) s->remove(key.toLower());
        }
        return true;
    }
    void begin_batch(const QString &) override { ++batches; }
    bool commit_batch() override { return !fail_commit; }
    bool replace_with_copy(const QString &source, const QString &target, QString *why) override {
        if (!files.contains(source) || fail_copy) {
            if (why) *why = QStringLiteral("No such file or directory");
            return false;
        }
        files[target] = files[source];
        return true;
    }

    void set(const QString &file, const QString &section, const QString &key, const QString &value) {
        files[file][section.toLower()][key.toLower()] = value;
    }
    QString get(const QString &file, const QString &section, const QString &key) {
        return read(file, section, key, QStringLiteral("<absent>"));
    }
    bool has(const QString &file, const QString &section, const QString &key) {
        return files.value(file).value(section.toLower()).contains(key.toLower());
    }

    QMap<QString, File> files;
    QString fail_key;       // writes and removals of this key fail
    bool fail_all = false;  // every write and removal fails
    bool fail_copy = false;
    bool fail_commit = false;  // the grouped rewrite at the end of a save fails
    int batches = 0;
    QStringList writes;
    int reads = 0;

private:
    bool fails(const QString &key) const {
        return fail_all || (!fail_key.isEmpty() && key.compare(fail_key, Qt::CaseInsensitive) == 0);
    }
};

class RecordingOpener : public UrlOpener {
public:
    void open_file(const QString &path) override { opened << path; }
    QStringList opened;
};

}  // namespace kel::wizard::testing
