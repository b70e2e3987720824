#include "engine/WebcamAssignment.h"

#include <QtTest>

#include <map>

Q_DECLARE_METATYPE(WebcamAssignment::Mode)

namespace {

using Mode = WebcamAssignment::Mode;

// Cameras are letters; their addresses are those of fixed characters.
const char kCameras[] = "abcdefghijklmnopqrstuvwxyz";

const void *camera(QChar letter)
{
    return &kCameras[letter.toLatin1() - 'a'];
}

QChar letterOf(const void *address)
{
    return address ? QChar::fromLatin1(*static_cast<const char *>(address)) : QLatin1Char('-');
}

} // namespace

// The camera → webcam rules, as a table of join ("+a", admitted now) and leave ("-a") events
// and the state they lead to: the camera on each webcam ("-" for none) and those waiting.
class WebcamAssignmentTest : public QObject
{
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
};

void WebcamAssignmentTest::rules_data()
{
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<int>("webcams");
    QTest::addColumn<QString>("events");
    QTest::addColumn<QString>("owners");
    QTest::addColumn<QString>("waiting");

    const Mode each = Mode::EachOwnWebcam;
    const Mode newest = Mode::NewestOwnsOne;
    QTest::newRow("each: lowest free in turn") << each << 4 << "+a +b +c"
                                               << "abc-"
                                               << "";
    QTest::newRow("each: release") << each << 4 << "+a +b -a"
                                   << "-b--"
                                   << "";
    QTest::newRow("each: a freed webcam is re-used, lowest first")
        << each << 4 << "+a +b +c -a -b +d"
        << "d-c-"
        << "";
    QTest::newRow("each: a camera keeps its webcam when an earlier one leaves")
        << each << 2 << "+a +b -a"
        << "-b"
        << "";
    QTest::newRow("each: more cameras than webcams wait") << each << 2 << "+a +b +c +d"
                                                          << "ab"
                                                          << "cd";
    QTest::newRow("each: the one waiting longest takes a freed webcam")
        << each << 2 << "+a +b +c +d -b"
        << "ac"
        << "d";
    QTest::newRow("each: a waiting camera that leaves gives up its turn")
        << each << 2 << "+a +b +c +d -c -a"
        << "db"
        << "";
    QTest::newRow("each: joining again keeps the webcam") << each << 2 << "+a +b +a"
                                                          << "ab"
                                                          << "";
    QTest::newRow("each: a stranger leaving changes nothing") << each << 2 << "+a -z"
                                                              << "a-"
                                                              << "";
    QTest::newRow("each: all leave") << each << 4 << "+a +b -b -a"
                                     << "----"
                                     << "";
    QTest::newRow("each: no webcam at all") << each << 0 << "+a +b"
                                            << ""
                                            << "ab";
    QTest::newRow("newest: the newest owns the one webcam") << newest << 1 << "+a +b +c"
                                                            << "c"
                                                            << "ba";
    QTest::newRow("newest: more webcams still means one") << newest << 4 << "+a +b"
                                                          << "b"
                                                          << "a";
    QTest::newRow("newest: the owner leaves, the newest left takes over")
        << newest << 1 << "+a +b +c -c"
        << "b"
        << "a";
    QTest::newRow("newest: one that is not the owner leaves") << newest << 1 << "+a +b -a"
                                                              << "b"
                                                              << "";
    QTest::newRow("newest: all leave, the card") << newest << 1 << "+a -a"
                                                 << "-"
                                                 << "";
}

void WebcamAssignmentTest::rules()
{
    QFETCH(Mode, mode);
    QFETCH(int, webcams);
    QFETCH(QString, events);
    QFETCH(QString, owners);
    QFETCH(QString, waiting);

    WebcamAssignment assignment(mode, webcams);
    quint64 admission = 0;
    for (const QString &event : events.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (event.at(0) == QLatin1Char('+'))
            assignment.join(camera(event.at(1)), ++admission);
        else
            assignment.leave(camera(event.at(1)));
    }
    QString actualOwners;
    for (int i = 0; i < assignment.webcams(); ++i)
        actualOwners += letterOf(assignment.ownerOf(i));
    QCOMPARE(actualOwners, owners);
    QString actualWaiting;
    for (const void *address : assignment.waiting())
        actualWaiting += letterOf(address);
    QCOMPARE(actualWaiting, waiting);
    // webcamOf agrees with ownerOf, and a waiting camera has none.
    for (int i = 0; i < assignment.webcams(); ++i) {
        if (const void *owner = assignment.ownerOf(i))
            QCOMPARE(assignment.webcamOf(owner), i);
    }
    for (const void *address : assignment.waiting())
        QCOMPARE(assignment.webcamOf(address), -1);
}

QTEST_GUILESS_MAIN(WebcamAssignmentTest)
#include "WebcamAssignmentTest.moc"
