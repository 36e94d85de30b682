// Input layout: [0..3] message id (little-endian; byte 0 alone picks a known
// id when byte 3 is 0x00), [4..5] claimed payload size, [6..7] reply
// capacity, [8] flags (1: no payload pointer, 2: no reply buffer, 4: no reply
// size, 8: no engine, 16: engine refuses, 32: file choice), rest: payload
// (its first `claimed` bytes, or all of it when it holds fewer).
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_catalogue.h"
#include "oem_ui_process/src/vorn_device_ipc/oem/impl/oem_vorn_device_ipc_impl.h"
#include "platform/common/handoff_files.h"
#include "platform/common/platform_path.h"
#include "platform/device_log/vq_log.h"
#include "platform/oem_files/oem_files.h"

#include <boost/make_shared.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using namespace oem_ui_process;

namespace {

struct facade_access : oem_vorn_device_ipc {
    using impl_type = oem_vorn_device_ipc::Impl;
};

struct probe : facade_access::impl_type {
    using facade_access::impl_type::Impl;
    using facade_access::impl_type::KSAL_IPC_callback;
};

struct quiet_hul : oem_vorn_device_ipc_callback {
    virtual ~quiet_hul() = default;
    void on_device_started() override {}
    void on_publish(const std::string& c, boost::shared_ptr<const rapidjson::Document> d) override {
        sink += c.size() + (d->IsObject() ? d->MemberCount() : 0);
    }
    bool on_shutdown() override { return (sink & 1) != 0; }
    std::size_t sink = 0;
};

struct quiet_engine : engine_oem_vorn_device_ipc_callback {
    virtual ~quiet_engine() = default;
    bool is_present() override { return !refuse; }
    void set_config(boost::shared_ptr<const rapidjson::Document>) override {}
    void send_command(const std::string& s) override { sink += s.size(); }
    bool send_query(const std::string& q, boost::shared_ptr<rapidjson::Document> a) override {
        a->SetString(q.c_str(), static_cast<rapidjson::SizeType>(q.size()), a->GetAllocator());
        return !refuse;
    }
    void get_storage_dir(std::string& s) override { s.assign(sink % 400, 'd'); }
    void get_storage_ext(std::string& s) override { s = ".x"; }
    void get_storage_name(std::string& s) override { s.clear(); }
    void load(const std::string& s, boost::shared_ptr<const rapidjson::Document>) override {
        sink += s.size();
    }
    void save(const std::string& s) override { sink += s.size(); }
    void recall(const std::string& a, const std::string& b) override {
        sink += a.size() + b.size();
    }
    void store(const std::string& a, const std::string& b) override { sink += a.size() + b.size(); }
    void delete_storage(const std::string& s) override { sink += s.size(); }
    void reset_to_factory() override {}
    bool get_ios(boost::shared_ptr<rapidjson::Document> d) override {
        d->SetArray();
        return !refuse;
    }
    bool get_directories(boost::shared_ptr<rapidjson::Document> d) override {
        d->SetObject();
        return !refuse;
    }
    void on_directory_file_changed(boost::shared_ptr<const rapidjson::Document>) override {}
    bool refuse = false;
    std::size_t sink = 0;
};

const uint32_t kKnownIds[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,  11,
                              12, 13, 14, 15, 16, 17, 18, 19, 30, 31, 100, 107};
const char* const kFiles[] = {"/tmp/fz/doc.json", "/tmp/fz/missing.json", "/tmp/fz/answer.json",
                              "/tmp/fz/bad.json"};

std::string g_root;

void remove_root() {
    std::error_code ec;
    std::filesystem::remove_all(g_root, ec);
}

quiet_hul g_hul;
quiet_engine g_engine;
probe* g_probe = nullptr;
bool g_probeHasEngine = true;

// Offset of the hand-off file field in the payload of `id`, or -1.
long file_offset(uint32_t id) {
    const TOEMUIP_Message* m = find_message(id);
    return m != nullptr ? m->i32FileOffset : -1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Our own folder for every file the stand-ins touch.
    char tmpl[] = "/tmp/vqfz.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        std::abort();
    ::setenv("VQ_PLATFORM_ROOT", tmpl, 1);
    g_root = tmpl;
    std::atexit(remove_root);
    // Unknown ids are logged on every run; keep the fuzzer's output readable.
    vq_log_set_sink([](const vq_log_record&) {});
    // The fuzzer's peer keeps its files in /tmp/fz, a hand-off folder made here.
    vq_platform::set_handoff_folders({"/tmp/oem", "/tmp/fz"});
    vq_platform::make_dirs(vq_platform::map_path("/tmp/fz"));
    rapidjson::Document doc;
    doc.Parse("{\"path\":\"$.a\",\"value\":[1,2,{\"b\":\"c\"}]}");
    TJsonFile_Info info;
    std::memset(&info, 0, sizeof(info));
    std::strcpy(info.szJSONDataFilePath, kFiles[0]);
    write_json_to_file(info, doc);
    // A file that holds no JSON document.
    std::string bad = std::string(tmpl) + kFiles[3];
    if (FILE* f = std::fopen(bad.c_str(), "w")) {
        std::fputs("{\"unterminated\":", f);
        std::fclose(f);
    }
    g_probe = new probe(&g_hul, &g_engine);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9)
        return 0;
    uint32_t id = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                  static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
    if (data[3] == 0)
        id = kKnownIds[data[0] % (sizeof(kKnownIds) / sizeof(kKnownIds[0]))];
    const uint32_t claimed = static_cast<uint32_t>(data[4]) | static_cast<uint32_t>(data[5]) << 8;
    const uint32_t capacity = static_cast<uint32_t>(data[6]) | static_cast<uint32_t>(data[7]) << 8;
    const uint8_t flags = data[8];

