#include "CannedHttpServer.h"
#include "tests/support/LogCapture.h"

#include "ui/ProductSite.h"
#include "ui/UpdateChecker.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

#include <memory>

namespace {

const QByteArray kNewerManifest =
    QByteArrayLiteral("{\"build\": 29, \"msg\": \"Quorvix 1.3 is out\", "
                      "\"url\": \"https://example.invalid/download\", \"notes\": [1, 2]}");
} // namespace

class UpdateCheckerTest : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void newerBuildEmitsOnceAndShowsLink();
    void otherAnswersStaySilent_data();
    void otherAnswersStaySilent();
    void redirectIsNotFollowed_data();
    void redirectIsNotFollowed();
    void refusedConnectionStaysSilent();
    void silentServerTimesOut();
    void oversizedAnswerIsDropped();
    void eachCheckAsksOnce();
    void checkerDiesWithRequestInFlight();

    void manifestAddressIsOnTheSite();
    void guideLinkFollowsCamera_data();
    void guideLinkFollowsCamera();

private:
    // Runs one check against `server` and waits for it to end; the label gets the main window's
    // handler. Returns the newVersionAvailable arguments seen.
    QList<QList<QVariant>> runCheck(CannedHttpServer &server, const QString &path, QLabel &label,
                                    int build = UpdateChecker::kProgramBuild);
    QStringList newVersionLines() const;

    std::unique_ptr<LogCapture> m_log;
};

void UpdateCheckerTest::init()
{
    // Collected so a test can tell a log line was NOT written, which QTest::ignoreMessage
    // cannot.
    m_log = std::make_unique<LogCapture>();
}

void UpdateCheckerTest::cleanup()
{
    m_log.reset();
}

QStringList UpdateCheckerTest::newVersionLines() const
{
    return m_log->lines().filter(QRegularExpression(QStringLiteral("^NEW VERSION:")));
}

QList<QList<QVariant>> UpdateCheckerTest::runCheck(CannedHttpServer &server, const QString &path,
                                                   QLabel &label, int build)
{
    UpdateChecker checker;
    connect(&checker, &UpdateChecker::newVersionAvailable, &label,
            [&label](const QString &msg, const QString &url) {
                UpdateChecker::showNotice(&label, msg, url);
            });
    QSignalSpy newer(&checker, &UpdateChecker::newVersionAvailable);
    QSignalSpy finished(&checker, &UpdateChecker::checkFinished);
    checker.checkForUpdate(build, server.urlFor(path));
    if (!finished.wait(20000))
        qWarning("update check did not finish");
    // Anything that would still arrive (a second emission) comes from already queued events.
    QCoreApplication::processEvents();
    QList<QList<QVariant>> result;
    for (const auto &args : newer)
        result.append(args);
    return result;
}

void UpdateCheckerTest::newerBuildEmitsOnceAndShowsLink()
{
    CannedHttpServer server;
    QVERIFY(server.start());
    server.setResponse("/qvdesk.json", CannedHttpServer::response(200, "OK", kNewerManifest));

    QLabel label;
    const auto emitted = runCheck(server, "/qvdesk.json", label);
    QCOMPARE(server.servedPaths(), QStringList{"/qvdesk.json"});
    QCOMPARE(emitted.size(), 1);
    QCOMPARE(emitted[0][0].toString(), QStringLiteral("Quorvix 1.3 is out"));
    QCOMPARE(emitted[0][1].toString(), QStringLiteral("https://example.invalid/download"));

    QCOMPARE(label.text(), QStringLiteral("<a href='https://example.invalid/download' "
                                          "style='color:white;'>Quorvix 1.3 is out</a>"));
    QCOMPARE(label.textInteractionFlags(), Qt::TextBrowserInteraction);
    QVERIFY(label.openExternalLinks());
    QTextDocument shown;
    shown.setHtml(label.text());
    QCOMPARE(shown.toPlainText(), QStringLiteral("Quorvix 1.3 is out"));

    const QStringList lines = newVersionLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines[0].contains("Quorvix 1.3 is out"));
    QVERIFY(lines[0].contains("https://example.invalid/download"));
}

