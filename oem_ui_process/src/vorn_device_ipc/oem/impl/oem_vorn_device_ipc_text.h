/// \file
/// Moving text between std::string and the fixed, zero-padded fields of the
/// wire structures (helpers of the endpoint, in namespace detail).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace oem_ui_process {
namespace detail {

// A field's text up to its first zero byte, or the whole field when the
// sender filled every byte.
template <std::size_t N>
std::string field_text(const char (&szField)[N]) {
    return std::string(szField, ::strnlen(szField, N));
}

// Copies at most N-1 characters and zero-pads the rest: the last byte is
// always zero.
template <std::size_t N>
void set_field_text(char (&szField)[N], const std::string& strText) {
    std::memset(szField, 0, N);
    std::memcpy(szField, strText.data(), std::min(strText.size(), N - 1));
}

} // namespace detail
} // namespace oem_ui_process
