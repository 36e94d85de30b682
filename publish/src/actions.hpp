#pragma once
// The one action of a run, performed on a joined device client.
#include "publish/src/options.hpp"
#include "velquin/src/client.hpp"

#include <ostream>

namespace publish {

// Publishes what the action asks for and prints the device's answer (or the
// configuration) as styled JSON plus a blank line. With no action, does nothing.
// Gives whether the device replied to the exchange whose answer is printed (with no
// action: to the handshake), so that a run can tell "nothing happened" from an answer.
bool perform_action(velquin::client& client, const command_options& options, selected_action action,
                    std::ostream& out);

} // namespace publish
