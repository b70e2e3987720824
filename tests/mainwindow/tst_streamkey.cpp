// The stream key in the control window: made when the option is first turned on (or found on
// in the store without a key), replaced by "New key", kept across restarts, carried by the
// publish URL, the SRT address and both QR links (decoded from the code on screen), gone from
// all of them when the option is off; refused cameras in the status bar.
#include "../qr/QrDecode.h"
#include "WindowTestUtil.h"
#include "ui/StatusNotices.h"

#include "ingest/StreamKey.h"
#include "ui/ZoomQRW.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

using namespace windowtest;

namespace {

QString decode(const QPixmap &pixmap)
{
    QTemporaryDir dir;
    return decodeQr(pixmap.toImage(), dir.filePath(QStringLiteral("qr.png")));
}

// The code on screen after pressing the QR button.
QString shownLink(Application &app)
{
    child<QPushButton>(app.window(), "cmdQR")->click();
    ZoomQRW *qr = app.zoomQR();
    const QString decoded =
        decode(qr->findChild<QLabel *>(QStringLiteral("lblPreview"))->pixmap(Qt::ReturnByValue));
    if (decoded != qr->currentLink())
        return QStringLiteral("<code %1 differs from link %2>").arg(decoded, qr->currentLink());
    qr->close();
    return decoded;
}

// The code on screen with the SRT connection chosen in the QR window.
QString shownSrtLink(Application &app)
{
    child<QPushButton>(app.window(), "cmdQR")->click();
    ZoomQRW *qr = app.zoomQR();
    auto *srt = qr->findChild<QCheckBox *>(QStringLiteral("chkSrt"));
    if (!srt || !srt->isVisible())
        return QStringLiteral("<no SRT choice>");
    srt->setChecked(true);
    const QString decoded =
        decode(qr->findChild<QLabel *>(QStringLiteral("lblPreview"))->pixmap(Qt::ReturnByValue));
    const QString link = qr->currentLink();
    srt->setChecked(false);
    qr->close();
    if (decoded != link)
        return QStringLiteral("<code %1 differs from link %2>").arg(decoded, link);
    return decoded;
}

// What Larix is given for the SRT connection: the plain address, the latency, then the key in
// its own stream id field.
QString srtLinkHead(const QString &plainSrtUrl, const QString &key)
{
    QString head = QStringLiteral("larix://set/v1/?conn[][url]=") +
                   QString::fromLatin1(QUrl::toPercentEncoding(plainSrtUrl)) +
                   QStringLiteral("&conn[][srtlatency]=120");
    if (!key.isEmpty())
        head += QStringLiteral("&conn[][srtstreamid]=") + key;
    return head + QLatin1Char('&');
}

const QString kLinkTail = QStringLiteral("&enc[vid][bitrate]=2000&enc[vid][res]=1280x720"
                                         "&enc[vid][fps]=25&enc[vid][keyframe]=2&conn[][name]="
                                         "Quorvix");

} // namespace

class StreamKeyWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keyIsMadeKeptAndCarriedByUrlAndCode();
    void storeThatRequiresWithoutKeyGetsOne_data();
    void storeThatRequiresWithoutKeyGetsOne();
    void refusedCamerasAreCountedUntilOneIsServed();
};

void StreamKeyWindowTest::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty())
        QFAIL("zbarimg (zbar-tools) is needed to decode the rendered codes");
    clearStore();
    store(AppSettings::kCam, QStringLiteral("iPhone"));
}

