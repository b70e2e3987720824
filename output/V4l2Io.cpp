#include "output/V4l2Io.h"

#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>

QStringList V4l2Io::deviceLabels()
{
    QStringList labels;
    for (const QString &path : videoDevices()) {
        QString label;
        const int fd = open(path.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK);
        if (fd >= 0) {
            v4l2_capability cap;
            std::memset(&cap, 0, sizeof cap);
            if (ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
                const char *card = reinterpret_cast<const char *>(cap.card);
                label = QString::fromLatin1(card, static_cast<int>(strnlen(card, sizeof cap.card)));
            }
            close(fd);
        }
        labels << label;
    }
    return labels;
}
