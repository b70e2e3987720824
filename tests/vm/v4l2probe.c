/* Small V4L2 tool for the jobs inside the emulated machine: reads what the loopback driver
 * reports and drives it the way the virtual-camera sink does (one output format, whole
 * frames by write()). Each command prints "key=value" lines a job can grep; a refused ioctl
 * is reported by its errno name, not treated as a crash, because the jobs record what the
 * real driver refuses.
 *
 *   v4l2probe caps DEV                         driver, card, capture/output flags
 *   v4l2probe find [CARD]                      first loopback device, preferring CARD
 *   v4l2probe fmt DEV out|cap                  current format of one direction
 *   v4l2probe write DEV WxH Y U V COUNT [--go FILE] [--streamon] [--go-write FILE]
 *                   [--until FILE] [--resize WxH] [--close FILE]
 *                                              set the output format, wait for the go FILE,
 *                                              STREAMON, wait for the go-write FILE, write
 *                                              up to COUNT solid frames at 30 fps
 *                                              (fewer once the until FILE exists), then try
 *                                              another size, wait for the close FILE, close
 *   v4l2probe read DEV TIMEOUT_MS [FILE]       read one frame, print its plane means (and
 *                                              save it to FILE as raw yuv420p)
 *   v4l2probe stats FILE WxH FRAME [X Y W H]   plane means and Y range of a region of one
 *                                              frame of a raw yuv420p file
 *   v4l2probe cmp FILE_A FRAME_A FILE_B FRAME_B WxH
 *                                              largest and mean byte difference of two frames
 *
 * Exit status: 0 done, 1 the command could not be carried out, 2 usage.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

static const char *errName(int e)
{
    switch (e) {
    case EBUSY:
        return "EBUSY";
    case EINVAL:
        return "EINVAL";
    case ENODEV:
        return "ENODEV";
    case ENOENT:
        return "ENOENT";
    case EAGAIN:
        return "EAGAIN";
    case EACCES:
        return "EACCES";
    case EPERM:
        return "EPERM";
    case ENOTTY:
        return "ENOTTY";
    case EIO:
        return "EIO";
    default:
        return "E?";
    }
}

static int xioctl(int fd, unsigned long req, void *arg)
{
    int r;
    do {
        r = ioctl(fd, req, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

static void sleepMs(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

static int parseSize(const char *s, unsigned *w, unsigned *h)
{
    return sscanf(s, "%ux%u", w, h) == 2 && *w > 0 && *h > 0 && *w <= 8192 && *h <= 8192 &&
                   *w % 2 == 0 && *h % 2 == 0
               ? 0
               : -1;
}

static int printCaps(const char *dev)
{
    int fd = open(dev, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        printf("open=%s\n", errName(errno));
        return 1;
    }
    struct v4l2_capability cap;
    memset(&cap, 0, sizeof cap);
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) < 0) {
        printf("querycap=%s\n", errName(errno));
        close(fd);
        return 1;
    }
    uint32_t dc = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    printf("driver=%s\ncard=%s\nbus=%s\n", (const char *)cap.driver, (const char *)cap.card,
           (const char *)cap.bus_info);
    printf("capabilities=0x%08x\ndevice_caps=0x%08x\n", cap.capabilities, dc);
    printf("capture=%d\noutput=%d\n", (dc & V4L2_CAP_VIDEO_CAPTURE) ? 1 : 0,
           (dc & V4L2_CAP_VIDEO_OUTPUT) ? 1 : 0);
    close(fd);
    return 0;
}

/* The same choice the sink makes: the first loopback device, one named CARD if any. */
static int findDevice(const char *card)
{
    DIR *d = opendir("/dev");
    if (!d) {
        printf("opendir=%s\n", errName(errno));
        return 1;
    }
    char first[300] = "", named[300] = "";
    int firstNr = 1 << 30, namedNr = 1 << 30;
    struct dirent *e;
    while ((e = readdir(d)) != NULL) {
        int nr;
        char tail;
        if (sscanf(e->d_name, "video%d%c", &nr, &tail) != 1)
            continue;
        char path[300];
        snprintf(path, sizeof path, "/dev/%s", e->d_name);
        int fd = open(path, O_RDWR | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct v4l2_capability cap;
        memset(&cap, 0, sizeof cap);
        if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 &&
            strcmp((const char *)cap.driver, "v4l2 loopback") == 0) {
            if (nr < firstNr) {
                firstNr = nr;
                snprintf(first, sizeof first, "%s", path);
            }
            if (card && strcmp((const char *)cap.card, card) == 0 && nr < namedNr) {
                namedNr = nr;
                snprintf(named, sizeof named, "%s", path);
            }
        }
        close(fd);
    }
    closedir(d);
    const char *pick = named[0] ? named : first;
    if (!pick[0]) {
        printf("device=none\n");
        return 1;
    }
    printf("device=%s\n", pick);
    return 0;
}

