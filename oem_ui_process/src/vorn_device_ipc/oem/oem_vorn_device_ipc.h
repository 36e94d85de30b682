/// \file
/// Public face of the device bridge: an OEM UI process derives from
/// oem_ui_process::oem_vorn_device_ipc, implements the notifications, and talks to the engine
/// process through the operations below.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/engine_oem_vorn_device_ipc_callback.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_ipc_callback.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_rapidjson.h"

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <string>

/// The device bridge: the OEM UI process's side of the channel to the engine process.
namespace oem_ui_process {

/// The OEM UI process's connection to the engine process; derive from it and implement the
/// notifications of oem_vorn_device_ipc_callback.
///
/// Life cycle: construct (one per process), init(), oem_ui_process_ready(), then the outgoing
/// operations and the notifications, destroy(), destruction.
///
/// Outgoing operations are synchronous: each returns after the engine process has handled the
/// message. The bridge has no time-out of its own; the device's IPC library decides how long a
/// send may wait (our stand-in gives up after 30 s). They may be called from any thread, also
/// from inside a notification; all but oem_ui_process_ready() take the endpoint's recursive
/// mutex for the whole exchange. Failures never throw: they are logged through the device
/// logger (level 3) and, where there is a result, reported as false. Documents nested deeper
/// than OEMUIP_MAX_JSON_DEPTH levels are refused, in both directions.
class oem_vorn_device_ipc : public boost::enable_shared_from_this<oem_vorn_device_ipc>,
                            public oem_vorn_device_ipc_callback {
public:
    /// Makes the endpoint, without a hosted engine; opens nothing yet.
    ///
    /// Only one may exist per process: a second one, while the first lives, logs a banner and
    /// ends the process with status -2. Throws boost::thread_resource_error when the system
    /// refuses a mutex.
    oem_vorn_device_ipc();
    /// Closes the channel if it is still open and frees the one-instance slot.
    ///
    /// Call destroy() first, from the subclass: a message arriving while the subclass part is
    /// already gone would call a notification of a destroyed object.
    virtual ~oem_vorn_device_ipc();

    /// Creates the hand-off file (/tmp/oem/oem_vorn_device_ipc.json) and opens the channel
    /// "IPC_oem_ui2Hul" to the engine process.
    ///
    /// From the moment it succeeds, notifications may arrive on the IPC library's threads, even
    /// before it returns. A channel that is already open is closed first.
    /// \return false when the file cannot be created (nothing logged) or the channel cannot be
    ///         opened ("KSAL_IPC_init failed"); every later send then fails and is logged.
    virtual bool init();
    /// Closes the channel; harmless when it is not open, and init() may follow.
    ///
    /// When it returns, no notification is running or will run, except the one it is called
    /// from and (with the IPC stand-in) one that has not returned 3 s after the close began,
    /// which is left to end on its own so that a hanging notification cannot hang the close.
    virtual void destroy();

    /// Tells the engine process that the OEM UI process is ready. Takes no lock; a failure is
    /// logged. When no engine process listens yet the message is lost: send it again from
    /// on_device_started().
    void oem_ui_process_ready() const;
    /// Fetches the whole device configuration into \p ptrjsDocument.
    ///
    /// The engine process writes it into the hand-off file before it answers; the file is read
    /// back here.
    /// May be called once init() has succeeded. Before the engine process runs it fails; a UI
    /// started after the engine's start notice never gets on_device_started(), so call it
    /// after init() and, when it fails, again from on_device_started().
    /// \return false for a null pointer (nothing sent), a failed send (logged) or a file that
    ///         cannot be read; the document is then left as the read left it.
    bool get_config(boost::shared_ptr<rapidjson::Document> ptrjsDocument) const;
    /// Applies one configuration change: an object whose "path" member names the configuration
    /// path it applies to.
    ///
    /// A path beginning with "$._oem_ui_process_engine" belongs to the hosted engine: the same
    /// pointer goes to its engine_oem_vorn_device_ipc_callback::set_config() on this thread,
    /// nothing is sent, and without a hosted engine nothing happens at all. Any other change is
    /// written to the hand-off file and sent. The document is only read. A null pointer, a
    /// document without a string "path", a failed write or send (the engine process's error
    /// result included) is logged and dropped. Nothing tells the caller whether the engine
    /// applied the change: read the path back with send_query() or get_config() to know.
    void set_config(boost::shared_ptr<const rapidjson::Document> ptrjsConfig);
    /// Sends a command to the engine process; the text is cut to 255 bytes. A failure is
    /// logged.
    void send_command(const std::string& strCommand) const;
    /// Sends a query (cut to 255 bytes) and reads the engine process's answer into
    /// \p ptrjsAnswer.
    /// \return false for a null pointer, a failed send or an unreadable answer; nothing is
    ///         logged here.
    bool send_query(const std::string& strQuery,
                    boost::shared_ptr<rapidjson::Document> ptrjsAnswer);

    /// Logs one line "<strTitle>= <jsValue as compact JSON>" through the device logger at
    /// \p log_level; non-integer numbers carry 17 significant digits, so they read back
    /// exactly. A value nested deeper than OEMUIP_MAX_JSON_DEPTH is not written: a failure
    /// line says so instead.
    static void log_json_value(unsigned int log_level, const std::string& strTitle,
                               const rapidjson::Value& jsValue);

    oem_vorn_device_ipc(const oem_vorn_device_ipc&) = delete;
    oem_vorn_device_ipc& operator=(const oem_vorn_device_ipc&) = delete;

protected:
    class Impl;

    /// For a UI process that hosts an engine: the engine process's engine messages go to
    /// \p pEngineCallback, which must outlive this object (it is not owned). A null callback
    /// equals the default constructor.
    explicit oem_vorn_device_ipc(engine_oem_vorn_device_ipc_callback* pEngineCallback);

    /// The endpoint, owned by this object alone. An engine-hosting subclass reaches
    /// Impl::engine_publish(), Impl::engine_io_changed() and Impl::engine_load_done() through
    /// it.
    boost::shared_ptr<Impl> pimpl;
};

} // namespace oem_ui_process
