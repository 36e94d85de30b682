// Percent-decoding and URI splitting.
#include "httprtsp/src/uri.hpp"

#include <gtest/gtest.h>

namespace {

using namespace httprtsp;

TEST(UriDecodeTest, Table) {
    struct row {
        std::string in;
        std::string out;
    } rows[] = {
        {"a+b%20c", "a b c"},
        {"", ""},
        {"plain/path", "plain/path"},
        {"%41%62", "Ab"},
        {"%2b%2B", "++"},
        {"%00", std::string(1, '\0')},
        {"%+5", "\x05"},
        {"% 5", "\x05"},
        {"%-1", "\xff"},
        {"%ff%FF", "\xff\xff"},
        {"abc%4", ""},
        {"%", ""},
        {"x%2", ""},
        {"%zz", ""},
        {"%4g", ""},
        {"%0x", ""},
        {"% x", ""},
        {"%2%41", ""},
        {"100%25+sure", "100% sure"},
    };
    for (const row& r : rows)
        EXPECT_EQ(r.out, url_decode(r.in)) << r.in;
}

TEST(UriParseTest, Table) {
    struct row {
        std::string in, scheme, authority, path, query, fragment;
    } rows[] = {
        {"s://h:80/a/b?x=1#t", "s", "h:80", "/a/b", "x=1", "t"},
        {"/settings/a?x=1", "", "", "/settings/a", "x=1", ""},
        {"", "", "", "", "", ""},
        {"m:x", "m", "", "x", "", ""},
        {"//h/p", "", "h", "/p", "", ""},
        {"a#b?c", "", "", "a", "", "b?c"},
        {"?", "", "", "", "", ""},
        {"/p?q?r#f#g", "", "", "/p", "q?r", "f#g"},
        {"rtsp://cam:554", "rtsp", "cam:554", "", "", ""},
        {"/a:b", "", "", "/a:b", "", ""},
        {std::string("/nul\0byte", 9), "", "", std::string("/nul\0byte", 9), "", ""},
        {"http://[::1]:8080/x?y#", "http", "[::1]:8080", "/x", "y", ""},
        {"/l1\nl2?q\n#f\ng", "", "", "/l1\nl2", "q\n", "f\ng"},
        {"x\n//h/p", "", "", "x\n//h/p", "", ""},
    };
    for (const row& r : rows) {
        uri_parts p = parse_uri(r.in);
        EXPECT_EQ(r.scheme, p.scheme) << r.in;
        EXPECT_EQ(r.authority, p.authority) << r.in;
        EXPECT_EQ(r.path, p.path) << r.in;
        EXPECT_EQ(r.query, p.query) << r.in;
        EXPECT_EQ(r.fragment, p.fragment) << r.in;
    }
}

TEST(UriParseTest, DecodedTargetThenSplit) {
    // The handler's order: decode first, then split; an encoded '?' therefore splits the path.
    uri_parts p = parse_uri(url_decode("/a%3Fb+c?x=%31"));
    EXPECT_EQ("/a", p.path);
    EXPECT_EQ("b c?x=1", p.query);
}

} // namespace
