// The address items of cmbNetwork (which interfaces count, how items are named and ordered, the
// USB cable first), the item chosen at start and the publish URL, over described interfaces,
// a scratch sysfs tree and once over this machine's real ones.
#include "ui/NetworkAddresses.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using Iface = NetworkAddresses::Interface;

namespace {

const QNetworkInterface::InterfaceFlags kUp =
    QNetworkInterface::IsUp | QNetworkInterface::IsRunning | QNetworkInterface::CanBroadcast;

Iface iface(const QString &name, const QStringList &addresses,
            const QString &hardware = QStringLiteral("3C:22:FB:01:02:03"),
            QNetworkInterface::InterfaceFlags flags = kUp,
            QNetworkInterface::InterfaceType type = QNetworkInterface::Ethernet,
            const QString &displayName = QString(), const QString &driver = QString())
{
    Iface d;
    d.driver = driver;
    d.name = name;
    d.displayName = displayName.isEmpty() ? name : displayName;
    d.flags = flags;
    d.hardwareAddress = hardware;
    d.addresses = addresses;
    d.type = type;
    return d;
}

} // namespace

class TestNetworkAddresses : public QObject
{
    Q_OBJECT

private slots:
    void wifiFirstThenOthersEachInTextualOrder();
    void wifiDetection_data();
    void wifiDetection();
    void twoIpv4OnOneInterfaceAndNoIpv6();
    void interfacesThatContributeNothing();
    void hardwareAddressOnlyExcludedWhenExactlyAllZero();
    void linkLocalQualifiesButGivesNoItem();
    void displayNameShortenedAfterSixCharacters();
    void markerRemovedFromNonWifiNamesOnly();
    void usbTetheringFirstWithItsHint_data();
    void usbTetheringFirstWithItsHint();
    void driverReadFromSysfs();
    void initialItem_data();
    void initialItem();
    void rtmpUrl_data();
    void rtmpUrl();
    void realInterfacesHaveNoLoopback();
};

void TestNetworkAddresses::wifiFirstThenOthersEachInTextualOrder()
{
    const QVector<Iface> ifaces = {
        iface("enp3s0", {"192.168.1.9"}),
        iface("eth1", {"10.0.0.5"}),
        iface("enx0", {"192.168.1.10"}),
        iface("wlp2s0", {"192.168.50.7"}, "3C:22:FB:0A:0B:0C", kUp, QNetworkInterface::Unknown),
        iface("mlan0", {"172.16.0.3"}, "3C:22:FB:0A:0B:0D", kUp, QNetworkInterface::Wifi),
        iface("if9", {"10.9.9.9"}, "3C:22:FB:0A:0B:0E", kUp, QNetworkInterface::Unknown, "Wi-Fi 2"),
    };
    // Textual, not numeric: 10.x before 172.x before 192.x, and 192.168.1.10 before .9.
    const QStringList expected = {
        "10.9.9.9 Wi-Fi ...", "172.16.0.3 mlan0",  "192.168.50.7 wlp2s0",
        "10.0.0.5 eth1",      "192.168.1.10 enx0", "192.168.1.9 enp3s0",
    };
    QCOMPARE(NetworkAddresses::addressItems(ifaces), expected);

    // The order the system reports interfaces in does not matter.
    QVector<Iface> reversed(ifaces.rbegin(), ifaces.rend());
    QCOMPARE(NetworkAddresses::addressItems(reversed), expected);

    QCOMPARE(NetworkAddresses::addressItems({}), QStringList());
}

void TestNetworkAddresses::wifiDetection_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("displayName");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("wifi");

    const int eth = QNetworkInterface::Ethernet;
    QTest::newRow("display name Wi-Fi") << "if1"
                                        << "Wi-Fi" << eth << true;
    QTest::newRow("display name any case") << "if1"
                                           << "WI-FI" << eth << true;
    QTest::newRow("Wi-Fi 2 shortened still Wi-Fi") << "if1"
                                                   << "Wi-Fi 2" << eth << true;
    // The test looks at the shortened name.
    QTest::newRow("Wi-Fi beyond six characters") << "if1"
                                                 << "Home Wi-Fi" << eth << false;
    QTest::newRow("kernel wlan0") << "wlan0"
                                  << "" << eth << true;
    QTest::newRow("kernel wlp0s20f3 long") << "wlp0s20f3"
                                           << "" << eth << true;
    QTest::newRow("wl only at the start") << "enwl0"
                                          << "" << eth << false;
    QTest::newRow("wwan is not wireless LAN") << "wwan0"
                                              << "" << eth << false;
    QTest::newRow("Qt type Wifi") << "ath0"
                                  << "" << int(QNetworkInterface::Wifi) << true;
    QTest::newRow("plain ethernet") << "eth0"
                                    << "" << eth << false;
}