static int printFmt(const char *dev, int output)
{
    int fd = open(dev, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        printf("open=%s\n", errName(errno));
        return 1;
    }
    struct v4l2_format f;
    memset(&f, 0, sizeof f);
    f.type = output ? V4L2_BUF_TYPE_VIDEO_OUTPUT : V4L2_BUF_TYPE_VIDEO_CAPTURE;
    int r = xioctl(fd, VIDIOC_G_FMT, &f);
    if (r < 0) {
        printf("g_fmt=%s\n", errName(errno));
    } else {
        uint32_t p = f.fmt.pix.pixelformat;
        printf("g_fmt=ok\nsize=%ux%u\nfourcc=%c%c%c%c\nsizeimage=%u\nbytesperline=%u\n",
               f.fmt.pix.width, f.fmt.pix.height, p & 0xff, (p >> 8) & 0xff, (p >> 16) & 0xff,
               (p >> 24) & 0xff, f.fmt.pix.sizeimage, f.fmt.pix.bytesperline);
    }
    close(fd);
    return r < 0 ? 1 : 0;
}

static int setOutputFmt(int fd, unsigned w, unsigned h, const char *key)
{
    struct v4l2_format f;
    memset(&f, 0, sizeof f);
    f.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    f.fmt.pix.width = w;
    f.fmt.pix.height = h;
    f.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
    f.fmt.pix.field = V4L2_FIELD_NONE;
    f.fmt.pix.bytesperline = w;
    f.fmt.pix.sizeimage = w * h * 3 / 2;
    f.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
    if (xioctl(fd, VIDIOC_S_FMT, &f) < 0) {
        printf("%s=%s\n", key, errName(errno));
        return -1;
    }
    printf("%s=ok\n%s_size=%ux%u\n", key, key, f.fmt.pix.width, f.fmt.pix.height);
    return 0;
}

/* Bounded: a job that never says go still gets its frames after a minute. */
static void waitForFile(const char *file)
{
    for (int i = 0; file && i < 600 && access(file, F_OK) != 0; ++i)
        sleepMs(100);
}

static int writeFrames(int argc, char **argv)
{
    unsigned w, h;
    if (argc < 8 || parseSize(argv[3], &w, &h) < 0)
        return 2;
    int yv = atoi(argv[4]), uv = atoi(argv[5]), vv = atoi(argv[6]), count = atoi(argv[7]);
    const char *goFile = NULL, *goWriteFile = NULL, *closeFile = NULL;
    unsigned rw = 0, rh = 0;
    int streamon = 0;
    const char *untilFile = NULL;
    for (int i = 8; i < argc; ++i) {
        if (strcmp(argv[i], "--streamon") == 0)
            streamon = 1;
        else if (strcmp(argv[i], "--go") == 0 && i + 1 < argc)
            goFile = argv[++i];
        else if (strcmp(argv[i], "--go-write") == 0 && i + 1 < argc)
            goWriteFile = argv[++i];
        else if (strcmp(argv[i], "--until") == 0 && i + 1 < argc)
            untilFile = argv[++i];
        else if (strcmp(argv[i], "--close") == 0 && i + 1 < argc)
            closeFile = argv[++i];
        else if (strcmp(argv[i], "--resize") == 0 && i + 1 < argc) {
            if (parseSize(argv[++i], &rw, &rh) < 0)
                return 2;
        } else
            return 2;
    }

    int fd = open(argv[2], O_RDWR);
    if (fd < 0) {
        printf("open=%s\n", errName(errno));
        return 1;
    }
    if (setOutputFmt(fd, w, h, "s_fmt") < 0) {
        close(fd);
        return 1;
    }
    size_t ySize = (size_t)w * h, size = ySize * 3 / 2;
    unsigned char *frame = malloc(size);
    if (!frame) {
        close(fd);
        return 1;
    }
    memset(frame, yv, ySize);
    memset(frame + ySize, uv, ySize / 4);
    memset(frame + ySize + ySize / 4, vv, ySize / 4);
    printf("opened=1\n");
    waitForFile(goFile);
    if (streamon) {
        int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        if (xioctl(fd, VIDIOC_STREAMON, &type) < 0)
            printf("streamon=%s\n", errName(errno));
        else
            printf("streamon=ok\n");
    }
    waitForFile(goWriteFile);
    int written = 0, failed = 0;
    for (int i = 0; i < count; ++i) {
        ssize_t n = write(fd, frame, size);
        if (n == (ssize_t)size) {
            ++written;
        } else {
            if (!failed)
                printf("write_error=%s\nwrite_returned=%zd\n", n < 0 ? errName(errno) : "short", n);
            ++failed;
        }
        if (i == 0)
            printf("first_written=1\n");
        if (untilFile && access(untilFile, F_OK) == 0)
            break;
        sleepMs(33);
    }
    printf("written=%d\nwrite_failed=%d\n", written, failed);
    if (rw)
        setOutputFmt(fd, rw, rh, "resize");
    fflush(stdout);
    waitForFile(closeFile);
    free(frame);
    close(fd);
    printf("closed=1\n");
    return failed == 0 && (written > 0 || count == 0) ? 0 : 1;
}

