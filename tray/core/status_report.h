// What the daemon says about where its services listen: its status.json,
// its ports file, its service status text. Pure functions over untrusted
// text; nothing here blocks or touches the disk.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace valdrin::tray {

// One address a service listens on, in the daemon's words: service "http",
// "socks", "rdr" or "dns"; address "[::]:3128", "127.0.0.1:53".
struct Listener {
    QString service;
    QString address;
    friend bool operator==(const Listener &, const Listener &) = default;
};
using Listeners = QList<Listener>;

// A status.json is a few kilobytes; a body beyond this is refused.
inline constexpr qsizetype kMaxStatusBytes = 1 << 20;
// A daemon listens on a few dozen addresses at most; further entries are
// left out.
inline constexpr qsizetype kMaxListeners = 1024;

// The listeners a status.json names, or why it names none (for the user).
struct StatusParse {
    std::optional<Listeners> listening;
    QString error;
};

// Reads the member "listening" of a status.json body. Entries that are not
// {"service": text, "address": text with a port} are left out, and so is
// any beyond kMaxListeners; a body that is no JSON object, or lacks a
// "listening" list, is an error.
StatusParse parse_status_json(const QByteArray &body);

// The port of "host:port" or "[v6]:port"; nothing unless it is 1 to 65535.
std::optional<quint16> port_of(const QString &address);

// The address to connect to for one a service listens on: the wildcard
// hosts [::] and 0.0.0.0 are reached as [::1] and 127.0.0.1. Empty when
// the address has no valid port.
QString reachable(const QString &address);

// The first HTTP address of a ports file ("http 127.0.0.1:3128", a line per
// address); empty when it names none.
QString http_address_in_ports_file(const QByteArray &text);

// The first HTTP address of the status text the daemon gives its service
// manager: "listening on [::]:3128, socks [::]:1080, dns 127.0.0.1:53",
// where an address without a service name is the HTTP proxy's. Empty when
// it names none.
QString http_address_in_status_text(const QString &text);

// The last `count` non-empty lines of `text`, oldest first, each cut to
// `max_chars` characters (an ellipsis marks a cut).
QStringList last_lines(const QByteArray &text, int count, int max_chars);

// One running service: the addresses it listens on and their ports, each
// once, in the order the daemon gave them.
struct ServiceSummary {
    QString service;
    QStringList addresses;
    QList<quint16> ports;
};

// The known services that listen, in the order http, socks, dns, rdr;
// unknown service names are left out.
QList<ServiceSummary> summarise(const Listeners &listening);

}  // namespace valdrin::tray
