#include "ui/ProductSite.h"

#include <QCursor>
#include <QLabel>

QString ProductSite::address()
{
    return QStringLiteral("https://") + QStringLiteral(QUORVIX_SITE_HOST);
}

QString ProductSite::guidePageUrl(const QString &cameraKey)
{
    return address() + QStringLiteral("/how_to_") + cameraKey.toLower() + QStringLiteral(".html");
}

QString ProductSite::guideLinkText(const QString &cameraKey, const QString &cameraName)
{
    return QStringLiteral(
               "<a style='color:white;text-decoration:none;' href='%1'>guide for %2 &raquo;</a>")
        .arg(guidePageUrl(cameraKey), cameraName);
}

void ProductSite::showGuideLink(QLabel *label, const QString &cameraKey, const QString &cameraName)
{
    label->setTextInteractionFlags(Qt::TextBrowserInteraction);
    label->setOpenExternalLinks(true);
    label->setCursor(Qt::PointingHandCursor);
    label->setText(guideLinkText(cameraKey, cameraName));
}