    // The library never claims more payload than it holds. The payload and
    // the reply buffer are exactly as large as claimed, so that a read or
    // write past either one lands outside its allocation (a zero size still
    // gets a pointer, which nothing may read through).
    const std::size_t held = size - 9;
    const uint32_t inSize = std::min<uint32_t>(claimed, static_cast<uint32_t>(held));
    std::unique_ptr<uint8_t[]> payload(new uint8_t[inSize]);
    if (inSize != 0)
        std::memcpy(payload.get(), data + 9, inSize);

    // Keep file names to our few files: the file functions take any path.
    const long at = file_offset(id);
    if (at >= 0 && inSize >= static_cast<std::size_t>(at) + sizeof(TJsonFile_Info)) {
        char* path = reinterpret_cast<char*>(payload.get() + at);
        std::memset(path, 0, 256);
        std::strcpy(path, kFiles[(flags >> 5) % 4]);
    }

    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity]());
    uint32_t outSize = capacity;
    g_engine.refuse = (flags & 16) != 0;
    const bool withEngine = (flags & 8) == 0;
    if (withEngine != g_probeHasEngine) {
        // One endpoint per process: the old one goes before the new one comes.
        delete g_probe;
        g_probe = new probe(&g_hul, withEngine ? &g_engine : nullptr);
        g_probeHasEngine = withEngine;
    }
    const int32_t result = g_probe->KSAL_IPC_callback(
        id, (flags & 1) != 0 ? nullptr : payload.get(), inSize,
        (flags & 2) != 0 ? nullptr : out.get(), (flags & 4) != 0 ? nullptr : &outSize);

    // What the dispatcher promises whatever it was given.
    if (result < -3 || result > 0)
        std::abort();
    if ((flags & 4) == 0) {
        if (outSize != 0 && (outSize != 256 || result != 0 || capacity < 256))
            std::abort();
        if (outSize == 256 && out[255] != 0)
            std::abort();
    }
    return 0;
}
