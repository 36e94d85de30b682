#pragma once
// The Bayeux side every client shares: message ids.
#include <cstdint>
#include <string>

namespace cometd {

class base {
public:
    base();
    virtual ~base();
    base(const base&) = delete;
    base& operator=(const base&) = delete;

    // "<instance tag>-<sequence>": the tag names this object within the process,
    // the sequence is shared by every client of the process.
    std::string next_message_id();

    // The tag that prefixes every id this object makes.
    std::int32_t instance_tag() const { return tag; }

private:
    const std::int32_t tag; // declared first: instance_id is made from it

public:
    // Made by the constructor; it uses up one sequence number.
    const std::string instance_id;
};

} // namespace cometd
