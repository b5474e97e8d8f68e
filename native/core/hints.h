// Branch hints, spelled one way in the core and in velmora.headers; placed
// only where a measurement showed they help.
#pragma once

#define VLM_LIKELY(x) __builtin_expect(!!(x), 1)
#define VLM_UNLIKELY(x) __builtin_expect(!!(x), 0)
