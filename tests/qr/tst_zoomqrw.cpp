#include "QrDecode.h"
#include "ui/ZoomQRW.h"

#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>

#include <QtTest>

#include <qrcodegen/qrcodegen.hpp>

#include <algorithm>
#include <memory>

namespace {
const QString kExampleLink = QStringLiteral(
    "larix://set/v1/?conn[][url]=rtmp%3A%2F%2F192.168.1.20%2F%40%2F%40&enc[vid][bitrate]=2000"
    "&enc[vid][res]=1280x720&enc[vid][fps]=25&enc[vid][keyframe]=2&conn[][name]=Quorvix");
const QString kExamplePublishUrl = QStringLiteral("rtmp://192.168.1.20/@/@");
} // namespace

class ZoomQRWTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void defaultChoicesGiveTheExampleLink();
    void publishUrlIsPercentEncoded();
    void storedChoicesReachTheLink_data();
    void storedChoicesReachTheLink();
    void unknownStoredTextKeepsSelection();
    void codeDecodesToTheLink_data();
    void codeDecodesToTheLink();
    void renderKeepsQuietZoneAndSquare();
    void textTooLongGivesWhiteImage();
    void loadingNeverRenders();
    void eachChoiceReRendersAtOnce();
    void closingStoresChoices_data();
    void closingStoresChoices();
    void otherKeysKeepWindowOpen();
    void previewIsCentredSquare_data();
    void previewIsCentredSquare();
    void constructedWindow();

private:
    QComboBox *framesFps() { return m_window->findChild<QComboBox *>("cbFramesFps"); }
    QSpinBox *bitrate() { return m_window->findChild<QSpinBox *>("sbBitrate"); }
    QComboBox *keyframes() { return m_window->findChild<QComboBox *>("cbKeyframes"); }
    QLabel *preview() { return m_window->findChild<QLabel *>("lblPreview"); }
    QPushButton *closeButton() { return m_window->findChild<QPushButton *>("cmdClose"); }
    // What the main window does on cmdQR.
    void open(const QString &publishUrl = kExamplePublishUrl)
    {
        m_window->loadSettings();
        m_window->showQRForUrl(ZoomQRW::baseLink(publishUrl));
    }
    QString decode(const QImage &image);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QSettings> m_settings;
    std::unique_ptr<ZoomQRW> m_window;
};

void ZoomQRWTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    if (QStandardPaths::findExecutable("zbarimg").isEmpty())
        QFAIL("zbarimg (zbar-tools) is needed to decode the rendered codes");
}

void ZoomQRWTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_settings = std::make_unique<QSettings>(m_dir->filePath("Quorvix.conf"), QSettings::IniFormat);
    m_window = std::make_unique<ZoomQRW>();
    m_window->setSettings(m_settings.get());
}

void ZoomQRWTest::cleanup()
{
    m_window.reset();
    m_settings.reset();
    m_dir.reset();
}

QString ZoomQRWTest::decode(const QImage &image)
{
    return decodeQr(image, m_dir->filePath("qr.png"));
}

void ZoomQRWTest::defaultChoicesGiveTheExampleLink()
{
    open();
    QCOMPARE(m_window->currentLink(), kExampleLink);
    QVERIFY(m_window->isVisible());
}

void ZoomQRWTest::publishUrlIsPercentEncoded()
{
    QCOMPARE(
        ZoomQRW::baseLink("rtmp://192.168.1.20:1936/@/@"),
        QStringLiteral("larix://set/v1/?conn[][url]=rtmp%3A%2F%2F192.168.1.20%3A1936%2F%40%2F%40"));
    // Unreserved characters stay; everything else, including non-ASCII UTF-8, is escaped.
    QCOMPARE(ZoomQRW::baseLink("a-b.c_d~e f&g=h?é"),
             QStringLiteral("larix://set/v1/?conn[][url]=a-b.c_d~e%20f%26g%3Dh%3F%C3%A9"));
    open("rtmp://10.0.0.7:1936/@/@");
    QVERIFY(m_window->currentLink().startsWith(
        "larix://set/v1/?conn[][url]=rtmp%3A%2F%2F10.0.0.7%3A1936%2F%40%2F%40&enc[vid][bitrate]="));
}

