/// \file
/// Byte classes, fast scanners and the number readers of the HTTP/RTSP parser (internal).
#ifndef HTTPRTSP_DETAIL_LEXER_HPP
#define HTTPRTSP_DETAIL_LEXER_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace httprtsp {
namespace detail {

enum : unsigned char { printable = 1, separator = 2, control = 4, token = 8 };

struct char_classes {
    unsigned char of[256];
    constexpr char_classes() : of() {
        for (int c = 0; c < 256; ++c) {
            unsigned char k = 0;
            if (c >= 32 && c <= 126)
                k |= printable;
            if (c <= 31 || c == 127)
                k |= control;
            of[c] = k;
        }
        for (int c : {9, 32, 34, 40, 41, 44, 47, 58, 59, 60, 61, 62, 63, 64, 91, 93, 92, 123, 125})
            of[c] |= separator;
        // Its own bit: a header name is scanned a byte at a time.
        for (int c = 0; c < 256; ++c)
            if ((of[c] & (printable | separator)) == printable)
                of[c] |= token;
    }
};
inline constexpr char_classes classes{};

inline unsigned char class_of(char c) {
    return classes.of[static_cast<unsigned char>(c)];
}
inline bool is_printable(char c) {
    return class_of(c) & printable;
}
inline bool is_control(char c) {
    return class_of(c) & control;
}
// A byte that may start or continue a token (method, header name).
inline bool is_token(char c) {
    return class_of(c) & token;
}
// Optional white space around field values.
inline bool is_ows(char c) {
    return c == ' ' || c == '\t';
}
inline bool is_digit(char c) {
    return static_cast<unsigned>(static_cast<unsigned char>(c) - '0') < 10;
}

// Scans eight bytes at a time while none of them can end the run, then finishes the word that
// may hold the end byte by byte. The tests are exact about whether a word holds such a byte.
typedef std::uint64_t word;
constexpr word ones = 0x0101010101010101u;
constexpr word high_bits = 0x8080808080808080u;

inline word load(const char* p) {
    word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}
// Non-zero when some byte of w is below n (n at most 128).
inline word any_below(word w, unsigned n) {
    return (w - ones * n) & ~w & high_bits;
}
inline word any_equal(word w, unsigned char c) {
    return any_below(w ^ (ones * c), 1);
}

// The eight bytes of w with A to Z lowered and every other byte as it was.
inline word lower_ascii_word(word w) {
    const word low7 = w & ~high_bits;
    const word above_z = low7 + ones * (0x7f - 'Z'); // high bit set where low7 > 'Z'
    const word from_a = low7 + ones * (0x80 - 'A');  // high bit set where low7 >= 'A'
    const word upper = (from_a & ~above_z & ~w) & high_bits;
    return w | (upper >> 2); // 0x80 >> 2 is the case bit, 0x20
}

// Lowers A to Z in [p, p + n), eight bytes at a time.
inline void lower_ascii(char* p, std::size_t n) {
    for (; n >= 8; p += 8, n -= 8) {
        const word w = lower_ascii_word(load(p));
        std::memcpy(p, &w, sizeof w);
    }
    for (; n != 0; ++p, --n)
        if (*p >= 'A' && *p <= 'Z')
            *p = static_cast<char>(*p - 'A' + 'a');
}

// First control byte (0 to 31, 127) from p, or end.
inline const char* skip_non_control(const char* p, const char* end) {
    while (end - p >= 8) {
        const word w = load(p);
        if (any_below(w, 0x20) | any_equal(w, 0x7f))
            break;
        p += 8;
    }
    while (p != end && !is_control(*p))
        ++p;
    return p;
}

// First byte from p that is not printable (32 to 126), or end.
inline const char* skip_printable(const char* p, const char* end) {
    while (end - p >= 8) {
        const word w = load(p);
        if (any_below(w, 0x20) | any_equal(w, 0x7f) | (w & high_bits))
            break;
        p += 8;
    }
    while (p != end && is_printable(*p))
        ++p;
    return p;
}

// First control byte from p other than HT (field values and reason phrases hold HT), or end.
inline const char* skip_field_text(const char* p, const char* end) {
    p = skip_non_control(p, end);
    while (p != end && *p == '\t')
        p = skip_non_control(p + 1, end);
    return p;
}

// The first LF in [p, end), or null.
inline const char* find_lf(const char* p, const char* end) {
    return static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
}

// [p, end) without the optional white space at both ends.
inline void trim_ows(const char*& p, const char*& end) {
    while (p != end && is_ows(*p))
        ++p;
    while (end != p && is_ows(end[-1]))
        --end;
}

// Reads [p, p + n) as a number in base 10 or 16: digits only, at least one, at most max.
// False, with out untouched, for anything else (a sign, white space, overflow).
template <unsigned Base>
bool read_number(const char* p, std::size_t n, std::uint64_t max, std::uint64_t& out) {
    static_assert(Base == 10 || Base == 16, "decimal or hexadecimal");
    if (n == 0)
        return false;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (Base == 16 && (c | 0x20) >= 'a' && (c | 0x20) <= 'f')
            digit = (c | 0x20) - 'a' + 10;
        else
            return false;
        if (value > (max - digit) / Base)
            return false;
        value = value * Base + digit;
    }
    out = value;
    return true;
}

inline bool read_decimal(const char* p, std::size_t n, std::uint64_t max, std::uint64_t& out) {
    return read_number<10>(p, n, max, out);
}
inline bool read_hex(const char* p, std::size_t n, std::uint64_t max, std::uint64_t& out) {
    return read_number<16>(p, n, max, out);
}

// What is left of a limit once `used` of it is spent.
inline std::size_t room_left(std::size_t limit, std::size_t used) {
    return used < limit ? limit - used : 0;
}

// A chunk-size line without its line end: hex digits up to max, then nothing or extensions
// after ';' (no control bytes but HT in them). White space before the ';' is refused, as
// strict readers do, so that no two readers find different sizes in one line.
inline bool read_chunk_size_line(const char* p, const char* end, std::uint64_t max,
                                 std::uint64_t& size) {
    const char* digits = p;
    while (digits != end &&
           (is_digit(*digits) || ((*digits | 0x20) >= 'a' && (*digits | 0x20) <= 'f')))
        ++digits;
    if (!read_hex(p, static_cast<std::size_t>(digits - p), max, size))
        return false;
    const char* rest = digits;
    if (rest != end && *rest != ';')
        return false;
    for (; rest != end; ++rest)
        if (is_control(*rest) && *rest != '\t')
            return false;
    return true;
}

} // namespace detail
} // namespace httprtsp

#endif
