#pragma once

#include <QtGlobal>

class Session;

// Optional timing probe of the delivery path, for benchmarks: off unless one is installed with
// Session::setDeliveryObserver. Calls come from the engine's threads while it runs, so an
// observer must be cheap, must not block and must not allocate per call.
class DeliveryObserver
{
public:
    virtual ~DeliveryObserver() = default;
    // Manager thread: a video packet was read; `sessionMs` is its time on the session clock.
    virtual void videoPacketRead(const Session *manager, qint64 sessionMs) = 0;
    // Video handler thread: a picture was queued for delivery at `sessionMs`.
    virtual void videoPictureQueued(const Session *manager, qint64 sessionMs) = 0;
    // Delivery worker, right after sendFrame returned: `pictureMs` is the session time of the
    // picture it carried (`newPicture` false when it repeated the previous one), `samples` the
    // audio sample frames per channel (0 without audio).
    virtual void frameSent(const Session *manager, qint64 pictureMs, bool newPicture,
                           int samples) = 0;
};
