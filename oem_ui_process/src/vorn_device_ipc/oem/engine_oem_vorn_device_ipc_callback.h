// An engine hosted inside the OEM UI process, driven remotely by the engine process.
#pragma once

#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_rapidjson.h"

#include <boost/shared_ptr.hpp>
#include <string>

namespace oem_ui_process {

class engine_oem_vorn_device_ipc_callback {
public:
    virtual bool is_present() = 0;
    virtual void set_config(boost::shared_ptr<const rapidjson::Document> ptrjsConfig) = 0;
    virtual void send_command(const std::string& strCommand) = 0;
    // Fills ptrjsAnswer; true when the answer is there.
    virtual bool send_query(const std::string& strQuery,
                            boost::shared_ptr<rapidjson::Document> ptrjsAnswer) = 0;
    virtual void get_storage_dir(std::string& strDir) = 0;
    virtual void get_storage_ext(std::string& strExt) = 0;
    virtual void get_storage_name(std::string& strName) = 0;
    virtual void load(const std::string& strStorageName,
                      boost::shared_ptr<const rapidjson::Document> ptrjsData) = 0;
    virtual void save(const std::string& strName) = 0;
    virtual void recall(const std::string& strStorageName, const std::string& strPath) = 0;
    virtual void store(const std::string& strStorageName, const std::string& strPath) = 0;
    virtual void delete_storage(const std::string& strName) = 0;
    virtual void reset_to_factory() = 0;
    // Fills ptrjsIos; true when filled.
    virtual bool get_ios(boost::shared_ptr<rapidjson::Document> ptrjsIos) = 0;
    // Fills ptrjsDirectories; true when filled.
    virtual bool get_directories(boost::shared_ptr<rapidjson::Document> ptrjsDirectories) = 0;
    virtual void
    on_directory_file_changed(boost::shared_ptr<const rapidjson::Document> ptrjsChange) = 0;

protected:
    // Never destroyed through this interface.
    ~engine_oem_vorn_device_ipc_callback() = default;
};

} // namespace oem_ui_process
