#include "httprtsp/src/detail/upload_stream.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem/operations.hpp>

#include <algorithm>

namespace httprtsp {

namespace {

// Length of "multipart/form-data; boundary=" (is_upload_request checks it is there).
const std::size_t multipart_prefix_size = sizeof "multipart/form-data; boundary=" - 1;
const std::size_t tail_size = 512;

enum class part_start { found, need_more, no_delimiter };

// Finds where the content of the first part begins: past the first delimiter, its line end
// and the part's header lines. While more bytes may come, an incomplete delimiter or header
// block asks for more instead of guessing.
part_start locate_part_data(const char* b, const char* e, const std::string& delimiter,
                            bool complete, const char*& data) {
    const char* d = std::search(b, e, delimiter.begin(), delimiter.end());
    if (d == e)
        return complete ? part_start::no_delimiter : part_start::need_more;
    const char* p = d + delimiter.size();
    if (!complete && e - p < 2)
        return part_start::need_more;
    if (e - p >= 2 && p[0] == '\r' && p[1] == '\n')
        p += 2;
    if (!complete && e - p < 2)
        return part_start::need_more;
    if (e - p >= 2 && p[0] == '-' && p[1] == '-') { // closing delimiter: the part is empty
        data = p;
        return part_start::found;
    }
    static const char crlf[] = "\r\n";
    static const char colon_space[] = ": ";
    const char* next_delimiter = std::search(p, e, delimiter.begin(), delimiter.end());
    for (;;) {
        const char* line_end = std::search(p, next_delimiter, crlf, crlf + 2);
        if (line_end == next_delimiter) { // no line end before the next delimiter
            if (!complete && next_delimiter == e)
                return part_start::need_more;
            data = p;
            return part_start::found;
        }
        if (line_end == p) { // empty line ends the part's headers
            data = p + 2;
            return part_start::found;
        }
        if (std::search(p, line_end, colon_space, colon_space + 2) ==
            line_end) { // not a header line
            data = p;
            return part_start::found;
        }
        p = line_end + 2;
    }
}

} // namespace

const std::size_t upload_stream::header_limit;

upload_stream::upload_stream(boost::shared_ptr<upload_temp_file_request_handler> uploads,
                             const connection& owner)
    : uploads_(uploads), owner_(owner), active(false), waiting(false), expected_bytes(0),
      written_bytes(0), last_percent(0), max_bytes(0) {}

upload_stream::~upload_stream() {
    abort();
}

void upload_stream::abort() {
    if (!started())
        return;
    end(outcome::failed);
}

// Every begun upload passes here once; a file that is not exactly the part does not stay.
upload_stream::outcome upload_stream::end(outcome result) {
    const bool complete = result == outcome::done;
    if (file.is_open())
        file.close();
    const bool wrote = active;
    active = false;
    waiting = false;
    if (!complete && wrote) {
        boost::system::error_code ignored;
        boost::filesystem::remove(uploads_->temp_file_path(), ignored);
    }
    uploads_->upload_end(owner_, complete);
    return result;
}

upload_stream::outcome upload_stream::take(boost::tribool result, request& req) {
    upload_temp_file_request_handler& uploads = *uploads_;
    if (!active && !waiting) {
        const bool malformed = !result ? true : false;
        if (!malformed && !uploads.upload_begin(owner_))
            return outcome::refused;
        expected_bytes = 0;
        written_bytes = 0;
        last_percent = 0;
        max_bytes = uploads.max_upload_size();
        uploads.upload_progress(0, "Upload Firmware...");
        if (malformed)
            return outcome::more; // it never began: nothing to undo
    }
    if (!result) {
        end(outcome::failed); // malformed: the upload is cut off
        return outcome::more;
    }
    const bool complete = result ? true : false;

    message::body_ptr body = req.body();
    message::header_map::const_iterator type = req.find_header(header_names::content_type);
    std::string boundary = type->second.substr(multipart_prefix_size);
    if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"')
        boundary = boundary.substr(1, boundary.size() - 2);
    const std::string delimiter = "--" + boundary;

    const char* data = body->data();
    const char* const body_end = data + body->size();
    if (!active) {
        const int length = req.content_length();
        expected_bytes = length > 0 ? static_cast<std::uint32_t>(length) : 0;
        const part_start found =
            locate_part_data(body->data(), body_end, delimiter, complete, data);
        if (found != part_start::found) {
            // Wait for the rest of the delimiter and part headers, but not forever.
            waiting = found == part_start::need_more && body->size() <= header_limit;
            return waiting ? outcome::more : end(outcome::failed);
        }
        waiting = false;
        if (complete && data == body_end)
            return end(finish(delimiter)); // nothing to store
        if (!open_file())
            return end(outcome::failed);
    }
    if (data != body_end) {
        const outcome stored = store(data, static_cast<std::size_t>(body_end - data));
        if (stored != outcome::more)
            return end(stored);
    }
    body->clear();

    if (complete)
        return end(finish(delimiter));
    return outcome::more;
}

// Opened (and truncated) even when no content has come yet: later pieces append.
bool upload_stream::open_file() {
    // A larger stream buffer saves a system call for most reads.
    if (file_buffer.empty())
        file_buffer.resize(file_buffer_size);
    file.rdbuf()->pubsetbuf(file_buffer.data(), static_cast<std::streamsize>(file_buffer.size()));
    file.open(uploads_->temp_file_path(), std::ios::out | std::ios::trunc | std::ios::binary);
    if (!file.is_open()) {
        uploads_->upload_progress(0, "Error: open failed");
        return false;
    }
    active = true;
    return true;
}

upload_stream::outcome upload_stream::store(const char* data, std::size_t count) {
    file.write(data, static_cast<std::streamsize>(count));
    if (!file) {
        uploads_->upload_failed(1);
        return outcome::failed;
    }
    written_bytes += count;
    // finish() finds the closing delimiter only within the file's last tail_size bytes, so a
    // file this much longer than the limit cannot end in a part within it: stop writing now.
    const std::uint64_t slack = tail_size + 2;
    if (max_bytes != 0 && written_bytes > slack && written_bytes - slack > max_bytes) {
        uploads_->upload_failed(5);
        return outcome::too_large;
    }
    if (expected_bytes != 0) {
        // A chunked body may run past its Content-Length; reports stay within 0 to 100.
        const std::uint64_t percent = std::min<std::uint64_t>(
            static_cast<std::uint64_t>(written_bytes) * 100u / expected_bytes, 100u);
        if (percent > last_percent) {
            last_percent = static_cast<std::uint16_t>(percent);
            uploads_->upload_progress(static_cast<int>(last_percent), "Upload Firmware...");
        }
    }
    return outcome::more;
}

// The file holds the part's content followed by "\r\n", the closing delimiter and whatever
// came after it; cut it back to the content.
upload_stream::outcome upload_stream::finish(const std::string& delimiter) {
    upload_temp_file_request_handler& uploads = *uploads_;
    if (file.is_open())
        file.close();
    uploads.upload_progress(100, "Firmware upload Done");

    if (written_bytes == 0) { // nothing of this request reached the file: leave it alone
        uploads.upload_failed(3);
        return outcome::failed;
    }
    const boost::filesystem::path path(uploads.temp_file_path());
    boost::system::error_code error;
    const std::uintmax_t size = boost::filesystem::file_size(path, error);
    if (error || size == 0) {
        uploads.upload_failed(2);
        return outcome::failed;
    }
    const std::uintmax_t n = std::min<std::uintmax_t>(size - 1, tail_size);
    char tail[tail_size];
    {
        boost::filesystem::ifstream in(path, std::ios::in | std::ios::binary);
        in.seekg(static_cast<std::streamoff>(size - n));
        in.read(tail, static_cast<std::streamsize>(n));
        if (!in || static_cast<std::uintmax_t>(in.gcount()) != n) {
            uploads.upload_failed(2);
            return outcome::failed;
        }
    }
    const char* const tail_end = tail + n;
    const char* found =
        std::search(static_cast<const char*>(tail), tail_end, delimiter.begin(), delimiter.end());
    if (found == tail_end) {
        uploads.upload_failed(3);
        return outcome::failed;
    }
    // Content ends two bytes (the "\r\n") before the delimiter.
    const std::uintmax_t delimiter_at = size - n + static_cast<std::uintmax_t>(found - tail);
    if (delimiter_at < 2) {
        uploads.upload_failed(4);
        return outcome::failed;
    }
    if (max_bytes != 0 && delimiter_at - 2 > max_bytes) {
        uploads.upload_failed(5);
        return outcome::too_large;
    }
    boost::filesystem::resize_file(path, delimiter_at - 2, error);
    if (error) {
        uploads.upload_failed(4);
        return outcome::failed;
    }
    return outcome::done;
}

} // namespace httprtsp
