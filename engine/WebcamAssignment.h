#pragma once

#include <QtGlobal>

#include <vector>

// Which camera is on which webcam: the rules alone, handed join and leave events (no clock,
// no threads). Cameras are told apart by any unique address.
//
// NewestOwnsOne: one webcam, owned by the camera admitted last of those joined; when it
// leaves, the newest of the rest takes over. Every other camera waits.
// EachOwnWebcam: a joining camera takes the lowest free webcam and keeps it for as long as it
// streams; with none free it waits, and a webcam that frees goes to the camera that has
// waited longest.
//
// Threads: not thread-safe; OutputSwitch calls it under its lock.
class WebcamAssignment
{
public:
    enum class Mode
    {
        NewestOwnsOne,
        EachOwnWebcam,
    };

    // `webcams` is forced to at most one in NewestOwnsOne mode; zero makes every camera wait.
    WebcamAssignment(Mode mode, int webcams);

    Mode mode() const { return m_mode; }
    int webcams() const { return static_cast<int>(m_owners.size()); }

    // `camera` joins (again: its admission number is updated, its webcam kept).
    void join(const void *camera, quint64 admission);
    // `camera` leaves; a no-op for one that never joined.
    void leave(const void *camera);

    // The webcam `camera` is on, -1 while it waits or has not joined.
    int webcamOf(const void *camera) const;
    // The camera on `webcam`, null when it has none (or there is no such webcam).
    const void *ownerOf(int webcam) const;
    // The cameras without a webcam, the one that has waited longest first (NewestOwnsOne:
    // newest admission first, the order in which they would take over).
    std::vector<const void *> waiting() const;
    // Every joined camera, in the order they joined.
    std::vector<const void *> cameras() const;

private:
    struct Camera
    {
        const void *camera;
        quint64 admission;
        quint64 joined; // order of joining: who has waited longest
    };
    void assign();

    Mode m_mode;
    std::vector<const void *> m_owners; // per webcam, null when free
    std::vector<Camera> m_cameras;
    quint64 m_joins = 0;
};
