// Every text splits into components that obey the generic URI grammar's delimiters.
#include "httprtsp/src/uri.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* raw, std::size_t size) {
    const std::string in(reinterpret_cast<const char*>(raw), size);
    const httprtsp::uri_parts p = httprtsp::parse_uri(in);
    if (p.scheme.find_first_of(":/?#") != std::string::npos)
        std::abort();
    if (p.authority.find_first_of("/?#") != std::string::npos)
        std::abort();
    if (p.path.find_first_of("?#") != std::string::npos)
        std::abort();
    if (p.query.find('#') != std::string::npos)
        std::abort();
    // Nothing is lost or invented: the pieces, with their delimiters, add up to at most the input.
    const std::size_t pieces =
        p.scheme.size() + p.authority.size() + p.path.size() + p.query.size() + p.fragment.size();
    if (pieces > in.size())
        std::abort();
    if (in.compare(0, p.scheme.size(), p.scheme) != 0)
        std::abort();
    if (in.find(p.path) == std::string::npos)
        std::abort();
    return 0;
}
