#include "more_settings.h"

#include "config_keys.h"

namespace kel::wizard {
namespace {

QString s(const char *text) { return QString::fromUtf8(text); }

MoreSetting text(const char *group, const char *section, const char *key, const char *control, const char *icon,
                 const char *page, const char *help) {
    return {s(group), s(section), s(key), s(control), s(key) + QStringLiteral(" :"), QString(), SettingKind::Text,
            s(icon), s(page), s(help)};
}

}  // namespace

const std::vector<MoreSetting> &more_settings() {
    static const std::vector<MoreSetting> settings = [] {
        std::vector<MoreSetting> all = {
            text("Main Configuration", "Main", "AccessLog", "Text9", "Picture21", "general.html",
                 "This setting specifies the access log file. Every request is recorded on one line, in the "
                 "combined format that log analysers read.\n"
                 "Leave it empty to keep no access log. By default, the access log is 'access.log'"),
            text("HTTP/FTP Proxy", "HTTP", "HTTPListen", "Text10", "Picture22", "http.html",
                 "This setting specifies the addresses the HTTP/FTP Proxy server listens on, separated by commas, "
                 "for instance '192.168.0.1, ::1'.\n"
                 "By default none is specified, the server listens on every interface, IPv6 and IPv4. The SOCKS "
                 "server, the DNS Proxy and the Port redirector listen on the same addresses unless they name "
                 "their own."),
            {s("HTTP/FTP Proxy"), s("HTTP"), s("AdListFile"), s("List4"), s("AdListFiles :"), QString(),
             SettingKind::List, s("Picture23"), s("http.html"),
             s("This setting specifies further lists of advertisement and tracker hosts, beside 'adhosts': hosts "
               "files or adblock filter lists, such as the ones published on the Web.\n"
               "A file name without a folder is taken from the folder of the configuration file.\n\n"
               "Note: the lists are only used while advertisement banner removal is enabled.")},
            text("HTTP/FTP Proxy", "HTTP", "HTTPHeaderTimeout", "Text11", "Picture24", "http.html",
                 "This setting specifies how many seconds a client has to send its whole request once it is "
                 "connected. The default value is 30; 0 means no limit."),
            text("HTTP/FTP Proxy", "HTTP", "HTTPIdleTimeout", "Text12", "Picture25", "http.html",
                 "This setting specifies how many seconds a connection, a tunnel or an FTP transfer may go without "
                 "a byte moving before it is closed. The default value is 900; 0 means no limit."),
            text("HTTP/FTP Proxy", "HTTP", "HTTPConnectTimeout", "Text13", "Picture26", "http.html",
                 "This setting specifies how many seconds the server waits for a web server, or the destination of "
                 "a tunnel, to accept its connection. The default value is 30; 0 means no limit."),
            text("HTTP/FTP Proxy", "HTTP", "HTTPMaxClients", "Text14", "Picture27", "http.html",
                 "This setting specifies how many connections the servers work on at once. A client beyond it gets "
                 "a page saying that the server is busy. The default value is 8000; 0 means no limit."),
            text("HTTP/FTP Proxy", "HTTP", "HTTPMaxWaiting", "Text15", "Picture28", "http.html",
                 "This setting specifies how many connections may wait at once while their clients are still "
                 "sending their request. The default value is 20000; 0 means no limit."),
            text("SOCKS Server", "Socks", "SocksListen", "Text16", "Picture29", "socks.html",
                 "This setting specifies the addresses the SOCKS server listens on, separated by commas.\n"
                 "By default none is specified, the server listens where the HTTP/FTP Proxy server does."),
            text("DNS Proxy", "DNS", "DNSPort", "Text17", "Picture30", "dns.html",
                 "This setting specifies the port the DNS Proxy server will operate on, for UDP and TCP. The "
                 "default value is 53."),
            text("DNS Proxy", "DNS", "DNSListen", "Text18", "Picture31", "dns.html",
                 "This setting specifies the addresses the DNS Proxy server listens on, separated by commas.\n"
                 "By default none is specified, the server listens where the HTTP/FTP Proxy server does."),
            text("DNS Proxy", "DNS", "DNSCacheSize", "Text19", "Picture32", "dns.html",
                 "This setting specifies how many answers the DNS Proxy server keeps, so that a name asked again "
                 "is answered at once. The default value is 10000; 0 keeps none."),
            {s("DNS Proxy"), s("DNS"), s("DNSBlock"), s("Check10"), s("DNSBlock :"),
             s("Advertisement hosts get no address"), SettingKind::Check, s("Picture33"), s("dns.html"),
             s("This setting specifies whether the DNS Proxy server answers the names of advertisement hosts "
               "with an address that leads nowhere, so that banners vanish from every program, not only from "
               "browsers.\nIt applies while advertisement banner removal is enabled. It is enabled by default.")},
            text("DNS Proxy", "DNS", "DNSHostsFile", "Text20", "Picture34", "dns.html",
                 "This setting specifies a hosts file whose names the DNS Proxy server answers itself, such as the "
                 "machines of the Network. The default value is '/etc/hosts'; leave it empty for none."),
            text("DNS Proxy", "DNS", "DNSClientRate", "Text21", "Picture35", "dns.html",
                 "This setting specifies how many questions per second one computer may ask the DNS Proxy server, "
                 "twice that in a burst. The default value is 1000; 0 means no limit."),
            text("Port Redirector", "RDR", "RDRListen", "Text22", "Picture36", "port.html",
                 "This setting specifies the addresses the redirected ports listen on, separated by commas.\n"
                 "By default none is specified, they listen where the HTTP/FTP Proxy server does."),
        };
        return all;
    }();
    return settings;
}

const MoreSetting *find_more_setting(const QString &key) {
    for (const MoreSetting &m : more_settings())
        if (m.key.compare(key, Qt::CaseInsensitive) == 0) return &m;
    return nullptr;
}

const valdrin::keys::Key *table_key(const MoreSetting &setting) {
    const QByteArray section = setting.section.toLatin1(), key = setting.key.toLatin1();
    return valdrin::keys::find_key(std::string_view(section.constData(), static_cast<size_t>(section.size())),
                                   std::string_view(key.constData(), static_cast<size_t>(key.size())));
}

}  // namespace kel::wizard
