#include "list_editors.h"

#include <algorithm>

#include "config_file.h"
#include "more_settings.h"
#include "numbers.h"
#include "sha1_calc.h"

namespace kel::wizard {
namespace {

const QString kInitialHost = QStringLiteral("192.168.0.*");
const QString kInitialUser = QStringLiteral("newuser");
constexpr int kInitialPort = 80;
constexpr int kInitialDestPort = 80;
const QString kInitialDestHost = QStringLiteral("www.example.com");

const QString kAccountCaption = QStringLiteral("SOCKSAccount");
const QString kPortCaption = QStringLiteral("RDRPort");
const QString kRangeLine = QStringLiteral("Valid port numbers range from 1 to 65535 inclusive.");

QString or_initial(const QString &remembered, const QString &initial) {
    return remembered.isEmpty() ? initial : remembered;
}
int or_initial(int remembered, int initial) { return remembered == 0 ? initial : remembered; }

bool in_port_range(int port) { return port >= 1 && port <= 65535; }

int first_selected(const Selection &selected, qsizetype count) {
    int first = -1;
    for (int row : selected)
        if (row >= 0 && row < count && (first < 0 || row < first)) first = row;
    return first;
}

}  // namespace

QString account_hash(const QString &name, const QString &password, bool has_password) {
    if (!has_password) return kNoPassword;
    return Sha1Hex(name + kDigestSeparator + password + kDigestTerminator);
}

QStringList remove_selected(QStringList &lines, const Selection &selected) {
    std::vector<bool> marked(static_cast<size_t>(lines.size()), false);
    for (int row : selected)
        if (row >= 0 && row < lines.size()) marked[static_cast<size_t>(row)] = true;
    QStringList kept, removed;
    for (qsizetype i = 0; i < lines.size(); ++i) (marked[static_cast<size_t>(i)] ? removed : kept) << lines[i];
    lines = kept;
    return removed;
}

bool ListEditors::has_room(const QStringList &list, int keys, const QString &caption) {
    if (list.size() < keys) return true;
    boxes_.show(QStringLiteral("The list is full: the configuration file holds at most %1 entries.\n"
                               "Delete an entry before adding another one.")
                    .arg(keys),
                caption, Icon::Exclamation);
    return false;
}

QString ListEditors::ask_checked(const QString &text, const QString &caption, QString default_text,
                                 const QString &section, const QString &key) {
    for (;;) {
        const QString answer = prompter_.ask(text, caption, default_text);
        if (answer.isEmpty()) return answer;
        const QString why = rules_.refusal(section, key, answer);
        if (why.isEmpty()) return answer;
        boxes_.show(QStringLiteral("The proxy server would not accept this entry:\n%1").arg(why), caption,
                    Icon::Exclamation);
        default_text = answer;
    }
}

void ListEditors::add_allowed_host() {
    const QString caption = QStringLiteral("AllowedHosts");
    if (!has_room(model_.list1, kFamilyLast + 1, caption)) return;
    last_host_ = ask_checked(
        QStringLiteral("Enter a host (or wilcard) to allow. Note that using '*' is possible but NOT recommended."),
        caption, or_initial(last_host_, kInitialHost), QStringLiteral("Main"), QStringLiteral("AllowedHost0"));
    if (last_host_.isEmpty()) return;
    model_.list1 << last_host_;
}

namespace {
const QString kListFileCaption = QStringLiteral("AdListFiles");
const QString kListFileText = QStringLiteral(
    "Enter the name of a hosts file or adblock filter list. A name without a folder is taken from the folder of "
    "the configuration file.");
}  // namespace

void ListEditors::add_list_file() {
    if (!has_room(model_.list4, kListFileKeys, kListFileCaption)) return;
    const QString file = ask_checked(kListFileText, kListFileCaption, QString(), QStringLiteral("HTTP"),
                                     QStringLiteral("AdListFile0"));
    if (file.isEmpty()) return;
    model_.list4 << file;
}

void ListEditors::edit_list_file(const Selection &selected) {
    const int row = first_selected(selected, model_.list4.size());
    if (row < 0) return;
    const QString file = ask_checked(kListFileText, kListFileCaption, model_.list4[row], QStringLiteral("HTTP"),
                                     QStringLiteral("AdListFile0"));
    if (file.isEmpty()) return;
    model_.list4[row] = file;
}

void ListEditors::delete_list_files(const Selection &selected) { remove_selected(model_.list4, selected); }

void ListEditors::delete_allowed_hosts(const Selection &selected) { remove_selected(model_.list1, selected); }

ListEditors::Password ListEditors::ask_password(const QString &name, PasswordUse use) {
    const QString first_text = use == PasswordUse::Adding
                                   ? QStringLiteral("Enter a password for user '%1'.").arg(name)
                                   : QStringLiteral("Enter a new password for user '%1'.").arg(name);
    for (;;) {
        const QString password = prompter_.ask(first_text, kAccountCaption, QString(), Echo::Password);
        const QString again = prompter_.ask(
            QStringLiteral("Enter the same password again for user '%1'. (verification)").arg(name),
            kAccountCaption, QString(), Echo::Password);
        if (password != again) {
            boxes_.show(QStringLiteral("The passwords you typed do not match. Please start over."),
                        QStringLiteral("Passwords do not match"), Icon::Exclamation);
            continue;
        }
        if (password.isEmpty()) {
            if (boxes_.show(QStringLiteral("Are you sure that you want to create a passwordless account ?"),
                            QStringLiteral("Passwordless account"), Icon::Information, Buttons::YesNo,
                            Answer::No) == Answer::Yes)
                return {QString(), false};
            continue;
        }
        if (password.size() < 6) {
            if (boxes_.show(QStringLiteral("The password you typed is too short.\n"
                                           "In order to be efficient a password should be composed of at "
                                           "least 6 characters.\n\n"
                                           "Do you wish to enter a new password ?"),
                            QStringLiteral("Password too short"), Icon::Information, Buttons::YesNo,
                            Answer::Yes) == Answer::Yes)
                continue;
        }
        return {password, true};
    }
}

void ListEditors::add_account() {
    if (model_.account_table.size() >= static_cast<size_t>(kMaxAccounts)) {
        boxes_.show(QStringLiteral("The account list is full: it already holds %1 accounts.\n"
                                   "Delete an account before adding another one.")
                        .arg(kMaxAccounts),
                    QStringLiteral("Too many accounts"), Icon::Exclamation);
        return;
    }
    last_user_ = prompter_.ask(QStringLiteral("Enter a user name to add."), kAccountCaption,
                               or_initial(last_user_, kInitialUser));
    const QString name = last_user_;
    if (name.isEmpty()) return;
    if (name == QLatin1String("*") &&
        boxes_.show(QStringLiteral("User name '*' (star) is a wildcard that stands for ANY non null user name.\n\n"
                                   "Are you sure that you want to add the user name '*' ?"),
                    QStringLiteral("Wildcard username confirmation"), Icon::Question, Buttons::YesNo,
                    Answer::Yes) != Answer::Yes)
        return;
    if (model_.list2.contains(name)) {
        boxes_.show(QStringLiteral("Username '%1' already exists.\n"
                                   "You may change its properties by selecting it and clicking the edit button.")
                        .arg(name),
                    QStringLiteral("Username already exists"), Icon::Exclamation);
        return;
    }
    const Password password = ask_password(name, PasswordUse::Adding);
    const QString hash = account_hash(name, password.text, password.has_password);
    model_.account_table.push_back({name, hash});
    model_.list2 << name;
    boxes_.show(QStringLiteral("New account created.\n\nUsername : '%1'\nPassword hash : %2").arg(name, hash),
                QStringLiteral("New account created"), Icon::Information);
}

void ListEditors::change_password(const Selection &selected) {
    const int row = first_selected(selected, model_.list2.size());
    if (row < 0) return;
    const QString name = model_.list2[row];
    if (boxes_.show(QStringLiteral("Are you sure thet you want to change the password for user '%1' ?").arg(name),
                    QStringLiteral("Change password"), Icon::Information, Buttons::YesNo,
                    Answer::No) != Answer::Yes)
        return;
    const Password password = ask_password(name, PasswordUse::Changing);
    AccountRecord *record = model_.find_account(name);
    if (!record) {
        boxes_.show(QStringLiteral("Internal error 'CMD9_Click'."), QString(), Icon::Critical);
        return;
    }
    record->hash = account_hash(name, password.text, password.has_password);
    boxes_.show(QStringLiteral("Password changed.\n\nUsername : '%1'\nPassword hash : %2").arg(name, record->hash),
                QStringLiteral("Password changed"), Icon::Information);
}

void ListEditors::delete_accounts(const Selection &selected) {
    for (const QString &name : remove_selected(model_.list2, selected)) {
        auto &table = model_.account_table;
        auto it = std::find_if(table.begin(), table.end(), [&](const AccountRecord &r) { return r.name == name; });
        if (it != table.end()) table.erase(it);
    }
}

int ListEditors::ask_port(const QString &text, int fallback) {
    return round_port(parse_number(prompter_.ask(text, kPortCaption, QString::number(fallback))));
}

int ListEditors::ask_dest_port(int fallback) {
    for (;;) {
        const int port = ask_port(
            QStringLiteral("Enter a destination port number for the redirection (1-65535 inclusive)"), fallback);
        if (port == 0 || in_port_range(port)) return port;
        boxes_.show(QStringLiteral("You must specify a valid port number for the redirection.\n") + kRangeLine,
                    QStringLiteral("Invalid port number"), Icon::Exclamation);
        fallback = port;
    }
}

void ListEditors::add_redirection() {
    last_port_ = ask_port(QStringLiteral("Enter a port number to redirect (1-65535 inclusive)"),
                          or_initial(last_port_, kInitialPort));
    const int port = last_port_;
    if (port == 0) return;
    if (!in_port_range(port)) {
        boxes_.show(QStringLiteral("You must specify a valid port number to redirect.\n") + kRangeLine,
                    QStringLiteral("Invalid port number"), Icon::Exclamation);
        return;
    }
    for (const QString &line : model_.list3) {
        if (leading_port(line) == port) {
            boxes_.show(QStringLiteral("Port number %1 is already mapped for redirection.\n"
                                       "You may change its properties by selecting it and clicking the edit "
                                       "button.")
                            .arg(port),
                        QStringLiteral("Port mapping already exists"), Icon::Exclamation);
            return;
        }
    }
    const int dest_port = ask_dest_port(or_initial(last_dest_port_, kInitialDestPort));
    last_dest_port_ = dest_port;
    if (dest_port == 0) return;
    last_dest_host_ = prompter_.ask(
        QStringLiteral("Enter a destination host (IP or host name) for the redirection."),
        QStringLiteral("RDRHost"), or_initial(last_dest_host_, kInitialDestHost));
    const RedirectionRecord record{dest_port, last_dest_host_};
    model_.redirection_table[port] = record;
    model_.list3 << format_redirection(port, record);
}

void ListEditors::edit_redirection(const Selection &selected) {
    const int row = first_selected(selected, model_.list3.size());
    if (row < 0) return;
    const int port = leading_port(model_.list3[row]);
    RedirectionRecord record = model_.redirection(port);
    const int dest_port = ask_dest_port(record.dest_port);
    if (dest_port == 0) return;
    record.dest_port = dest_port;
    record.host = prompter_.ask(QStringLiteral("Enter a destination host (IP or host name) for the redirection."),
                                QStringLiteral("RDRHost"), record.host);
    model_.redirection_table[port] = record;
    model_.list3.removeAt(row);
    model_.list3 << format_redirection(port, record);
}

void ListEditors::delete_redirections(const Selection &selected) { remove_selected(model_.list3, selected); }

}  // namespace kel::wizard
