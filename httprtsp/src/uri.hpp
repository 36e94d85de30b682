/// \file
/// Percent-decoding and splitting of request targets.
#ifndef HTTPRTSP_URI_HPP
#define HTTPRTSP_URI_HPP

#include <string>

namespace httprtsp {

/// The five components of a URI; an absent component is empty.
struct uri_parts {
    std::string scheme;    ///< without the colon
    std::string authority; ///< without the leading "//"
    std::string path;      ///< as written, e.g. "/upload"
    std::string query;     ///< without the "?"
    std::string fragment;  ///< without the "#"
};

/// Splits any text into the five components; never fails. Nothing is decoded.
uri_parts parse_uri(const std::string& uri);

/// '+' becomes a space and "%xx" one byte (strtol, base 16, low 8 bits); malformed input
/// gives the empty string.
std::string url_decode(const std::string& text);

} // namespace httprtsp

#endif
