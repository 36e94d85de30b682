// OEM file functions, path relocation, logger and assertion hook.
#include "tests/support/private_root.hpp"
#include "platform/common/handoff_files.h"
#include "platform/common/platform_path.h"
#include "platform/device_log/vq_log.h"
#include "platform/oem_files/oem_files.h"
#include "platform/rapidjson_hook/ks_callstack_assert.h"

#include <gtest/gtest.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <chrono>
#include <future>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace oem_ui_process;

namespace {

std::string g_root;

const auto* const g_env = ::testing::AddGlobalTestEnvironment(
    new platform_testing::private_root("vq_files_test", g_root));

// Every test's files lie in one hand-off folder of its own under "/files".
struct files_folder : ::testing::Environment {
    void SetUp() override { vq_platform::set_handoff_folders({"/files"}); }
};
const auto* const g_folders = ::testing::AddGlobalTestEnvironment(new files_folder);

TJsonFile_Info info_for(const std::string& path, uint32_t id = 0) {
    TJsonFile_Info info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.szJSONDataFilePath, path.data(),
                std::min(path.size(), sizeof info.szJSONDataFilePath));
    info.ui32JsonId = id;
    return info;
}

std::string slurp(const std::string& real_path) {
    std::ifstream in(real_path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string to_json(const rapidjson::Value& v) {
    rapidjson::StringBuffer b;
    rapidjson::Writer<rapidjson::StringBuffer> w(b);
    v.Accept(w);
    return b.GetString();
}

// The test's own folder, made (the file functions make none for a peer).
std::string test_dir() {
    const std::string dir =
        std::string("/files/") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(g_root + dir);
    return dir;
}

TEST(PlatformPathTest, RelocatesAbsolutePathsUnderTheRootOnce) {
    struct Case {
        const char* in;
        std::string out;
    };
    const Case cases[] = {
        {"/tmp/oem/oem_vorn_device_ipc.json", g_root + "/tmp/oem/oem_vorn_device_ipc.json"},
        {"relative/file.json", "relative/file.json"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vq_platform::map_path(c.in), c.out) << c.in;
    // A path already under the root is not moved a second time.
    EXPECT_EQ(vq_platform::map_path(g_root + "/a/b"), g_root + "/a/b");
    EXPECT_EQ(vq_platform::map_path(g_root), g_root);
    // A sibling folder whose name merely starts with the root's is still moved.
    EXPECT_EQ(vq_platform::map_path(g_root + "x/f"), g_root + g_root + "x/f");

    EXPECT_EQ(vq_platform::parent_of("/a/b/c.json"), "/a/b");
    EXPECT_EQ(vq_platform::parent_of("/c.json"), "/");
    EXPECT_EQ(vq_platform::parent_of("c.json"), "");
}

TEST(OemFilesTest, CreateFileMakesFoldersAndKeepsOrEmptiesExistingContent) {
    const std::string path = test_dir() + "/deep/er/hand_off.json";
    const std::string real = g_root + path;
    ASSERT_TRUE(create_file(path, false));
    EXPECT_TRUE(fs::is_regular_file(real));
    EXPECT_EQ(fs::file_size(real), 0u);

    std::ofstream(real) << "{\"keep\":1}";
    ASSERT_TRUE(create_file(path, false));
    EXPECT_EQ(slurp(real), "{\"keep\":1}");
    ASSERT_TRUE(create_file(path, true));
    EXPECT_EQ(slurp(real), "");

    // A file where a folder should be, a folder where the file should be.
    std::ofstream(g_root + test_dir() + "/blocker") << "x";
    EXPECT_FALSE(create_file(test_dir() + "/blocker/f.json", false));
    fs::create_directories(g_root + test_dir() + "/a_dir");
    EXPECT_FALSE(create_file(test_dir() + "/a_dir", false));
    EXPECT_FALSE(create_file("", false));
}

TEST(OemFilesTest, DocumentsSurviveTheRoundTrip) {
    const char* texts[] = {
        "{\"path\":\"$.ios.inputs[0].gain\",\"value\":-3.25}",
        "[1,2,{\"a\":[true,false,null]},\"\\u00e9t\\u00e9 \\\"quoted\\\"\"]",
        "\"just a string\"",
        "12345678901234",
        "{}",
    };
    uint32_t id = 0;
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        rapidjson::Document in;
        in.Parse(text);
        ASSERT_FALSE(in.HasParseError());
        TJsonFile_Info info = info_for(test_dir() + "/doc.json", id++);
        ASSERT_TRUE(write_json_to_file(info, in));
        rapidjson::Document out;
        ASSERT_TRUE(read_json_from_file(info, out));
        EXPECT_EQ(to_json(out), to_json(in));
        EXPECT_TRUE(out == in);
    }
    // Writing needs no create_file first (only the folder), and leaves no temporary files.
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(g_root + test_dir())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST(OemFilesTest, UnreadableFilesLeaveTheDocumentAlone) {
    const std::string dir = g_root + test_dir();
    fs::create_directories(dir + "/sub");
    struct Case {
        const char* name;
        const char* content; // null: no such file
    };
    const Case cases[] = {
        {"missing.json", nullptr},  {"empty.json", ""},    {"broken.json", "{\"a\":"},
        {"trailing.json", "{} {}"}, {"nan.json", "[NaN]"}, {"text.json", "hello"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.content != nullptr)
            std::ofstream(dir + "/" + c.name) << c.content;
        rapidjson::Document doc;
        doc.Parse("{\"before\":true}");
        EXPECT_FALSE(read_json_from_file(info_for(test_dir() + "/" + c.name), doc));
        EXPECT_EQ(to_json(doc), "{\"before\":true}");
    }
    rapidjson::Document doc;
    EXPECT_FALSE(read_json_from_file(info_for(test_dir() + "/sub"), doc));
    EXPECT_FALSE(read_json_from_file(info_for(""), doc));
}

TEST(OemFilesTest, AValueThatIsNotJsonIsNotWrittenAndTheOldFileStays) {
    const std::string path = test_dir() + "/keep.json";
    rapidjson::Document good;
    good.Parse("{\"v\":1}");
    ASSERT_TRUE(write_json_to_file(info_for(path), good));

    rapidjson::Document bad;
    bad.SetObject();
    bad.AddMember("v", rapidjson::Value(std::nan("")), bad.GetAllocator());
    EXPECT_FALSE(write_json_to_file(info_for(path), bad));
    EXPECT_EQ(slurp(g_root + path), "{\"v\":1}");

    // A file where the folder should be; a folder that is missing is not made.
    std::ofstream(g_root + test_dir() + "/file") << "x";
    EXPECT_FALSE(write_json_to_file(info_for(test_dir() + "/file/x.json"), good));
    EXPECT_FALSE(write_json_to_file(info_for(test_dir() + "/new/x.json"), good));
    EXPECT_FALSE(fs::exists(g_root + test_dir() + "/new"));
}

// `depth` nested arrays around a number.
std::string nested_text(std::size_t depth) {
    return std::string(depth, '[') + "1" + std::string(depth, ']');
}

void write_text(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(g_root + path).parent_path());
    std::ofstream(g_root + path, std::ios::binary) << text;
}

TEST(OemFilesTest, DocumentsNestedDeeperThanTheLimitAreNeitherReadNorWritten) {
    const std::string path = test_dir() + "/deep.json";
    const TJsonFile_Info info = info_for(path);
    rapidjson::Document doc;
    doc.Parse("{\"kept\":1}");

    write_text(path, nested_text(512));
    ASSERT_TRUE(read_json_from_file(info, doc));
    EXPECT_TRUE(doc.IsArray());
    // Brackets inside strings do not count; escaped quotes do not end them.
    write_text(path, "[\"\\\"[[[[[[[[[[\"," + nested_text(511) + "]");
    EXPECT_TRUE(read_json_from_file(info, doc));
    // ... nor hide the brackets after the string's end: 513 levels.
    write_text(path, "[\"x\\\"\"," + nested_text(512) + "]");
    EXPECT_FALSE(read_json_from_file(info, doc));

    doc.Parse("{\"kept\":1}");
    for (const std::size_t depth : std::vector<std::size_t>{513, 100000, 1000000}) {
        SCOPED_TRACE(depth);
        write_text(path, nested_text(depth));
        EXPECT_FALSE(read_json_from_file(info, doc));
        EXPECT_EQ(to_json(doc), "{\"kept\":1}");
    }

    // Built without recursion: 1,000,000 levels would exhaust the stack of a
    // recursive writer.
    for (const std::size_t depth : std::vector<std::size_t>{512, 513, 1000000}) {
        SCOPED_TRACE(depth);
        rapidjson::Document deep;
        rapidjson::Value inner(1);
        for (std::size_t i = 0; i < depth; ++i) {
            rapidjson::Value outer(rapidjson::kArrayType);
            outer.PushBack(inner, deep.GetAllocator());
            inner = outer;
        }
        static_cast<rapidjson::Value&>(deep) = inner;
        EXPECT_EQ(write_json_to_file(info_for(test_dir() + "/w.json"), deep), depth <= 512);
    }
    EXPECT_EQ(slurp(g_root + test_dir() + "/w.json"), nested_text(512));
}

// A peer names the file: only a regular file inside a hand-off folder, within
// the size cap, reached without a symbolic link, is read or written, and each
// refusal is one log line.
TEST(OemFilesTest, HandOffFilesOutsideTheFoldersOrNotRegularAreRefused) {
    const std::string dir = test_dir();
    const std::string outside = g_root + "/outside";
    fs::create_directories(outside);
    std::ofstream(outside + "/doc.json") << "{\"outside\":1}";
    fs::create_directory_symlink(outside, g_root + dir + "/linked_dir");
    fs::create_symlink(outside + "/doc.json", g_root + dir + "/linked.json");
    fs::create_directories(g_root + dir + "/a_dir");
    ASSERT_EQ(::mkfifo((g_root + dir + "/fifo.json").c_str(), 0600), 0);
    // Sparse: one byte past the cap, and exactly the cap (a valid document).
    std::ofstream(g_root + dir + "/big.json") << "1";
    fs::resize_file(g_root + dir + "/big.json", vq_platform::kMaxHandoffFileSize + 1);
    std::ofstream(g_root + dir + "/cap.json")
        << std::string(vq_platform::kMaxHandoffFileSize - 1, ' ') << "1";

    const char* const refused[] = {
        "/linked_dir/doc.json",    "/linked.json", "/a_dir", "/fifo.json", "/big.json",
        "/../../outside/doc.json", "/./cap.json"};
    for (const char* name : refused) {
        SCOPED_TRACE(name);
        vq_log_capture log;
        rapidjson::Document doc;
        // A FIFO without a writer would block an open that waits: bounded here.
        auto read = std::async(std::launch::async,
                               [&] { return read_json_from_file(info_for(dir + name), doc); });
        if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "read still blocked after 5 s";
            ::close(::open((g_root + dir + "/fifo.json").c_str(), O_WRONLY | O_NONBLOCK));
        }
        EXPECT_FALSE(read.get());
        EXPECT_EQ(log.records().size(), 1u);
    }
    rapidjson::Document doc;
    EXPECT_TRUE(read_json_from_file(info_for(dir + "/cap.json"), doc));
    EXPECT_TRUE(read_json_from_file(info_for(dir + "/big.json"), doc) == false);

    // Writes: outside the folders, through a linked folder, into a missing one.
    rapidjson::Document value;
    value.Parse("{\"written\":1}");
    vq_log_capture log;
    EXPECT_FALSE(write_json_to_file(info_for("/outside/doc.json"), value));
    EXPECT_FALSE(write_json_to_file(info_for(dir + "/linked_dir/doc.json"), value));
    EXPECT_FALSE(write_json_to_file(info_for(dir + "/missing/doc.json"), value));
    EXPECT_FALSE(create_file("/outside/new.json", false));
    EXPECT_EQ(log.records().size(), 3u); // the missing folder is only unwritable
    EXPECT_FALSE(fs::exists(g_root + dir + "/missing"));
    // A link at the name itself is replaced, its target left alone.
    EXPECT_TRUE(write_json_to_file(info_for(dir + "/linked.json"), value));
    EXPECT_FALSE(fs::is_symlink(g_root + dir + "/linked.json"));
    EXPECT_EQ(slurp(outside + "/doc.json"), "{\"outside\":1}");
    EXPECT_FALSE(fs::exists(outside + "/new.json"));
}

TEST(OemFilesTest, TextFieldsStopAtTheFirstZeroOrTheFieldSize) {
    char field[256];
    std::memset(field, 'a', sizeof field);
    EXPECT_EQ(field_text(field, sizeof field), std::string(256, 'a'));
    field[10] = '\0';
    EXPECT_EQ(field_text(field, sizeof field), std::string(10, 'a'));
    EXPECT_EQ(field_text(nullptr, 5), "");

    // A path that fills all 256 bytes is read as 256 characters, not beyond.
    TJsonFile_Info info;
    std::memset(info.szJSONDataFilePath, 'p', sizeof info.szJSONDataFilePath);
    info.ui32JsonId = 0x41414141; // would extend the path if read past the field
    EXPECT_EQ(json_file_path(info), std::string(256, 'p'));
}

TEST(OemFilesTest, ReadersNeverSeeHalfADocument) {
    // Two large documents written in turn while another thread reads.
    const std::string path = test_dir() + "/swap.json";
    rapidjson::Document docs[2];
    for (int d = 0; d < 2; ++d) {
        docs[d].SetArray();
        for (int i = 0; i < 20000; ++i)
            docs[d].PushBack(rapidjson::Value(d * 1000000 + i), docs[d].GetAllocator());
    }
    ASSERT_TRUE(write_json_to_file(info_for(path), docs[0]));
    std::atomic<bool> done{false};
    std::atomic<int> bad_reads{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done) {
            rapidjson::Document got;
            if (!read_json_from_file(info_for(path), got) || !got.IsArray() ||
                got.Size() != 20000 || !(got == docs[0] || got == docs[1]))
                bad_reads++;
            reads++;
        }
    });
    for (int i = 0; i < 60; ++i)
        ASSERT_TRUE(write_json_to_file(info_for(path), docs[i % 2]));
    while (reads < 5)
        std::this_thread::yield();
    done = true;
    reader.join();
    EXPECT_EQ(bad_reads.load(), 0);
}