void TestNetworkAddresses::wifiDetection()
{
    QFETCH(QString, name);
    QFETCH(QString, displayName);
    QFETCH(int, type);
    QFETCH(bool, wifi);

    const Iface d = iface(name, {"10.1.1.1", "10.2.2.2"}, "3C:22:FB:01:02:03", kUp,
                          QNetworkInterface::InterfaceType(type), displayName);
    const QString shortName = NetworkAddresses::shortDisplayName(d.displayName);
    QCOMPARE(NetworkAddresses::isWifi(d, shortName), wifi);

    // Against an ethernet item whose address sorts after both of this interface's ones, Wi-Fi
    // goes first and everything else last.
    const QVector<Iface> ifaces = {iface("eth9", {"1.1.1.1"}), d};
    const QStringList items = NetworkAddresses::addressItems(ifaces);
    QCOMPARE(items.size(), 3);
    QCOMPARE(items.indexOf("1.1.1.1 eth9"), wifi ? 2 : 0);
    QVERIFY(items.contains("10.1.1.1 " + shortName));
}

void TestNetworkAddresses::twoIpv4OnOneInterfaceAndNoIpv6()
{
    const Iface d =
        iface("eth0", {"fe80::3e22:fbff:fe01:203%eth0", "192.168.1.20", "2001:db8::5", "10.1.2.3"});
    QVERIFY(NetworkAddresses::isUsable(d));
    QCOMPARE(NetworkAddresses::addressItems({d}),
             QStringList({"10.1.2.3 eth0", "192.168.1.20 eth0"}));

    // IPv6 alone does not make an interface usable.
    const Iface v6 = iface("eth1", {"fe80::1%eth1", "2001:db8::7"});
    QVERIFY(!NetworkAddresses::isUsable(v6));
    QCOMPARE(NetworkAddresses::addressItems({v6}), QStringList());
}

void TestNetworkAddresses::interfacesThatContributeNothing()
{
    const Iface down = iface("eth0", {"192.168.1.5"}, "3C:22:FB:01:02:03",
                             QNetworkInterface::CanBroadcast | QNetworkInterface::IsRunning);
    const Iface loopback = iface("lo", {"127.0.0.1", "::1"}, "00:00:00:00:00:00",
                                 QNetworkInterface::IsUp | QNetworkInterface::IsRunning |
                                     QNetworkInterface::IsLoopBack,
                                 QNetworkInterface::Loopback);
    // Loopback with a real-looking hardware address is still loopback.
    const Iface loopbackHw = iface("lo1", {"127.0.0.2"}, "3C:22:FB:01:02:09",
                                   QNetworkInterface::IsUp | QNetworkInterface::IsLoopBack);
    const Iface noAddresses = iface("eth2", {});
    for (const Iface &d : {down, loopback, loopbackHw, noAddresses}) {
        QVERIFY2(!NetworkAddresses::isUsable(d), qPrintable(d.name));
        QCOMPARE(NetworkAddresses::addressItems({d}), QStringList());
    }
    // They do not disturb a good interface next to them.
    QCOMPARE(NetworkAddresses::addressItems(
                 {down, loopback, iface("eth1", {"10.0.0.2"}), loopbackHw, noAddresses}),
             QStringList({"10.0.0.2 eth1"}));
}

void TestNetworkAddresses::hardwareAddressOnlyExcludedWhenExactlyAllZero()
{
    const Iface zero = iface("dummy0", {"10.0.0.1"}, "00:00:00:00:00:00");
    QVERIFY(!NetworkAddresses::isUsable(zero));
    QCOMPARE(NetworkAddresses::addressItems({zero}), QStringList());

    // Tunnels report no hardware address at all; that does not exclude them.
    const Iface tunnel = iface("tun0", {"10.8.0.6"}, QString(), kUp, QNetworkInterface::Virtual);
    QVERIFY(NetworkAddresses::isUsable(tunnel));
    QCOMPARE(NetworkAddresses::addressItems({tunnel}), QStringList({"10.8.0.6 tun0"}));

    const Iface almostZero = iface("eth3", {"10.0.0.3"}, "00:00:00:00:00:01");
    QCOMPARE(NetworkAddresses::addressItems({almostZero}), QStringList({"10.0.0.3 eth3"}));
}

