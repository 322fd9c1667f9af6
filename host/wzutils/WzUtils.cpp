// Our stand-in of the host's WzUtils: path strings, path joining and sleep.
#include "WzUtils.h"

#include <time.h>

#include <cerrno>
#include <cstring>
#include <utility>

CWzString::CWzString() : m_length(0) {}

CWzString::CWzString(const char* text) : m_length(text ? std::strlen(text) : 0) {
    if (m_length != 0) {
        CAutoMemory<char> block(m_length + 1);
        std::memcpy(block.Ptr(), text, m_length + 1);
        m_buffer = std::move(block);
    }
}

CWzString::CWzString(CWzString&& other) noexcept : m_buffer(std::move(other.m_buffer)), m_length(other.m_length) {
    other.m_length = 0;
}

CWzString::~CWzString() = default;

CWzString CWzPath::Append(const char* directory, const char* file) {
    std::string dir = directory ? directory : "";
    std::string name = file ? file : "";
    while (!name.empty() && name.front() == '/') name.erase(0, 1);
    if (dir.empty()) return CWzString(name.c_str());
    if (dir.back() != '/') dir += '/';
    return CWzString((dir + name).c_str());
}

void WZSLEEP_InTeRnAl(unsigned int milliseconds, const char* /*file*/, int /*line*/) {
    timespec request{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}
