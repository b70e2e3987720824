// The no-signal card (image choice, private copy, drawing and YUV conversion) and the
// statistics texts, without a window.
#include "app/AppSettings.h"
#include "ui/StatsText.h"
#include "ui/StubCard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {

constexpr int kWhiteLumaMin = 225;

QString imagesFolder()
{
    return QFileInfo(StubCard::imageCopyPath(QStringLiteral("x"))).absolutePath();
}

QStringList folderEntries()
{
    return QDir(imagesFolder())
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QString writeImage(const QString &path, const QSize &size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    if (!image.save(path))
        return QString();
    return path;
}

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

// True when no byte of the buffer from `from` on was written (the buffer starts zeroed).
bool untouchedFrom(const StubCard &card, qint64 from)
{
    const unsigned char *b = card.buffer();
    for (qint64 i = from; i < StubCard::kBufferBytes; ++i)
        if (b[i] != 0)
            return false;
    return true;
}

} // namespace

class TestStubCard : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void pictureBytesFollowTheLayout();
    void defaultStoreGivesBuiltInCardWithTwoCentredLines();
    void userImageOfFullHdFillsHalfTheBuffer();
    void oddSizeKeepsWholeChromaPlanes();
    void oversizedImageIsScaledDownWithAspectKept();
    void undecodableImageFallsBackToBuiltIn();

    void choosingLeavesExactlyOneCopy();
    void choosingTheCopyItselfKeepsIt();
    void failedChoiceKeepsOldCopyAndKeys();
    void clearedChoiceKeepsOldCopyOnDisk();
    void startUpUsesCopyWhenChosenFileVanished();
    void startUpRefreshesCopyOfChangedChoice();
    void startUpWithNothingLeftResetsKeys();

    void statsTexts();
    void bitrateAcrossConnections();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QSettings> m_store;
};

void TestStubCard::init()
{
    QDir(imagesFolder()).removeRecursively();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<QSettings>(m_dir->filePath(QStringLiteral("store.ini")),
                                          QSettings::IniFormat);
}

void TestStubCard::pictureBytesFollowTheLayout()
{
    QCOMPARE(StubCard::pictureBytes(1280, 720), qint64(1382400));
    QCOMPARE(StubCard::pictureBytes(1920, 1080), qint64(3110400));
    // Odd sizes round the chroma planes up: 3x3 luma + 2 x (2x2) chroma.
    QCOMPARE(StubCard::pictureBytes(3, 3), qint64(17));
    QVERIFY(StubCard::pictureBytes(1920, 1080) * 2 == StubCard::kBufferBytes);
}

void TestStubCard::defaultStoreGivesBuiltInCardWithTwoCentredLines()
{
    StubCard card;
    card.compose(*m_store);
    QCOMPARE(card.width(), 1280);
    QCOMPARE(card.height(), 720);
    // Reading the defaults wrote nothing.
    QVERIFY(m_store->allKeys().isEmpty());
    QVERIFY(untouchedFrom(card, StubCard::pictureBytes(1280, 720)));

    // The text is what differs from the bare background: white, in the middle, two lines.
    QImage bare = StubCard::loadImage(QStringLiteral(":BKG"));
    QCOMPARE(bare.size(), QSize(1280, 720));
    const QImage &drawn = card.image();
    int changed = 0;
    int nonWhite = 0;
    QRect box;
    QVector<int> rowHits(drawn.height(), 0);
    for (int y = 0; y < drawn.height(); ++y) {
        for (int x = 0; x < drawn.width(); ++x) {
            if (drawn.pixel(x, y) == bare.pixel(x, y))
                continue;
            ++changed;
            ++rowHits[y];
            box = box.united(QRect(x, y, 1, 1));
            const QColor c = QColor::fromRgb(drawn.pixel(x, y));
            // Anti-aliased edges blend into the background; most changed pixels are white.
            if (c.red() < 250 || c.green() < 250 || c.blue() < 250)
                ++nonWhite;
        }
    }
    QVERIFY2(changed > 5000, qPrintable(QString::number(changed)));
    QVERIFY(nonWhite * 2 < changed);
    QVERIFY(qAbs(box.center().x() - 640) < 40);
    QVERIFY(qAbs(box.center().y() - 360) < 40);
    QVERIFY(box.left() > 100 && box.right() < 1180);

    // Two bands of text rows with empty rows between them.
    int bands = 0;
    bool inBand = false;
    for (int y = 0; y < drawn.height(); ++y) {
        const bool hit = rowHits[y] > 0;
        if (hit && !inBand)
            ++bands;
        inBand = hit;
    }
    QCOMPARE(bands, 2);

    // The buffer holds the converted picture: the centre of a text stroke is bright luma.
    const unsigned char *yPlane = card.buffer();
    int brightInText = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            if (drawn.pixel(x, y) == qRgb(255, 255, 255) && yPlane[y * 1280 + x] >= kWhiteLumaMin)
                ++brightInText;
    QVERIFY2(brightInText > changed / 3, qPrintable(QString::number(brightInText)));
}