void TestNetworkAddresses::linkLocalQualifiesButGivesNoItem()
{
    const Iface linkLocal = iface("eth0", {"169.254.10.20"});
    QVERIFY(NetworkAddresses::isUsable(linkLocal));
    QCOMPARE(NetworkAddresses::addressItems({linkLocal}), QStringList());

    // Only the link-local range is skipped; other addresses of the same interface stay, and so
    // does a routable address that merely starts with 169.
    const Iface mixed = iface("eth1", {"169.254.7.7", "10.0.0.9", "169.1.2.3"});
    QCOMPARE(NetworkAddresses::addressItems({mixed}),
             QStringList({"10.0.0.9 eth1", "169.1.2.3 eth1"}));
}

void TestNetworkAddresses::displayNameShortenedAfterSixCharacters()
{
    QCOMPARE(NetworkAddresses::shortDisplayName("enp0s3"), QStringLiteral("enp0s3"));
    QCOMPARE(NetworkAddresses::shortDisplayName("enp0s31"), QStringLiteral("enp0s3..."));
    QCOMPARE(NetworkAddresses::shortDisplayName("Ethernet"), QStringLiteral("Ethern..."));
    QCOMPARE(NetworkAddresses::shortDisplayName(""), QString());

    // The item uses the display name, not the kernel name.
    const Iface d = iface("enp0s31f6", {"10.0.0.5"}, "3C:22:FB:01:02:03", kUp,
                          QNetworkInterface::Ethernet, "Ethernet");
    QCOMPARE(NetworkAddresses::addressItems({d}), QStringList({"10.0.0.5 Ethern..."}));
    const Iface six = iface("enp0s3", {"10.0.0.6"});
    const Iface seven = iface("enp0s31", {"10.0.0.7"});
    QCOMPARE(NetworkAddresses::addressItems({six, seven}),
             QStringList({"10.0.0.6 enp0s3", "10.0.0.7 enp0s3..."}));
}

void TestNetworkAddresses::markerRemovedFromNonWifiNamesOnly()
{
    const Iface plain = iface("eZZZ0", {"10.0.0.1"});
    const Iface wifi =
        iface("wlZZZ", {"10.0.0.2"}, "3C:22:FB:01:02:04", kUp, QNetworkInterface::Wifi);
    // The marker is taken out of a non-Wi-Fi item wherever it stands.
    QCOMPARE(NetworkAddresses::addressItems({plain, wifi}),
             QStringList({"10.0.0.2 wlZZZ", "10.0.0.1 e0"}));
}

void TestNetworkAddresses::usbTetheringFirstWithItsHint_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("driver");
    QTest::addColumn<bool>("cable");

    QTest::newRow("usb0") << "usb0"
                          << "" << true;
    QTest::newRow("usb1, RNDIS") << "usb1"
                                 << "rndis_host" << true;
    QTest::newRow("enx + MAC, driver unknown") << "enx0a1b2c3d4e5f"
                                               << "" << true;
    QTest::newRow("enx + MAC, NCM") << "enx0a1b2c3d4e5f"
                                    << "cdc_ncm" << true;
    // Named after its MAC as any USB network device is, but the driver is an Ethernet adapter's.
    QTest::newRow("enx + MAC, USB Ethernet adapter") << "enx00e04c680001"
                                                     << "r8152" << false;
    QTest::newRow("path name, RNDIS") << "enp0s20f0u2"
                                      << "rndis_host" << true;
    QTest::newRow("path name, driver unknown") << "enp0s20f0u2"
                                               << "" << false;
    QTest::newRow("iPhone") << "eth1"
                            << "ipheth" << true;
    QTest::newRow("plain Ethernet") << "eth0"
                                    << "e1000e" << false;
    QTest::newRow("usb without a number") << "usbnet"
                                          << "" << false;
    QTest::newRow("enx, not hex") << "enx0a1b2c3d4e5g"
                                  << "" << false;
}

