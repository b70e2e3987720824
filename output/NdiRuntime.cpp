#include "output/NdiRuntime.h"

#include "app/Environment.h"
#include "output/OutputLog.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <dlfcn.h>
#include <link.h>

namespace {

constexpr int kMajors[] = {6, 5};
constexpr const char *kDirVariables[] = {"NDI_RUNTIME_DIR_V6", "NDI_RUNTIME_DIR_V5"};

QString loaderError()
{
    const char *error = dlerror();
    return error ? QString::fromLocal8Bit(error) : QStringLiteral("unknown loader error");
}

template <class Fn>
bool symbol(void *handle, const char *name, Fn *out, QString *missing)
{
    *out = reinterpret_cast<Fn>(dlsym(handle, name));
    if (!*out && missing->isEmpty())
        *missing = QString::fromLatin1(name);
    return *out != nullptr;
}

// Where the loader actually found `handle` (a bare name resolves through the system paths).
QString loadedPath(void *handle, const QString &fallback)
{
    link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && map->l_name[0])
        return QString::fromLocal8Bit(map->l_name);
    return fallback;
}

} // namespace

bool NdiRuntime::resolve(void *handle, QString *missing)
{
    bool ok = symbol(handle, "NDIlib_initialize", &m_initialize, missing);
    ok = symbol(handle, "NDIlib_destroy", &m_destroy, missing) && ok;
    ok = symbol(handle, "NDIlib_send_create", &m_sendCreate, missing) && ok;
    ok = symbol(handle, "NDIlib_send_destroy", &m_sendDestroy, missing) && ok;
    ok = symbol(handle, "NDIlib_send_send_video_v2", &m_sendVideo, missing) && ok;
    ok = symbol(handle, "NDIlib_send_send_audio_v2", &m_sendAudio, missing) && ok;
    return ok;
}

std::unique_ptr<NdiRuntime> NdiRuntime::load()
{
    QStringList dirs;
    QStringList looked;
    for (const char *variable : kDirVariables) {
        const QString dir = Environment::ndiRuntimeDir(variable);
        looked << QStringLiteral("%1=%2").arg(QLatin1String(variable),
                                              dir.isEmpty() ? QStringLiteral("(unset)") : dir);
        if (!dir.isEmpty())
            dirs << dir;
    }
    QStringList problems;
    for (const int major : kMajors) {
        const QString file = QStringLiteral("libndi.so.%1").arg(major);
        QStringList candidates;
        for (const QString &dir : dirs) {
            const QString path = QDir(dir).filePath(file);
            if (QFileInfo::exists(path))
                candidates << path;
        }
        candidates << file; // the system library paths
        for (const QString &candidate : candidates) {
            const bool inSystemPaths = candidate == file;
            dlerror();
            void *handle = dlopen(QFile::encodeName(candidate).constData(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                // A file that is not in the system paths at all is the usual case, not news.
                const QString error = loaderError();
                if (!inSystemPaths || !error.contains(QLatin1String("No such file")))
                    problems << QStringLiteral("%1: %2").arg(candidate, error);
                continue;
            }
            std::unique_ptr<NdiRuntime> runtime(new NdiRuntime);
            QString missing;
            if (!runtime->resolve(handle, &missing)) {
                problems << QStringLiteral("%1: not an NDI runtime (no %2)")
                                .arg(loadedPath(handle, candidate), missing);
                dlclose(handle);
                continue;
            }
            const QString path = loadedPath(handle, candidate);
            // The runtime refuses CPUs without the instructions it needs (SSE4.2 and up); an
            // older major would refuse the same CPU, so stop here.
            if (!runtime->m_initialize()) {
                qCInfo(lcOutput).noquote()
                    << "NDI: runtime" << path
                    << "cannot run on this CPU (NDIlib_initialize failed); NDI off";
                dlclose(handle);
                return {};
            }
            runtime->m_handle = handle;
            runtime->m_path = path;
            runtime->m_major = major;
            const auto version =
                reinterpret_cast<NDIlib_version_fn>(dlsym(handle, "NDIlib_version"));
            const char *versionText = version ? version() : nullptr;
            QString loaded = QStringLiteral("NDI: runtime loaded: %1").arg(path);
            if (versionText)
                loaded += QStringLiteral(" (%1)").arg(QString::fromUtf8(versionText));
            qCInfo(lcOutput).noquote() << loaded;
            return runtime;
        }
    }
    QString why = QStringLiteral("NDI: no runtime found: looked for libndi.so.6 and libndi.so.5 "
                                 "in %1 and the system library paths; install the NDI runtime "
                                 "to send NDI")
                      .arg(looked.join(QLatin1String(", ")));
    if (!problems.isEmpty())
        why += QStringLiteral(" (%1)").arg(problems.join(QLatin1String("; ")));
    qCInfo(lcOutput).noquote() << why;
    return {};
}

NdiRuntime::~NdiRuntime()
{
    if (!m_handle)
        return;
    m_destroy();
    if (dlclose(m_handle) != 0)
        qCWarning(lcOutput).noquote() << "NDI: unloading the runtime failed:" << loaderError();
}
