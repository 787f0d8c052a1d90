// The settings while the wizard is open: one member per control of the
// window (named after it), plus the two tables behind the account and
// redirection lists.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <map>
#include <vector>

namespace kel::wizard {

inline constexpr int kMaxAccounts = 16385;
inline const QString kNoPassword = QStringLiteral("<none>");

struct AccountRecord {
    QString name;
    QString hash;  // 40 upper-case hexadecimal digits, or "<none>"
};

struct RedirectionRecord {
    int dest_port = 0;
    QString host;
};

struct ConfigModel {
    // Main
    QString text1;       // LogFile
    QString text2;       // ErrFile
    QStringList list1;   // AllowedHost family
    bool check1 = false; // Verbose
    // Socks
    bool check3 = false; // SocksEnabled
    bool check9 = false; // Socks4Allowed
    QStringList list2;   // user names of the SocksAccount family
    QString text3;       // SocksPort
    // HTTP
    bool check4 = false; // HTTPEnabled
    QString text5;       // HTTPPort
    bool check8 = false; // HTTPSecure
    bool check5 = false; // AdHostsEnabled
    // DNS
    bool check6 = false; // DNSEnabled
    QString text6;       // DNSServer1
    QString text8;       // DNSServer2
    // RDR
    bool check7 = false; // RDREnabled
    QStringList list3;   // RDRBinding family, lines as read or built

    // Advanced: the other keys, by key name, as their controls hold them
    // ("true" or "false" for a check box), and the list files.
    QMap<QString, QString> more;
    QStringList list4;  // AdListFile family
    // What loading gave them. A value left as it was is not written back,
    // so that the file keeps its own spelling and the keys it leaves out.
    QMap<QString, QString> more_loaded;
    QStringList list4_loaded;
    // Values of the account and redirection families that the lists cannot
    // show; saved after the shown ones instead of being lost.
    QStringList unshown_accounts;
    QStringList unshown_bindings;

    // One record per line of list2, found by exact, case-sensitive name.
    std::vector<AccountRecord> account_table;
    // Indexed by listened port; an entry counts only while a line of list3
    // begins with its port. Absent ports read as {0, ""}.
    std::map<int, RedirectionRecord> redirection_table;

    AccountRecord *find_account(const QString &name) {
        for (auto &r : account_table)
            if (r.name == name) return &r;
        return nullptr;
    }
    const AccountRecord *find_account(const QString &name) const {
        return const_cast<ConfigModel *>(this)->find_account(name);
    }
    RedirectionRecord redirection(int port) const {
        auto it = redirection_table.find(port);
        return it == redirection_table.end() ? RedirectionRecord{} : it->second;
    }
};

}  // namespace kel::wizard
