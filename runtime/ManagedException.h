// The native exception that carries a managed exception from the call that raised it to the operation
// that logs it.
#pragma once

#include <string>

#include "MonoValue.h"

// What the boundary needs of a managed exception, copied out where it was raised. The managed object
// itself never travels: while a C++ exception unwinds, its storage is neither scanned nor pinned by the
// collector, so a pointer kept there could be moved or freed by a collection on another thread.
struct ManagedException {
    std::string className;  // short name, without the namespace
    std::string message;    // the exception's Message, control characters replaced by blanks
};

// Reads the class name and message of `exception` on the calling (attached) thread and throws them.
[[noreturn]] void ThrowManagedException(MonoObject* exception);

// Writes "Exception caught in bridge - <class name>" attributed to `where`, exactly as LogException does.
void LogManagedException(const char* where, const ManagedException& exception);