void TestNetworkAddresses::usbTetheringFirstWithItsHint()
{
    QFETCH(QString, name);
    QFETCH(QString, driver);
    QFETCH(bool, cable);

    const Iface phone = iface(name, {"192.168.42.129"}, "3C:22:FB:01:02:0A", kUp,
                              QNetworkInterface::Ethernet, QString(), driver);
    QCOMPARE(NetworkAddresses::isUsbTethering(phone), cable);
    const QVector<Iface> ifaces = {
        iface("eth0", {"10.0.0.5"}),
        iface("wlp2s0", {"192.168.1.20"}, "3C:22:FB:0A:0B:0C", kUp, QNetworkInterface::Wifi),
        phone,
    };
    const QStringList items = NetworkAddresses::addressItems(ifaces);
    QCOMPARE(items.size(), 3);
    const QString phoneItem = QStringLiteral("192.168.42.129 ") +
                              NetworkAddresses::shortDisplayName(name) +
                              (cable ? QStringLiteral(" (USB cable)") : QString());
    // First before Wi-Fi; otherwise one of the others, in textual order after 10.0.0.5.
    QCOMPARE(items, cable ? QStringList({phoneItem, "192.168.1.20 wlp2s0", "10.0.0.5 eth0"})
                          : QStringList({"192.168.1.20 wlp2s0", "10.0.0.5 eth0", phoneItem}));
    QCOMPARE(NetworkAddresses::isUsbCableItem(phoneItem), cable);
    // The URLs take the address only.
    QCOMPARE(NetworkAddresses::rtmpUrl(phoneItem, 1935),
             QStringLiteral("rtmp://192.168.42.129/@/@"));
    QCOMPARE(NetworkAddresses::srtUrl(phoneItem, 9000),
             QStringLiteral("srt://192.168.42.129:9000"));
}

void TestNetworkAddresses::driverReadFromSysfs()
{
    // A scratch /sys/class/net as the kernel lays it out: device/driver links into the bus.
    QTemporaryDir sys;
    QVERIFY(sys.isValid());
    const QString net = sys.filePath("class/net");
    const QString drivers = sys.filePath("bus/usb/drivers");
    for (const char *driver : {"rndis_host", "r8152"})
        QVERIFY(QDir().mkpath(drivers + '/' + driver));
    auto device = [&](const QString &name, const QString &driver) {
        const QString dir = net + '/' + name + "/device";
        QVERIFY(QDir().mkpath(dir));
        if (!driver.isEmpty())
            QVERIFY(QFile::link(drivers + '/' + driver, dir + "/driver"));
    };
    device("usb0", "rndis_host");
    device("enx00e04c680001", "r8152");
    device("enx0a1b2c3d4e5f", QString());  // a device without a driver bound
    QVERIFY(QDir().mkpath(net + "/tun0")); // virtual: no device at all
    // A plain folder where the link belongs is not a driver.
    QVERIFY(QDir().mkpath(net + "/eth5/device/driver"));

    QCOMPARE(NetworkAddresses::driverOf("usb0", net), QStringLiteral("rndis_host"));
    QCOMPARE(NetworkAddresses::driverOf("enx00e04c680001", net), QStringLiteral("r8152"));
    QCOMPARE(NetworkAddresses::driverOf("enx0a1b2c3d4e5f", net), QString());
    QCOMPARE(NetworkAddresses::driverOf("tun0", net), QString());
    QCOMPARE(NetworkAddresses::driverOf("eth5", net), QString());
    QCOMPARE(NetworkAddresses::driverOf("missing0", net), QString());
    // Only plain names are looked up.
    QCOMPARE(NetworkAddresses::driverOf("../net/usb0", net), QString());
    QCOMPARE(NetworkAddresses::driverOf("..", sys.filePath("class/net/usb0/device")), QString());
    QCOMPARE(NetworkAddresses::driverOf(QString(), net), QString());

    // What the driver says, the list follows: the adapter named after its MAC is no cable.
    Iface adapter = iface("enx00e04c680001", {"10.1.1.2"});
    adapter.driver = NetworkAddresses::driverOf(adapter.name, net);
    QVERIFY(!NetworkAddresses::isUsbTethering(adapter));
    Iface unbound = iface("enx0a1b2c3d4e5f", {"10.1.1.3"});
    unbound.driver = NetworkAddresses::driverOf(unbound.name, net);
    QVERIFY(NetworkAddresses::isUsbTethering(unbound));
}