void ZoomQRWTest::storedChoicesReachTheLink_data()
{
    QTest::addColumn<QVariant>("framesFps");
    QTest::addColumn<QVariant>("storedBitrate");
    QTest::addColumn<QVariant>("keyframesText");
    QTest::addColumn<int>("shownBitrate");
    QTest::addColumn<QString>("fields");
    QTest::newRow("FullHD@30 3500 4s")
        << QVariant("FullHD@30") << QVariant(3500) << QVariant("4s") << 3500
        << "&enc[vid][bitrate]=3500&enc[vid][res]=1920x1080&enc[vid][fps]=30&enc[vid][keyframe]=4";
    QTest::newRow("FullHD@25 1s")
        << QVariant("FullHD@25") << QVariant(500) << QVariant("1s") << 500
        << "&enc[vid][bitrate]=500&enc[vid][res]=1920x1080&enc[vid][fps]=25&enc[vid][keyframe]=1";
    QTest::newRow("HD@30")
        << QVariant("HD@30") << QVariant(2500) << QVariant("2s") << 2500
        << "&enc[vid][bitrate]=2500&enc[vid][res]=1280x720&enc[vid][fps]=30&enc[vid][keyframe]=2";
    QTest::newRow("bitrate above range")
        << QVariant("HD@25") << QVariant(20000) << QVariant("2s") << 10000
        << "&enc[vid][bitrate]=10000&enc[vid][res]=1280x720&enc[vid][fps]=25&enc[vid][keyframe]=2";
    QTest::newRow("bitrate below range")
        << QVariant("HD@25") << QVariant(100) << QVariant("2s") << 500
        << "&enc[vid][bitrate]=500&enc[vid][res]=1280x720&enc[vid][fps]=25&enc[vid][keyframe]=2";
    // An unreadable number reads as 0, which the spin box lifts to its minimum.
    QTest::newRow("bitrate not a number")
        << QVariant("HD@25") << QVariant("fast") << QVariant("2s") << 500
        << "&enc[vid][bitrate]=500&enc[vid][res]=1280x720&enc[vid][fps]=25&enc[vid][keyframe]=2";
}

void ZoomQRWTest::storedChoicesReachTheLink()
{
    QFETCH(QVariant, framesFps);
    QFETCH(QVariant, storedBitrate);
    QFETCH(QVariant, keyframesText);
    QFETCH(int, shownBitrate);
    QFETCH(QString, fields);
    m_settings->setValue("FRAMES_FPS", framesFps);
    m_settings->setValue("BITRATE", storedBitrate);
    m_settings->setValue("KEYFRAMES", keyframesText);
    open();
    QCOMPARE(bitrate()->value(), shownBitrate);
    QCOMPARE(m_window->currentLink(),
             ZoomQRW::baseLink(kExamplePublishUrl) + fields + "&conn[][name]=Quorvix");
}

void ZoomQRWTest::unknownStoredTextKeepsSelection()
{
    m_settings->setValue("FRAMES_FPS", "FullHD@30");
    m_settings->setValue("KEYFRAMES", "4s");
    open();
    m_window->close();

    m_settings->setValue("FRAMES_FPS", "4K@60");
    m_settings->setValue("KEYFRAMES", "8s");
    open();
    QCOMPARE(framesFps()->currentText(), QStringLiteral("FullHD@30"));
    QCOMPARE(keyframes()->currentText(), QStringLiteral("4s"));
    QVERIFY(m_window->currentLink().contains("&enc[vid][res]=1920x1080&enc[vid][fps]=30"
                                             "&enc[vid][keyframe]=4"));
}

void ZoomQRWTest::codeDecodesToTheLink_data()
{
    QTest::addColumn<QString>("framesFps");
    QTest::addColumn<int>("bitrateKbps");
    QTest::addColumn<QString>("keyframesText");
    QTest::addColumn<QString>("publishUrl");
    QTest::newRow("default") << "HD@25" << 2000 << "2s" << kExamplePublishUrl;
    // The longest link the choices make: widest address, a port, five-digit bitrate.
    QTest::newRow("longest") << "FullHD@30" << 10000 << "4s"
                             << "rtmp://255.255.255.255:65000/@/@";
}

void ZoomQRWTest::codeDecodesToTheLink()
{
    QFETCH(QString, framesFps);
    QFETCH(int, bitrateKbps);
    QFETCH(QString, keyframesText);
    QFETCH(QString, publishUrl);
    m_settings->setValue("FRAMES_FPS", framesFps);
    m_settings->setValue("BITRATE", bitrateKbps);
    m_settings->setValue("KEYFRAMES", keyframesText);
    open(publishUrl);

    const QPixmap shown = preview()->pixmap(Qt::ReturnByValue);
    QVERIFY(!shown.isNull());
    QCOMPARE(shown.size(), QSize(500, 500));
    QVERIFY(preview()->hasScaledContents());
    const QString link = m_window->currentLink();
    QVERIFY(link.startsWith(ZoomQRW::baseLink(publishUrl)));
    QCOMPARE(decode(shown.toImage()), link);
}

