#pragma once
// The one action of a run, performed on a joined device client.
#include "publish/src/options.hpp"
#include "velquin/src/client.hpp"

#include <ostream>

namespace publish {

// Publishes what the action asks for and prints the device's answer (or the
// configuration) as styled JSON plus a blank line. With no action, does nothing.
void perform_action(velquin::client& client, const command_options& options, selected_action action,
                    std::ostream& out);

} // namespace publish
