/// \file
/// Notifications the engine process sends to the OEM UI process itself.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_rapidjson.h"

#include <boost/shared_ptr.hpp>
#include <string>

namespace oem_ui_process {

/// Notifications for the OEM UI process; oem_vorn_device_ipc derives from it, so a UI process
/// overrides them in its facade subclass.
///
/// They run on the IPC library's delivery threads (possibly several at once, and possibly
/// before oem_vorn_device_ipc::init() has returned), with no bridge lock held, so they may
/// call the facade's outgoing operations. The engine process waits until a notification
/// returns. An exception thrown from one is logged and answered as a failure (-1).
class oem_vorn_device_ipc_callback {
public:
    /// The device has finished starting.
    virtual void on_device_started() = 0;
    /// A document published on \p strChannel; it may be kept.
    ///
    /// Also called, on the publishing thread, with the local copy of the hosted engine's own
    /// publications (oem_vorn_device_ipc::Impl::engine_publish()).
    virtual void on_publish(const std::string& strChannel,
                            boost::shared_ptr<const rapidjson::Document> ptrjsDocument) = 0;
    /// The engine process asks the UI process to shut down.
    /// \return true accepts (the engine process sees 0); false refuses (it sees -1). Refuses
    ///         unless overridden.
    virtual bool on_shutdown() { return false; }

protected:
    /// Never destroyed through this interface.
    ~oem_vorn_device_ipc_callback() = default;
};

} // namespace oem_ui_process
