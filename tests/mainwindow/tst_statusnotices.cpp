// The status bar's line for each combination of missing devices and refused cameras, and the
// bar coming and going on a bare window: the window gives back exactly the height it grew by.
#include "support/TextFit.h"
#include "ui/StatusNotices.h"

#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QStatusBar>
#include <QtTest>

#include <algorithm>

class StatusNoticesTest : public QObject
{
    Q_OBJECT

private slots:
    void texts_data();
    void texts();
    void barComesAndGoes();
    void noticesThatDoNotFitGoOnePerLine();
};

void StatusNoticesTest::texts_data()
{
    QTest::addColumn<bool>("webcam");
    QTest::addColumn<QString>("micReason");
    QTest::addColumn<int>("refusedPublishers");
    QTest::addColumn<int>("refusedSrtCallers");
    // Of four webcams wanted, how many devices there are; -1: one webcam wanted.
    QTest::addColumn<int>("webcamsPresent");
    QTest::addColumn<QString>("text");
    // A word every tooltip paragraph for the line must carry, "" for none.
    QTest::addColumn<QStringList>("tipHas");
    // The webcam format waiting while a program holds the webcam, "" for none.
    QTest::addColumn<QString>("formatHeld");

    QTest::newRow("all well") << true << QString() << 0 << 0 << -1 << QString() << QStringList()
                              << QString();
    QTest::newRow("no webcam") << false << QString() << 0 << 0 << -1
                               << QStringLiteral("No virtual cam")
                               << QStringList{QString::fromLatin1(
                                      StatusNotices::kLoopbackLoadCommand)}
                               << QString();
    QTest::newRow("no microphone")
        << true << QStringLiteral("no PipeWire server") << 0 << 0 << -1
        << QStringLiteral("No microphone") << QStringList{QStringLiteral("no PipeWire server")}
        << QString();
    QTest::newRow("one refused") << true << QString() << 1 << 0 << -1
                                 << QStringLiteral("1 camera refused: wrong stream key")
                                 << QStringList{QStringLiteral("10.0.0.7")} << QString();
    QTest::newRow("two refused, SRT one")
        << true << QString() << 2 << 1 << -1
        << QStringLiteral("2 cameras refused: wrong stream key"
                          " · 1 SRT camera refused: passphrase")
        << QStringList{QStringLiteral("10.0.0.7"), QStringLiteral("10.0.0.8")} << QString();
    QTest::newRow("two of four webcams")
        << true << QString() << 0 << 0 << 2 << QStringLiteral("2 of 4 webcams")
        << QStringList{QStringLiteral("reload")} << QString();
    QTest::newRow("four of four webcams")
        << true << QString() << 0 << 0 << 4 << QString() << QStringList() << QString();
    // Without any webcam that is what the line says; the set-up window tells the rest.
    QTest::newRow("everything at once")
        << false << QStringLiteral("busy") << 3 << 4 << 2
        << QStringLiteral("No virtual cam · No microphone · 3 cameras refused: wrong stream key"
                          " · 4 SRT cameras refused: passphrase")
        << QStringList{QStringLiteral("v4l2loopback"), QStringLiteral("busy"),
                       QStringLiteral("10.0.0.7"), QStringLiteral("10.0.0.8")}
        << QString();
    QTest::newRow("webcam format held")
        << true << QString() << 0 << 0 << -1 << QStringLiteral("Webcam in use: format unchanged")
        << QStringList{QStringLiteral("1920x1080 YUYV")} << QStringLiteral("1920x1080 YUYV");
}