void TestNetworkAddresses::initialItem_data()
{
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("chosen");

    const QString cable = QStringLiteral("192.168.42.129 usb0 (USB cable)");
    const QString otherCable = QStringLiteral("172.20.10.2 eth1 (USB cable)");
    const QString wifi = QStringLiteral("192.168.1.20 wlp2s0");
    const QString eth = QStringLiteral("10.0.0.5 eth0");
    QTest::newRow("no cable: the stored choice") << QStringList{wifi, eth} << eth << eth;
    QTest::newRow("cable beats a stored Wi-Fi") << QStringList{cable, wifi, eth} << wifi << cable;
    QTest::newRow("cable, nothing stored") << QStringList{cable, wifi} << "" << cable;
    // A phone's tethering network changes from one plug-in to the next.
    QTest::newRow("cable, an old cable address stored")
        << QStringList{cable, wifi} << "192.168.42.77 usb0 (USB cable)" << cable;
    QTest::newRow("two cables: the stored one")
        << QStringList{otherCable, cable, wifi} << cable << cable;
    QTest::newRow("two cables, Wi-Fi stored: the first")
        << QStringList{otherCable, cable, wifi} << wifi << otherCable;
}

void TestNetworkAddresses::initialItem()
{
    QFETCH(QStringList, items);
    QFETCH(QString, stored);
    QFETCH(QString, chosen);
    QCOMPARE(NetworkAddresses::initialItem(items, stored), chosen);
}

void TestNetworkAddresses::rtmpUrl_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("url");

    QTest::newRow("1935 has no port part")
        << "192.168.1.20 Wi-Fi" << 1935 << "rtmp://192.168.1.20/@/@";
    QTest::newRow("1936 after a colon")
        << "192.168.1.20 Wi-Fi" << 1936 << "rtmp://192.168.1.20:1936/@/@";
    QTest::newRow("shortened name") << "10.0.0.5 Ethern..." << 65000 << "rtmp://10.0.0.5:65000/@/@";
    QTest::newRow("empty list") << "" << 1935 << "rtmp:///@/@";
    QTest::newRow("empty list other port") << "" << 1000 << "rtmp://:1000/@/@";
    QTest::newRow("host only") << "10.0.0.5" << 1935 << "rtmp://10.0.0.5/@/@";
}

void TestNetworkAddresses::rtmpUrl()
{
    QFETCH(QString, item);
    QFETCH(int, port);
    QFETCH(QString, url);
    QCOMPARE(NetworkAddresses::rtmpUrl(item, port), url);
}

void TestNetworkAddresses::realInterfacesHaveNoLoopback()
{
    const QList<QNetworkInterface> usable = NetworkAddresses::usableInterfaces();
    for (const QNetworkInterface &i : usable) {
        QVERIFY2(!i.flags().testFlag(QNetworkInterface::IsLoopBack), qPrintable(i.name()));
        QVERIFY2(i.flags().testFlag(QNetworkInterface::IsUp), qPrintable(i.name()));
    }

    const QStringList items = NetworkAddresses::networkAddressItems();
    const QRegularExpression shape(QStringLiteral("^\\d+\\.\\d+\\.\\d+\\.\\d+ \\S"));
    for (const QString &item : items) {
        QVERIFY2(shape.match(item).hasMatch(), qPrintable(item));
        QVERIFY2(!item.startsWith(QLatin1String("127.")), qPrintable(item));
        QVERIFY2(!item.startsWith(QLatin1String("169.254.")), qPrintable(item));
        // Every item's address belongs to one of the usable interfaces.
        const QString address = item.section(QLatin1Char(' '), 0, 0);
        bool found = false;
        for (const QNetworkInterface &i : usable) {
            for (const QNetworkAddressEntry &e : i.addressEntries())
                found = found || e.ip().toString() == address;
        }
        QVERIFY2(found, qPrintable(item));
    }
    QVERIFY(!QNetworkInterface::allInterfaces().isEmpty());
}

QTEST_GUILESS_MAIN(TestNetworkAddresses)
#include "test_network_addresses.moc"
