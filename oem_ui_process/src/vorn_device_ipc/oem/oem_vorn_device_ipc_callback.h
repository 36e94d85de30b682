// Notifications the engine process sends to the OEM UI process itself.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_rapidjson.h"

#include <boost/shared_ptr.hpp>
#include <string>

namespace oem_ui_process {

class oem_vorn_device_ipc_callback {
public:
    // The device has finished starting.
    virtual void on_device_started() = 0;
    // A document published on a channel; also the local copy of the hosted
    // engine's own publications.
    virtual void on_publish(const std::string& strChannel,
                            boost::shared_ptr<const rapidjson::Document> ptrjsDocument) = 0;
    // The engine process asks the UI process to shut down; true accepts.
    virtual bool on_shutdown() { return false; }

protected:
    // Never destroyed through this interface.
    ~oem_vorn_device_ipc_callback() = default;
};

} // namespace oem_ui_process