void TestStubCard::userImageOfFullHdFillsHalfTheBuffer()
{
    const QString path = writeImage(m_dir->filePath(QStringLiteral("fullhd.png")),
                                    QSize(1920, 1080), QColor(0, 0, 255));
    QVERIFY(!path.isEmpty());
    QVERIFY(StubCard::storeChoice(*m_store, path));
    StubCard card;
    card.compose(*m_store);
    QCOMPARE(card.width(), 1920);
    QCOMPARE(card.height(), 1080);
    QVERIFY(untouchedFrom(card, 3110400));
    // Blue in BT.601 limited range: U high, V low; at a corner, away from the text.
    const unsigned char *u = card.buffer() + 1920 * 1080;
    const unsigned char *v = u + 960 * 540;
    QVERIFY2(u[0] > 220 && v[0] < 130, qPrintable(QStringLiteral("%1 %2").arg(u[0]).arg(v[0])));
}

void TestStubCard::oddSizeKeepsWholeChromaPlanes()
{
    StubCard card;
    QImage image(101, 75, QImage::Format_ARGB32);
    image.fill(QColor(0, 0, 255));
    card.renderStub(101, 75, image, QString());
    const qint64 luma = 101 * 75;
    const qint64 chroma = 51 * 38;
    QCOMPARE(StubCard::pictureBytes(101, 75), luma + 2 * chroma);
    const unsigned char *u = card.buffer() + luma;
    const unsigned char *v = u + chroma;
    // Every chroma sample, the last row included, is blue's; V starts right after all of U.
    for (qint64 i = 0; i < chroma; ++i) {
        QVERIFY2(u[i] > 180, qPrintable(QStringLiteral("U[%1]=%2").arg(i).arg(u[i])));
        QVERIFY2(v[i] < 150, qPrintable(QStringLiteral("V[%1]=%2").arg(i).arg(v[i])));
    }
    QVERIFY(untouchedFrom(card, luma + 2 * chroma));
}

void TestStubCard::oversizedImageIsScaledDownWithAspectKept()
{
    const QString uhd = writeImage(m_dir->filePath(QStringLiteral("uhd.png")), QSize(3840, 2160),
                                   QColor(255, 0, 0));
    QImage loaded = StubCard::loadImage(uhd);
    QCOMPARE(loaded.size(), QSize(1920, 1080));
    QCOMPARE(loaded.format(), QImage::Format_ARGB32);

    const QString tall = writeImage(m_dir->filePath(QStringLiteral("tall.png")), QSize(3000, 4000),
                                    QColor(255, 0, 0));
    QCOMPARE(StubCard::loadImage(tall).size(), QSize(810, 1080));

    // Large but within the buffer: kept as it is.
    const QString wide = writeImage(m_dir->filePath(QStringLiteral("wide.png")), QSize(2560, 1440),
                                    QColor(255, 0, 0));
    QCOMPARE(StubCard::loadImage(wide).size(), QSize(2560, 1440));

    QVERIFY(StubCard::storeChoice(*m_store, uhd));
    StubCard card;
    card.compose(*m_store);
    QCOMPARE(card.width(), 1920);
    QCOMPARE(card.height(), 1080);
    QVERIFY(untouchedFrom(card, StubCard::pictureBytes(1920, 1080)));
}

void TestStubCard::undecodableImageFallsBackToBuiltIn()
{
    const QString path = m_dir->filePath(QStringLiteral("broken.png"));
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("\x89PNG\r\n\x1a\n this is not a picture");
    }
    QVERIFY(StubCard::storeChoice(*m_store, path));
    StubCard card;
    card.compose(*m_store);
    QCOMPARE(card.width(), 1280);
    QCOMPARE(card.height(), 720);
    QVERIFY(!card.image().isNull());
    // Exactly the built-in card, as an empty store gives it.
    QSettings empty(m_dir->filePath(QStringLiteral("empty.ini")), QSettings::IniFormat);
    StubCard builtIn;
    builtIn.compose(empty);
    QVERIFY(std::memcmp(card.buffer(), builtIn.buffer(), 1382400) == 0);
}

