// SHA-256 (FIPS 180-4), incremental.
#ifndef TOOLS_HTTPRTSP_SERVE_SHA256_HPP
#define TOOLS_HTTPRTSP_SERVE_SHA256_HPP

#include <cstddef>
#include <cstdint>
#include <string>

namespace httprtsp_serve {

class sha256 {
public:
    sha256();
    void update(const void* data, std::size_t size);
    // Lower-case hex digest; the object is spent afterwards.
    std::string hex_digest();

private:
    void block(const unsigned char* p);

    std::uint32_t state[8];
    std::uint64_t length; // bytes so far
    unsigned char buffer[64];
    std::size_t used;
};

// Digest of a whole file; empty on a read error.
std::string sha256_file(const std::string& path, std::uint64_t* size = nullptr);

} // namespace httprtsp_serve

#endif
