#include "status_report.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSet>

namespace valdrin::tray {
namespace {

QString tr(const char *text) { return QCoreApplication::translate("StatusReport", text); }

// The host of "host:port", or nothing when the port is not valid.
std::optional<QString> host_of(const QString &address) {
    if (!port_of(address)) return std::nullopt;
    return address.left(address.lastIndexOf(QLatin1Char(':')));
}

}  // namespace

std::optional<quint16> port_of(const QString &address) {
    const qsizetype colon = address.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0 || colon + 1 >= address.size() || address.size() - colon - 1 > 5) return std::nullopt;
    // "[v6]:port": the colon right after the bracket; bare IPv6 has no port.
    if (address.startsWith(QLatin1Char('[')) ? address[colon - 1] != QLatin1Char(']') || colon < 3
                                             : address.left(colon).contains(QLatin1Char(':')))
        return std::nullopt;
    uint port = 0;
    for (qsizetype i = colon + 1; i < address.size(); ++i) {
        const QChar c = address[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
        port = port * 10 + static_cast<uint>(c.unicode() - '0');
    }
    if (port == 0 || port > 65535) return std::nullopt;
    return static_cast<quint16>(port);
}

QString reachable(const QString &address) {
    const auto host = host_of(address);
    if (!host) return QString();
    const QString port = address.mid(host->size());  // ":3128"
    if (*host == QLatin1String("[::]")) return QStringLiteral("[::1]") + port;
    if (*host == QLatin1String("0.0.0.0")) return QStringLiteral("127.0.0.1") + port;
    return address;
}

StatusParse parse_status_json(const QByteArray &body) {
    if (body.size() > kMaxStatusBytes)
        return {std::nullopt, tr("the status is larger than %1 bytes").arg(kMaxStatusBytes)};
    QJsonParseError parse_error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parse_error);
    if (parse_error.error != QJsonParseError::NoError)
        return {std::nullopt,
                tr("the status is not JSON (%1 at byte %2)").arg(parse_error.errorString()).arg(parse_error.offset)};
    if (!doc.isObject()) return {std::nullopt, tr("the status is not a JSON object")};
    const QJsonValue listening = doc.object().value(QLatin1String("listening"));
    if (listening.isUndefined()) return {std::nullopt, tr("the status does not say where the services listen")};
    if (!listening.isArray()) return {std::nullopt, tr("the status's \"listening\" is not a list")};
    Listeners out;
    for (const QJsonValue &entry : listening.toArray()) {
        if (out.size() == kMaxListeners) break;
        const QJsonObject o = entry.toObject();
        const QJsonValue service = o.value(QLatin1String("service"));
        const QJsonValue address = o.value(QLatin1String("address"));
        if (!service.isString() || !address.isString() || !port_of(address.toString())) continue;
        out.append({service.toString(), address.toString()});
    }
    return {out, QString()};
}

QString http_address_in_ports_file(const QByteArray &text) {
    for (const QByteArray &raw : text.split('\n')) {
        const QList<QByteArray> fields = raw.simplified().split(' ');
        if (fields.size() != 2 || fields[0] != "http") continue;
        const QString address = QString::fromUtf8(fields[1]);
        if (port_of(address)) return address;
    }
    return QString();
}

QString http_address_in_status_text(const QString &text) {
    const QLatin1String prefix("listening on ");
    if (!text.startsWith(prefix)) return QString();
    for (const QString &raw : text.mid(prefix.size()).split(QLatin1String(", "))) {
        const QStringList fields = raw.simplified().split(QLatin1Char(' '));
        const QString address =
            fields.size() == 1 ? fields[0] : fields.size() == 2 && fields[0] == QLatin1String("http") ? fields[1] : QString();
        if (port_of(address)) return address;
    }
    return QString();
}

QStringList last_lines(const QByteArray &text, int count, int max_chars) {
    QStringList lines;
    const QList<QByteArray> raw = text.split('\n');
    for (auto it = raw.crbegin(); it != raw.crend() && lines.size() < count; ++it) {
        QString line = QString::fromUtf8(*it);
        // Escape sequences and other controls would garble a notification.
        for (QChar &c : line)
            if (c.category() == QChar::Other_Control) c = QLatin1Char(' ');
        line = line.trimmed();
        if (line.isEmpty()) continue;
        if (line.size() > max_chars) line = line.left(max_chars - 1) + QChar(0x2026);
        lines.prepend(line);
    }
    return lines;
}

QList<ServiceSummary> summarise(const Listeners &listening) {
    QList<ServiceSummary> out;
    for (const char *name : {"http", "socks", "dns", "rdr"}) {
        ServiceSummary s{QLatin1String(name), {}, {}};
        QSet<QString> addresses;
        QSet<quint16> ports;
        for (const Listener &l : listening) {
            if (l.service != s.service) continue;
            const auto port = port_of(l.address);
            if (!port) continue;
            if (!addresses.contains(l.address)) {
                addresses.insert(l.address);
                s.addresses.append(l.address);
            }
            if (!ports.contains(*port)) {
                ports.insert(*port);
                s.ports.append(*port);
            }
        }
        if (!s.addresses.isEmpty()) out.append(s);
    }
    return out;
}

}  // namespace valdrin::tray