void ZoomQRWTest::renderKeepsQuietZoneAndSquare()
{
    const qrcodegen::QrCode code = qrcodegen::QrCode::encodeText(kExampleLink.toUtf8().constData(),
                                                                 qrcodegen::QrCode::Ecc::HIGH);
    QCOMPARE(code.getErrorCorrectionLevel(), qrcodegen::QrCode::Ecc::HIGH);
    const int n = code.getSize();

    // Wide images too: the shorter side decides the module edge, the symbol stays square.
    for (const QSize size : {QSize(500, 500), QSize(800, 500), QSize(300, 640)}) {
        const QImage image = ZoomQRW::renderQR(size, kExampleLink);
        QCOMPARE(image.size(), size);
        QCOMPARE(image.format(), QImage::Format_RGB32);
        const double edge = std::min(size.width(), size.height()) / double(n + 2);
        // Every module's centre has the module's colour.
        for (int y = 0; y < n; ++y) {
            for (int x = 0; x < n; ++x) {
                const QRgb pixel = image.pixel(int((x + 1.5) * edge), int((y + 1.5) * edge));
                QCOMPARE(pixel, code.getModule(x, y) ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
            }
        }
        // One module of white all round, and nothing drawn past the symbol.
        const int quiet = int(edge) - 1;
        const int far = int((n + 1) * edge) + 1;
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                if (x < quiet || y < quiet || x > far || y > far)
                    QCOMPARE(image.pixel(x, y), qRgb(255, 255, 255));
            }
        }
    }
    QCOMPARE(decode(ZoomQRW::renderQR(QSize(800, 500), kExampleLink)), kExampleLink);
}

void ZoomQRWTest::textTooLongGivesWhiteImage()
{
    // Beyond what a level-HIGH symbol holds; must not throw out of the window.
    const QString tooLong(4000, QLatin1Char('x'));
    const QImage image = ZoomQRW::renderQR(QSize(200, 200), tooLong);
    QCOMPARE(image.size(), QSize(200, 200));
    QImage white(200, 200, QImage::Format_RGB32);
    white.fill(Qt::white);
    QCOMPARE(image, white);
    // The largest text that still fits does render.
    const QImage fits = ZoomQRW::renderQR(QSize(200, 200), QString(1273, QLatin1Char('\x7f')));
    QVERIFY(fits != white);
}

void ZoomQRWTest::loadingNeverRenders()
{
    m_settings->setValue("FRAMES_FPS", "FullHD@30");
    m_settings->setValue("BITRATE", 3500);
    m_settings->setValue("KEYFRAMES", "4s");
    m_window->loadSettings();
    QCOMPARE(m_window->renderCount(), 0);
    QVERIFY(!m_window->isVisible());
    m_window->showQRForUrl(ZoomQRW::baseLink(kExamplePublishUrl));
    QCOMPARE(m_window->renderCount(), 1);

    // Loading new values into an open window, with every widget changing, renders nothing
    // either; the next show renders once.
    m_settings->setValue("FRAMES_FPS", "HD@25");
    m_settings->setValue("BITRATE", 1000);
    m_settings->setValue("KEYFRAMES", "1s");
    m_window->loadSettings();
    QCOMPARE(m_window->renderCount(), 1);
    QCOMPARE(bitrate()->value(), 1000);
    m_window->showQRForUrl(ZoomQRW::baseLink(kExamplePublishUrl));
    QCOMPARE(m_window->renderCount(), 2);
    QVERIFY(m_window->currentLink().contains("bitrate]=1000&enc[vid][res]=1280x720"));
}

void ZoomQRWTest::eachChoiceReRendersAtOnce()
{
    open();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    int renders = m_window->renderCount();

    bitrate()->setFocus();
    QTest::keyClick(bitrate(), Qt::Key_Up);
    QCOMPARE(bitrate()->value(), 2500);
    QCOMPARE(m_window->renderCount(), ++renders);
    QVERIFY(m_window->currentLink().contains("&enc[vid][bitrate]=2500&"));
    QCOMPARE(decode(preview()->pixmap(Qt::ReturnByValue).toImage()), m_window->currentLink());

    framesFps()->setCurrentIndex(3);
    QCOMPARE(m_window->renderCount(), ++renders);
    QVERIFY(m_window->currentLink().contains("&enc[vid][res]=1920x1080&enc[vid][fps]=30&"));

    keyframes()->setCurrentIndex(0);
    QCOMPARE(m_window->renderCount(), ++renders);
    QVERIFY(m_window->currentLink().contains("&enc[vid][keyframe]=1&"));
    // The base link given by the main window is kept through re-renders.
    QVERIFY(m_window->currentLink().startsWith(ZoomQRW::baseLink(kExamplePublishUrl) + "&"));

    // Nothing reached the store while the window is open.
    QVERIFY(!m_settings->contains("BITRATE"));
    QVERIFY(!m_settings->contains("FRAMES_FPS"));
    QVERIFY(!m_settings->contains("KEYFRAMES"));
}

