// Draws the program's built-in pictures: the 1280x720 no-signal card and the 50x50 button
// icons. Run by scripts/make-resources.sh; the outputs are committed next to this file so
// the build itself needs no drawing step.
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTextStream>
#include <QtMath>

#include <cstdint>

namespace {

constexpr int kIconPx = 50;
const QColor kBlue(0x2F, 0x8C, 0xE6);
const QColor kRed(0xE0, 0x3A, 0x2E);
const QColor kGrey(0x8A, 0x90, 0x96);
const QColor kDimBlue(0x3A, 0x5A, 0x7A);

// Fixed-seed generator so regenerated pictures are byte-identical.
struct Lcg
{
    uint32_t state = 0x51A7C0DEu;
    int next(int range)
    {
        state = state * 1664525u + 1013904223u;
        return int((state >> 8) % uint32_t(range));
    }
};

QImage blankIcon()
{
    QImage img(kIconPx, kIconPx, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

QImage powerIcon(const QColor &colour)
{
    QImage img = blankIcon();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(colour, 5, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    // Open ring with the gap at the top, and the bar through the gap.
    const QRectF ring(8, 9, 34, 34);
    p.drawArc(ring, (90 + 35) * 16, (360 - 70) * 16);
    p.drawLine(QPointF(25, 5), QPointF(25, 24));
    return img;
}

QImage gearIcon(const QColor &colour)
{
    QImage img = blankIcon();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath gear;
    const QPointF c(25, 25);
    const int teeth = 8;
    const double outer = 21, inner = 15.5;
    for (int i = 0; i < teeth * 4; ++i) {
        // Each tooth: rise, top, fall, valley.
        const double a = (i / double(teeth * 4)) * 2 * M_PI;
        const double r = (i % 4 == 1 || i % 4 == 2) ? outer : inner;
        const QPointF pt(c.x() + r * qCos(a), c.y() + r * qSin(a));
        if (i == 0)
            gear.moveTo(pt);
        else
            gear.lineTo(pt);
    }
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(c, 6.5, 6.5);
    p.fillPath(gear.subtracted(hole), colour);
    return img;
}

QImage previewIcon(const QColor &colour)
{
    QImage img = blankIcon();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    // A picture frame...
    p.setPen(QPen(colour, 3));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(4, 8, 42, 34), 4, 4);
    // ...with an eye in it.
    QPainterPath eye;
    eye.moveTo(10, 25);
    eye.quadTo(25, 11, 40, 25);
    eye.quadTo(25, 39, 10, 25);
    p.setPen(QPen(colour, 2.5));
    p.drawPath(eye);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QPointF(25, 25), 5, 5);
    return img;
}

QImage clearIcon(const QColor &colour)
{
    QImage img = blankIcon();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour, 5, Qt::SolidLine, Qt::RoundCap));
    const QRectF ring(8, 8, 34, 34);
    p.drawArc(ring, 60 * 16, 280 * 16);
    // Arrow head at the open end of the arc (at 60 degrees).
    const double a = qDegreesToRadians(60.0);
    const QPointF tip(25 + 17 * qCos(a), 25 - 17 * qSin(a));
    QPainterPath head;
    head.moveTo(tip + QPointF(-9, -4));
    head.lineTo(tip + QPointF(4, -7));
    head.lineTo(tip + QPointF(1, 7));
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.fillPath(head, colour);
    return img;
}

// Colour bars made of grainy blocks: the classic bar order, each bar split into blocks whose
// shade varies a little, plus per-pixel grain.
QImage cardImage()
{
    const int w = 1280, h = 720;
    QImage img(w, h, QImage::Format_RGB32);
    const QColor bars[] = {QColor(192, 192, 192), QColor(192, 192, 0), QColor(0, 192, 192),
                           QColor(0, 192, 0),     QColor(192, 0, 192), QColor(192, 0, 0),
                           QColor(0, 0, 192)};
    const int barCount = int(sizeof bars / sizeof bars[0]);
    const int block = 40;
    Lcg rng;
    QPainter p(&img);
    for (int by = 0; by < h; by += block) {
        for (int bx = 0; bx < w; bx += block) {
            QColor c = bars[qMin(barCount - 1, bx * barCount / w)];
            if (by >= h * 3 / 4)
                c = QColor(16 + (bx * 200 / w), 16 + (bx * 200 / w), 16 + (bx * 200 / w));
            const int shade = rng.next(41) - 20;
            p.fillRect(bx, by, block, block,
                       QColor(qBound(0, c.red() + shade, 255), qBound(0, c.green() + shade, 255),
                              qBound(0, c.blue() + shade, 255)));
        }
    }
    p.end();
    for (int y = 0; y < h; ++y) {
        auto *row = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int g = rng.next(31) - 15;
            row[x] = qRgb(qBound(0, qRed(row[x]) + g, 255), qBound(0, qGreen(row[x]) + g, 255),
                          qBound(0, qBlue(row[x]) + g, 255));
        }
    }
    return img;
}

bool save(const QImage &img, const QString &dir, const QString &name, const char *format)
{
    const QString path = dir + "/" + name;
    if (!img.save(path, format, format == QByteArray("JPG") ? 85 : -1)) {
        QTextStream(stderr) << "cannot write " << path << "\n";
        return false;
    }
    QTextStream(stdout) << "wrote " << path << "\n";
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        QTextStream(stderr) << "usage: make_resources <output folder>\n";
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    bool ok = true;
    ok &= save(cardImage(), dir, "bkg.jpg", "JPG");
    ok &= save(powerIcon(kBlue), dir, "start.png", "PNG");
    ok &= save(powerIcon(kRed), dir, "stop.png", "PNG");
    ok &= save(clearIcon(kGrey), dir, "clear.png", "PNG");
    ok &= save(previewIcon(kBlue), dir, "preview.png", "PNG");
    ok &= save(previewIcon(kGrey), dir, "preview_off.png", "PNG");
    ok &= save(gearIcon(kBlue), dir, "settings.png", "PNG");
    ok &= save(gearIcon(kDimBlue), dir, "settings_off.png", "PNG");
    return ok ? 0 : 1;
}
