#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLabel;
class QNetworkAccessManager;
class QNetworkReply;

// Asks the product web site once per start whether a newer build exists. The manifest is a
// small JSON object {"build": <integer>, "msg": <link text>, "url": <link target>}; a newer
// build is announced through newVersionAvailable. Every failure (no network, TLS, a status
// other than 200 — redirects are not followed —, a body that is not JSON, a missing or
// non-integral build, an oversized body) is silent.
//
// GUI thread only: checkForUpdate is called there and the network manager delivers the reply
// there. Application creates one instance without a parent and keeps it for its life.
class UpdateChecker : public QObject
{
    Q_OBJECT
public:
    // The program's own build number, compared with the manifest's "build".
    static constexpr int kProgramBuild = 28;
    // A manifest is a few hundred bytes; a larger answer is not a manifest and is dropped
    // before it can fill memory.
    static constexpr qint64 kMaxManifestBytes = 64 * 1024;
    // A check that has not finished after this long (a server that accepts and never
    // answers, a stalled transfer) is given up, silently like any other failure.
    static constexpr int kTimeoutMs = 10000;

    explicit UpdateChecker(QObject *parent = nullptr);
    ~UpdateChecker() override;

    // Starts the request for `manifestUrl` and returns at once.
    void checkForUpdate(int build, QString manifestUrl);
    // Tests: the timeout of the checks started from now on.
    void setTimeoutMs_for_testing(int ms) { m_timeoutMs = ms; }

    // HTTPS address of the manifest on the product web site.
    static QString manifestUrl();
    // The status notices' handler for newVersionAvailable: logs "NEW VERSION:" with both values
    // and turns `label` into a white link that opens `url` in the browser.
    static void showNotice(QLabel *label, const QString &msg, const QString &url);

signals:
    // At most once per check, when the manifest's build is greater than the caller's.
    void newVersionAvailable(QString msg, QString url);
    // After every check has come to its end, whatever the outcome.
    void checkFinished();

private:
    void onReplyFinished(QNetworkReply *reply, int build);

    // Created on the first check and reused.
    std::unique_ptr<QNetworkAccessManager> m_network;
    int m_timeoutMs = kTimeoutMs;
};
