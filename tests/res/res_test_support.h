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

// An ami_session, zeroed as a host hands in a fresh one.
class Reply {
  public:
    Reply() : s_(new ami_session()) {}
    ami_session *get() const { return s_.get(); }
    operator ami_session *() const { return s_.get(); }
    ami_session *operator->() const { return s_.get(); }
    std::string text() const { return std::string(s_->reply, static_cast<size_t>(s_->reply_length)); }

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
