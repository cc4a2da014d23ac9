#pragma once
// What libzrv exports: the C++ API marked ZRV_EXPORT and the C ABI of zrv.h. Everything
// else stays inside the library, so hosts cannot come to depend on it by accident.

#if defined(ZRV_BUILDING_LIBRARY)
#define ZRV_EXPORT __attribute__((visibility("default")))
#else
#define ZRV_EXPORT
#endif