void ZoomQRWTest::closingStoresChoices_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Escape") << "escape";
    QTest::newRow("Close button") << "button";
    QTest::newRow("window close") << "close";
}

void ZoomQRWTest::closingStoresChoices()
{
    QFETCH(QString, how);
    open();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QTest::keyClick(bitrate(), Qt::Key_Up);
    framesFps()->setCurrentText("HD@30");
    keyframes()->setCurrentText("4s");
    QVERIFY(!m_settings->contains("BITRATE"));

    if (how == "escape") {
        // Escape while a choice has focus reaches the window.
        bitrate()->setFocus();
        QTest::keyClick(bitrate(), Qt::Key_Escape);
    } else if (how == "button") {
        QTest::mouseClick(closeButton(), Qt::LeftButton);
    } else {
        QVERIFY(m_window->close());
    }
    QVERIFY(!m_window->isVisible());
    QCOMPARE(m_settings->value("BITRATE").toInt(), 2500);
    QCOMPARE(m_settings->value("FRAMES_FPS").toString(), QStringLiteral("HD@30"));
    QCOMPARE(m_settings->value("KEYFRAMES").toString(), QStringLiteral("4s"));

    // Written through to the file, and read back by the next opening.
    QSettings reread(m_dir->filePath("Quorvix.conf"), QSettings::IniFormat);
    QCOMPARE(reread.value("BITRATE").toInt(), 2500);
    m_window->loadSettings();
    m_window->showQRForUrl(ZoomQRW::baseLink(kExamplePublishUrl));
    QVERIFY(m_window->currentLink().contains(
        "&enc[vid][bitrate]=2500&enc[vid][res]=1280x720&enc[vid][fps]=30&enc[vid][keyframe]=4&"));
}

void ZoomQRWTest::otherKeysKeepWindowOpen()
{
    open();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    bitrate()->stepUp();
    for (const Qt::Key key : {Qt::Key_A, Qt::Key_Return, Qt::Key_Space, Qt::Key_Q}) {
        QTest::keyClick(m_window.get(), key);
        QVERIFY(m_window->isVisible());
    }
    QVERIFY(!m_settings->contains("BITRATE"));
}

void ZoomQRWTest::previewIsCentredSquare_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("600x400") << QSize(600, 400);
    QTest::newRow("tall 520x900") << QSize(520, 900);
}

void ZoomQRWTest::previewIsCentredSquare()
{
    QFETCH(QSize, size);
    open();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_window->resize(size);
    QTRY_COMPARE(m_window->size(), size);

    // A square, centred, under the description (never over its text), above the row of
    // choices, and as large as that room allows.
    const auto checkSquare = [&]() {
        const QRect square = preview()->geometry();
        const QRect desc = m_window->findChild<QLabel *>("lblDesc")->geometry();
        const QRect close = closeButton()->geometry();
        QCOMPARE(square.width(), square.height());
        QVERIFY2(qAbs(square.center().x() - (size.width() - 1) / 2) <= 1,
                 qPrintable(QString::number(square.x())));
        QVERIFY(square.top() > desc.bottom());
        QVERIFY(square.bottom() < close.top());
        QVERIFY(square.width() == size.width() || square.bottom() >= close.top() - 30);
    };
    QTRY_VERIFY(preview()->geometry().top() >
                m_window->findChild<QLabel *>("lblDesc")->geometry().bottom());
    checkSquare();

    // A re-render makes the layout run again; the square must stay.
    const QRect before = preview()->geometry();
    QTest::keyClick(bitrate(), Qt::Key_Up);
    QCoreApplication::processEvents();
    QCOMPARE(preview()->geometry(), before);
    checkSquare();
}

void ZoomQRWTest::constructedWindow()
{
    QCOMPARE(m_window->objectName(), QStringLiteral("ZoomQRW"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Scan this QR by iPhone"));
    QVERIFY(m_window->windowFlags() & Qt::WindowStaysOnTopHint);
    QVERIFY(m_window->testAttribute(Qt::WA_StyledBackground));
    QCOMPARE(m_window->findChild<QLabel *>("lblDesc")->text(),
             QStringLiteral("this QR code for LarixBroadcaster (free iOS app)"));
    QCOMPARE(framesFps()->count(), 4);
    QCOMPARE(framesFps()->itemText(3), QStringLiteral("FullHD@30"));
    QCOMPARE(keyframes()->currentText(), QStringLiteral("2s"));
    QCOMPARE(bitrate()->minimum(), 500);
    QCOMPARE(bitrate()->maximum(), 10000);
    QCOMPARE(bitrate()->singleStep(), 500);
    QVERIFY(!m_window->isVisible());
    QCOMPARE(m_window->renderCount(), 0);
    QVERIFY(m_window->currentLink().isEmpty());
}

QTEST_MAIN(ZoomQRWTest)
#include "tst_zoomqrw.moc"
