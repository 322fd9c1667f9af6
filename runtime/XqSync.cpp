// Owning handles on the host's lock and event, and the scoped lock guard.
#include "XqSync.h"

#include <new>

XqEvent::XqEvent(bool signalled) : m_event(new (std::nothrow) XqEventH(signalled)) {
    if (m_event == nullptr) throw "Not enough memory to initialize XqEvent";
}

XqEvent::~XqEvent() {
    delete m_event;
    m_event = nullptr;
}

void XqEvent::wait() { m_event->wait(); }
void XqEvent::set() { m_event->set(); }

XqCriticalSection::XqCriticalSection() : m_section(new (std::nothrow) XqCriticalSectionH()) {
    if (m_section == nullptr) throw "Not enough memory to initialize XqCriticalSection";
}

XqCriticalSection::~XqCriticalSection() {
    delete m_section;
    m_section = nullptr;
}

bool XqCriticalSection::enter(bool wait) { return m_section->enter(wait); }
void XqCriticalSection::leave() { m_section->leave(); }

XqCriticalSectionLock::XqCriticalSectionLock(XqCriticalSection* section) : m_section(section) {
    if (m_section != nullptr) m_section->enter(true);
}

XqCriticalSectionLock::~XqCriticalSectionLock() {
    if (m_section != nullptr) m_section->leave();
}
