// The QR window with SRT: the code can carry the SRT connection with its latency, passphrase
// and stream id (the stream key), decoded back by a real QR reader; the RTMP link stays exactly
// as it was, and without SRT there is nothing to choose.
#include "../qr/QrDecode.h"

#include "app/AppSettings.h"
#include "app/Application.h"
#include "ui/MainWindow.h"
#include "ui/ZoomQRW.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestSrtQr : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void srtBaseLinkFields_data();
    void srtBaseLinkFields();
    void srtConnectionInTheCode();
    void withoutSrtTheRtmpLinkIsUnchanged();
};

void TestSrtQr::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty())
        QFAIL("zbarimg (zbar-tools) is needed to decode the rendered codes");
}

void TestSrtQr::srtBaseLinkFields_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("latencyMs");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<QString>("link");
    QTest::newRow("plain") << "srt://192.168.1.20:9000" << 120 << QString()
                           << "larix://set/v1/?conn[][url]=srt%3A%2F%2F192.168.1.20%3A9000"
                              "&conn[][srtlatency]=120";
    // The passphrase's reserved characters encoded.
    QTest::newRow("passphrase")
        << "srt://10.0.0.2:9710" << 250 << "a&b=c d#10chars"
        << "larix://set/v1/?conn[][url]=srt%3A%2F%2F10.0.0.2%3A9710"
           "&conn[][srtlatency]=250&conn[][srtpass]=a%26b%3Dc%20d%2310chars";
    // The stream id leaves the address for Larix's own field.
    QTest::newRow("stream key") << "srt://192.168.1.20:9000?streamid=Ab3xYz" << 120 << QString()
                                << "larix://set/v1/?conn[][url]=srt%3A%2F%2F192.168.1.20%3A9000"
                                   "&conn[][srtlatency]=120&conn[][srtstreamid]=Ab3xYz";
    QTest::newRow("stream key and passphrase")
        << "srt://10.0.0.2:9710?streamid=Ab3xYz" << 250 << "studio passphrase"
        << "larix://set/v1/?conn[][url]=srt%3A%2F%2F10.0.0.2%3A9710&conn[][srtlatency]=250"
           "&conn[][srtpass]=studio%20passphrase&conn[][srtstreamid]=Ab3xYz";
    // The access-control form, encoded in the field and decoded from the address.
    QTest::newRow("access-control form")
        << "srt://10.0.0.2:9000?streamid=%23!::r=Ab3xYz,m=publish" << 120 << QString()
        << "larix://set/v1/?conn[][url]=srt%3A%2F%2F10.0.0.2%3A9000&conn[][srtlatency]=120"
           "&conn[][srtstreamid]=%23%21%3A%3Ar%3DAb3xYz%2Cm%3Dpublish";
    // Other options stay in the address.
    QTest::newRow("other option kept")
        << "srt://10.0.0.2:9000?latency=200000&streamid=Ab3xYz" << 200 << QString()
        << "larix://set/v1/?conn[][url]=srt%3A%2F%2F10.0.0.2%3A9000%3Flatency%3D200000"
           "&conn[][srtlatency]=200&conn[][srtstreamid]=Ab3xYz";
}

void TestSrtQr::srtBaseLinkFields()
{
    QFETCH(QString, url);
    QFETCH(int, latencyMs);
    QFETCH(QString, passphrase);
    QFETCH(QString, link);
    QCOMPARE(ZoomQRW::srtBaseLink(url, latencyMs, passphrase), link);
}

void TestSrtQr::srtConnectionInTheCode()
{
    auto store = AppSettings::openStore();
    store->clear();
    store->setValue(QString::fromLatin1(AppSettings::kCam), QStringLiteral("iPhone"));
    store->setValue(QString::fromLatin1(AppSettings::kSrtPort), 9710);
    store->setValue(QString::fromLatin1(AppSettings::kSrtLatencyMs), 200);
    store->setValue(QString::fromLatin1(AppSettings::kSrtPassphrase),
                    QStringLiteral("studio passphrase"));
    store->sync();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Application app;
    MainWindow &w = app.window();
    w.show();
    w.findChild<QPushButton *>(QStringLiteral("cmdQR"))->click();
    ZoomQRW *qr = app.zoomQR();
    auto *srt = qr->findChild<QCheckBox *>(QStringLiteral("chkSrt"));
    QVERIFY(srt && srt->isVisible());
    const QString rtmpLink = qr->currentLink();
    QVERIFY(rtmpLink.startsWith(ZoomQRW::baseLink(app.rtmpUrl()) + QLatin1Char('&')));

    srt->setChecked(true);
    QVERIFY(qr->srtChosen());
    const QString link = qr->currentLink();
    QVERIFY(link.startsWith(
        ZoomQRW::srtBaseLink(app.srtUrl(), 200, QStringLiteral("studio passphrase")) +
        QLatin1Char('&')));
    QVERIFY(link.endsWith(QStringLiteral("&conn[][name]=Quorvix")));
    // No key asked for: no stream id.
    QVERIFY(!link.contains(QStringLiteral("srtstreamid")));
    const auto *preview = qr->findChild<QLabel *>(QStringLiteral("lblPreview"));
    QCOMPARE(decodeQr(preview->pixmap(Qt::ReturnByValue).toImage(), dir.filePath("srt.png")), link);

    // Back to RTMP: the same link as before, byte for byte.
    srt->setChecked(false);
    QCOMPARE(qr->currentLink(), rtmpLink);
    qr->close();
}

void TestSrtQr::withoutSrtTheRtmpLinkIsUnchanged()
{
    auto store = AppSettings::openStore();
    store->clear();
    store->setValue(QString::fromLatin1(AppSettings::kCam), QStringLiteral("iPhone"));
    store->setValue(QString::fromLatin1(AppSettings::kSrt), false);
    store->sync();
    Application app;
    MainWindow &w = app.window();
    w.show();
    w.findChild<QPushButton *>(QStringLiteral("cmdQR"))->click();
    ZoomQRW *qr = app.zoomQR();
    QVERIFY(!qr->findChild<QCheckBox *>(QStringLiteral("chkSrt"))->isVisible());
    QVERIFY(!qr->srtChosen());
    QCOMPARE(qr->currentLink(),
             ZoomQRW::fullLink(ZoomQRW::baseLink(app.rtmpUrl()), QStringLiteral("HD@25"), 2000,
                               QStringLiteral("2s")));
    qr->close();
}

QTEST_MAIN(TestSrtQr)
#include "tst_srt_qr.moc"
