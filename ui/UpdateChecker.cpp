#include "ui/UpdateChecker.h"

#include "ui/ProductSite.h"
#include "ui/UiLog.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <cmath>
#include <limits>

namespace {
// "build" counts only as a JSON number with no fractional part that fits an int; anything else
// (a string of digits, 29.5, 1e300) reads as 0 and so never announces a build.
int integralBuild(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::trunc(d) != d)
        return 0;
    if (d < std::numeric_limits<int>::min() || d > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(d);
}
} // namespace

UpdateChecker::UpdateChecker(QObject *parent) : QObject(parent) {}

UpdateChecker::~UpdateChecker()
{
    if (!m_network)
        return;
    // Replies still in flight die with the manager; they must not call back into a half
    // destroyed checker.
    const auto replies = m_network->findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies)
        disconnect(reply, nullptr, this, nullptr);
    m_network.reset();
}

QString UpdateChecker::manifestUrl()
{
    return ProductSite::address() + QStringLiteral("/qvdesk.json");
}

void UpdateChecker::checkForUpdate(int build, QString manifestUrl)
{
    if (!m_network)
        m_network = std::make_unique<QNetworkAccessManager>();

    QNetworkRequest request(QUrl(manifestUrl, QUrl::TolerantMode));
    // A 3xx answer is a failed check, never a hop to another address.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // Qt's own default is no timeout at all: a silent server would hold the check for ever.
    request.setTransferTimeout(m_timeoutMs);
    QNetworkReply *reply = m_network->get(request);

    // A manifest is tiny: an answer that announces or delivers more is cut off at once rather
    // than collected in memory.
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply]() {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kMaxManifestBytes)
            reply->abort();
    });
    // readyRead, not downloadProgress: the latter is throttled and lets megabytes pile up first.
    connect(reply, &QNetworkReply::readyRead, this, [reply]() {
        if (reply->bytesAvailable() > kMaxManifestBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, build]() { onReplyFinished(reply, build); });
}

void UpdateChecker::onReplyFinished(QNetworkReply *reply, int build)
{
    reply->deleteLater();

    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // A transfer that broke off (or was cut for its size) may still carry status 200.
    if (status != 200 || reply->error() != QNetworkReply::NoError ||
        reply->bytesAvailable() > kMaxManifestBytes) {
        emit checkFinished();
        return;
    }

    const QJsonObject manifest = QJsonDocument::fromJson(reply->readAll()).object();
    const int manifestBuild = integralBuild(manifest.value(QStringLiteral("build")));
    const QString msg = manifest.value(QStringLiteral("msg")).toString();
    const QString url = manifest.value(QStringLiteral("url")).toString();

    if (manifestBuild > build)
        emit newVersionAvailable(msg, url);
    emit checkFinished();
}

void UpdateChecker::showNotice(QLabel *label, const QString &msg, const QString &url)
{
    qCInfo(lcUi) << "NEW VERSION:" << msg << url;
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    label->setOpenExternalLinks(true);
    label->setText(QStringLiteral("<a href='%1' style='color:white;'>%2</a>").arg(url, msg));
}