static int readFrame(const char *dev, long timeoutMs, const char *file)
{
    int fd = open(dev, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        printf("open=%s\n", errName(errno));
        return 1;
    }
    struct v4l2_format f;
    memset(&f, 0, sizeof f);
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_G_FMT, &f) < 0) {
        printf("g_fmt=%s\n", errName(errno));
        close(fd);
        return 1;
    }
    unsigned w = f.fmt.pix.width, h = f.fmt.pix.height;
    size_t size = f.fmt.pix.sizeimage;
    if (size < (size_t)w * h * 3 / 2 || size > 64u * 1024 * 1024) {
        printf("sizeimage=%zu\n", size);
        close(fd);
        return 1;
    }
    unsigned char *buf = malloc(size);
    if (!buf) {
        close(fd);
        return 1;
    }
    /* read() first: the driver makes an opener a reader only on its first read or STREAMON,
     * and until then poll() reports nothing, however many frames are written. */
    ssize_t n = read(fd, buf, size);
    int pr = 1;
    if (n < 0 && errno == EAGAIN) {
        struct pollfd p = {fd, POLLIN, 0};
        pr = poll(&p, 1, (int)timeoutMs);
        if (pr > 0)
            n = read(fd, buf, size);
    }
    if (pr <= 0 || n < (ssize_t)((size_t)w * h * 3 / 2)) {
        printf("read=%s\n", pr == 0 ? "timeout" : n < 0 ? errName(errno) : "short");
        free(buf);
        close(fd);
        return 1;
    }
    size_t ySize = (size_t)w * h;
    double sum[3] = {0, 0, 0};
    for (size_t i = 0; i < ySize; ++i)
        sum[0] += buf[i];
    for (size_t i = 0; i < ySize / 4; ++i) {
        sum[1] += buf[ySize + i];
        sum[2] += buf[ySize + ySize / 4 + i];
    }
    printf("read=ok\nsize=%ux%u\nmean_y=%.0f\nmean_u=%.0f\nmean_v=%.0f\n", w, h, sum[0] / ySize,
           sum[1] / (ySize / 4), sum[2] / (ySize / 4));
    int rc = 0;
    if (file) {
        FILE *out = fopen(file, "wb");
        size_t frameBytes = (size_t)w * h * 3 / 2;
        if (!out || fwrite(buf, 1, frameBytes, out) != frameBytes) {
            printf("save=%s\n", errName(errno));
            rc = 1;
        }
        if (out && fclose(out) != 0)
            rc = 1;
    }
    free(buf);
    close(fd);
    return rc;
}

