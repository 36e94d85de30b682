// Public face of the device bridge: an OEM UI process derives from
// oem_vorn_device_ipc, implements the notifications, and talks to the engine
// process through the operations below.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/engine_oem_vorn_device_ipc_callback.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_ipc_callback.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_rapidjson.h"

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <string>

namespace oem_ui_process {

class oem_vorn_device_ipc : public boost::enable_shared_from_this<oem_vorn_device_ipc>,
                            public oem_vorn_device_ipc_callback {
public:
    // Only one may exist per process: a second one ends the process.
    oem_vorn_device_ipc();
    virtual ~oem_vorn_device_ipc();

    // Creates the hand-off file and opens the channel to the engine process.
    virtual bool init();
    // Closes the channel; harmless when it is not open.
    virtual void destroy();

    void oem_ui_process_ready() const;
    bool get_config(boost::shared_ptr<rapidjson::Document> ptrjsDocument) const;
    void set_config(boost::shared_ptr<const rapidjson::Document> ptrjsConfig);
    void send_command(const std::string& strCommand) const;
    bool send_query(const std::string& strQuery,
                    boost::shared_ptr<rapidjson::Document> ptrjsAnswer);

    // One log line "title= <compact JSON>".
    static void log_json_value(unsigned int log_level, const std::string& strTitle,
                               const rapidjson::Value& jsValue);

    oem_vorn_device_ipc(const oem_vorn_device_ipc&) = delete;
    oem_vorn_device_ipc& operator=(const oem_vorn_device_ipc&) = delete;

protected:
    class Impl;

    // For a UI process that hosts an engine; a null callback equals the default constructor.
    explicit oem_vorn_device_ipc(engine_oem_vorn_device_ipc_callback* pEngineCallback);

    boost::shared_ptr<Impl> pimpl;
};

} // namespace oem_ui_process