void TestStubCard::choosingLeavesExactlyOneCopy()
{
    const QString a =
        writeImage(m_dir->filePath(QStringLiteral("first.png")), QSize(64, 48), Qt::red);
    const QString b =
        writeImage(m_dir->filePath(QStringLiteral("second.jpg")), QSize(64, 48), Qt::green);
    QVERIFY(StubCard::storeChoice(*m_store, a));
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("first.png")});
    QCOMPARE(m_store->value(QStringLiteral("DISPLAYED_COLORBAR_IMAGE")).toString(), a);
    QCOMPARE(m_store->value(QStringLiteral("LAST_TEMP_COLORBAR_IMAGE")).toString(),
             StubCard::imageCopyPath(a));

    QVERIFY(StubCard::storeChoice(*m_store, b));
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("second.jpg")});
    QCOMPARE(fileBytes(StubCard::imageCopyPath(b)), fileBytes(b));
    QCOMPARE(m_store->value(QStringLiteral("DISPLAYED_COLORBAR_IMAGE")).toString(), b);
}

void TestStubCard::choosingTheCopyItselfKeepsIt()
{
    const QString a =
        writeImage(m_dir->filePath(QStringLiteral("first.png")), QSize(64, 48), Qt::red);
    QVERIFY(StubCard::storeChoice(*m_store, a));
    const QString copy = StubCard::imageCopyPath(a);
    const QByteArray before = fileBytes(copy);
    QVERIFY(!before.isEmpty());

    // Picking the private copy in the file dialog must not destroy it on the way.
    QVERIFY(StubCard::storeChoice(*m_store, copy));
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("first.png")});
    QCOMPARE(fileBytes(copy), before);
    QCOMPARE(m_store->value(QStringLiteral("DISPLAYED_COLORBAR_IMAGE")).toString(), copy);
    QCOMPARE(m_store->value(QStringLiteral("LAST_TEMP_COLORBAR_IMAGE")).toString(), copy);
}

void TestStubCard::failedChoiceKeepsOldCopyAndKeys()
{
    const QString a =
        writeImage(m_dir->filePath(QStringLiteral("first.png")), QSize(64, 48), Qt::red);
    QVERIFY(StubCard::storeChoice(*m_store, a));
    const QString missing = m_dir->filePath(QStringLiteral("gone.png"));
    QVERIFY(!StubCard::storeChoice(*m_store, missing));
    QVERIFY(!StubCard::storeChoice(*m_store, m_dir->path())); // a folder is no image file
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("first.png")});
    QCOMPARE(m_store->value(QStringLiteral("DISPLAYED_COLORBAR_IMAGE")).toString(), a);
    QCOMPARE(m_store->value(QStringLiteral("LAST_TEMP_COLORBAR_IMAGE")).toString(),
             StubCard::imageCopyPath(a));
}

void TestStubCard::clearedChoiceKeepsOldCopyOnDisk()
{
    const QString a =
        writeImage(m_dir->filePath(QStringLiteral("first.png")), QSize(64, 48), Qt::red);
    QVERIFY(StubCard::storeChoice(*m_store, a));
    QVERIFY(StubCard::storeChoice(*m_store, QString()));
    QCOMPARE(m_store->value(QStringLiteral("DISPLAYED_COLORBAR_IMAGE")).toString(),
             QStringLiteral(":BKG"));
    QCOMPARE(m_store->value(QStringLiteral("LAST_TEMP_COLORBAR_IMAGE")).toString(), QString());
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("first.png")});
    QCOMPARE(StubCard::chooseImageFile(*m_store), QStringLiteral(":BKG"));
}

void TestStubCard::startUpUsesCopyWhenChosenFileVanished()
{
    const QString a =
        writeImage(m_dir->filePath(QStringLiteral("first.png")), QSize(64, 48), Qt::red);
    QVERIFY(StubCard::storeChoice(*m_store, a));
    QVERIFY(QFile::remove(a));
    QCOMPARE(StubCard::chooseImageFile(*m_store), StubCard::imageCopyPath(a));
    QCOMPARE(m_store->value(QStringLiteral("DISPLAYED_COLORBAR_IMAGE")).toString(), a);
    StubCard card;
    card.compose(*m_store);
    QCOMPARE(card.width(), 64);
    QCOMPARE(card.height(), 48);
}

