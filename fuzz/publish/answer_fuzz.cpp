// A device's reply body as velquin_publish takes it: the limits, the parse, and the styled
// output of what was taken. Nothing the device sends may put a control byte on standard
// output or pass the nesting limit.
#include "publish/src/styled.hpp"
#include "velquin/src/client_base.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

namespace {

std::size_t depth_of(const Json::Value& value) {
    std::size_t deepest = 0;
    if (value.isArray() || value.isObject())
        for (const Json::Value& child : value)
            deepest = std::max(deepest, depth_of(child));
    return (value.isArray() || value.isObject()) ? deepest + 1 : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* begin = reinterpret_cast<const char*>(data);
    velquin::answer_limits limits;
    limits.depth = 8;
    limits.values = 1000;
    Json::Value answer("untouched");
    std::string why;
    if (!velquin::parse_answer(begin, begin + size, limits, answer, why)) {
        if (why.empty() || answer != Json::Value("untouched"))
            std::abort();
        return 0;
    }
    if (!answer.isArray() || depth_of(answer) > limits.depth)
        std::abort();
    std::ostringstream out;
    publish::write_styled(out, answer);
    for (const char c : out.str())
        if (c != '\n' && static_cast<unsigned char>(c) < 0x20)
            std::abort();
    return 0;
}
