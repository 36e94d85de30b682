// The simulator's message handling fed arbitrary request bodies. Every answer must be
// a JSON array and the configuration must stay an object.
#include "tools/velquin_device_sim/device.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

const Json::Value& sample() {
    static const Json::Value config = velquin_sim::parse_json(velquin_sim::sample_configuration);
    return config;
}

void check(const velquin_sim::answer& a) {
    const Json::Value out = velquin_sim::parse_json(a.body);
    if (!out.isArray())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    velquin_sim::device sim(sample());
    // "@ID@" in the input stands for a client id the device granted, so that the
    // fuzzer reaches the handling of known clients.
    const velquin_sim::answer hs = sim.handle_body("[{\"channel\":\"/meta/handshake\"}]");
    const std::string id = velquin_sim::parse_json(hs.body)[0]["clientId"].asString();
    std::string body(reinterpret_cast<const char*>(data), size);
    for (std::size_t at = body.find("@ID@"); at != std::string::npos;
         at = body.find("@ID@", at + id.size())) {
        body.replace(at, 4, id);
    }
    check(sim.handle_body(body));
    // A second round sees the state the first one left.
    check(sim.handle_body(body));
    if (!sim.configuration().isObject())
        std::abort();
    return 0;
}