void UpdateCheckerTest::otherAnswersStaySilent_data()
{
    QTest::addColumn<QByteArray>("answer");
    using S = CannedHttpServer;
    QTest::newRow("same build") << S::response(200, "OK", R"({"build":28,"msg":"m","url":"u"})");
    QTest::newRow("older build") << S::response(200, "OK", R"({"build":27,"msg":"m","url":"u"})");
    QTest::newRow("build as string")
        << S::response(200, "OK", R"({"build":"29","msg":"m","url":"u"})");
    QTest::newRow("fractional build")
        << S::response(200, "OK", R"({"build":29.5,"msg":"m","url":"u"})");
    QTest::newRow("build beyond int")
        << S::response(200, "OK", R"({"build":1e300,"msg":"m","url":"u"})");
    QTest::newRow("build missing") << S::response(200, "OK", R"({"msg":"m","url":"u"})");
    QTest::newRow("not json") << S::response(200, "OK", "<html>build 29</html>");
    QTest::newRow("cut json") << S::response(200, "OK", R"({"build":29,"msg":"m","url)");
    QTest::newRow("json array") << S::response(200, "OK", "[29]");
    QTest::newRow("empty body") << S::response(200, "OK", "");
    QTest::newRow("404 with manifest") << S::response(404, "Not Found", kNewerManifest);
    QTest::newRow("500 with manifest") << S::response(500, "Internal Server Error", kNewerManifest);
    QTest::newRow("204") << S::response(204, "No Content", "");
}

void UpdateCheckerTest::otherAnswersStaySilent()
{
    QFETCH(QByteArray, answer);
    CannedHttpServer server;
    QVERIFY(server.start());
    server.setResponse("/qvdesk.json", answer);

    QLabel label(QStringLiteral("before"));
    const auto emitted = runCheck(server, "/qvdesk.json", label);
    QCOMPARE(server.servedPaths(), QStringList{"/qvdesk.json"});
    QVERIFY(emitted.isEmpty());
    QCOMPARE(label.text(), QStringLiteral("before"));
    QVERIFY(newVersionLines().isEmpty());
}

void UpdateCheckerTest::redirectIsNotFollowed_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("301") << 301;
    QTest::newRow("302") << 302;
    QTest::newRow("307") << 307;
}

void UpdateCheckerTest::redirectIsNotFollowed()
{
    QFETCH(int, status);
    CannedHttpServer server;
    QVERIFY(server.start());
    // The target would announce a newer build: reaching it would show the notice.
    server.setResponse("/moved.json", CannedHttpServer::response(200, "OK", kNewerManifest));
    server.setResponse("/qvdesk.json",
                       CannedHttpServer::response(
                           status, "Moved", kNewerManifest,
                           "Location: " + server.urlFor("/moved.json").toLatin1() + "\r\n"));

    QLabel label;
    const auto emitted = runCheck(server, "/qvdesk.json", label);
    QVERIFY(emitted.isEmpty());
    QCOMPARE(server.servedPaths(), QStringList{"/qvdesk.json"});
    QVERIFY(label.text().isEmpty());
    QVERIFY(newVersionLines().isEmpty());
}

void UpdateCheckerTest::refusedConnectionStaysSilent()
{
    // A port that was free a moment ago and has nobody listening now.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();

    UpdateChecker checker;
    QSignalSpy newer(&checker, &UpdateChecker::newVersionAvailable);
    QSignalSpy finished(&checker, &UpdateChecker::checkFinished);
    checker.checkForUpdate(UpdateChecker::kProgramBuild,
                           QStringLiteral("http://127.0.0.1:%1/qvdesk.json").arg(port));
    QVERIFY(finished.wait(20000));
    QCoreApplication::processEvents();
    QCOMPARE(newer.count(), 0);
    QCOMPARE(m_log->count(QStringLiteral("NEW VERSION:")), 0);
}

void UpdateCheckerTest::oversizedAnswerIsDropped()
{
    // Valid JSON announcing a newer build, padded with whitespace far beyond any manifest.
    QByteArray body = kNewerManifest;
    body += QByteArray(4 * 1024 * 1024, ' ');
    CannedHttpServer server;
    QVERIFY(server.start());
    server.setResponse("/qvdesk.json", CannedHttpServer::response(200, "OK", body));

    QLabel label;
    const auto emitted = runCheck(server, "/qvdesk.json", label);
    QCOMPARE(server.servedPaths(), QStringList{"/qvdesk.json"});
    QVERIFY(emitted.isEmpty());
    QVERIFY(label.text().isEmpty());

    // The same without a length: the client must stop taking data on its own.
    constexpr qint64 kCapBytes = 256 * 1024 * 1024;
    server.setEndless("/endless.json", kNewerManifest, kCapBytes);
    QCOMPARE(runCheck(server, "/endless.json", label).size(), 0);
    QVERIFY(label.text().isEmpty());
    QVERIFY2(server.endlessBytesSent() < kCapBytes / 8,
             qPrintable(QString::number(server.endlessBytesSent())));

    // Just under the bound is still a manifest.
    QByteArray fits = kNewerManifest;
    fits += QByteArray(UpdateChecker::kMaxManifestBytes - fits.size(), ' ');
    server.setResponse("/fits.json", CannedHttpServer::response(200, "OK", fits));
    QCOMPARE(runCheck(server, "/fits.json", label).size(), 1);
}

