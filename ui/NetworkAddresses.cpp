#include "ui/NetworkAddresses.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkAddressEntry>
#include <QRegularExpression>

namespace {

// The hardware address text of interfaces without a real one (loopback and some virtual links).
// Only this exact text excludes an interface; an empty hardware address does not.
const char *const kZeroHardwareAddress = "00:00:00:00:00:00";
// Taken out of every non-Wi-Fi item's text after sorting. It once went in front of those items
// so that they sorted after the Wi-Fi ones; names that contain it still lose it.
const char *const kNonWifiMarker = "ZZZ";
// The drivers of phones' USB tethering: Android's RNDIS and CDC ECM / NCM (newer phones), EEM,
// and the iPhone's.
const char *const kTetheringDrivers[] = {"rndis_host", "cdc_ether", "cdc_ncm", "cdc_eem", "ipheth"};
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

NetworkAddresses::Interface NetworkAddresses::describe(const QNetworkInterface &iface,
                                                       const QString &sysClassNet)
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
    d.driver = driverOf(d.name, sysClassNet);
    return d;
}

QString NetworkAddresses::driverOf(const QString &name, const QString &sysClassNet)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") ||
        name == QLatin1String(".."))
        return QString();
    const QFileInfo link(sysClassNet + QLatin1Char('/') + name + QStringLiteral("/device/driver"));
    if (!link.isSymLink())
        return QString();
    return QFileInfo(link.symLinkTarget()).fileName();
}

bool NetworkAddresses::isUsbTethering(const Interface &iface)
{
    static const QRegularExpression usbName(QStringLiteral("^usb[0-9]+$"));
    static const QRegularExpression macName(QStringLiteral("^enx[0-9a-f]{12}$"));
    if (usbName.match(iface.name).hasMatch())
        return true;
    if (!iface.driver.isEmpty()) {
        for (const char *driver : kTetheringDrivers) {
            if (iface.driver == QLatin1String(driver))
                return true;
        }
        return false;
    }
    return macName.match(iface.name).hasMatch();
}

bool NetworkAddresses::isUsbCableItem(const QString &item)
{
    return item.endsWith(QLatin1String(kUsbCableHint));
}

QString NetworkAddresses::initialItem(const QStringList &items, const QString &stored)
{
    QString firstCable;
    for (const QString &item : items) {
        if (isUsbCableItem(item)) {
            if (item == stored)
                return stored;
            if (firstCable.isEmpty())
                firstCable = item;
        }
    }
    return firstCable.isEmpty() ? stored : firstCable;
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
    QStringList cable;
    QStringList wifi;
    QStringList others;
    for (const Interface &iface : interfaces) {
        if (!isUsable(iface))
            continue;
        const bool tethering = isUsbTethering(iface);
        for (const QString &address : iface.addresses) {
            if (address.startsWith(QLatin1String(kLinkLocalPrefix)))
                continue;
            if (!hasRealHardwareAddress(iface) || !isIpv4Text(address))
                continue;
            const QString name = shortDisplayName(iface.displayName);
            const QString item = QStringLiteral("%1 %2").arg(address, name);
            if (tethering)
                cable.append(item + QLatin1String(kUsbCableHint));
            else if (isWifi(iface, name))
                wifi.append(item);
            else
                others.append(item);
        }
    }
    for (QStringList *group : {&cable, &wifi, &others})
        group->sort(Qt::CaseSensitive);
    // The address part, which is what the URL uses, cannot contain the marker.
    for (QStringList *group : {&cable, &others}) {
        for (QString &item : *group)
            item.remove(QLatin1String(kNonWifiMarker), Qt::CaseSensitive);
    }
    return cable + wifi + others;
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
