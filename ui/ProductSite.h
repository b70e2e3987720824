#pragma once

#include <QString>

class QLabel;

// Addresses on the product web site and the guide link that follows the camera type.
// Plain functions of their arguments; the label helper runs on the GUI thread.
class ProductSite
{
public:
    // "https://" + the site's host (a build-time constant).
    static QString address();
    // Setup guide for a camera key such as "GOPRO": address() + "/how_to_gopro.html".
    static QString guidePageUrl(const QString &cameraKey);
    // Rich text of the guide link: "guide for <name> »" pointing at guidePageUrl(cameraKey).
    static QString guideLinkText(const QString &cameraKey, const QString &cameraName);
    // Makes `label` the guide link for the camera: the main window passes
    // lblHelp with the current cmbCams item's Qt::UserRole data and text.
    static void showGuideLink(QLabel *label, const QString &cameraKey, const QString &cameraName);
};
