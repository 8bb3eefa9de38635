// Owners of the platform's handles. Each closes its handle in its
// destructor and nowhere else; they move but never copy, so a handle has
// exactly one owner at a time.
#pragma once

#include <windows.h>

#include <utility>

// A handle with its own close function (Close is a function object type,
// Invalid the value that means "none").
template <typename T, typename Close, T Invalid = T{}>
class CUniqueAny
{
public:
    CUniqueAny() = default;
    explicit CUniqueAny(T value) : m_value(value) {}
    ~CUniqueAny() { Reset(); }
    CUniqueAny(CUniqueAny &&other) noexcept : m_value(other.Release()) {}
    CUniqueAny &operator=(CUniqueAny &&other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    CUniqueAny(const CUniqueAny &) = delete;
    CUniqueAny &operator=(const CUniqueAny &) = delete;

    T Get() const { return m_value; }
    explicit operator bool() const { return m_value != Invalid; }
    // Closes the handle held (if any) and takes `value`.
    void Reset(T value = Invalid)
    {
        const T old = std::exchange(m_value, value);
        if (old != Invalid)
            Close{}(old);
    }
    // Gives the handle up without closing it.
    T Release() { return std::exchange(m_value, Invalid); }
    // For APIs that return a handle through an out-parameter.
    T *Put()
    {
        Reset();
        return &m_value;
    }

private:
    T m_value = Invalid;
};

struct CloseKernelHandle
{
    void operator()(HANDLE h) const { ::CloseHandle(h); }
};

// A kernel object handle: event, mutex, thread, process, file mapping.
using CHandle = CUniqueAny<HANDLE, CloseKernelHandle>;

// A duplicate of a kernel handle for another owner (a thread that may
// outlive the object that started it); empty on failure.
inline CHandle DuplicateKernelHandle(HANDLE h)
{
    HANDLE copy = nullptr;
    if (!h || !::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &copy, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS))
        return CHandle();
    return CHandle(copy);
}

struct DestroyIconHandle
{
    void operator()(HICON h) const { ::DestroyIcon(h); }
};

// An icon of one's own (LoadImage without LR_SHARED, CreateIcon...); a
// shared icon is never destroyed and so never put in one.
using CIcon = CUniqueAny<HICON, DestroyIconHandle>;
