// Symbol visibility of the bridge library: everything is hidden unless marked VCB_EXPORT.
#pragma once

#define VCB_EXPORT __attribute__((visibility("default")))
