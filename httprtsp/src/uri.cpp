#include "httprtsp/src/uri.hpp"

#include <boost/regex.hpp>

#include <cstdlib>

namespace httprtsp {

uri_parts parse_uri(const std::string& uri) {
    // The generic URI expression; every group is optional, so every text matches.
    static const boost::regex expression(
        "^(([^:/?#]+):)?(//([^/?#]*))?([^?#]*)(\\?([^#]*))?(#(.*))?");
    uri_parts parts;
    boost::smatch m;
    if (boost::regex_search(uri, m, expression)) {
        parts.scheme = m[2].matched ? m[2].str() : std::string();
        parts.authority = m[4].matched ? m[4].str() : std::string();
        parts.path = m[5].matched ? m[5].str() : std::string();
        parts.query = m[7].matched ? m[7].str() : std::string();
        parts.fragment = m[9].matched ? m[9].str() : std::string();
    }
    return parts;
}

std::string url_decode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size())
                return std::string(); // needs two more characters
            const char digits[3] = {text[i + 1], text[i + 2], '\0'};
            char* stop = nullptr;
            const long value = std::strtol(digits, &stop, 16);
            if (stop != digits + 2)
                return std::string();
            out += static_cast<char>(static_cast<unsigned long>(value) & 0xff);
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace httprtsp
