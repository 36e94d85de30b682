/// \file
/// An engine hosted inside the OEM UI process, driven remotely by the engine process.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_rapidjson.h"

#include <boost/shared_ptr.hpp>
#include <string>

namespace oem_ui_process {

/// The hosted engine's side of the engine process's engine messages; given to the protected
/// constructor of oem_vorn_device_ipc.
///
/// Calls arrive like the notifications (on the IPC library's delivery threads, no bridge lock
/// held, the engine process waiting for the return), and set_config() also on the thread that
/// calls oem_vorn_device_ipc::set_config() with an engine path. Unless a call says otherwise,
/// the engine process sees 0 when it returns and -1 when it throws (the exception is logged).
/// Documents handed in may be kept; documents to fill arrive new and empty.
class engine_oem_vorn_device_ipc_callback {
public:
    /// \return true: the engine process sees 0 (an engine is present); false: -1.
    virtual bool is_present() = 0;
    /// A change of the engine's settings (paths under "$._oem_ui_process_engine").
    virtual void set_config(boost::shared_ptr<const rapidjson::Document> ptrjsConfig) = 0;
    /// A command for the engine (at most 255 bytes).
    virtual void send_command(const std::string& strCommand) = 0;
    /// Answers a query (at most 255 bytes) into \p ptrjsAnswer.
    /// \return true: the answer is written to the engine process's hand-off file and it sees 0;
    ///         false, or a failed write: it sees -1 and reads nothing.
    virtual bool send_query(const std::string& strQuery,
                            boost::shared_ptr<rapidjson::Document> ptrjsAnswer) = 0;
    /// The folder of the engine's stored files; sent back cut to 255 bytes.
    virtual void get_storage_dir(std::string& strDir) = 0;
    /// The file name extension of the engine's stored files; sent back cut to 255 bytes.
    virtual void get_storage_ext(std::string& strExt) = 0;
    /// The name of the engine's current storage; sent back cut to 255 bytes.
    virtual void get_storage_name(std::string& strName) = 0;
    /// Loads the stored data \p ptrjsData under \p strStorageName.
    virtual void load(const std::string& strStorageName,
                      boost::shared_ptr<const rapidjson::Document> ptrjsData) = 0;
    /// Saves the engine's state under \p strName.
    virtual void save(const std::string& strName) = 0;
    /// Recalls \p strStorageName from \p strPath.
    virtual void recall(const std::string& strStorageName, const std::string& strPath) = 0;
    /// Stores \p strStorageName at \p strPath.
    virtual void store(const std::string& strStorageName, const std::string& strPath) = 0;
    /// Deletes the stored file \p strName.
    virtual void delete_storage(const std::string& strName) = 0;
    /// Returns the engine to its factory settings.
    virtual void reset_to_factory() = 0;
    /// Describes the engine's inputs and outputs into \p ptrjsIos.
    /// \return true when filled (written back, the engine process sees 0); false: -1.
    virtual bool get_ios(boost::shared_ptr<rapidjson::Document> ptrjsIos) = 0;
    /// Lists the engine's directories into \p ptrjsDirectories.
    /// \return true when filled (written back, the engine process sees 0); false: -1.
    virtual bool get_directories(boost::shared_ptr<rapidjson::Document> ptrjsDirectories) = 0;
    /// A file in one of the engine's directories changed, as \p ptrjsChange describes.
    virtual void
    on_directory_file_changed(boost::shared_ptr<const rapidjson::Document> ptrjsChange) = 0;

protected:
    /// Never destroyed through this interface.
    ~engine_oem_vorn_device_ipc_callback() = default;
};

} // namespace oem_ui_process
