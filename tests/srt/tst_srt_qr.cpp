// The QR window with SRT: the code can carry the SRT connection with its latency and
// passphrase, decoded back by a real QR reader; the RTMP link stays exactly as it was, and
// without SRT there is nothing to choose.
#include "../qr/QrDecode.h"

#include "app/AppSettings.h"
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
    void srtConnectionInTheCode();
    void withoutSrtTheRtmpLinkIsUnchanged();
};

void TestSrtQr::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty())
        QFAIL("zbarimg (zbar-tools) is needed to decode the rendered codes");
}

void TestSrtQr::srtConnectionInTheCode()
{
    // The link's fields, with the passphrase's reserved characters encoded.
    QCOMPARE(ZoomQRW::srtBaseLink(QStringLiteral("srt://192.168.1.20:9000"), 120, QString()),
             QStringLiteral("larix://set/v1/?conn[][url]=srt%3A%2F%2F192.168.1.20%3A9000"
                            "&conn[][srtlatency]=120"));
    QCOMPARE(ZoomQRW::srtBaseLink(QStringLiteral("srt://10.0.0.2:9710"), 250,
                                  QStringLiteral("a&b=c d#10chars")),
             QStringLiteral("larix://set/v1/?conn[][url]=srt%3A%2F%2F10.0.0.2%3A9710"
                            "&conn[][srtlatency]=250&conn[][srtpass]=a%26b%3Dc%20d%2310chars"));

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
    MainWindow w;
    w.show();
    w.findChild<QPushButton *>(QStringLiteral("cmdQR"))->click();
    ZoomQRW *qr = w.zoomQR();
    auto *srt = qr->findChild<QCheckBox *>(QStringLiteral("chkSrt"));
    QVERIFY(srt && srt->isVisible());
    const QString rtmpLink = qr->currentLink();
    QVERIFY(rtmpLink.startsWith(ZoomQRW::baseLink(w.rtmpUrl()) + QLatin1Char('&')));

    srt->setChecked(true);
    QVERIFY(qr->srtChosen());
    const QString link = qr->currentLink();
    QVERIFY(
        link.startsWith(ZoomQRW::srtBaseLink(w.srtUrl(), 200, QStringLiteral("studio passphrase")) +
                        QLatin1Char('&')));
    QVERIFY(link.endsWith(QStringLiteral("&conn[][name]=Quorvix")));
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
    MainWindow w;
    w.show();
    w.findChild<QPushButton *>(QStringLiteral("cmdQR"))->click();
    ZoomQRW *qr = w.zoomQR();
    QVERIFY(!qr->findChild<QCheckBox *>(QStringLiteral("chkSrt"))->isVisible());
    QVERIFY(!qr->srtChosen());
    QCOMPARE(qr->currentLink(),
             ZoomQRW::fullLink(ZoomQRW::baseLink(w.rtmpUrl()), QStringLiteral("HD@25"), 2000,
                               QStringLiteral("2s")));
    qr->close();
}

QTEST_MAIN(TestSrtQr)
#include "tst_srt_qr.moc"
