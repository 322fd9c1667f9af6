// Includes the public records header and nothing else, optionally after a host's own UINT64.
#if defined(HOST_UINT64_TYPEDEF)
typedef unsigned long long UINT64;
#elif defined(HOST_UINT64_MACRO)
#define UINT64 unsigned long long
#endif
#include "VMInfoStructs.h"