void StreamKeyWindowTest::keyIsMadeKeptAndCarriedByUrlAndCode()
{
    QString key;
    {
        Application app;
        MainWindow &w = app.window();
        w.show();
        const QString plainUrl = app.rtmpUrl();
        QVERIFY(plainUrl.endsWith(QStringLiteral("/@/@")));
        const QString plainLink = shownLink(app);
        QCOMPARE(plainLink, ZoomQRW::baseLink(plainUrl) + kLinkTail);
        auto *srt = child<QLabel>(w, "lblSRT");
        const QString plainSrt = srt->text();
        QVERIFY(plainSrt.startsWith(QStringLiteral("srt://")));
        QVERIFY(!plainSrt.contains(QLatin1Char('?')));
        QVERIFY(shownSrtLink(app).startsWith(srtLinkHead(plainSrt, QString())));

        // First time on: a key is made.
        QVERIFY(driveSettingsDialog([&] { child<QPushButton>(w, "cmdSettings")->click(); },
                                    [&](GlobalSettings *d) {
                                        QVERIFY(
                                            child<QLineEdit>(*d, "txtStreamKey")->text().isEmpty());
                                        child<QCheckBox>(*d, "chkStreamKey")->click();
                                        key = d->streamKey();
                                        d->accept();
                                    }));
        QCOMPARE(key.size(), StreamKey::kLength);
        QCOMPARE(app.rtmpUrl(), plainUrl.chopped(1) + key);
        QCOMPARE(child<QLabel>(w, "lblRTMP")->text(), app.rtmpUrl());
        QVERIFY(child<QLabel>(w, "lblRTMP")->toolTip().contains(key));
        QCOMPARE(app.requiredStreamKey(), key.toLatin1());
        QCOMPARE(shownLink(app), ZoomQRW::baseLink(app.rtmpUrl()) + kLinkTail);
        QVERIFY(app.zoomQR()->currentLink().contains(QStringLiteral("%40%2F") + key + "&"));
        // SRT callers name it as their stream id.
        QCOMPARE(srt->text(), plainSrt + QStringLiteral("?streamid=") + key);
        QVERIFY(srt->toolTip().contains(key));
        const QString srtLink = shownSrtLink(app);
        QVERIFY2(srtLink.startsWith(srtLinkHead(plainSrt, key)), qPrintable(srtLink));
        QCOMPARE(srtLink.count(key), 1);
        QVERIFY(w.close());
    }
    QCOMPARE(stored(AppSettings::kStreamKey).toString(), key);
    QCOMPARE(stored(AppSettings::kRequireStreamKey).toBool(), true);

    // A restart keeps it; "New key" replaces it; off brings back the plain URL and code,
    // byte for byte, while the key stays stored for the next time.
    Application app;
    MainWindow &w = app.window();
    w.show();
    QVERIFY(app.rtmpUrl().endsWith(QStringLiteral("/@/") + key));
    QString newKey;
    QVERIFY(driveSettingsDialog([&] { child<QPushButton>(w, "cmdSettings")->click(); },
                                [&](GlobalSettings *d) {
                                    QCOMPARE(d->streamKey(), key);
                                    child<QPushButton>(*d, "cmdNewKey")->click();
                                    newKey = d->streamKey();
                                    d->accept();
                                }));
    QVERIFY(newKey != key);
    QVERIFY(app.rtmpUrl().endsWith(QStringLiteral("/@/") + newKey));
    QCOMPARE(stored(AppSettings::kStreamKey).toString(), newKey);

    QVERIFY(driveSettingsDialog([&] { child<QPushButton>(w, "cmdSettings")->click(); },
                                [&](GlobalSettings *d) {
                                    child<QCheckBox>(*d, "chkStreamKey")->click();
                                    QCOMPARE(d->streamKey(), newKey);
                                    d->accept();
                                }));
    QVERIFY(app.rtmpUrl().endsWith(QStringLiteral("/@/@")));
    QVERIFY(app.requiredStreamKey().isEmpty());
    QCOMPARE(shownLink(app), ZoomQRW::baseLink(app.rtmpUrl()) + kLinkTail);
    auto *srt = child<QLabel>(w, "lblSRT");
    QVERIFY(srt->text().startsWith(QStringLiteral("srt://")));
    QVERIFY(!srt->text().contains(QLatin1Char('?')));
    QVERIFY(!srt->toolTip().contains(newKey));
    const QString srtLink = shownSrtLink(app);
    QVERIFY2(srtLink.startsWith(srtLinkHead(srt->text(), QString())), qPrintable(srtLink));
    QVERIFY(!srtLink.contains(QStringLiteral("srtstreamid")));
    QCOMPARE(stored(AppSettings::kStreamKey).toString(), newKey);
    QVERIFY(w.close());
}

