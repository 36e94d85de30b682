#include "publish/src/actions.hpp"

#include "publish/src/typing.hpp"

namespace publish {

bool perform_action(velquin::client& client, const command_options& options, selected_action action,
                    std::ostream& out) {
    switch (action) {
    case selected_action::none:
        return client.first_handshake_answered();
    case selected_action::print_configuration:
        client.read_configuration();
        print_answer(out, client.configuration);
        return client.last_exchange_answered();
    case selected_action::command: {
        Json::Value answer;
        client.publish(velquin::channels::service_commands, command_data(options), answer);
        print_answer(out, answer);
        return client.last_exchange_answered();
    }
    case selected_action::settings_update: {
        Json::Value answer;
        client.publish_setting(velquin::channels::service_settings, options.path,
                               settings_value(options), answer);
        print_answer(out, answer);
        return client.last_exchange_answered();
    }
    }
    return false;
}

} // namespace publish
