// Draws the application icon for the desktop menu: an action camera, an orange arrow and a
// desk webcam on a dark-blue tile, in the program's own colours. The same shape list is
// painted to PNG at each hicolor size and written out as SVG, so the raster and the scalable
// icon never drift apart. Run by packaging/make-app-icon.sh; the outputs are committed under
// packaging/icons so the build needs no drawing step.
//
//   make_app_icon <folder>           writes <folder>/hicolor/<n>x<n>/apps/quorvix.png and
//                                    <folder>/hicolor/scalable/apps/quorvix.svg
//   make_app_icon --check <folder>   redraws and compares with what is there; exit 1 on
//                                    a missing or different file (run by the test suite)
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPolygonF>
#include <QStringList>
#include <QTextStream>
#include <QVector>

#include <cstdlib>

namespace {

// Every shape is laid out on this grid and scaled to the target size.
constexpr double kGridUnits = 256.0;
// At and below this size the three-part picture is unreadable; draw the webcam alone, large.
constexpr int kSmallIconMaxPx = 32;
// Sizes the hicolor theme gets a PNG for.
const int kIconSizesPx[] = {16, 32, 48, 64, 128, 256};
// Raster engines may round differently on other CPUs (SIMD blend paths); a redraw that
// differs by at most this much per channel still counts as the same picture.
constexpr int kCheckToleranceLevels = 3;

const QColor kTileTop(0x1B, 0x4F, 0x80);
const QColor kTileBottom(0x0E, 0x2B, 0x47);
const QColor kBody(0xE6, 0xEB, 0xF0);
const QColor kNeck(0xB8, 0xC2, 0xCC);
const QColor kLensRing(0x05, 0x0F, 0x15);
const QColor kLens(0x2F, 0x8C, 0xE6);
const QColor kOrange(0xEA, 0x70, 0x0C);
const QColor kGlint(0xFF, 0xFF, 0xFF);

struct Shape
{
    enum Kind
    {
        RoundRect,
        Circle,
        Polygon
    };
    Kind kind;
    QRectF rect;      // RoundRect: the box; Circle: the bounding square
    double radius;    // RoundRect corner radius
    QPolygonF points; // Polygon only
    QColor top;       // fill; a vertical gradient from top to bottom when they differ
    QColor bottom;
};

Shape roundRect(double x, double y, double w, double h, double r, const QColor &c)
{
    return {Shape::RoundRect, QRectF(x, y, w, h), r, {}, c, c};
}

Shape circle(double cx, double cy, double r, const QColor &c)
{
    return {Shape::Circle, QRectF(cx - r, cy - r, 2 * r, 2 * r), 0, {}, c, c};
}

Shape polygon(const QPolygonF &pts, const QColor &c)
{
    return {Shape::Polygon, pts.boundingRect(), 0, pts, c, c};
}

QVector<Shape> artwork(bool small)
{
    QVector<Shape> s;
    Shape tile = roundRect(20, 20, 216, 216, 44, kTileTop);
    tile.bottom = kTileBottom;
    s << tile;
    if (small) {
        s << circle(128, 112, 72, kBody) << circle(128, 112, 44, kLensRing)
          << circle(128, 112, 26, kLens) << roundRect(118, 182, 20, 22, 4, kNeck)
          << roundRect(80, 200, 96, 22, 11, kBody);
        return s;
    }
    // The action camera: shutter button, body, lens.
    s << roundRect(38, 82, 20, 12, 3, kBody) << roundRect(30, 90, 72, 56, 10, kBody)
      << circle(66, 118, 19, kLensRing) << circle(66, 118, 10, kLens);
    // The stream going across.
    s << polygon(
        QPolygonF({QPointF(108, 110), QPointF(126, 110), QPointF(126, 98), QPointF(146, 118),
                   QPointF(126, 138), QPointF(126, 126), QPointF(108, 126)}),
        kOrange);
    // The webcam: stand first so the head sits over it, then lens, glint and the live light.
    s << roundRect(185, 150, 14, 24, 3, kNeck) << roundRect(160, 170, 64, 14, 7, kBody)
      << circle(192, 112, 42, kBody) << circle(192, 112, 26, kLensRing)
      << circle(192, 112, 15, kLens) << circle(185, 105, 5, kGlint) << circle(192, 78, 4, kOrange);
    return s;
}

QImage render(int px)
{
    QImage img(px, px, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(px / kGridUnits, px / kGridUnits);
    p.setPen(Qt::NoPen);
    for (const Shape &shape : artwork(px <= kSmallIconMaxPx)) {
        if (shape.top == shape.bottom) {
            p.setBrush(shape.top);
        } else {
            QLinearGradient g(shape.rect.topLeft(), shape.rect.bottomLeft());
            g.setColorAt(0, shape.top);
            g.setColorAt(1, shape.bottom);
            p.setBrush(g);
        }
        switch (shape.kind) {
        case Shape::RoundRect:
            p.drawRoundedRect(shape.rect, shape.radius, shape.radius);
            break;
        case Shape::Circle:
            p.drawEllipse(shape.rect);
            break;
        case Shape::Polygon:
            p.drawPolygon(shape.points);
            break;
        }
    }
    p.end();
    return img.convertToFormat(QImage::Format_ARGB32);
}

QString num(double v)
{
    return QString::number(v, 'g', 6);
}

QString svgText()
{
    QString body;
    QString defs;
    int gradients = 0;
    for (const Shape &shape : artwork(false)) {
        QString fill = shape.top.name();
        if (shape.top != shape.bottom) {
            const QString id = QStringLiteral("g%1").arg(gradients++);
            defs += QStringLiteral("<linearGradient id=\"%1\" x1=\"0\" y1=\"0\" x2=\"0\" "
                                   "y2=\"1\"><stop offset=\"0\" stop-color=\"%2\"/>"
                                   "<stop offset=\"1\" stop-color=\"%3\"/></linearGradient>")
                        .arg(id, shape.top.name(), shape.bottom.name());
            fill = QStringLiteral("url(#%1)").arg(id);
        }
        const QRectF &r = shape.rect;
        switch (shape.kind) {
        case Shape::RoundRect:
            body += QStringLiteral("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" "
                                   "rx=\"%5\" ry=\"%5\" fill=\"%6\"/>\n")
                        .arg(num(r.x()), num(r.y()), num(r.width()), num(r.height()),
                             num(shape.radius), fill);
            break;
        case Shape::Circle:
            body += QStringLiteral("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"%4\"/>\n")
                        .arg(num(r.center().x()), num(r.center().y()), num(r.width() / 2), fill);
            break;
        case Shape::Polygon: {
            QStringList pts;
            for (const QPointF &pt : shape.points)
                pts << num(pt.x()) + "," + num(pt.y());
            body +=
                QStringLiteral("  <polygon points=\"%1\" fill=\"%2\"/>\n").arg(pts.join(' '), fill);
            break;
        }
        }
    }
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                          "viewBox=\"0 0 %1 %1\">\n  <defs>%2</defs>\n%3</svg>\n")
        .arg(num(kGridUnits), defs, body);
}

QString pngPath(const QString &root, int px)
{
    return QStringLiteral("%1/hicolor/%2x%2/apps/quorvix.png").arg(root).arg(px);
}

QString svgPath(const QString &root)
{
    return root + "/hicolor/scalable/apps/quorvix.svg";
}

bool write(const QString &root)
{
    bool ok = true;
    for (int px : kIconSizesPx) {
        const QString path = pngPath(root, px);
        if (!QDir().mkpath(QFileInfo(path).path()) || !render(px).save(path, "PNG")) {
            QTextStream(stderr) << "cannot write " << path << "\n";
            ok = false;
            continue;
        }
        QTextStream(stdout) << "wrote " << path << "\n";
    }
    const QString path = svgPath(root);
    QFile svg(path);
    if (!QDir().mkpath(QFileInfo(path).path()) || !svg.open(QIODevice::WriteOnly) ||
        svg.write(svgText().toUtf8()) < 0 || !svg.flush()) {
        QTextStream(stderr) << "cannot write " << path << "\n";
        return false;
    }
    QTextStream(stdout) << "wrote " << path << "\n";
    return ok;
}

// Largest per-channel difference, or -1 when the sizes differ.
int difference(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return -1;
    int worst = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto *ra = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *rb = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            worst = qMax(worst, std::abs(qRed(ra[x]) - qRed(rb[x])));
            worst = qMax(worst, std::abs(qGreen(ra[x]) - qGreen(rb[x])));
            worst = qMax(worst, std::abs(qBlue(ra[x]) - qBlue(rb[x])));
            worst = qMax(worst, std::abs(qAlpha(ra[x]) - qAlpha(rb[x])));
        }
    }
    return worst;
}

