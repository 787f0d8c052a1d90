// The dialogues behind the Add, Edit and Delete buttons of the three lists.
// Each operation either completes or leaves its list and table as they were;
// none of them writes the file.
#pragma once

#include <QString>

#include <vector>

#include "config_model.h"
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
    ListEditors(ConfigModel &model, Prompter &prompter, MessageBoxes &boxes)
        : model_(model), prompter_(prompter), boxes_(boxes) {}

    void add_allowed_host();
    void delete_allowed_hosts(const Selection &selected);

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

    ConfigModel &model_;
    Prompter &prompter_;
    MessageBoxes &boxes_;

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
