// Our stand-in of the host's XqLib: debug log, lock, event, thread and home directory.
#include "XqLib.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

struct LogState {
    std::mutex lock;
    FILE* file = nullptr;  // null: standard error
    int level = 0;
    XqDebugSink sink = nullptr;
    void* sinkContext = nullptr;

    LogState() {
        if (const char* lvl = std::getenv("XQ_DEBUG_LEVEL")) level = std::atoi(lvl);
        if (const char* path = std::getenv("XQ_DEBUG_FILE")) {
            if (*path != '\0') file = std::fopen(path, "a");
        }
    }
};

// Constructed on first use so that the log works during the static construction of other libraries.
LogState& State() {
    static LogState* state = new LogState();  // never destroyed: logging stays usable at process exit
    return *state;
}

const char* LevelName(int level, char* buffer, std::size_t size) {
    if (level == 0) return "ERROR";
    if (level == 1) return "DEBUG";
    std::snprintf(buffer, size, "DEBUG%d", level);
    return buffer;
}

void Write(int level, const char* where, const char* format, va_list args) {
    LogState& state = State();
    bool toOutput = level == 0 || state.level >= level;
    if (!toOutput && state.sink == nullptr) return;

    char message[4096];
    std::vsnprintf(message, sizeof message, format, args);
    std::size_t len = std::strlen(message);
    while (len > 0 && (message[len - 1] == '\n' || message[len - 1] == '\r')) message[--len] = '\0';

    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

    char levelBuffer[16];
    char line[4608];
    std::snprintf(line, sizeof line, "%s.%03ld [%d] [%ld] %-6s %s%s%s", stamp,
                  static_cast<long>(now.tv_usec / 1000), static_cast<int>(getpid()),
                  static_cast<long>(syscall(SYS_gettid)), LevelName(level, levelBuffer, sizeof levelBuffer),
                  where ? where : "", where ? ": " : "", message);

    std::lock_guard<std::mutex> guard(state.lock);
    if (state.sink) state.sink(level, line, state.sinkContext);
    if (toOutput) {
        FILE* out = state.file ? state.file : stderr;
        std::fprintf(out, "%s\n", line);
        std::fflush(out);
    }
}

}  // namespace

EvDebug::EvDebug(EvDebugFileInstance* instance) : m_instance(instance) {}
EvDebug::~EvDebug() = default;

void EvDebug::error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(0, nullptr, format, args);
    va_end(args);
}

void EvDebug::debug(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(1, nullptr, format, args);
    va_end(args);
}

void EvDebug::debugLvl(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(level < 1 ? 1 : level, nullptr, format, args);
    va_end(args);
}

void EvDebug::Error(const char* where, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Write(0, where ? where : "", format, args);
    va_end(args);
}

void XqSetDebugSink(XqDebugSink sink, void* context) {
    LogState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.sink = sink;
    state.sinkContext = context;
}

int XqGetDebugLevel() { return State().level; }

// ---- lock ----

struct XqCriticalSectionH::Impl {
    pthread_mutex_t mutex;
};

XqCriticalSectionH::XqCriticalSectionH() : m_impl(new Impl) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_impl->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

XqCriticalSectionH::~XqCriticalSectionH() {
    pthread_mutex_destroy(&m_impl->mutex);
    delete m_impl;
}

bool XqCriticalSectionH::enter(bool wait) {
    return (wait ? pthread_mutex_lock(&m_impl->mutex) : pthread_mutex_trylock(&m_impl->mutex)) == 0;
}

void XqCriticalSectionH::leave() { pthread_mutex_unlock(&m_impl->mutex); }

// ---- event ----

struct XqEventH::Impl {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    bool signalled = false;
};

XqEventH::XqEventH(bool signalled) : m_impl(new Impl) { m_impl->signalled = signalled; }

XqEventH::~XqEventH() {
    pthread_cond_destroy(&m_impl->cond);
    pthread_mutex_destroy(&m_impl->mutex);
    delete m_impl;
}

void XqEventH::wait() {
    pthread_mutex_lock(&m_impl->mutex);
    while (!m_impl->signalled) pthread_cond_wait(&m_impl->cond, &m_impl->mutex);
    pthread_mutex_unlock(&m_impl->mutex);
}

void XqEventH::set() {
    pthread_mutex_lock(&m_impl->mutex);
    m_impl->signalled = true;
    pthread_cond_broadcast(&m_impl->cond);
    pthread_mutex_unlock(&m_impl->mutex);
}

void XqEventH::reset() {
    pthread_mutex_lock(&m_impl->mutex);
    m_impl->signalled = false;
    pthread_mutex_unlock(&m_impl->mutex);
}

// ---- thread ----

XqThread::XqThread() : m_started(false) {}
XqThread::~XqThread() = default;

bool XqThread::createThread(void* (*entry)(void*), void* argument) {
    if (std::getenv("XQ_FAIL_THREAD_CREATE") != nullptr) return false;  // fault injection for tests
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, entry, argument);
    pthread_attr_destroy(&attr);
    m_started = rc == 0;
    return m_started;
}

// ---- platform information ----

XQPI_Base::XQPI_Base() = default;
XQPI_Base::~XQPI_Base() = default;

const char* XQPI_Base::getHomeDirectory() {
    if (m_home.empty()) {
        const char* env = std::getenv("XQ_HOME");
        if (env != nullptr && *env != '\0') {
            m_home = env;
        } else {
            Dl_info info{};
            if (dladdr(reinterpret_cast<void*>(&XqGetDebugLevel), &info) != 0 && info.dli_fname != nullptr) {
                m_home = info.dli_fname;
                std::size_t slash = m_home.rfind('/');
                m_home = slash == std::string::npos ? std::string(".") : m_home.substr(0, slash);
            } else {
                m_home = ".";
            }
        }
        while (m_home.size() > 1 && m_home.back() == '/') m_home.pop_back();
    }
    return m_home.c_str();
}
