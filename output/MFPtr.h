#pragma once

#include "output/MFInterfaces.h"

#include <utility>

// Holds one reference to an adapter object, like the reference-holding pointers the output
// object has always used. Not thread-safe itself: one owner per MFPtr.
template <class T>
class MFPtr
{
public:
    MFPtr() = default;
    // Takes a new reference.
    explicit MFPtr(T *p) : m_p(p)
    {
        if (m_p)
            m_p->addRef();
    }
    MFPtr(const MFPtr &other) : MFPtr(other.m_p) {}
    MFPtr(MFPtr &&other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~MFPtr() { reset(); }

    MFPtr &operator=(MFPtr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }

    // Adopts a reference the caller already owns (an out-pointer's result).
    static MFPtr adopt(T *p)
    {
        MFPtr ptr;
        ptr.m_p = p;
        return ptr;
    }

    void reset()
    {
        if (T *p = std::exchange(m_p, nullptr))
            p->release();
    }

    // For out-pointer arguments: releases the current object first.
    T **put()
    {
        reset();
        return &m_p;
    }
    void **putVoid() { return reinterpret_cast<void **>(put()); }

    // QueryInterface for interface U; an empty pointer when refused.
    template <class U>
    MFPtr<U> query() const
    {
        MFPtr<U> result;
        if (m_p)
            m_p->queryInterface(U::kIid, result.putVoid());
        return result;
    }

    T *get() const { return m_p; }
    T *operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T *m_p = nullptr;
};
