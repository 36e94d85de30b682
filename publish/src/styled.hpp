#pragma once
// jsoncpp's styled form written straight to a stream: the same bytes as
// Json::StyledWriter, without holding the whole document as one string.
#include <json/value.h>

#include <ostream>

namespace publish {

// Writes `value` as Json::StyledWriter would (comments aside, which answers never carry),
// ending with a line feed.
void write_styled(std::ostream& out, const Json::Value& value);

} // namespace publish
