// Writes the no-signal card the program shows with an empty settings store, brought to the
// webcam's size by the sink's own scaler, as one raw yuv420p frame: the reference the jobs
// compare the webcam's card frames with.
//
//   vm_cardref OUT_FILE WIDTHxHEIGHT
#include "engine/WrappedPicture.h"
#include "output/FrameScaler.h"
#include "ui/StubCard.h"

#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QRegularExpressionMatch size =
        QRegularExpression(QStringLiteral("^(\\d+)x(\\d+)$")).match(args.value(2));
    if (args.size() != 3 || !size.hasMatch()) {
        std::fprintf(stderr, "usage: vm_cardref OUT_FILE WIDTHxHEIGHT\n");
        return 2;
    }
    QTemporaryDir store;
    if (!store.isValid())
        return 1;
    QSettings empty(store.filePath(QStringLiteral("empty.ini")), QSettings::IniFormat);
    StubCard card;
    card.compose(empty);
    FrameScaler scaler(size.captured(1).toInt(), size.captured(2).toInt());
    WrappedPicture cardPicture;
    const uchar *picture =
        scaler.scale(cardPicture.wrap(card.buffer(), card.width(), card.height(), 0));
    QFile out(args.at(1));
    if (!picture || !out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(reinterpret_cast<const char *>(picture), scaler.frameBytes()) !=
            scaler.frameBytes()) {
        std::fprintf(stderr, "vm_cardref: cannot write %s\n", qPrintable(args.at(1)));
        return 1;
    }
    return 0;
}
