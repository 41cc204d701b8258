// basic_file_target: messages appended to a file, one line each.
//
// Owns a shared file object (the stream and its mutex); a write takes that mutex alone.
#pragma once

#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "module/logging/target.h"
#include "module/logging/text_convert.h"

namespace qnLogging {

template <class Mutex = std::mutex>
class basic_file_target : public basic_logtarget {
public:
    class file {
    public:
        // The name is UTF-8; existing content stays.
        explicit file(const std::string& name, bool no_line_end = false)
            : m_no_line_end(no_line_end ? 1 : 0) {
            if (!zyl::platform::utf8ToWide(name)) {
                throw base2::character_conversion_error();
            }
            m_stream.open(name, std::ios::out | std::ios::app | std::ios::binary);
            if (!m_stream.good()) {
                throw std::runtime_error("Error opening file: " + name);
            }
        }

        void write(const char* begin, const char* end) {
            if (begin == end) {
                return;
            }
            std::lock_guard lock(m_mutex);
            m_stream.write(begin, end - begin);
            if (!m_no_line_end) {
                m_stream.put('\n');
            }
            m_stream.flush();
        }

    private:
        std::ofstream m_stream;
        std::uint8_t m_no_line_end;
        Mutex m_mutex;
    };

    explicit basic_file_target(std::shared_ptr<file> f) : m_file(std::move(f)) {}

    void write(const basic_timed_msgstate&, const wchar_t* begin, const wchar_t* end) override {
        const std::string text = detail::to_utf8(begin, end);
        m_file->write(text.data(), text.data() + text.size());
    }

    void write(const basic_timed_msgstate&, const char* begin, const char* end) override {
        m_file->write(begin, end);
    }

private:
    std::shared_ptr<file> m_file;
};

using file_target = basic_file_target<>;

}  // namespace qnLogging
