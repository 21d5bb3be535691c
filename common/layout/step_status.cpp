#include "common/layout/step_status.hpp"

#include <cstdio>
#include <fstream>
#include <memory>

#include <gemmi/third_party/sajson.h>

#include "common/escape.hpp"
#include "common/failure.hpp"

namespace common::step_status {

namespace {

std::string quoted(const std::optional<std::string>& text) {
    return text ? "\"" + escapeJson(*text) + "\"" : "null";
}

std::string seconds(double value) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.3f", value);
    return buffer;
}

}  // namespace

std::string format(const Status& s) {
    return "{\n \"step\": " + quoted(s.step) + ",\n \"status\": " + quoted(s.status) +
           ",\n \"message\": " + quoted(s.message) +
           ",\n \"exit\": " + (s.exit ? std::to_string(*s.exit) : std::string("null")) +
           ",\n \"seconds\": " + seconds(s.seconds) + ",\n \"cpu_seconds\": " + seconds(s.cpuSeconds) + "\n}\n";
}

Status read(const std::string& path) {
    // A status file is a few hundred bytes; one of more than 64 kB is none.
    constexpr size_t kLargest = 1 << 16;
    std::ifstream in(path, std::ios::binary);
    // Not cleared first: a page is touched only when read into.
    const std::unique_ptr<char[]> bytes(new char[kLargest + 1]);
    if (in) in.read(bytes.get(), static_cast<std::streamsize>(kLargest + 1));
    if (!in && !in.eof()) fail("cannot read status file " + path);
    const auto got = static_cast<size_t>(in.gcount());
    if (got > kLargest) fail("status file " + path + " is longer than 64 kB");
    const sajson::document doc =
        sajson::parse(sajson::dynamic_allocation(), sajson::mutable_string_view(got, bytes.get()));
    if (!doc.is_valid()) {
        fail("status file " + path + ", line " + std::to_string(doc.get_error_line()) + ": " +
             doc.get_error_message_as_string());
    }
    const sajson::value root = doc.get_root();
    const auto text_of = [&](const char* key) -> std::optional<std::string> {
        const sajson::value v = root.get_value_of_key(sajson::string(key, std::char_traits<char>::length(key)));
        if (v.get_type() == sajson::TYPE_STRING) return std::string(v.as_cstring(), v.get_string_length());
        if (v.get_type() == sajson::TYPE_NULL) return std::nullopt;
        fail("status file " + path + ": \"" + key + "\" is not a string");
    };
    if (root.get_type() != sajson::TYPE_OBJECT) fail("status file " + path + " is not a JSON object");
    Status s;
    const auto step = text_of("step");
    const auto status = text_of("status");
    if (!step || !status) fail("status file " + path + " lacks its step or status");
    s.step = *step;
    s.status = *status;
    s.message = text_of("message");
    return s;
}

}  // namespace common::step_status
