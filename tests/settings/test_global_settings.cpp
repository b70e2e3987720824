// The settings dialog on the offscreen platform: the values passed in come back through the
// getters (clamped to the spin-box ranges), the image choice and its reset, the ignore-audio
// switch, the card text, and the stream key option, which never comes back on without a key.
#include "ui/GlobalSettings.h"

#include "ingest/StreamKey.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleOptionButton>
#include <QtTest>

namespace {

const QString kDefaultStub = QStringLiteral("Quorvix \n( no signal )");

template <typename T>
T *child(QWidget &dialog, const char *name)
{
    T *widget = dialog.findChild<T *>(QString::fromLatin1(name));
    if (!widget)
        qFatal("missing widget %s", name);
    return widget;
}

// Records what the dialog asks the file chooser and answers with a fixed path.
struct ChooserCall
{
    int calls = 0;
    QWidget *parent = nullptr;
    QString caption;
    QString dir;
    QString filter;
    QString selectedFilter;
};

GlobalSettings::FileChooser answering(ChooserCall *call, const QString &answer)
{
    return [call, answer](QWidget *parent, const QString &caption, const QString &dir,
                          const QString &filter, QString *selectedFilter) {
        ++call->calls;
        call->parent = parent;
        call->caption = caption;
        call->dir = dir;
        call->filter = filter;
        call->selectedFilter = selectedFilter ? *selectedFilter : QStringLiteral("<null>");
        return answer;
    };
}

// A check box reacts only to clicks on its indicator and text, not on the rest of its width.
void clickCheckBox(QCheckBox *box)
{
    QStyleOptionButton option;
    option.initFrom(box);
    const QRect indicator =
        box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, indicator.center());
}

void showAndWait(QWidget &w)
{
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
}

} // namespace

class TestGlobalSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void defaultsComeBackAndFormIsBuilt();
    void outOfRangeValuesAreClamped_data();
    void outOfRangeValuesAreClamped();
    void lockedPortReadsBackUnchanged();
    void imagePathShownAsFileNameWithClearButton();
    void chooseThenClearReturnsEmpty();
    void cancelledChooserKeepsPreviousChoice();
    void ignoreAudioTogglesBoundVisibility();
    void stubTextComesBackUnchanged();
    void okAcceptsCancelRejects();
    void webcamChoicesComeBack_data();
    void webcamChoicesComeBack();
    void requireAlwaysComesWithAKey_data();
    void requireAlwaysComesWithAKey();
};

void TestGlobalSettings::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
}

