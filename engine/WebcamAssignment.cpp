#include "engine/WebcamAssignment.h"

#include <algorithm>

WebcamAssignment::WebcamAssignment(Mode mode, int webcams)
    : m_mode(mode), m_owners(static_cast<size_t>(std::max(
                                 0, mode == Mode::NewestOwnsOne ? std::min(webcams, 1) : webcams)),
                             nullptr)
{
}

void WebcamAssignment::join(const void *camera, quint64 admission)
{
    auto it = std::find_if(m_cameras.begin(), m_cameras.end(),
                           [camera](const Camera &entry) { return entry.camera == camera; });
    if (it != m_cameras.end())
        it->admission = admission;
    else
        m_cameras.push_back(Camera{camera, admission, ++m_joins});
    assign();
}

void WebcamAssignment::leave(const void *camera)
{
    const auto it =
        std::remove_if(m_cameras.begin(), m_cameras.end(),
                       [camera](const Camera &entry) { return entry.camera == camera; });
    if (it == m_cameras.end())
        return;
    m_cameras.erase(it, m_cameras.end());
    std::replace(m_owners.begin(), m_owners.end(), camera, static_cast<const void *>(nullptr));
    assign();
}

void WebcamAssignment::assign()
{
    if (m_owners.empty())
        return;
    if (m_mode == Mode::NewestOwnsOne) {
        const auto newest = std::max_element(
            m_cameras.begin(), m_cameras.end(),
            [](const Camera &a, const Camera &b) { return a.admission < b.admission; });
        m_owners.front() = newest == m_cameras.end() ? nullptr : newest->camera;
        return;
    }
    // m_cameras is in joining order, so the first without a webcam has waited longest.
    for (const Camera &entry : m_cameras) {
        if (webcamOf(entry.camera) >= 0)
            continue;
        const auto free = std::find(m_owners.begin(), m_owners.end(), nullptr);
        if (free == m_owners.end())
            return;
        *free = entry.camera;
    }
}

int WebcamAssignment::webcamOf(const void *camera) const
{
    if (!camera)
        return -1;
    const auto it = std::find(m_owners.begin(), m_owners.end(), camera);
    return it == m_owners.end() ? -1 : static_cast<int>(it - m_owners.begin());
}

const void *WebcamAssignment::ownerOf(int webcam) const
{
    return webcam >= 0 && webcam < webcams() ? m_owners[static_cast<size_t>(webcam)] : nullptr;
}

std::vector<const void *> WebcamAssignment::waiting() const
{
    std::vector<Camera> left;
    for (const Camera &entry : m_cameras) {
        if (webcamOf(entry.camera) < 0)
            left.push_back(entry);
    }
    if (m_mode == Mode::NewestOwnsOne) {
        std::stable_sort(left.begin(), left.end(), [](const Camera &a, const Camera &b) {
            return a.admission > b.admission;
        });
    }
    std::vector<const void *> result;
    result.reserve(left.size());
    for (const Camera &entry : left)
        result.push_back(entry.camera);
    return result;
}

std::vector<const void *> WebcamAssignment::cameras() const
{
    std::vector<const void *> result;
    result.reserve(m_cameras.size());
    for (const Camera &entry : m_cameras)
        result.push_back(entry.camera);
    return result;
}
