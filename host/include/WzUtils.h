// Host support library WzUtils: owned memory blocks, path strings and joining, sleep.
#pragma once

#include <cstddef>
#include <string>

#define WZ_EXPORT __attribute__((visibility("default")))

// An owned memory block of Ts.
template <class T>
class CAutoMemory {
public:
    CAutoMemory() : m_ptr(nullptr), m_size(0) {}
    explicit CAutoMemory(std::size_t size) : m_ptr(size ? new T[size]() : nullptr), m_size(size) {}
    ~CAutoMemory() { delete[] m_ptr; }
    CAutoMemory(const CAutoMemory&) = delete;
    CAutoMemory& operator=(const CAutoMemory&) = delete;
    CAutoMemory& operator=(CAutoMemory&& other) noexcept {
        if (this != &other) {
            delete[] m_ptr;
            m_ptr = other.m_ptr;
            m_size = other.m_size;
            other.m_ptr = nullptr;
            other.m_size = 0;
        }
        return *this;
    }
    CAutoMemory(CAutoMemory&& other) noexcept : m_ptr(other.m_ptr), m_size(other.m_size) {
        other.m_ptr = nullptr;
        other.m_size = 0;
    }

    T* Ptr() { return m_size == 0 ? nullptr : m_ptr; }
    // The block, or null for an empty block.
    const T* Ptr_const() const { return m_size == 0 ? nullptr : m_ptr; }
    std::size_t Size() const { return m_size; }

private:
    T* m_ptr;
    std::size_t m_size;
};

// A NUL-terminated text in an owned block.
class WZ_EXPORT CWzString {
public:
    CWzString();
    explicit CWzString(const char* text);
    CWzString(CWzString&& other) noexcept;
    ~CWzString();
    CWzString(const CWzString&) = delete;
    CWzString& operator=(const CWzString&) = delete;

    // Never null: an empty string gives "".
    const char* c_str() const { return m_length == 0 ? "" : m_buffer.Ptr_const(); }
    std::size_t length() const { return m_length; }

private:
    CAutoMemory<char> m_buffer;
    std::size_t m_length;
};

class WZ_EXPORT CWzPath {
public:
    // directory + '/' + file, with exactly one separator between them.
    static CWzString Append(const char* directory, const char* file);
};

// Sleeps the calling thread for `milliseconds`; file and line name the caller for diagnosis.
extern "C" WZ_EXPORT void WZSLEEP_InTeRnAl(unsigned int milliseconds, const char* file, int line);
#define WZSLEEP(ms) WZSLEEP_InTeRnAl((ms), __FILE__, __LINE__)
