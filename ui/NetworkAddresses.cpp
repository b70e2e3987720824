#include "ui/NetworkAddresses.h"

#include <QHostAddress>
#include <QNetworkAddressEntry>

namespace {

// The hardware address text of interfaces without a real one (loopback and some virtual links).
// Only this exact text excludes an interface; an empty hardware address does not.
const char *const kZeroHardwareAddress = "00:00:00:00:00:00";
// Put in front of every non-Wi-Fi item before sorting: items start with a digit and 'Z' sorts
// after all digits, so Wi-Fi items end up first.
const char *const kNonWifiMarker = "ZZZ";
// 169.254.0.0/16: addresses a host gives itself when no DHCP answered; a camera cannot reach it.
const char *const kLinkLocalPrefix = "169.254.";

bool hasRealHardwareAddress(const NetworkAddresses::Interface &iface)
{
    return iface.hardwareAddress != QLatin1String(kZeroHardwareAddress);
}

// IPv6 texts never contain a dot (Linux reports no IPv4-mapped entries on an interface).
bool isIpv4Text(const QString &address)
{
    return address.contains(QLatin1Char('.'));
}

} // namespace

NetworkAddresses::Interface NetworkAddresses::describe(const QNetworkInterface &iface)
{
    Interface d;
    d.name = iface.name();
    d.displayName = iface.humanReadableName();
    d.flags = iface.flags();
    d.hardwareAddress = iface.hardwareAddress();
    d.type = iface.type();
    const QList<QNetworkAddressEntry> entries = iface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries)
        d.addresses.append(entry.ip().toString());
    return d;
}

bool NetworkAddresses::isUsable(const Interface &iface)
{
    if (!iface.flags.testFlag(QNetworkInterface::IsUp) ||
        iface.flags.testFlag(QNetworkInterface::IsLoopBack))
        return false;
    for (const QString &address : iface.addresses) {
        if (hasRealHardwareAddress(iface) && isIpv4Text(address))
            return true;
    }
    return false;
}

bool NetworkAddresses::isWifi(const Interface &iface, const QString &shortName)
{
    return shortName.contains(QLatin1String("wi-fi"), Qt::CaseInsensitive) ||
           iface.type == QNetworkInterface::Wifi || iface.name.startsWith(QLatin1String("wl"));
}

QString NetworkAddresses::shortDisplayName(const QString &displayName)
{
    if (displayName.size() <= kMaxDisplayNameChars)
        return displayName;
    return displayName.left(kMaxDisplayNameChars) + QLatin1String("...");
}

QStringList NetworkAddresses::addressItems(const QVector<Interface> &interfaces)
{
    QStringList working;
    for (const Interface &iface : interfaces) {
        if (!isUsable(iface))
            continue;
        for (const QString &address : iface.addresses) {
            if (address.startsWith(QLatin1String(kLinkLocalPrefix)))
                continue;
            if (!hasRealHardwareAddress(iface) || !isIpv4Text(address))
                continue;
            const QString name = shortDisplayName(iface.displayName);
            QString item = QStringLiteral("%1 %2").arg(address, name);
            if (!isWifi(iface, name))
                item.prepend(QLatin1String(kNonWifiMarker));
            working.append(item);
        }
    }
    working.sort(Qt::CaseSensitive);

    QStringList result;
    result.reserve(working.size());
    for (QString &item : working) {
        // The marker is removed everywhere in the item, so a name containing "ZZZ" loses it too;
        // the address part, which is what the URL uses, cannot contain it.
        if (item.startsWith(QLatin1String(kNonWifiMarker)))
            item.remove(QLatin1String(kNonWifiMarker), Qt::CaseSensitive);
        result.append(item);
    }
    return result;
}

QList<QNetworkInterface> NetworkAddresses::usableInterfaces()
{
    QList<QNetworkInterface> result;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : all) {
        if (isUsable(describe(iface)))
            result.append(iface);
    }
    return result;
}

QStringList NetworkAddresses::networkAddressItems()
{
    QVector<Interface> described;
    const QList<QNetworkInterface> all = QNetworkInterface::allInterfaces();
    described.reserve(all.size());
    for (const QNetworkInterface &iface : all)
        described.append(describe(iface));
    return addressItems(described);
}

QString NetworkAddresses::rtmpUrl(const QString &addressItem, int port)
{
    const QString portPart = port == kDefaultRtmpPort ? QString() : QStringLiteral(":%1").arg(port);
    // Split with empty parts kept: an item with a leading space gives an empty host, as does an
    // empty item.
    const QString host = addressItem.split(QLatin1Char(' ')).first();
    return QStringLiteral("rtmp://") + host + portPart + QStringLiteral("/@/@");
}

QString NetworkAddresses::srtUrl(const QString &addressItem, int port)
{
    const QString host = addressItem.split(QLatin1Char(' ')).first();
    return QStringLiteral("srt://%1:%2").arg(host).arg(port);
}

QString NetworkAddresses::rtmpUrl(const QString &addressItem, int port, const QString &streamName)
{
    QString url = rtmpUrl(addressItem, port);
    if (!streamName.isEmpty())
        url.replace(url.size() - 1, 1, streamName);
    return url;
}
