// Assertion hook for rapidjson (target `rapidjson_hook`).
//
// Code that points RAPIDJSON_ASSERT at this hook gets a report of the failed
// expression, file and line on standard error; the process goes on. Tests can
// read how many reports were made.
#pragma once

#include <cstddef>

namespace rapidjson {
void _ks_callstack_assert(const char* expression, const char* file, unsigned int line);
} // namespace rapidjson

namespace vq_platform {
// Reports made so far by the hook in this process.
std::size_t ks_assert_count();
// Expression of the latest report ("" when none).
const char* ks_assert_last_expression();
} // namespace vq_platform