TEST(DeviceLogTest, CapturesEveryCallWithItsFormattedMessage) {
    vq_log_capture capture;
    vq_log__(3, "oem_vorn_device_ipc_impl", 120, "Unknown message(%u)\n", 19u);
    vq_log__(6, "x", 1, "%s= %s\n", "gain", "3");
    const std::string long_text(3000, 'z');
    vq_log__(3, "x", 2, "%s", long_text.c_str());
    auto records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, 3);
    EXPECT_EQ(records[0].file, "oem_vorn_device_ipc_impl");
    EXPECT_EQ(records[0].line, 120);
    EXPECT_EQ(records[0].message, "Unknown message(19)\n");
    EXPECT_EQ(capture.count("gain= 3\n"), 1u);
    EXPECT_EQ(records[2].message, long_text);
    capture.clear();
    EXPECT_TRUE(capture.records().empty());
}

TEST(DeviceLogTest, WithoutASinkEachCallIsOneLineOnStandardError) {
    std::fflush(stderr);
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const int saved = ::dup(2);
    ::dup2(pipe_fds[1], 2);
    vq_log__(3, "oem_vorn_device_ipc_impl", 42, "KSAL_IPC_init failed\n");
    vq_log__(4, "x", 7, "no line break %d", 5);
    vq_log__(3, "x", 8, "two breaks\n\n");
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(pipe_fds[1]);
    std::string text;
    char buf[1024];
    for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    EXPECT_EQ(text, "vq[3] oem_vorn_device_ipc_impl:42: KSAL_IPC_init failed\n"
                    "vq[4] x:7: no line break 5\n"
                    "vq[3] x:8: two breaks\n");
}

TEST(DeviceLogTest, NestedCapturesRestoreTheOuterOne) {
    vq_log_capture outer;
    {
        vq_log_capture inner;
        vq_log__(3, "f", 1, "inner\n");
        EXPECT_EQ(inner.count("inner\n"), 1u);
    }
    vq_log__(3, "f", 2, "outer\n");
    EXPECT_EQ(outer.count("inner\n"), 0u);
    EXPECT_EQ(outer.count("outer\n"), 1u);
}

TEST(DeviceLogTest, LinesFromManyThreadsAreAllKept) {
    vq_log_capture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                vq_log__(3, "t", t, "thread %d line %d\n", t, i);
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(capture.records().size(), 800u);
}

TEST(RapidjsonHookTest, ReportsAndCountsWithoutEndingTheProcess) {
    const std::size_t before = vq_platform::ks_assert_count();
    rapidjson::_ks_callstack_assert("IsObject()", "document.h", 1234);
    rapidjson::_ks_callstack_assert("IsString()", nullptr, 1);
    EXPECT_EQ(vq_platform::ks_assert_count(), before + 2);
    EXPECT_STREQ(vq_platform::ks_assert_last_expression(), "IsString()");
}

} // namespace
