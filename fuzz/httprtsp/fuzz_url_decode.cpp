// Percent-decoding never grows its input and leaves plain text unchanged.
#include "httprtsp/src/uri.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* raw, std::size_t size) {
    const std::string in(reinterpret_cast<const char*>(raw), size);
    const std::string out = httprtsp::url_decode(in);
    if (out.size() > in.size())
        std::abort();
    if (in.find_first_of("%+") == std::string::npos && out != in)
        std::abort();
    return 0;
}
