#include "cometd/src/base.hpp"

#include <atomic>

namespace cometd {
namespace {

// One counter for the whole process. Atomic so that two threads making ids can
// never corrupt it; its fetch-and-add wraps instead of overflowing.
std::atomic<std::int32_t> sequence{0};

std::int32_t address_tag(const void* self) {
    // Low 32 bits of the address, read as a signed number: may be negative.
    const auto low = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(self));
    return static_cast<std::int32_t>(low);
}

} // namespace

base::base() : tag(address_tag(this)), instance_id(next_message_id()) {}

base::~base() = default;

std::string base::next_message_id() {
    const std::int32_t number = sequence.fetch_add(1);
    return std::to_string(tag) + "-" + std::to_string(number);
}

} // namespace cometd
