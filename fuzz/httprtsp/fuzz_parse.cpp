// Parser fed in two pieces at a fuzzer-chosen point, checked against the one-byte path, with the
// default limits or with small ones that short inputs can reach.
//
// Input: two bytes choose the split point (the high bit of the first picks the small limits),
// the rest is the byte stream. No input is left out: the parser reserves at most 1 MiB ahead of
// the body bytes that actually arrive, so Content-Length values and chunk sizes of any size cost
// no more memory than the input itself.
#include "httprtsp/src/message_format.hpp"

#include <boost/lexical_cast.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

struct outcome {
    int result; // 1 ok, 0 bad, 2 conversion failure
    std::size_t stop;
    std::string dump;
    bool operator!=(const outcome& o) const {
        return result != o.result || stop != o.stop || dump != o.dump;
    }
};

std::string describe(const boost::shared_ptr<httprtsp::message>& m) {
    if (!m)
        return "null";
    return m->to_string() + (m->body() ? "+" + std::to_string(m->body()->size()) : "-");
}

// Small enough that a few hundred bytes cross every limit.
httprtsp::parser_limits small_limits() {
    httprtsp::parser_limits limits;
    limits.start_line = 40;
    limits.header_line = 32;
    limits.header_block = 128;
    limits.header_lines = 5;
    limits.body = 64;
    return limits;
}

std::vector<outcome> by_pointers(const char* data, std::size_t size, std::size_t cut,
                                 const httprtsp::parser_limits& limits) {
    httprtsp::httprtsp_message_format format;
    format.set_limits(limits);
    std::vector<outcome> out;
    const std::size_t bounds[2] = {cut, size};
    std::size_t from = 0;
    for (std::size_t to : bounds) {
        const char* p = data + from;
        const char* e = data + to;
        while (p != e) {
            try {
                auto r = format.parse(p, e);
                if (r.get<1>() <= p || r.get<1>() > e)
                    std::abort();
                if (boost::indeterminate(r.get<0>())) {
                    if (r.get<1>() != e || r.get<2>())
                        std::abort();
                } else {
                    out.push_back({r.get<0>() ? 1 : 0, static_cast<std::size_t>(r.get<1>() - data),
                                   describe(r.get<2>())});
                }
                p = r.get<1>();
            } catch (const boost::bad_lexical_cast&) {
                out.push_back({2, 0, describe(format.get_current_message())});
                return out;
            }
        }
        from = to;
    }
    return out;
}

std::vector<outcome> by_bytes(const char* data, std::size_t size,
                              const httprtsp::parser_limits& limits) {
    httprtsp::httprtsp_message_format format;
    format.set_limits(limits);
    std::vector<outcome> out;
    std::deque<char> all(data, data + size);
    auto p = all.begin();
    while (p != all.end()) {
        try {
            auto r = format.parse(p, all.end());
            if (!boost::indeterminate(r.get<0>()))
                out.push_back({r.get<0>() ? 1 : 0,
                               static_cast<std::size_t>(r.get<1>() - all.begin()),
                               describe(r.get<2>())});
            p = r.get<1>();
        } catch (const boost::bad_lexical_cast&) {
            out.push_back({2, 0, describe(format.get_current_message())});
            return out;
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* raw, std::size_t size) {
    if (size < 2)
        return 0;
    const httprtsp::parser_limits limits =
        raw[0] & 0x80 ? small_limits() : httprtsp::parser_limits();
    const std::size_t cut_choice = static_cast<std::size_t>(raw[0] & 0x7f) << 8 | raw[1];
    const char* data = reinterpret_cast<const char*>(raw + 2);
    size -= 2;
    const std::size_t cut = size ? cut_choice % (size + 1) : 0;
    std::vector<outcome> split = by_pointers(data, size, cut, limits);
    std::vector<outcome> whole = by_pointers(data, size, size, limits);
    std::vector<outcome> bytes = by_bytes(data, size, limits);
    // A conversion failure loses the position, so only compare up to it.
    if (split.size() != whole.size() || whole.size() != bytes.size())
        std::abort();
    for (std::size_t i = 0; i < whole.size(); ++i)
        if (split[i] != whole[i] || whole[i] != bytes[i])
            std::abort();
    return 0;
}