/* Loads frame INDEX of a raw yuv420p file into a buffer the caller frees. */
static unsigned char *loadFrame(const char *file, unsigned w, unsigned h, long index)
{
    size_t size = (size_t)w * h * 3 / 2;
    FILE *f = fopen(file, "rb");
    if (!f) {
        printf("open_file=%s\n", errName(errno));
        return NULL;
    }
    unsigned char *buf = malloc(size);
    if (buf && (fseek(f, (long)size * index, SEEK_SET) != 0 || fread(buf, 1, size, f) != size)) {
        printf("frame=missing\nfile=%s\nindex=%ld\n", file, index);
        free(buf);
        buf = NULL;
    }
    fclose(f);
    return buf;
}

static int frameStats(int argc, char **argv)
{
    unsigned w, h;
    if (argc < 5 || parseSize(argv[3], &w, &h) < 0)
        return 2;
    unsigned x = 0, y = 0, rw = w, rh = h;
    if (argc >= 9) {
        x = (unsigned)atoi(argv[5]) & ~1u;
        y = (unsigned)atoi(argv[6]) & ~1u;
        rw = (unsigned)atoi(argv[7]) & ~1u;
        rh = (unsigned)atoi(argv[8]) & ~1u;
    }
    if (rw == 0 || rh == 0 || x + rw > w || y + rh > h)
        return 2;
    unsigned char *buf = loadFrame(argv[2], w, h, atol(argv[4]));
    if (!buf)
        return 1;
    const unsigned char *yp = buf, *up = buf + (size_t)w * h, *vp = up + (size_t)w * h / 4;
    double sy = 0, su = 0, sv = 0;
    int minY = 255, maxY = 0;
    for (unsigned r = y; r < y + rh; ++r)
        for (unsigned c = x; c < x + rw; ++c) {
            int v = yp[(size_t)r * w + c];
            sy += v;
            minY = v < minY ? v : minY;
            maxY = v > maxY ? v : maxY;
        }
    for (unsigned r = y / 2; r < (y + rh) / 2; ++r)
        for (unsigned c = x / 2; c < (x + rw) / 2; ++c) {
            su += up[(size_t)r * (w / 2) + c];
            sv += vp[(size_t)r * (w / 2) + c];
        }
    double n = (double)rw * rh;
    printf("mean_y=%.0f\nmean_u=%.0f\nmean_v=%.0f\nmin_y=%d\nmax_y=%d\n", sy / n, su / (n / 4),
           sv / (n / 4), minY, maxY);
    free(buf);
    return 0;
}

static int frameCmp(int argc, char **argv)
{
    unsigned w, h;
    if (argc < 7 || parseSize(argv[6], &w, &h) < 0)
        return 2;
    unsigned char *a = loadFrame(argv[2], w, h, atol(argv[3]));
    unsigned char *b = a ? loadFrame(argv[4], w, h, atol(argv[5])) : NULL;
    if (!a || !b) {
        free(a);
        return 1;
    }
    size_t size = (size_t)w * h * 3 / 2;
    int maxDiff = 0;
    double sum = 0;
    for (size_t i = 0; i < size; ++i) {
        int d = abs((int)a[i] - (int)b[i]);
        maxDiff = d > maxDiff ? d : maxDiff;
        sum += d;
    }
    printf("max_diff=%d\nmean_diff=%.3f\n", maxDiff, sum / size);
    free(a);
    free(b);
    return 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc >= 3 && strcmp(argv[1], "caps") == 0)
        return printCaps(argv[2]);
    if (argc >= 2 && strcmp(argv[1], "find") == 0)
        return findDevice(argc >= 3 ? argv[2] : NULL);
    if (argc >= 4 && strcmp(argv[1], "fmt") == 0)
        return printFmt(argv[2], strcmp(argv[3], "out") == 0);
    if (argc >= 2 && strcmp(argv[1], "write") == 0) {
        int r = writeFrames(argc, argv);
        if (r != 2)
            return r;
    }
    if (argc >= 4 && strcmp(argv[1], "read") == 0)
        return readFrame(argv[2], atol(argv[3]), argc >= 5 ? argv[4] : NULL);
    if (argc >= 2 && strcmp(argv[1], "stats") == 0) {
        int r = frameStats(argc, argv);
        if (r != 2)
            return r;
    }
    if (argc >= 2 && strcmp(argv[1], "cmp") == 0) {
        int r = frameCmp(argc, argv);
        if (r != 2)
            return r;
    }
    fprintf(stderr, "usage: v4l2probe caps|find|fmt|write|read|stats|cmp ... (see the source)\n");
    return 2;
}
