#pragma once

#include "output/MFInterfaces.h"
#include "output/MFPtr.h"

#include <atomic>
#include <utility>

// Reference counting and queryInterface for an adapter object implementing `Interfaces`.
// addRef / release are safe from any thread; the object is deleted (or recycled, see
// finalRelease) when the last reference goes.
template <class... Interfaces>
class MFObject : public Interfaces...
{
public:
    int queryInterface(const MFGuid &iid, void **object) override
    {
        if (!object)
            return kMfPointer;
        *object = nullptr;
        if (iid == kIID_IMFUnknown)
            *object = static_cast<IMFUnknown *>(firstInterface());
        else
            ((iid == Interfaces::kIid ? (void)(*object = static_cast<Interfaces *>(this))
                                      : (void)0),
             ...);
        if (!*object)
            return kMfNoInterface;
        addRef();
        return kMfOk;
    }

    unsigned long addRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }

    unsigned long release() override
    {
        const unsigned long left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            finalRelease();
        return left;
    }

    MFObject(const MFObject &) = delete;
    MFObject &operator=(const MFObject &) = delete;

protected:
    MFObject() = default;
    virtual ~MFObject() = default;
    // Called once the last reference is gone.
    virtual void finalRelease() { delete this; }

private:
    template <class First, class... Rest>
    static First *pick(MFObject *self)
    {
        return static_cast<First *>(self);
    }
    auto *firstInterface() { return pick<Interfaces...>(this); }

    std::atomic<unsigned long> m_refs{0};
};

// A new object with one reference held by the returned pointer.
template <class T, class... Args>
MFPtr<T> mfMake(Args &&...args)
{
    return MFPtr<T>(new T(std::forward<Args>(args)...));
}
