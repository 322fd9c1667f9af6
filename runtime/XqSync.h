// The bridge's owning handles on the host's lock and event, and the scoped lock guard. Private to the
// bridge library, which defines them: no installed library exports them.
#pragma once

#include "XqLib.h"

// Owns one host event. Throws the text "Not enough memory to initialize XqEvent" when the host event
// cannot be allocated.
class XqEvent {
public:
    explicit XqEvent(bool signalled);
    ~XqEvent();
    XqEvent(const XqEvent&) = delete;
    XqEvent& operator=(const XqEvent&) = delete;
    void wait();
    void set();

private:
    XqEventH* m_event;
};

// Owns one host lock. Throws the text "Not enough memory to initialize XqCriticalSection" when the host
// lock cannot be allocated.
class XqCriticalSection {
public:
    XqCriticalSection();
    ~XqCriticalSection();
    XqCriticalSection(const XqCriticalSection&) = delete;
    XqCriticalSection& operator=(const XqCriticalSection&) = delete;
    bool enter(bool wait);
    void leave();

private:
    XqCriticalSectionH* m_section;
};

// Holds a lock for its own lifetime; a null lock is neither entered nor left.
class XqCriticalSectionLock {
public:
    explicit XqCriticalSectionLock(XqCriticalSection* section);
    ~XqCriticalSectionLock();
    XqCriticalSectionLock(const XqCriticalSectionLock&) = delete;
    XqCriticalSectionLock& operator=(const XqCriticalSectionLock&) = delete;

private:
    XqCriticalSection* m_section;
};
