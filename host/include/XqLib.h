// Host support library XqLib: debug log, lock, event, thread and the product's home directory.
#pragma once

#include <cstdarg>
#include <string>

#define XQ_EXPORT __attribute__((visibility("default")))

// Where a log writer sends its lines; opaque to users. A null instance means the process-wide default:
// the file named by XQ_DEBUG_FILE (appended) or standard error.
class EvDebugFileInstance;

// Debug log writer. One call writes one whole line: local time with milliseconds, process id, thread id,
// level, the location for Error lines, then the message without its trailing newline.
// XQ_DEBUG_LEVEL selects what is written: errors always, debug() at level 1 and above, debugLvl(n) at
// level n and above (default 0).
class XQ_EXPORT EvDebug {
public:
    explicit EvDebug(EvDebugFileInstance* instance = nullptr);
    ~EvDebug();
    EvDebug(const EvDebug&) = delete;
    EvDebug& operator=(const EvDebug&) = delete;

    void error(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void debugLvl(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Error(const char* where, const char* format, ...) __attribute__((format(printf, 3, 4)));

private:
    EvDebugFileInstance* m_instance;
};

// A sink that sees every line the log formats, whatever the level filter lets through to the file; for
// in-process capture (tests, an embedding host). level: 0 for errors, n for debugLvl(n), 1 for debug().
// Pass nullptr to remove it. The sink runs under the log's lock and must not log itself.
using XqDebugSink = void (*)(int level, const char* line, void* context);
XQ_EXPORT void XqSetDebugSink(XqDebugSink sink, void* context);

// The debug level in force (XQ_DEBUG_LEVEL, read once).
XQ_EXPORT int XqGetDebugLevel();

// Host lock: a recursive mutex. enter(true) blocks until held; enter(false) only tries.
class XQ_EXPORT XqCriticalSectionH {
public:
    XqCriticalSectionH();
    ~XqCriticalSectionH();
    XqCriticalSectionH(const XqCriticalSectionH&) = delete;
    XqCriticalSectionH& operator=(const XqCriticalSectionH&) = delete;
    bool enter(bool wait);
    void leave();

private:
    struct Impl;
    Impl* m_impl;
};

// Host event: manual-reset. The constructor's flag is the initial state (true: signalled). A set() that
// comes before wait() still releases that wait().
class XQ_EXPORT XqEventH {
public:
    explicit XqEventH(bool signalled);
    ~XqEventH();
    XqEventH(const XqEventH&) = delete;
    XqEventH& operator=(const XqEventH&) = delete;
    void wait();
    void set();
    void reset();

private:
    struct Impl;
    Impl* m_impl;
};

// Host thread launcher. The thread is created detached: destroying the XqThread object neither stops nor
// joins it.
class XQ_EXPORT XqThread {
public:
    XqThread();
    ~XqThread();
    // Starts entry(argument) on a new thread; false when the thread could not be created.
    bool createThread(void* (*entry)(void*), void* argument);

private:
    bool m_started;
};

// Platform information. The home directory is XQ_HOME when set, otherwise the directory that holds the
// installed libraries.
class XQ_EXPORT XQPI_Base {
public:
    XQPI_Base();
    ~XQPI_Base();
    const char* getHomeDirectory();

private:
    std::string m_home;
};
