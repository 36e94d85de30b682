/// \file
/// rapidjson as the bridge uses it: a failed library assertion goes to the
/// device's assertion hook instead of aborting. The bridge checks every type
/// before an access, so the hook only ever reports a caller's mistake.
/// Include it before any other rapidjson header, or define RAPIDJSON_ASSERT yourself.
#pragma once

#ifndef RAPIDJSON_ASSERT
#include "platform/rapidjson_hook/ks_callstack_assert.h"
/// Reports a failed rapidjson check to rapidjson::_ks_callstack_assert() and carries on.
#define RAPIDJSON_ASSERT(x)                                                                        \
    ((x) ? static_cast<void>(0) : ::rapidjson::_ks_callstack_assert(#x, __FILE__, __LINE__))
#endif

#include <rapidjson/document.h>
