// Helpers shared by the plug-in's tests: request and reply records built on
// the heap (they are 32 KB and 16 KB), and a fixture that puts the stand-in
// driver and the last-event buffer back to their start state.
#ifndef RES_TEST_SUPPORT_H
#define RES_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>

#include "chan_quelvaron_control.h"
#include "res_quelvaron_ami.h"

// An ami_message holding the given header lines, in order.
class Request {
  public:
    Request() : m_(new ami_message()) {}
    Request(std::initializer_list<std::string> lines) : Request()
    {
        for (const auto &l : lines)
            add(l);
    }
    Request(const Request &o) : m_(new ami_message(*o.m_)) {}
    Request &add(const std::string &line)
    {
        std::snprintf(m_->headers[m_->header_count++], AMI_HEADER_SIZE, "%s", line.c_str());
        return *this;
    }
    ami_message *get() const { return m_.get(); }
    operator const ami_message *() const { return m_.get(); }

  private:
    std::unique_ptr<ami_message> m_;
};

// What fills a fresh reply buffer: never zero, so a NUL the plug-in does not
// store is missed.
const char kReplyFill = '~';

// A request whose last line (the record's last) is line_start padded with
// 'v' to all its 512 characters, without a NUL; the lines before it are
// first_line and filler.  A read past that line leaves the record.
inline Request unterminated_last_line(const std::string &line_start, const std::string &first_line = "X-Pad: 0")
{
    Request q;
    q.add(first_line);
    for (int i = 1; i < AMI_MAX_HEADERS - 1; i++)
        q.add("X-Pad: " + std::to_string(i));
    ami_message *m = q.get();
    std::memset(m->headers[m->header_count], 'v', AMI_HEADER_SIZE);
    std::memcpy(m->headers[m->header_count], line_start.data(), line_start.size());
    m->header_count++;
    return q;
}

// An empty ami_session as a host hands one in, its buffer not zeroed.
class Reply {
  public:
    Reply() : s_(new ami_session())
    {
        std::memset(s_->reply, kReplyFill, sizeof s_->reply);
        s_->reply[0] = '\0';
    }
    ami_session *get() const { return s_.get(); }
    operator ami_session *() const { return s_.get(); }
    ami_session *operator->() const { return s_.get(); }
    // The reply text; flags a reply without its NUL at the length.
    std::string text() const
    {
        size_t n = static_cast<size_t>(s_->reply_length);
        if (n >= AMI_REPLY_SIZE) {
            ADD_FAILURE() << "reply length " << n << " past the buffer";
            return std::string();
        }
        EXPECT_EQ(s_->reply[n], '\0') << "no NUL at the reply length " << n;
        return std::string(s_->reply, n);
    }

  private:
    std::unique_ptr<ami_session> s_;
};

inline std::string last_event() { return quelvaron_last_manager_event; }

inline const chanq_observations &driver() { return *chanq_observed(); }

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        chanq_reset();
        std::memset(quelvaron_last_manager_event, 0, sizeof quelvaron_last_manager_event);
    }
    void TearDown() override { chanq_reset(); }
};

// Counts non-overlapping occurrences of needle in text.
inline int count_of(const std::string &text, const std::string &needle)
{
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        n++;
    return n;
}

// gtest check that a text ends with the given tail, showing the text otherwise.
inline ::testing::AssertionResult EndsWith(const std::string &text, const std::string &tail)
{
    if (text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "text does not end with the tail; text:\n" << text;
}

#endif
