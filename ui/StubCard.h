#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>

class QSettings;
struct AVFrame;
struct SwsContext;

// The no-signal card: a background image with a short text drawn in its centre, converted once
// to planar YUV 4:2:0 (rows packed, Y then U then V) in a buffer that Application hands to the
// output once at start; the output repeats it while no camera publishes.
//
// The background is the built-in ":BKG" or the user's choice. The program keeps a private copy
// of a chosen image in the "Images" folder of the application's data location, so the card
// still works when the user moves or deletes the original.
//
// Threads: GUI thread only. The buffer is written by compose()/renderStub() before it is handed
// to the output (which copies it) and only read afterwards, so it needs no lock.
class StubCard
{
public:
    // 1920 x 1080 x 3: the card buffer's size, fixed for the program run.
    static constexpr int kBufferBytes = 6220800;
    // An image whose YUV 4:2:0 picture would not fit the buffer is scaled down to fit this box.
    static constexpr int kFitWidthPx = 1920;
    static constexpr int kFitHeightPx = 1080;
    static constexpr const char *kBuiltInImage = ":BKG";
    static constexpr const char *kImagesFolderName = "Images";
    static constexpr const char *kFontFamily = "Times";
    static constexpr int kFontPointSize = 80;

    StubCard();
    ~StubCard();
    StubCard(const StubCard &) = delete;
    StubCard &operator=(const StubCard &) = delete;

    // Start-up: chooses the image file from the store (refreshing the private copy when the
    // chosen file changed, resetting the keys when neither file is left), loads it, reads
    // STUB_TEXT and renders. Called once, by Application at start.
    void compose(QSettings &settings);

    // Draws `text` (white bold Times 80, one centred line per line break) on `image` and
    // converts the result into the buffer. `image` must be Format_ARGB32 of width x height and
    // fit the buffer (loadImage() guarantees both). Logs " STUB EXCEPTION" when the conversion
    // fails; the buffer then keeps what it held.
    void renderStub(int width, int height, QImage &image, const QString &text);

    const unsigned char *buffer() const { return m_stubBuffer.get(); }
    int width() const { return m_width; }
    int height() const { return m_height; }
    // The background with the text, as rendered; null before the first render.
    const QImage &image() const { return m_image; }

    // Bytes of a packed YUV 4:2:0 picture of that size (chroma planes ceil(w/2) x ceil(h/2)).
    static qint64 pictureBytes(int width, int height);

    // The image file the card uses at start-up, following the stored choice. May copy the
    // chosen file into the images folder and may reset DISPLAYED_COLORBAR_IMAGE and
    // LAST_TEMP_COLORBAR_IMAGE (synced) when neither the chosen file nor its copy is left.
    static QString chooseImageFile(QSettings &settings);

    // Loads `file` as ARGB32. An image that cannot be decoded gives the built-in card; one too
    // large for the buffer is scaled down to fit 1920 x 1080 with its aspect ratio kept.
    static QImage loadImage(const QString &file);

    // The images folder (created if missing) + "/" + the file-name part of `path`.
    static QString imageCopyPath(const QString &path);

    // Stores the image path the settings dialog returned. Empty: back to the built-in card; the
    // old copy stays on disk. Otherwise the file is copied into the images folder, and only once
    // the copy exists are older files there removed and both keys stored. True when the choice
    // was stored; false (keys and copy untouched) when the file could not be copied.
    static bool storeChoice(QSettings &settings, const QString &imagePath);

private:
    struct FrameDeleter
    {
        void operator()(AVFrame *frame) const;
    };
    struct ScalerDeleter
    {
        void operator()(SwsContext *context) const;
    };

    // -- GUI thread only.
    std::unique_ptr<unsigned char[]> m_stubBuffer;
    std::unique_ptr<AVFrame, FrameDeleter> m_stubFrame;
    std::unique_ptr<SwsContext, ScalerDeleter> m_stubScaler;
    int m_width = 0;
    int m_height = 0;
    QImage m_image;
};