void TestGlobalSettings::defaultsComeBackAndFormIsBuilt()
{
    GlobalSettings dialog(false, 1935, QString(), 2000, 300, false, false, kDefaultStub);
    QCOMPARE(dialog.port(), 1935);
    QCOMPARE(dialog.maxBufferMs(), 2000);
    QCOMPARE(dialog.maxBufferIgnoreAudioMs(), 300);
    QCOMPARE(dialog.ignoreAudio(), false);
    QCOMPARE(dialog.ndiMode(), false);
    QCOMPARE(dialog.stubText(), kDefaultStub);
    QCOMPARE(dialog.imagePath(), QString());

    QCOMPARE(dialog.objectName(), QStringLiteral("GlobalSettings"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Settings"));
    QCOMPARE(dialog.size(), QSize(411, 360));
    QVERIFY(dialog.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QCOMPARE(int(dialog.windowFlags() & Qt::WindowType_Mask), int(Qt::Window));

    auto *port = child<QSpinBox>(dialog, "spbPort");
    QCOMPARE(port->minimum(), 1000);
    QCOMPARE(port->maximum(), 65000);
    QVERIFY(port->isEnabled());
    auto *mb = child<QSpinBox>(dialog, "spbMB");
    QCOMPARE(mb->minimum(), 100);
    QCOMPARE(mb->maximum(), 5000);
    QCOMPARE(mb->singleStep(), 100);
    auto *mbIa = child<QSpinBox>(dialog, "spbMB_IA");
    QCOMPARE(mbIa->minimum(), 0);
    QCOMPARE(mbIa->maximum(), 5000);
    QCOMPARE(mbIa->singleStep(), 100);

    auto *image = child<QLineEdit>(dialog, "txtColorbarImage");
    QVERIFY(image->isReadOnly());
    QCOMPARE(image->text(), QString());
    QCOMPARE(image->placeholderText(), QStringLiteral("(default empty)"));
    QVERIFY(!child<QLineEdit>(dialog, "txtStubText")->isReadOnly());
    QCOMPARE(child<QPushButton>(dialog, "cmdChooseImage")->text(), QStringLiteral("..."));
    QCOMPARE(child<QPushButton>(dialog, "cmdClearImage")->text(), QStringLiteral("x"));
    QCOMPARE(child<QLabel>(dialog, "label_2")->text(),
             QStringLiteral("this options need restart the app"));
    QCOMPARE(child<QCheckBox>(dialog, "chkIA")->text(), QStringLiteral("Ignore audio"));
    QCOMPARE(child<QCheckBox>(dialog, "chkNDI")->text(), QStringLiteral("NDI on"));

    showAndWait(dialog);
    // The general bound is not editable here; the ignore-audio one only while audio is ignored;
    // nothing to clear without an image.
    QVERIFY(!child<QLabel>(dialog, "lblMB")->isVisible());
    QVERIFY(!mb->isVisible());
    QVERIFY(!child<QLabel>(dialog, "lblMB_IA")->isVisible());
    QVERIFY(!mbIa->isVisible());
    QVERIFY(!child<QPushButton>(dialog, "cmdClearImage")->isVisible());
    QVERIFY(child<QPushButton>(dialog, "cmdChooseImage")->isVisible());
    QVERIFY(port->isVisible());
}

void TestGlobalSettings::outOfRangeValuesAreClamped_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("maxBuffer");
    QTest::addColumn<int>("maxBufferIa");
    QTest::addColumn<int>("expectedPort");
    QTest::addColumn<int>("expectedMaxBuffer");
    QTest::addColumn<int>("expectedMaxBufferIa");

    QTest::newRow("below") << 500 << 50 << -100 << 1000 << 100 << 0;
    QTest::newRow("above") << 70000 << 9000 << 6000 << 65000 << 5000 << 5000;
    QTest::newRow("at the bounds") << 1000 << 100 << 0 << 1000 << 100 << 0;
    QTest::newRow("upper bounds") << 65000 << 5000 << 5000 << 65000 << 5000 << 5000;
    // A bad stored port reads as 0 and comes out of the dialog as the lowest port.
    QTest::newRow("unreadable port") << 0 << 2000 << 300 << 1000 << 2000 << 300;
    // Values off the 100 step are kept as they are.
    QTest::newRow("off step") << 1936 << 2050 << 333 << 1936 << 2050 << 333;
}

void TestGlobalSettings::outOfRangeValuesAreClamped()
{
    QFETCH(int, port);
    QFETCH(int, maxBuffer);
    QFETCH(int, maxBufferIa);
    GlobalSettings dialog(false, port, QString(), maxBuffer, maxBufferIa, true, false,
                          kDefaultStub);
    QTEST(dialog.port(), "expectedPort");
    QTEST(dialog.maxBufferMs(), "expectedMaxBuffer");
    QTEST(dialog.maxBufferIgnoreAudioMs(), "expectedMaxBufferIa");
}

void TestGlobalSettings::lockedPortReadsBackUnchanged()
{
    GlobalSettings dialog(true, 1936, QString(), 2000, 300, false, true, kDefaultStub);
    showAndWait(dialog);
    auto *port = child<QSpinBox>(dialog, "spbPort");
    QVERIFY(!port->isEnabled());
    QVERIFY(port->isVisible());
    // Keys typed into the greyed-out box do nothing.
    port->setFocus();
    QTest::keyClicks(port, "5");
    QTest::keyClick(port, Qt::Key_Up);
    QCOMPARE(dialog.port(), 1936);
    QCOMPARE(dialog.ndiMode(), true);

    // Unlocked, the same keys do change it.
    GlobalSettings open(false, 1936, QString(), 2000, 300, false, false, kDefaultStub);
    showAndWait(open);
    auto *openPort = child<QSpinBox>(open, "spbPort");
    QVERIFY(openPort->isEnabled());
    QTest::keyClick(openPort, Qt::Key_Up);
    QCOMPARE(open.port(), 1937);
}

void TestGlobalSettings::imagePathShownAsFileNameWithClearButton()
{
    const QString path = QStringLiteral("/home/user/Pictures/my card.PNG");
    GlobalSettings dialog(false, 1935, path, 2000, 300, false, false, kDefaultStub);
    showAndWait(dialog);
    QCOMPARE(child<QLineEdit>(dialog, "txtColorbarImage")->text(), QStringLiteral("my card.PNG"));
    QVERIFY(child<QPushButton>(dialog, "cmdClearImage")->isVisible());
    QCOMPARE(dialog.imagePath(), path);
}

void TestGlobalSettings::chooseThenClearReturnsEmpty()
{
    GlobalSettings dialog(false, 1935, QString(), 2000, 300, false, false, kDefaultStub);
    ChooserCall call;
    const QString chosen = QStringLiteral("/tmp/cards/studio bars.jpg");
    dialog.setFileChooser(answering(&call, chosen));
    showAndWait(dialog);

    auto *image = child<QLineEdit>(dialog, "txtColorbarImage");
    auto *clear = child<QPushButton>(dialog, "cmdClearImage");
    QTest::mouseClick(child<QPushButton>(dialog, "cmdChooseImage"), Qt::LeftButton);
    QCOMPARE(call.calls, 1);
    QCOMPARE(call.parent, &dialog);
    QCOMPARE(call.caption, QStringLiteral("Select Image"));
    QCOMPARE(call.dir, QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
    QCOMPARE(call.filter, QStringLiteral("Images (*.png *.jpg *.jpeg)"));
    QCOMPARE(call.selectedFilter, call.filter);

    QCOMPARE(image->text(), QStringLiteral("studio bars.jpg"));
    QCOMPARE(dialog.imagePath(), chosen);
    QVERIFY(clear->isVisible());

    QTest::mouseClick(clear, Qt::LeftButton);
    QCOMPARE(image->text(), QString());
    QVERIFY(!clear->isVisible());
    QCOMPARE(dialog.imagePath(), QString());

    // Choosing again after a reset works and shows the button again.
    QTest::mouseClick(child<QPushButton>(dialog, "cmdChooseImage"), Qt::LeftButton);
    QCOMPARE(dialog.imagePath(), chosen);
    QVERIFY(clear->isVisible());
    QTest::mouseClick(clear, Qt::LeftButton);

    child<QDialogButtonBox>(dialog, "buttonBox")->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.imagePath(), QString());
}

void TestGlobalSettings::cancelledChooserKeepsPreviousChoice()
{
    const QString path = QStringLiteral("/home/user/Pictures/bars.jpeg");
    GlobalSettings dialog(false, 1935, path, 2000, 300, false, false, kDefaultStub);
    ChooserCall call;
    dialog.setFileChooser(answering(&call, QString()));
    showAndWait(dialog);
    QTest::mouseClick(child<QPushButton>(dialog, "cmdChooseImage"), Qt::LeftButton);
    QCOMPARE(call.calls, 1);
    QCOMPARE(dialog.imagePath(), path);
    QCOMPARE(child<QLineEdit>(dialog, "txtColorbarImage")->text(), QStringLiteral("bars.jpeg"));
    QVERIFY(child<QPushButton>(dialog, "cmdClearImage")->isVisible());

    // Cancelled with nothing chosen before: still the built-in image.
    GlobalSettings empty(false, 1935, QString(), 2000, 300, false, false, kDefaultStub);
    empty.setFileChooser(answering(&call, QString()));
    showAndWait(empty);
    QTest::mouseClick(child<QPushButton>(empty, "cmdChooseImage"), Qt::LeftButton);
    QCOMPARE(call.calls, 2);
    QCOMPARE(empty.imagePath(), QString());
    QVERIFY(!child<QPushButton>(empty, "cmdClearImage")->isVisible());
}

void TestGlobalSettings::ignoreAudioTogglesBoundVisibility()
{
    GlobalSettings dialog(false, 1935, QString(), 2000, 700, false, false, kDefaultStub);
    showAndWait(dialog);
    auto *chk = child<QCheckBox>(dialog, "chkIA");
    auto *label = child<QLabel>(dialog, "lblMB_IA");
    auto *bound = child<QSpinBox>(dialog, "spbMB_IA");
    QVERIFY(!label->isVisible());
    QVERIFY(!bound->isVisible());
    // Hidden, yet the value passed in still reads back.
    QCOMPARE(dialog.maxBufferIgnoreAudioMs(), 700);

    clickCheckBox(chk);
    QVERIFY(chk->isChecked());
    QVERIFY(dialog.ignoreAudio());
    QVERIFY(label->isVisible());
    QVERIFY(bound->isVisible());
    QCOMPARE(dialog.maxBufferIgnoreAudioMs(), 700);

    clickCheckBox(chk);
    QVERIFY(!dialog.ignoreAudio());
    QVERIFY(!label->isVisible());
    QVERIFY(!bound->isVisible());
    QCOMPARE(dialog.maxBufferIgnoreAudioMs(), 700);

    // Passed in as ignored: shown from the start, and a click hides it.
    GlobalSettings ignored(false, 1935, QString(), 2000, 700, true, false, kDefaultStub);
    showAndWait(ignored);
    QVERIFY(child<QLabel>(ignored, "lblMB_IA")->isVisible());
    QVERIFY(child<QSpinBox>(ignored, "spbMB_IA")->isVisible());
    clickCheckBox(child<QCheckBox>(ignored, "chkIA"));
    QVERIFY(!child<QSpinBox>(ignored, "spbMB_IA")->isVisible());
}

void TestGlobalSettings::stubTextComesBackUnchanged()
{
    const QStringList texts = {
        kDefaultStub,
        QStringLiteral("two\nbreaks\n"),
        // A typed backslash-n stays two characters; the caller converts it.
        QStringLiteral("Quorvix \\n( no signal )"),
        QString(),
    };
    for (const QString &text : texts) {
        GlobalSettings dialog(false, 1935, QString(), 2000, 300, false, false, text);
        QCOMPARE(dialog.stubText(), text);
        showAndWait(dialog);
        QCOMPARE(dialog.stubText(), text);
    }

    // What the user types comes back as typed.
    GlobalSettings dialog(false, 1935, QString(), 2000, 300, false, false, QString());
    showAndWait(dialog);
    auto *edit = child<QLineEdit>(dialog, "txtStubText");
    QTest::keyClicks(edit, "Off air\\nback soon");
    QCOMPARE(dialog.stubText(), QStringLiteral("Off air\\nback soon"));
}

void TestGlobalSettings::okAcceptsCancelRejects()
{
    GlobalSettings accepted(false, 1935, QString(), 2000, 300, false, false, kDefaultStub);
    QSignalSpy acceptedSpy(&accepted, &QDialog::accepted);
    accepted.open();
    child<QDialogButtonBox>(accepted, "buttonBox")->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(acceptedSpy.count(), 1);
    QCOMPARE(accepted.result(), int(QDialog::Accepted));

    GlobalSettings cancelled(false, 1935, QString(), 2000, 300, false, false, kDefaultStub);
    QSignalSpy rejectedSpy(&cancelled, &QDialog::rejected);
    cancelled.open();
    child<QDialogButtonBox>(cancelled, "buttonBox")->button(QDialogButtonBox::Cancel)->click();
    QCOMPARE(rejectedSpy.count(), 1);
    QCOMPARE(cancelled.result(), int(QDialog::Rejected));

    GlobalSettings escaped(false, 1935, QString(), 2000, 300, false, false, kDefaultStub);
    showAndWait(escaped);
    QTest::keyClick(&escaped, Qt::Key_Escape);
    QCOMPARE(escaped.result(), int(QDialog::Rejected));
    QVERIFY(!escaped.isVisible());
}

void TestGlobalSettings::webcamChoicesComeBack_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("yuyv");
    QTest::addColumn<bool>("fixedRate");
    QTest::addColumn<int>("rotation");
    QTest::addColumn<bool>("mirror");
    QTest::addColumn<bool>("fill");
    QTest::addColumn<QSize>("shownSize"); // a size not offered shows as the default
    QTest::newRow("defaults") << QSize(1280, 720) << false << true << 0 << false << false
                              << QSize(1280, 720);
    QTest::newRow("small YUYV, camera's rate, turned")
        << QSize(640, 480) << true << false << 90 << true << false << QSize(640, 480);
    QTest::newRow("1080p, upside down, filled")
        << QSize(1920, 1080) << false << true << 180 << false << true << QSize(1920, 1080);
    QTest::newRow("size not offered")
        << QSize(800, 600) << true << true << 270 << false << true << QSize(1280, 720);
}

void TestGlobalSettings::webcamChoicesComeBack()
{
    QFETCH(QSize, size);
    QFETCH(bool, yuyv);
    QFETCH(bool, fixedRate);
    QFETCH(int, rotation);
    QFETCH(bool, mirror);
    QFETCH(bool, fill);
    QFETCH(QSize, shownSize);
    GlobalSettings dialog(false, 1935, QString(), 2000, 300, false, false, kDefaultStub);
    WebcamFormat format;
    format.width = size.width();
    format.height = size.height();
    format.pixels = yuyv ? WebcamFormat::Pixels::Yuyv : WebcamFormat::Pixels::I420;
    format.fixedRate = fixedRate;
    PictureOrientation orientation;
    orientation.rotation = rotation;
    orientation.mirror = mirror;
    orientation.fill = fill;
    dialog.setWebcam(format);
    dialog.setOrientation(QStringLiteral("iPhone"), orientation);

    const WebcamFormat back = dialog.webcam();
    QCOMPARE(QSize(back.width, back.height), shownSize);
    QCOMPARE(back.pixels == WebcamFormat::Pixels::Yuyv, yuyv);
    QCOMPARE(back.fixedRate, fixedRate);
    QVERIFY(dialog.orientation() == orientation);

    // The user picks YUYV and the next quarter turn: that is what comes back.
    child<QComboBox>(dialog, "cmbWebcamFormat")->setCurrentIndex(1);
    auto *turn = child<QComboBox>(dialog, "cmbRotation");
    turn->setCurrentIndex((turn->currentIndex() + 1) % turn->count());
    QVERIFY(dialog.webcam().pixels == WebcamFormat::Pixels::Yuyv);
    QCOMPARE(dialog.orientation().rotation, (rotation + 90) % 360);
}

void TestGlobalSettings::requireAlwaysComesWithAKey_data()
{
    // Each step passes the option and a key in; the key that comes back is the one passed,
    // a fresh one ("new"), or none ("").
    QTest::addColumn<QList<bool>>("required");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("on with a key") << QList<bool>{true} << QStringList{"abc"} << QStringList{"abc"};
    QTest::newRow("on without a key") << QList<bool>{true} << QStringList{""} << QStringList{"new"};
    QTest::newRow("off without a key") << QList<bool>{false} << QStringList{""} << QStringList{""};
    QTest::newRow("off keeps its key")
        << QList<bool>{false} << QStringList{"abc"} << QStringList{"abc"};
    // The box is already ticked the second time, so ticking it makes nothing of its own.
    QTest::newRow("on twice without a key")
        << QList<bool>{true, true} << QStringList{"abc", ""} << QStringList{"abc", "new"};
}

void TestGlobalSettings::requireAlwaysComesWithAKey()
{
    QFETCH(QList<bool>, required);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, expected);
    GlobalSettings dialog(false, 1935, QString(), 2000, 300, false, false, kDefaultStub);
    for (int i = 0; i < required.size(); ++i) {
        dialog.setStreamKey(required.at(i), keys.at(i));
        QCOMPARE(dialog.requireStreamKey(), required.at(i));
        QCOMPARE(child<QCheckBox>(dialog, "chkStreamKey")->isChecked(), required.at(i));
        if (expected.at(i) == QLatin1String("new")) {
            QCOMPARE(dialog.streamKey().size(), StreamKey::kLength);
            QCOMPARE(child<QLineEdit>(dialog, "txtStreamKey")->text(), dialog.streamKey());
        } else {
            QCOMPARE(dialog.streamKey(), expected.at(i));
        }
    }
}

QTEST_MAIN(TestGlobalSettings)
#include "test_global_settings.moc"
