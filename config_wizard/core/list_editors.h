// The dialogues behind the Add, Edit and Delete buttons of the three lists.
// Each operation either completes or leaves its list and table as they were;
// none of them writes the file.
#pragma once

#include <QString>

#include <vector>

#include "config_model.h"
#include "setting_rules.h"
#include "wizard_io.h"

namespace kel::wizard {

// The fixed characters around the password in the digest input: user name,
// separator, password, terminator. The SOCKS server checks accounts with the
// same three constants.
inline const QString kDigestSeparator = QStringLiteral("::");
inline const QString kDigestTerminator = QStringLiteral(";");

// "<none>" without a password, else the digest of the name and password.
QString account_hash(const QString &name, const QString &password, bool has_password);

// Which lines of a list are selected, by row.
using Selection = std::vector<int>;

class ListEditors {
public:
    // New allowed hosts and list files are checked by `rules`.
    ListEditors(ConfigModel &model, Prompter &prompter, MessageBoxes &boxes, SettingRules rules = SettingRules())
        : model_(model), prompter_(prompter), boxes_(boxes), rules_(std::move(rules)) {}

    void add_allowed_host();
    void delete_allowed_hosts(const Selection &selected);

    void add_list_file();
    void edit_list_file(const Selection &selected);
    void delete_list_files(const Selection &selected);

    void add_account();
    void change_password(const Selection &selected);
    void delete_accounts(const Selection &selected);

    void add_redirection();
    void edit_redirection(const Selection &selected);
    void delete_redirections(const Selection &selected);

private:
    struct Password {
        QString text;
        bool has_password = false;
    };
    enum class PasswordUse { Adding, Changing };
    Password ask_password(const QString &name, PasswordUse use);
    // Asks for a destination port until it is valid; 0 when cancelled.
    int ask_dest_port(int fallback);
    int ask_port(const QString &text, int fallback);
    // False, after saying so, when the list already fills its keys.
    bool has_room(const QStringList &list, int keys, const QString &caption);
    // Asks until the daemon takes the answer as a value of the key, saying
    // why it doesn't each time; empty when cancelled.
    QString ask_checked(const QString &text, const QString &caption, QString default_text, const QString &section,
                        const QString &key);

    ConfigModel &model_;
    Prompter &prompter_;
    MessageBoxes &boxes_;
    SettingRules rules_;

    // The last answers, offered as the next defaults.
    QString last_host_;
    QString last_user_;
    int last_port_ = 0;
    int last_dest_port_ = 0;
    QString last_dest_host_;
};

// Removes the selected rows of `lines` and returns them, in list order.
QStringList remove_selected(QStringList &lines, const Selection &selected);

}  // namespace kel::wizard