void StreamKeyWindowTest::storeThatRequiresWithoutKeyGetsOne_data()
{
    QTest::addColumn<bool>("required");
    QTest::addColumn<QVariant>("storedKey"); // invalid: no STREAM_KEY entry at all
    QTest::addColumn<bool>("keyMade");
    QTest::newRow("required, no key entry") << true << QVariant() << true;
    QTest::newRow("required, empty key") << true << QVariant(QString()) << true;
    QTest::newRow("not required, empty key") << false << QVariant(QString()) << false;
}

void StreamKeyWindowTest::storeThatRequiresWithoutKeyGetsOne()
{
    QFETCH(bool, required);
    QFETCH(QVariant, storedKey);
    QFETCH(bool, keyMade);
    // The store as a hand edit leaves it.
    clearStore();
    store(AppSettings::kCam, QStringLiteral("iPhone"));
    store(AppSettings::kRequireStreamKey, required);
    if (storedKey.isValid())
        store(AppSettings::kStreamKey, storedKey);

    QString key;
    {
        Application app;
        MainWindow &w = app.window();
        w.show();
        key = stored(AppSettings::kStreamKey).toString();
        if (!keyMade) {
            QVERIFY(key.isEmpty());
            QVERIFY(app.rtmpUrl().endsWith(QStringLiteral("/@/@")));
            QVERIFY(!child<QLabel>(w, "lblSRT")->text().contains(QLatin1Char('?')));
            QVERIFY(w.close());
            return;
        }
        QCOMPARE(key.size(), StreamKey::kLength);
        QCOMPARE(app.requiredStreamKey(), key.toLatin1());
        QVERIFY(child<QLabel>(w, "lblRTMP")->text().endsWith(QStringLiteral("/@/") + key));
        QVERIFY(child<QLabel>(w, "lblSRT")->text().endsWith(QStringLiteral("?streamid=") + key));
        QVERIFY(shownLink(app).contains(QStringLiteral("%40%2F") + key + "&"));
        // The settings dialog opens with it, the option on.
        QVERIFY(driveSettingsDialog([&] { child<QPushButton>(w, "cmdSettings")->click(); },
                                    [&](GlobalSettings *d) {
                                        QVERIFY(d->requireStreamKey());
                                        QCOMPARE(d->streamKey(), key);
                                        d->reject();
                                    }));
        QVERIFY(w.close());
    }
    // Made once: the next start keeps it.
    Application againApp;
    QCOMPARE(againApp.requiredStreamKey(), key.toLatin1());
    QCOMPARE(stored(AppSettings::kStreamKey).toString(), key);
}

void StreamKeyWindowTest::refusedCamerasAreCountedUntilOneIsServed()
{
    Application app;
    MainWindow &w = app.window();
    w.show();
    const QString before = app.webcamNotice(); // "No virtual cam": no device in the tests
    QVERIFY(!before.contains(QStringLiteral("refused")));
    app.notices().publisherRefused(QStringLiteral("192.168.1.66"));
    QCOMPARE(app.webcamNotice(), before + QStringLiteral(" · 1 camera refused: wrong stream key"));
    app.notices().publisherRefused(QStringLiteral("192.168.1.67"));
    QVERIFY(app.webcamNotice().endsWith(QStringLiteral("2 cameras refused: wrong stream key")));
    QVERIFY(w.statusBar()->toolTip().contains(QStringLiteral("192.168.1.67")));
    app.notices().publisherAccepted();
    QCOMPARE(app.webcamNotice(), before);
    QVERIFY(w.close());
}

QTEST_MAIN(StreamKeyWindowTest)
#include "tst_streamkey.moc"
