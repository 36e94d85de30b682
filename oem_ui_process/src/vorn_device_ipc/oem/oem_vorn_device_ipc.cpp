// The facade forwards to its endpoint; it adds construction and one log helper.
#include "oem_ui_process/src/vorn_device_ipc/oem/oem_vorn_device_ipc.h"

#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_impl.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_log.h"

#include <boost/make_shared.hpp>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <sstream>

namespace oem_ui_process {

namespace {

// Compact JSON whose non-integer numbers go through a stream at 17
// significant digits, so that a logged value reads back exactly.
class log_writer : public rapidjson::Writer<rapidjson::StringBuffer> {
public:
    explicit log_writer(rapidjson::StringBuffer& buffer)
        : rapidjson::Writer<rapidjson::StringBuffer>(buffer) {}

    bool Double(double d) {
        std::ostringstream os;
        os.precision(17);
        os << d;
        const std::string strNumber = os.str();
        return RawValue(strNumber.c_str(), strNumber.size(), rapidjson::kNumberType);
    }
};

} // namespace

oem_vorn_device_ipc::oem_vorn_device_ipc() : pimpl(boost::make_shared<Impl>(this, nullptr)) {}

oem_vorn_device_ipc::oem_vorn_device_ipc(engine_oem_vorn_device_ipc_callback* pEngineCallback)
    : pimpl(boost::make_shared<Impl>(this, pEngineCallback)) {}

oem_vorn_device_ipc::~oem_vorn_device_ipc() = default;

bool oem_vorn_device_ipc::init() {
    return pimpl->init();
}

void oem_vorn_device_ipc::destroy() {
    pimpl->destroy();
}

void oem_vorn_device_ipc::oem_ui_process_ready() const {
    pimpl->oem_ui_process_ready();
}

bool oem_vorn_device_ipc::get_config(boost::shared_ptr<rapidjson::Document> ptrjsDocument) const {
    return pimpl->get_config(ptrjsDocument);
}

void oem_vorn_device_ipc::set_config(boost::shared_ptr<const rapidjson::Document> ptrjsConfig) {
    pimpl->set_config(ptrjsConfig);
}

void oem_vorn_device_ipc::send_command(const std::string& strCommand) const {
    pimpl->send_command(strCommand);
}

bool oem_vorn_device_ipc::send_query(const std::string& strQuery,
                                     boost::shared_ptr<rapidjson::Document> ptrjsAnswer) {
    return pimpl->send_query(strQuery, ptrjsAnswer);
}

void oem_vorn_device_ipc::log_json_value(unsigned int log_level, const std::string& strTitle,
                                         const rapidjson::Value& jsValue) {
    // The writer recurses once per level.
    if (!detail::within_depth(jsValue, "log_json_value"))
        return;
    rapidjson::StringBuffer buffer;
    log_writer writer(buffer);
    jsValue.Accept(writer);
    vq_log__(static_cast<int>(log_level), detail::base_name(__FILE__), __LINE__, "%s= %s\n",
             strTitle.c_str(), buffer.GetString());
}

} // namespace oem_ui_process
