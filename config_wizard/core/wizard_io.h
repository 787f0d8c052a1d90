// The only ways the wizard's decisions reach the user, the disk and the
// browser. The window supplies Qt implementations; tests supply scripted ones.
#pragma once

#include <QString>

namespace kel::wizard {

enum class Echo { Normal, Password };

// A modal prompt box: message, caption, one text field with a default, Ok
// and Cancel. Cancel returns the empty text.
class Prompter {
public:
    virtual ~Prompter() = default;
    virtual QString ask(const QString &text, const QString &caption, const QString &default_text,
                        Echo echo = Echo::Normal) = 0;
};

enum class Icon { Critical, Question, Exclamation, Information };
enum class Buttons { Ok, YesNo };
enum class Answer { Ok, Yes, No };

// A modal message box. An empty caption stands for the program's own title.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual Answer show(const QString &text, const QString &caption, Icon icon, Buttons buttons = Buttons::Ok,
                        Answer default_button = Answer::Ok) = 0;
};

// The INI files, with the private-profile behaviour: section and key names
// match without regard to case, and every write leaves the file whole.
class ConfigStore {
public:
    virtual ~ConfigStore() = default;
    // The key's value; `fallback` when the key (or the file) is absent. A key
    // present with an empty value yields the empty text.
    virtual QString read(const QString &file, const QString &section, const QString &key,
                         const QString &fallback) = 0;
    // Creates the file, section and key as needed; false on failure.
    virtual bool write(const QString &file, const QString &section, const QString &key,
                       const QString &value) = 0;
    // Removing an absent key succeeds; false on failure.
    virtual bool remove(const QString &file, const QString &section, const QString &key) = 0;
    // Groups the writes and removals that follow into one rewrite of `file`,
    // done by commit_batch(): a save then costs one atomic replacement instead
    // of one per key. Writes that succeed before a failed one are still
    // committed. commit_batch() is false when the file could not be written.
    virtual void begin_batch(const QString &file) {}
    virtual bool commit_batch() { return true; }
    // Replaces `target` with a copy of `source`. On failure returns false,
    // leaves `target` as it was and puts the reason in *why.
    virtual bool replace_with_copy(const QString &source, const QString &target, QString *why) = 0;
    // Why the last failed write, removal or commit failed; empty when the
    // store can't tell.
    virtual QString last_failure() const { return QString(); }
};

// Opens a local file (a guide page) in the user's browser.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    virtual void open_file(const QString &path) = 0;
};

}  // namespace kel::wizard
