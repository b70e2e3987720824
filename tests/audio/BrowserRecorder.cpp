#include "BrowserRecorder.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

namespace {

constexpr int kStopGraceMs = 5000;
constexpr int kMaxRequestBytes = 64 * 1024;

// The page. LABEL is replaced by the label text to look for (JSON-quoted).
const char kPage[] = R"(<!doctype html>
<html><body><script>
const wanted = LABEL;
const report = (o) => fetch('/result', {method: 'POST', body: JSON.stringify(o)});
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
function measure(data, rate) {
  // Dropouts: runs of more than a millisecond of silence, which a sine never has.
  let sum = 0, silent = 0, longestSilent = 0, dropouts = 0;
  for (const x of data) {
    sum += x * x;
    silent = Math.abs(x) < 1e-4 ? silent + 1 : 0;
    if (silent === Math.floor(rate / 1000) + 1) ++dropouts;
    longestSilent = Math.max(longestSilent, silent);
  }
  const rms = Math.sqrt(sum / data.length);
  // Pitch from the periods between upward zero crossings. Periods further than 2 % from the
  // median are left out: a gap (counted above) or a cut bends only the periods across it,
  // while a tone played at the wrong rate moves them all.
  const periods = [];
  let previous = -1;
  for (let i = 1; i < data.length; ++i) {
    if (data[i - 1] < 0 && data[i] >= 0) {
      const t = i - 1 + (-data[i - 1]) / (data[i] - data[i - 1]);
      if (previous >= 0) periods.push(t - previous);
      previous = t;
    }
  }
  let hz = 0;
  if (periods.length > 0) {
    const median = [...periods].sort((a, b) => a - b)[Math.floor(periods.length / 2)];
    const whole = periods.filter((p) => Math.abs(p - median) <= 0.02 * median);
    hz = whole.length * rate / whole.reduce((a, b) => a + b, 0);
  }
  return {hz: hz, rmsDbfs: rms > 0 ? 20 * Math.log10(rms) : -200,
          longestSilentMs: longestSilent * 1000 / rate, dropouts: dropouts};
}
(async () => {
  let inputs = [];
  try {
    // Labels are shown once the site may use a microphone.
    const any = await navigator.mediaDevices.getUserMedia({audio: true});
    any.getTracks().forEach((t) => t.stop());
    inputs = (await navigator.mediaDevices.enumerateDevices())
        .filter((d) => d.kind === 'audioinput');
    const device = inputs.find((d) => d.label.includes(wanted));
    if (!device) {
      await report({inputs: inputs.map((d) => d.label), error: 'not listed'});
      return;
    }
    const stream = await navigator.mediaDevices.getUserMedia({audio: {
      deviceId: {exact: device.deviceId}, echoCancellation: false,
      noiseSuppression: false, autoGainControl: false}});
    const context = new AudioContext();
    await context.resume();
    const analyser = context.createAnalyser();
    analyser.fftSize = 32768;
    context.createMediaStreamSource(stream).connect(analyser);
    const data = new Float32Array(analyser.fftSize);
    // Wait for sound, then for a whole window of it.
    let heard = false;
    for (let i = 0; i < 200 && !heard; ++i) {
      await sleep(100);
      analyser.getFloatTimeDomainData(data);
      heard = measure(data, context.sampleRate).rmsDbfs > -40;
    }
    if (!heard) {
      await report({inputs: inputs.map((d) => d.label), label: device.label,
                    error: 'no sound'});
      return;
    }
    await sleep(1000);
    analyser.getFloatTimeDomainData(data);
    const m = measure(data, context.sampleRate);
    stream.getTracks().forEach((t) => t.stop());
    await report({inputs: inputs.map((d) => d.label), label: device.label,
                  rate: context.sampleRate, hz: m.hz, rmsDbfs: m.rmsDbfs,
                  longestSilentMs: m.longestSilentMs, dropouts: m.dropouts});
  } catch (e) {
    await report({inputs: inputs.map((d) => d.label), error: String(e)});
  }
})();
</script></body></html>
)";

QByteArray response(const QByteArray &status, const QByteArray &type, const QByteArray &body)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

QString BrowserRecorder::program()
{
    for (const char *name : {"chromium", "chromium-browser"}) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!path.isEmpty())
            return path;
    }
    return QString();
}