void UpdateCheckerTest::eachCheckAsksOnce()
{
    CannedHttpServer server;
    QVERIFY(server.start());
    server.setResponse("/qvdesk.json", CannedHttpServer::response(200, "OK", kNewerManifest));

    UpdateChecker checker;
    QSignalSpy newer(&checker, &UpdateChecker::newVersionAvailable);
    QSignalSpy finished(&checker, &UpdateChecker::checkFinished);
    // The comparison uses the build passed to each check, and the manager is reused.
    checker.checkForUpdate(29, server.urlFor("/qvdesk.json"));
    QVERIFY(finished.wait(20000));
    checker.checkForUpdate(28, server.urlFor("/qvdesk.json"));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 20000);
    QCoreApplication::processEvents();
    QCOMPARE(server.servedPaths().size(), 2);
    QCOMPARE(newer.count(), 1);
}

void UpdateCheckerTest::checkerDiesWithRequestInFlight()
{
    // A server that accepts and never answers: the checker is destroyed mid-request.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    {
        UpdateChecker checker;
        checker.checkForUpdate(
            UpdateChecker::kProgramBuild,
            QStringLiteral("http://127.0.0.1:%1/qvdesk.json").arg(silent.serverPort()));
        QVERIFY(silent.waitForNewConnection(20000));
    }
    // Events left behind by the dead request must find nothing to call into.
    QCoreApplication::processEvents();
    QCOMPARE(m_log->count(QStringLiteral("NEW VERSION:")), 0);
}

void UpdateCheckerTest::manifestAddressIsOnTheSite()
{
    QCOMPARE(UpdateChecker::manifestUrl(),
             QStringLiteral("https://" QUORVIX_SITE_HOST "/qvdesk.json"));
    QCOMPARE(ProductSite::address(), QStringLiteral("https://" QUORVIX_SITE_HOST));
    QCOMPARE(UpdateChecker::kProgramBuild, 28);
}

void UpdateCheckerTest::guideLinkFollowsCamera_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");
    QTest::newRow("GoPro 9") << "GOPRO"
                             << "GoPro 9"
                             << "/how_to_gopro.html";
    QTest::newRow("GoPro Max") << "GOPRO"
                               << "GoPro Max"
                               << "/how_to_gopro.html";
    QTest::newRow("Mevo") << "MEVO"
                          << "Mevo"
                          << "/how_to_mevo.html";
    QTest::newRow("iPhone") << "IPHONE"
                            << "iPhone"
                            << "/how_to_iphone.html";
    QTest::newRow("Other") << "OTHER"
                           << "Other"
                           << "/how_to_other.html";
}

void UpdateCheckerTest::guideLinkFollowsCamera()
{
    QFETCH(QString, key);
    QFETCH(QString, name);
    QFETCH(QString, path);
    const QString page = QStringLiteral("https://" QUORVIX_SITE_HOST) + path;
    QCOMPARE(ProductSite::guidePageUrl(key), page);

    QLabel label;
    ProductSite::showGuideLink(&label, key, name);
    QCOMPARE(label.text(),
             QStringLiteral("<a style='color:white;text-decoration:none;' href='%1'>guide for %2 "
                            "&raquo;</a>")
                 .arg(page, name));
    QCOMPARE(label.textInteractionFlags(), Qt::TextBrowserInteraction);
    QVERIFY(label.openExternalLinks());
    QCOMPARE(label.cursor().shape(), Qt::PointingHandCursor);

    QTextDocument shown;
    shown.setHtml(label.text());
    QCOMPARE(shown.toPlainText(),
             QStringLiteral("guide for ") + name + QStringLiteral(" ") + QChar(0x00BB));
    const QTextBlock block = shown.firstBlock();
    QCOMPARE(block.begin().fragment().charFormat().anchorHref(), page);
}

QTEST_MAIN(UpdateCheckerTest)
#include "tst_updatechecker.moc"

void UpdateCheckerTest::silentServerTimesOut()
{
    // Accepts the connection and never answers; the connection stays open.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QList<QTcpSocket *> held;
    connect(&silent, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *socket = silent.nextPendingConnection())
            held.append(socket);
    });

    UpdateChecker checker;
    QCOMPARE(UpdateChecker::kTimeoutMs, 10000);
    checker.setTimeoutMs_for_testing(300);
    QSignalSpy newer(&checker, &UpdateChecker::newVersionAvailable);
    QSignalSpy finished(&checker, &UpdateChecker::checkFinished);
    checker.checkForUpdate(
        UpdateChecker::kProgramBuild,
        QStringLiteral("http://127.0.0.1:%1/qvdesk.json").arg(silent.serverPort()));
    QVERIFY(finished.wait(10000));
    QVERIFY(!held.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(newer.count(), 0);
    QCOMPARE(m_log->count(QStringLiteral("NEW VERSION:")), 0);
}