bool check(const QString &root)
{
    bool ok = true;
    for (int px : kIconSizesPx) {
        const QString path = pngPath(root, px);
        QImage committed;
        if (!committed.load(path, "PNG")) {
            QTextStream(stderr) << "missing or unreadable: " << path << "\n";
            ok = false;
            continue;
        }
        const int diff = difference(render(px), committed.convertToFormat(QImage::Format_ARGB32));
        if (diff < 0 || diff > kCheckToleranceLevels) {
            QTextStream(stderr) << "out of date: " << path << " ("
                                << (diff < 0 ? QStringLiteral("size %1x%2")
                                                   .arg(committed.width())
                                                   .arg(committed.height())
                                             : QStringLiteral("differs by %1").arg(diff))
                                << "); run packaging/make-app-icon.sh\n";
            ok = false;
        }
    }
    QFile svg(svgPath(root));
    if (!svg.open(QIODevice::ReadOnly) || QString::fromUtf8(svg.readAll()) != svgText()) {
        QTextStream(stderr) << "missing or out of date: " << svgPath(root)
                            << "; run packaging/make-app-icon.sh\n";
        ok = false;
    }
    if (ok)
        QTextStream(stdout) << "icons in " << root << " match the drawing\n";
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 1 && !args[0].startsWith('-'))
        return write(args[0]) ? 0 : 1;
    if (args.size() == 2 && args[0] == QLatin1String("--check"))
        return check(args[1]) ? 0 : 1;
    QTextStream(stderr) << "usage: make_app_icon <folder> | make_app_icon --check <folder>\n";
    return 2;
}
