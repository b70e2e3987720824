#pragma once

#include "output/NdiApi.h"

#include <QString>

#include <memory>

// The NDI runtime, loaded at run time so the program starts and works without it. Looks for
// libndi.so.6, then libndi.so.5 (the highest major found wins), each first in the folder
// named by NDI_RUNTIME_DIR_V6, then NDI_RUNTIME_DIR_V5, then in the system library paths;
// resolves the sender's entry points and initialises the runtime. Logs which file was loaded
// or why none was. Destruction ends the runtime (NDIlib_destroy) and unloads the library;
// every sender must be destroyed before.
//
// load() and the destructor: GUI thread. The entry points: any thread, as the runtime allows
// (the NDI renderer serialises its calls).
class NdiRuntime
{
public:
    // The loaded and initialised runtime, or null (logged) when none is usable.
    static std::unique_ptr<NdiRuntime> load();
    ~NdiRuntime();
    NdiRuntime(const NdiRuntime &) = delete;
    NdiRuntime &operator=(const NdiRuntime &) = delete;

    // The file loaded, as the dynamic loader resolved it.
    QString path() const { return m_path; }
    // 6 or 5.
    int major() const { return m_major; }

    NDIlib_send_instance_t sendCreate(const NDIlib_send_create_t *settings) const
    {
        return m_sendCreate(settings);
    }
    void sendDestroy(NDIlib_send_instance_t sender) const { m_sendDestroy(sender); }
    void sendVideo(NDIlib_send_instance_t sender, const NDIlib_video_frame_v2_t *frame) const
    {
        m_sendVideo(sender, frame);
    }
    void sendAudio(NDIlib_send_instance_t sender, const NDIlib_audio_frame_v2_t *frame) const
    {
        m_sendAudio(sender, frame);
    }

private:
    NdiRuntime() = default;
    // Resolves every entry point of `handle`; false (with the first missing name) if one lacks.
    bool resolve(void *handle, QString *missing);

    void *m_handle = nullptr;
    QString m_path;
    int m_major = 0;
    NDIlib_initialize_fn m_initialize = nullptr;
    NDIlib_destroy_fn m_destroy = nullptr;
    NDIlib_send_create_fn m_sendCreate = nullptr;
    NDIlib_send_destroy_fn m_sendDestroy = nullptr;
    NDIlib_send_send_video_v2_fn m_sendVideo = nullptr;
    NDIlib_send_send_audio_v2_fn m_sendAudio = nullptr;
};
