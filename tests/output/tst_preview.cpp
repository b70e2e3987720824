// The Qt preview renderer behind OutputRouter: a live frame shows in the attached widget, with its
// aspect kept; cards never show, and a detached preview stops changing.

#include "I420Picture.h"
#include "../support/I420Frame.h"
#include "output/OutputRouter.h"

#include <QtTest>
#include <QWidget>

namespace {

bool near(QRgb pixel, QColor expected, int tolerance = 12)
{
    return qAbs(qRed(pixel) - expected.red()) <= tolerance &&
           qAbs(qGreen(pixel) - expected.green()) <= tolerance &&
           qAbs(qBlue(pixel) - expected.blue()) <= tolerance;
}

QRgb pixelAt(QWidget &widget, int x, int y)
{
    return widget.grab().toImage().pixel(x, y);
}

QString describe(QRgb pixel)
{
    return QStringLiteral("rgb(%1,%2,%3)").arg(qRed(pixel)).arg(qGreen(pixel)).arg(qBlue(pixel));
}

} // namespace

class TestPreview : public QObject
{
    Q_OBJECT

private slots:
    void solidFrameShowsItsColour();
    void aspectKeptWithBlackBars();
    void cardAndDetachedPreviewDoNotPaint();
    void widgetClosedWhileAttached();
};

// The preview drops a picture rather than wait for a conversion under way (a camera sends the
// next one): the waits below send again until the picture shows.
void TestPreview::solidFrameShowsItsColour()
{
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    QWidget widget;
    widget.resize(320, 180);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    cam.setPreviewWindow(widget.winId());

    // BT.601 limited range: pure red and pure green.
    I420Picture red(1280, 720);
    red.solid(81, 90, 240);
    QTRY_VERIFY2((sendI420(cam, red.data.data(), 1280, 720, 1280),
                  near(pixelAt(widget, 160, 90), QColor(255, 0, 0))),
                 qPrintable(describe(pixelAt(widget, 160, 90))));
    QVERIFY(near(pixelAt(widget, 2, 2), QColor(255, 0, 0)));
    QVERIFY(near(pixelAt(widget, 317, 177), QColor(255, 0, 0)));

    I420Picture green(1280, 720, 1344);
    green.solid(145, 54, 34);
    QTRY_VERIFY2((sendI420(cam, green.data.data(), 1280, 720, 1344),
                  near(pixelAt(widget, 160, 90), QColor(0, 255, 0))),
                 qPrintable(describe(pixelAt(widget, 160, 90))));
}

void TestPreview::aspectKeptWithBlackBars()
{
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    QWidget widget;
    widget.resize(400, 400);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    cam.setPreviewWindow(widget.winId());

    // 16:9 into a square: 400x225 in the middle, bars of 87 rows above and below.
    I420Picture blue(640, 360);
    blue.solid(41, 240, 110);
    QTRY_VERIFY2((sendI420(cam, blue.data.data(), 640, 360, 640),
                  near(pixelAt(widget, 200, 200), QColor(0, 0, 255))),
                 qPrintable(describe(pixelAt(widget, 200, 200))));
    QVERIFY(near(pixelAt(widget, 200, 10), Qt::black, 2));
    QVERIFY(near(pixelAt(widget, 200, 390), Qt::black, 2));
    QVERIFY(near(pixelAt(widget, 5, 200), QColor(0, 0, 255)));

    // The widget grows wider than the picture: bars move to the sides.
    widget.resize(800, 225);
    QTRY_COMPARE(widget.size(), QSize(800, 225));
    QTRY_VERIFY2((sendI420(cam, blue.data.data(), 640, 360, 640),
                  near(pixelAt(widget, 10, 112), Qt::black, 2)),
                 qPrintable(describe(pixelAt(widget, 10, 112))));
    QVERIFY(near(pixelAt(widget, 400, 112), QColor(0, 0, 255)));
}

void TestPreview::cardAndDetachedPreviewDoNotPaint()
{
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    QWidget widget;
    widget.resize(160, 90);
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    cam.setPreviewWindow(widget.winId());

    I420Picture white(320, 180);
    white.solid(235, 128, 128);
    cam.sendStub(white.data.data(), 320, 180);
    QCoreApplication::processEvents();
    QVERIFY2(near(pixelAt(widget, 80, 45), Qt::black, 2),
             qPrintable(describe(pixelAt(widget, 80, 45))));

    I420Picture red(320, 180);
    red.solid(81, 90, 240);
    sendI420(cam, red.data.data(), 320, 180, 320);
    QTRY_VERIFY(near(pixelAt(widget, 80, 45), QColor(255, 0, 0)));

    cam.setPreviewWindow(0);
    sendI420(cam, white.data.data(), 320, 180, 320);
    QCoreApplication::processEvents();
    QVERIFY(near(pixelAt(widget, 80, 45), QColor(255, 0, 0)));

    cam.setPreviewWindow(widget.winId());
    sendI420(cam, white.data.data(), 320, 180, 320);
    QTRY_VERIFY(near(pixelAt(widget, 80, 45), QColor(255, 255, 255)));
}

void TestPreview::widgetClosedWhileAttached()
{
    OutputRouter cam(QStringLiteral("Quorvix"), nullptr);
    auto *widget = new QWidget;
    widget->resize(160, 90);
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget));
    cam.setPreviewWindow(widget->winId());
    I420Picture red(320, 180);
    red.solid(81, 90, 240);
    sendI420(cam, red.data.data(), 320, 180, 320);
    delete widget;
    // Frames keep coming for a window that is gone: no crash, nothing painted anywhere.
    for (int i = 0; i < 5; ++i)
        sendI420(cam, red.data.data(), 320, 180, 320);
    QCoreApplication::processEvents();
    QVERIFY(cam.previewEnabled());
}

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
