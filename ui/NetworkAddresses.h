#pragma once

#include <QList>
#include <QNetworkInterface>
#include <QString>
#include <QStringList>
#include <QVector>

// The address items offered in the main window's cmbNetwork and the publish URL built from the
// chosen item.
//
// An item is "<IPv4 address> <display name>", the name cut to 6 characters plus "..." when
// longer. A phone's USB tethering interface comes first, its item ending in " (USB cable)"; then
// Wi-Fi; then the rest. Each group is ordered by plain string comparison, so the order is
// textual (10.0.0.5 before 192.168.1.2, 192.168.1.10 before 192.168.1.9).
//
// The rules work on a plain description of an interface so that every one of them can be
// exercised without the machine having such an interface; usableInterfaces() and
// networkAddressItems() feed them from QNetworkInterface.
//
// Threads: all functions are reentrant; the main window calls them on the GUI thread.
class NetworkAddresses
{
public:
    NetworkAddresses() = delete;

    struct Interface
    {
        QString name;        // kernel name, e.g. "wlp2s0"
        QString displayName; // QNetworkInterface::humanReadableName
        QNetworkInterface::InterfaceFlags flags;
        QString hardwareAddress; // QNetworkInterface::hardwareAddress, e.g. "3C:22:FB:01:02:03"
        QStringList addresses;   // QHostAddress::toString of each address entry, in order
        QNetworkInterface::InterfaceType type = QNetworkInterface::Unknown;
        // The kernel driver of the interface's device, e.g. "rndis_host"; empty when unknown.
        QString driver;
    };

    // Publish-URL port that is left out of the URL.
    static constexpr int kDefaultRtmpPort = 1935;
    // Display names longer than this are cut and get "..." appended.
    static constexpr int kMaxDisplayNameChars = 6;
    // Ends the item of a USB tethering interface.
    static constexpr const char *kUsbCableHint = " (USB cable)";

    // The interface as the rules see it; the driver is read from sysClassNet.
    static Interface describe(const QNetworkInterface &iface,
                              const QString &sysClassNet = QStringLiteral("/sys/class/net"));

    // The name of the driver bound to the interface's device: the last part of the link
    // sysClassNet/<name>/device/driver. Empty without one (virtual interfaces) or for a name
    // that is not a plain file name.
    static QString driverOf(const QString &name,
                            const QString &sysClassNet = QStringLiteral("/sys/class/net"));

    // A phone's USB tethering (or another USB network gadget): the kernel names it usb0,
    // usb1...; or its driver is one phones use (RNDIS, CDC ECM/NCM/EEM, the iPhone's ipheth);
    // or, while the driver is unknown, systemd named it after its MAC address (enx + 12 hex
    // digits, USB network devices only). A known other driver (a USB Ethernet adapter) is not.
    static bool isUsbTethering(const Interface &iface);

    // The item addressItems() made for a USB tethering interface.
    static bool isUsbCableItem(const QString &item);

    // The item to select at start: the stored choice, unless a USB cable is there and the
    // stored choice is not one of its items; then the first cable item (the camera plugged
    // in for this session is the one to point at). An empty or unmatched result keeps the
    // list's first item.
    static QString initialItem(const QStringList &items, const QString &stored);

    // Up, not loopback, and at least one IPv4 entry while the hardware address is not the
    // all-zero text.
    static bool isUsable(const Interface &iface);

    // Wi-Fi on Linux: the (shortened) display name contains "wi-fi" in any case, Qt reports the
    // type as Wifi, or the kernel name starts with "wl".
    static bool isWifi(const Interface &iface, const QString &shortName);

    static QString shortDisplayName(const QString &displayName);

    // The ordered items for a machine with these interfaces (in the order the system reports
    // them); unusable interfaces contribute nothing. USB tethering first, then Wi-Fi, then the
    // others.
    static QStringList addressItems(const QVector<Interface> &interfaces);

    // The system's interfaces that qualify, in the order the system reports them.
    static QList<QNetworkInterface> usableInterfaces();

    // addressItems() over this machine's interfaces. The list is read once by the main window.
    static QStringList networkAddressItems();

    // "rtmp://" + host + (":" + port unless 1935) + "/@/@", the host being the item text up to
    // its first space. An empty item gives an empty host.
    static QString rtmpUrl(const QString &addressItem, int port);
    // The same with `streamName` in place of the last "@" (the stream key); an empty name
    // gives the plain URL above.
    static QString rtmpUrl(const QString &addressItem, int port, const QString &streamName);
    // "srt://" + host + ":" + port (SRT has no default port, so it is always written). Latency
    // and passphrase are not part of it: each camera app has its own fields for them.
    static QString srtUrl(const QString &addressItem, int port);
};
