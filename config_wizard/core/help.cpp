#include "help.h"

#include <QDir>

#include <cmath>

#include "more_settings.h"

namespace kel::wizard {

const std::vector<HelpTopic> &help_topics() {
    static const std::vector<HelpTopic> all = [] {
        std::vector<HelpTopic> topics = {
            {QStringLiteral("Picture1"), QStringLiteral("LogFile"), QStringLiteral("general.html"),
             QStringLiteral("This setting specifies the log file to use. Valdrin Proxy Server's activity is recorded in "
                            "the log file. By default, the log file is 'valdrin.log'")},
            {QStringLiteral("Picture2"), QStringLiteral("ErrFile"), QStringLiteral("general.html"),
             QStringLiteral("This setting specifies the error file to use. Valdrin Proxy Server's errors are recorded "
                            "in the error file. By default, the log file is 'valdrin.log'")},
            {QStringLiteral("Picture3"), QStringLiteral("AllowedHosts"), QStringLiteral("general.html"),
             QStringLiteral("Please specify the ip addresses that you wish Valdrin Proxy Server to allow through.\n"
                            "By default none is specified, Valdrin Proxy Server will only allow traffic coming from "
                            "127.0.0.1, ie. the local host.\n"
                            "This setting must be specified for other computers of the Network to function with "
                            "ValdrinProxy.\n\n"
                            "Wildcards are allowed for IP addresses, for instance '192.168.*' encompasses all ips "
                            "from 192.168.0.0 to 192.168.255.255\n\n"
                            "Note: using '*' is allowed but is NOT RECOMMENDED.")},
            {QStringLiteral("Picture13"), QStringLiteral("Verbose"), QStringLiteral("general.html"),
             QStringLiteral("Verbose messages are pop-ups that appear when the server encounters an error.\n"
                            "It is good practice to turn verbose messages on when testing the configuration. But as "
                            "these messages halt the server's operation until a button is pressed, they should be "
                            "disabled if the machine is left alone during server operation.")},
            {QStringLiteral("Picture7"), QStringLiteral("SOCKSEnabled"), QStringLiteral("socks.html"),
             QStringLiteral("This setting specifies whether the SOCKS server is enabled or not. For security reasons, "
                            "the server is disabled by default.")},
            {QStringLiteral("Picture6"), QStringLiteral("SOCKSPort"), QStringLiteral("socks.html"),
             QStringLiteral("This setting specifies the port the SOCKS server will operate on. The default value is "
                            "1080.")},
            {QStringLiteral("Picture20"), QStringLiteral("SOCKS4Allowed"), QStringLiteral("socks.html"),
             QStringLiteral("If allowed, clients will be allowed to connect using the SOCKS 4 protocol. Beware though "
                            "that this protocol checks the username but does NOT check the password.\n"
                            "Hint: add a username of '*' to encompass ANY login that does not appear in the list.")},
            {QStringLiteral("Picture4"), QStringLiteral("SOCKSAccounts"), QStringLiteral("socks.html"),
             QStringLiteral("This setting specifies the SOCKS 5 accounts to use for authentication. \n"
                            "The username is stored in clear text in the configuration file but the password is "
                            "encrypted using a 160-bit hash algorithm.\n"
                            "Hint: add a username of '*' to encompass ANY login that does not appear in the list.")},
            {QStringLiteral("Picture10"), QStringLiteral("HTTPEnabled"), QStringLiteral("http.html"),
             QStringLiteral("This setting specifies whether the HTTP/FTP Proxy server is enabled or not. For security "
                            "reasons, the server is disabled by default.")},
            {QStringLiteral("Picture5"), QStringLiteral("HTTPPort"), QStringLiteral("http.html"),
             QStringLiteral("This setting specifies the port the HTTP/FTP server will operate on. The default value is "
                            "3128.")},
            {QStringLiteral("Picture19"), QStringLiteral("HTTPSecure"), QStringLiteral("http.html"),
             QStringLiteral("This setting specifies whether proxying SSL or TLS secure connections is allowed or not.")},
            {QStringLiteral("Picture11"), QStringLiteral("AdHostsEnabled"), QStringLiteral("http.html"),
             QStringLiteral("This setting specifies whether the advertisement banner removal system is enabled or "
                            "not.")},
            {QStringLiteral("Picture16"), QStringLiteral("DNSEnabled"), QStringLiteral("dns.html"),
             QStringLiteral("This setting specifies whether the DNS Proxy server is enabled or not. For security "
                            "reasons, the server is disabled by default.")},
            {QStringLiteral("Picture12"), QStringLiteral("DNSServer"), QStringLiteral("dns.html"),
             QStringLiteral("This setting specifies  the DNS servers to be used.\n"
                            "You must specify at least one name server for the DNS Proxy to function correctly.")},
            {QStringLiteral("Picture17"), QStringLiteral("RDREnabled"), QStringLiteral("port.html"),
             QStringLiteral("This setting specifies whether the Port redirector server is enabled or not. For "
                            "security reasons, the server is disabled by default.")},
            {QStringLiteral("Picture18"), QStringLiteral("RDRBindings"), QStringLiteral("port.html"),
             QStringLiteral("This setting specifies which ports to redirect. \nOnly TCP redirection is available.")},
        };
        // The Advanced section's, after the five sections' own.
        for (const MoreSetting &m : more_settings())
            topics.push_back({m.help_icon, m.label.chopped(2), m.page, m.help});
        return topics;
    }();
    return all;
}

const HelpTopic *find_help_topic(const QString &icon) {
    for (const auto &t : help_topics())
        if (t.icon == icon) return &t;
    return nullptr;
}

int twips_to_pixels(int twips) { return static_cast<int>(std::lround(twips / 15.0)); }

HelpLayout help_layout(int text_height) {
    HelpLayout l;
    l.window_height = kHelpTextTop + text_height + 860;
    l.dismiss_top = kHelpTextTop + text_height + 120;
    l.links_top = l.dismiss_top + 60;
    return l;
}

Position help_window_position(int wizard_left, int wizard_top, int help_width, int help_height) {
    Position p;
    p.top = std::max(0, wizard_top - help_height);
    p.left = std::max(0, wizard_left - help_width / 2);
    return p;
}

void HelpContent::fill(const QString &item, const QString &text, const QString &page) {
    title_ = item + QStringLiteral(" :");
    body_ = text + QStringLiteral("\n\nPlease refer to the Users Guide for further reference.");
    help_page_ = page.isEmpty() ? QStringLiteral("guide.html") : page;
}

void HelpContent::open_guide() { opener_.open_file(QDir(guide_dir_).filePath(help_page_)); }

void HelpContent::open_tutorials() { opener_.open_file(QDir(guide_dir_).filePath(QStringLiteral("typical.html"))); }

}  // namespace kel::wizard