BrowserRecorder::BrowserRecorder(const PipeWireDaemon &daemon) : m_daemon(daemon) {}

BrowserRecorder::~BrowserRecorder()
{
    // Its sockets leave m_requests as they go.
    m_server.reset();
}

void BrowserRecorder::serve(QTcpSocket *socket)
{
    QObject::connect(socket, &QObject::destroyed, [this, socket]() { m_requests.remove(socket); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket]() {
        QByteArray &request = m_requests[socket];
        request += socket->readAll();
        if (request.size() > kMaxRequestBytes) {
            socket->abort();
            return;
        }
        const int headerEnd = request.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QByteArray head = request.left(headerEnd);
        int length = 0;
        for (const QByteArray &line : head.split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toInt();
        }
        if (request.size() - (headerEnd + 4) < length)
            return;
        if (head.startsWith("GET / ")) {
            QByteArray page(kPage);
            page.replace("LABEL", QJsonDocument::fromVariant(QVariantList{m_labelContains})
                                      .toJson(QJsonDocument::Compact)
                                      .mid(1)
                                      .chopped(1));
            socket->write(response("200 OK", "text/html; charset=utf-8", page));
        } else if (head.startsWith("POST /result ")) {
            m_report = request.mid(headerEnd + 4, length);
            socket->write(response("204 No Content", "text/plain", QByteArray()));
        } else {
            socket->write(response("404 Not Found", "text/plain", "not here"));
        }
        socket->disconnectFromHost();
    });
}

QJsonObject BrowserRecorder::record(const QString &labelContains, int timeoutMs, QString *why)
{
    m_labelContains = labelContains;
    m_report.clear();
    m_server = std::make_unique<QTcpServer>();
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        *why = QStringLiteral("no local web server: ") + m_server->errorString();
        return {};
    }
    QObject::connect(m_server.get(), &QTcpServer::newConnection, [this]() {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            serve(socket);
        }
    });

    QTemporaryDir profile;
    QProcessEnvironment env = m_daemon.clientEnvironment();
    // The browser reaches sound through the PulseAudio API, as on a desktop.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    QProcess browser;
    browser.setProcessEnvironment(env);
    browser.setProcessChannelMode(QProcess::MergedChannels);
    // setsid: the browser's helper processes share its group, so the stop reaches them all.
    browser.start(QStringLiteral("setsid"),
                  {program(), QStringLiteral("--headless=new"), QStringLiteral("--no-sandbox"),
                   QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"),
                   QStringLiteral("--use-fake-ui-for-media-stream"),
                   QStringLiteral("--autoplay-policy=no-user-gesture-required"),
                   QStringLiteral("--user-data-dir=") + profile.path(),
                   QStringLiteral("http://127.0.0.1:%1/").arg(m_server->serverPort())});
    if (!browser.waitForStarted(10000)) {
        *why = QStringLiteral("the browser did not start: ") + browser.errorString();
        return {};
    }
    const qint64 group = browser.processId();
    QDeadlineTimer deadline(timeoutMs);
    while (m_report.isEmpty() && !deadline.hasExpired() && browser.state() != QProcess::NotRunning)
        QTest::qWait(50);

    ::kill(static_cast<pid_t>(-group), SIGTERM);
    if (browser.state() != QProcess::NotRunning && !browser.waitForFinished(kStopGraceMs))
        ::kill(static_cast<pid_t>(-group), SIGKILL);
    QDeadlineTimer gone(kStopGraceMs);
    while (::kill(static_cast<pid_t>(-group), 0) == 0 && !gone.hasExpired())
        QTest::qWait(50);
    if (::kill(static_cast<pid_t>(-group), 0) == 0)
        ::kill(static_cast<pid_t>(-group), SIGKILL);
    const QByteArray output = browser.readAll();
    m_server.reset();

    if (m_report.isEmpty()) {
        *why = QStringLiteral("no report from the page within %1 ms; browser output:\n%2")
                   .arg(timeoutMs)
                   .arg(QString::fromUtf8(output.right(3000)));
        return {};
    }
    const QJsonDocument document = QJsonDocument::fromJson(m_report);
    if (!document.isObject()) {
        *why = QStringLiteral("the page's report is not JSON: ") + QString::fromUtf8(m_report);
        return {};
    }
    return document.object();
}
