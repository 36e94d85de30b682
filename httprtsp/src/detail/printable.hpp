// Peer bytes made safe to log.
#ifndef HTTPRTSP_DETAIL_PRINTABLE_HPP
#define HTTPRTSP_DETAIL_PRINTABLE_HPP

#include <string>

namespace httprtsp {
namespace detail {

// Anything outside printable ASCII is escaped (CR and LF by name, the rest as hex),
// so that a peer cannot drive the terminal.
std::string printable(const char* begin, const char* end);

} // namespace detail
} // namespace httprtsp

#endif