void TestStubCard::startUpRefreshesCopyOfChangedChoice()
{
    const QString a =
        writeImage(m_dir->filePath(QStringLiteral("first.png")), QSize(64, 48), Qt::red);
    QVERIFY(StubCard::storeChoice(*m_store, a));
    const QString copy = StubCard::imageCopyPath(a);

    // Same name, copy present: used as it is, even if the original changed since.
    QVERIFY(!writeImage(a, QSize(32, 24), Qt::blue).isEmpty());
    QCOMPARE(StubCard::chooseImageFile(*m_store), copy);
    QCOMPARE(QImage(copy).size(), QSize(64, 48));

    // The stored choice names another file: its content replaces the copy, under the copy's
    // name, and the keys stay.
    const QString b =
        writeImage(m_dir->filePath(QStringLiteral("other.png")), QSize(40, 30), Qt::green);
    m_store->setValue(QStringLiteral("DISPLAYED_COLORBAR_IMAGE"), b);
    QCOMPARE(StubCard::chooseImageFile(*m_store), copy);
    QCOMPARE(fileBytes(copy), fileBytes(b));
    QCOMPARE(folderEntries(), QStringList{QStringLiteral("first.png")});
    QCOMPARE(m_store->value(QStringLiteral("LAST_TEMP_COLORBAR_IMAGE")).toString(), copy);
}

void TestStubCard::startUpWithNothingLeftResetsKeys()
{
    const QString a =
        writeImage(m_dir->filePath(QStringLiteral("first.png")), QSize(64, 48), Qt::red);
    QVERIFY(StubCard::storeChoice(*m_store, a));
    QVERIFY(QFile::remove(a));
    QVERIFY(QFile::remove(StubCard::imageCopyPath(a)));
    QCOMPARE(StubCard::chooseImageFile(*m_store), QStringLiteral(":BKG"));
    QCOMPARE(m_store->value(QStringLiteral("DISPLAYED_COLORBAR_IMAGE")).toString(),
             QStringLiteral(":BKG"));
    QCOMPARE(m_store->value(QStringLiteral("LAST_TEMP_COLORBAR_IMAGE")).toString(), QString());
    StubCard card;
    card.compose(*m_store);
    QCOMPARE(card.width(), 1280);
}

void TestStubCard::statsTexts()
{
    QCOMPARE(StatsText::buffers(false, 120, 80), QStringLiteral("a:120ms  v:80ms"));
    QCOMPARE(StatsText::buffers(true, 120, 80), QStringLiteral("v:80ms"));
    QCOMPARE(StatsText::buffers(false, 0, 0), QStringLiteral("a:0ms  v:0ms"));
    // The playout's figures appear once it has shown a picture.
    QCOMPARE(StatsText::playout(-1, 0, 0), QString());
    QCOMPARE(StatsText::playout(45, 3, 2), QStringLiteral("delay:45ms  skipped:3  repeated:2"));
    QCOMPARE(StatsText::soundGaps(0, 0, 0), QString());
    QCOMPARE(StatsText::soundGaps(4, 1, 60), QStringLiteral("gaps late:4 dry:1 cut:60ms"));

    quint64 last = 0;
    QCOMPARE(StatsText::bitrate(384000, last), QStringLiteral("1000Kbs"));
    QCOMPARE(last, quint64(384000));
    // No new bytes: no rate.
    QCOMPARE(StatsText::bitrate(384000, last), QString());
    // Below one unit still shows, truncated.
    QCOMPARE(StatsText::bitrate(384100, last), QStringLiteral("0Kbs"));
    // Truncated toward zero: 1000.5 -> 1000.
    last = 0;
    QCOMPARE(StatsText::bitrate(384192, last), QStringLiteral("1000Kbs"));
    // A 15 Mbit/s camera over 3 s.
    last = 0;
    QCOMPARE(StatsText::bitrate(5625000, last), QStringLiteral("14648Kbs"));

    // Which camera is on which webcam: every webcam, then the waiting cameras with why.
    const QStringList webcams{QStringLiteral("Quorvix 1"), QStringLiteral("Quorvix 2")};
    QCOMPARE(
        StatsText::webcams(webcams,
                           {{QStringLiteral("10.0.0.9"), -1},
                            {QStringLiteral("10.0.0.8"), 1},
                            {QStringLiteral("10.0.0.7"), -1}},
                           QStringLiteral("no free webcam")),
        (QStringList{QStringLiteral("Quorvix 1: no camera"), QStringLiteral("Quorvix 2: 10.0.0.8"),
                     QStringLiteral("10.0.0.9 waits: no free webcam"),
                     QStringLiteral("10.0.0.7 waits: no free webcam")}));
}

void TestStubCard::bitrateAcrossConnections()
{
    quint64 last = 10000000;
    // A newer connection with fewer bytes became current: new base, no huge number.
    QCOMPARE(StatsText::bitrate(1000, last), QString());
    QCOMPARE(last, quint64(1000));
    QCOMPARE(StatsText::bitrate(1000 + 384000, last), QStringLiteral("1000Kbs"));
}

QTEST_MAIN(TestStubCard)
#include "tst_stubcard.moc"