void StatusNoticesTest::texts()
{
    QFETCH(bool, webcam);
    QFETCH(QString, micReason);
    QFETCH(int, refusedPublishers);
    QFETCH(int, refusedSrtCallers);
    QFETCH(int, webcamsPresent);
    QFETCH(QString, text);
    QFETCH(QStringList, tipHas);
    QFETCH(QString, formatHeld);

    StatusNotices::State state;
    state.webcamFormatHeld = formatHeld;
    state.webcam = webcam;
    state.microphoneReason = micReason;
    state.refusedPublishers = refusedPublishers;
    state.lastRefusedPeer = QStringLiteral("10.0.0.7");
    state.refusedSrtCallers = refusedSrtCallers;
    state.lastRefusedSrtPeer = QStringLiteral("10.0.0.8");
    state.webcamsWanted = webcamsPresent < 0 ? 1 : 4;
    state.webcamsPresent = std::max(webcamsPresent, 0);
    const StatusNotices::Texts texts = StatusNotices::texts(state);
    QCOMPARE(texts.text, text);
    // One paragraph per part of the line, in the same order.
    const QStringList paragraphs =
        texts.tip.isEmpty() ? QStringList() : texts.tip.split(QStringLiteral("\n\n"));
    QCOMPARE(paragraphs.size(), tipHas.size());
    for (int i = 0; i < paragraphs.size(); ++i)
        QVERIFY2(paragraphs.at(i).contains(tipHas.at(i)), qPrintable(paragraphs.at(i)));
}

void StatusNoticesTest::barComesAndGoes()
{
    QMainWindow window;
    window.setCentralWidget(new QLabel(QStringLiteral("controls")));
    QLabel update;
    StatusNotices notices(window, update);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *setup = window.statusBar()->findChild<QPushButton *>(QStringLiteral("cmdSetupWebcam"));
    QVERIFY(setup);

    notices.setDevices(true, QString());
    QVERIFY(window.statusBar()->isHidden());
    QCOMPARE(notices.text(), QString());
    const int bare = window.height();

    notices.setDevices(false, QString());
    QCOMPARE(notices.text(), QStringLiteral("No virtual cam"));
    QVERIFY(!setup->isHidden());
    QVERIFY(window.height() > bare);

    // The webcam comes; a refused camera keeps the bar, without the set-up link.
    notices.publisherRefused(QStringLiteral("10.0.0.9"));
    notices.setDevices(true, QString());
    QCOMPARE(notices.text(), QStringLiteral("1 camera refused: wrong stream key"));
    QVERIFY(setup->isHidden());
    QVERIFY(window.statusBar()->toolTip().contains(QStringLiteral("10.0.0.9")));

    // A camera that names the key clears the count, and the bar goes with its height.
    notices.publisherAccepted();
    QCOMPARE(notices.text(), QString());
    QVERIFY(window.statusBar()->isHidden());
    QCOMPARE(window.height(), bare);

    // Refusals for a key no longer required are forgotten at the next update.
    notices.publisherRefused(QStringLiteral("10.0.0.9"));
    notices.forgetRefusedPublishers();
    notices.setDevices(true, QString());
    QCOMPARE(notices.text(), QString());

    notices.showUpdate(QStringLiteral("Quorvix 9 is out"), QStringLiteral("https://x.invalid/"));
    QVERIFY(update.text().contains(QStringLiteral("Quorvix 9 is out")));
}

void StatusNoticesTest::noticesThatDoNotFitGoOnePerLine()
{
    QMainWindow window;
    window.setCentralWidget(new QLabel(QStringLiteral("controls")));
    QLabel update;
    StatusNotices notices(window, update);
    window.resize(200, 120);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QStatusBar *bar = window.statusBar();
    const int lineHeight = bar->fontMetrics().height();

    // Too narrow for both beside the set-up link: one under the other, the window as tall as
    // they need and at least as wide as the wider one.
    notices.setDevices(false, QStringLiteral("no PipeWire server"));
    QTRY_VERIFY(bar->height() >= 2 * lineHeight);
    QTRY_VERIFY2(TextFit::faults(&window).isEmpty(),
                 qPrintable(TextFit::faults(&window).join(QLatin1Char('\n'))));

    // Room enough: back on one line.
    window.resize(900, window.height());
    QTRY_VERIFY(bar->height() < 2 * lineHeight);
    QVERIFY2(TextFit::faults(&window).isEmpty(),
             qPrintable(TextFit::faults(&window).join(QLatin1Char('\n'))));
    QCOMPARE(notices.text(), QStringLiteral("No virtual cam · No microphone"));
}

QTEST_MAIN(StatusNoticesTest)
#include "tst_statusnotices.moc"
