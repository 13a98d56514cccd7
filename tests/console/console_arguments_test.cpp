// Command-line rules: "-p" and "-x" as whole arguments, atoi port, low 16
// bits on the wire, last occurrence wins, a trailing option is ignored.
#include "console_harness.h"

#include <gtest/gtest.h>

namespace {

std::string connect_error(long long port)
{
    return as_written("Nao foi possivel conectar ao Asterisk na porta AMI " + std::to_string(port) + ".\n");
}

void expect_connect_failure(const std::vector<std::string> &args, long long shown_port)
{
    ChildResult r = run_console(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, connect_error(shown_port));
}

TEST(ConsoleArguments, RefusedConnectionIsReportedOnStandardError)
{
    int port = closed_port();
    expect_connect_failure({"-p", std::to_string(port), "-x", "core show version"}, port);
    expect_connect_failure({"-p", std::to_string(port)}, port);
}

TEST(ConsoleArguments, PortTextWithoutLeadingDigitsIsZero)
{
    expect_connect_failure({"-p", "abc", "-x", "core show version"}, 0);
    expect_connect_failure({"-p", "", "-x", "core show version"}, 0);
    // The value after -p is taken whatever it holds: here "-x" is the port
    // text and the command is an ignored argument.
    expect_connect_failure({"-p", "-x", "core show version"}, 0);
}

TEST(ConsoleArguments, PortTextIsReadLikeAtoi)
{
    ScriptedAmi ami(answer_each(echo_reply));
    ASSERT_TRUE(ami.listening());
    ChildResult r = run_console({"-p", " \t+" + std::to_string(ami.port()) + "abc", "-x", "core show version"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, as_written(echo_printed("core show version")));
    EXPECT_EQ(ami.received(), command_request("core show version"));
}

TEST(ConsoleArguments, OnlyTheLow16BitsOfThePortReachTheWire)
{
    for (int offset : {65536, -65536, 65536 * 3}) {
        ScriptedAmi ami(answer_each(echo_reply));
        ASSERT_TRUE(ami.listening());
        ChildResult r = run_console({"-p", std::to_string(ami.port() + offset), "-x", "x"});
        EXPECT_EQ(r.exit_code, 0) << offset << r.err;
        EXPECT_EQ(ami.received(), command_request("x")) << offset;
    }
    // The failure message shows the number as read, not the port tried.
    int port = closed_port();
    expect_connect_failure({"-p", std::to_string(port + 65536), "-x", "x"}, port + 65536LL);
}

TEST(ConsoleArguments, Port70000IsPort4464)
{
    ScriptedAmi ami(answer_each(echo_reply), 4464);
    if (!ami.listening())
        GTEST_SKIP() << "port 4464 is taken on this machine";
    ChildResult r = run_console({"-p", "70000", "-x", "x"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ami.received(), command_request("x"));
}

TEST(ConsoleArguments, LastOccurrenceWins)
{
    int closed = closed_port();
    ScriptedAmi ami(answer_each(echo_reply));
    ASSERT_TRUE(ami.listening());
    ChildResult r = run_console({"-p", std::to_string(closed), "-x", "first", "-p", std::to_string(ami.port()), "-x",
                                 "second"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, as_written(echo_printed("second")));
    EXPECT_EQ(ami.received(), command_request("second"));

    expect_connect_failure({"-p", std::to_string(ami.port()), "-p", std::to_string(closed), "-x", "x"}, closed);
}

TEST(ConsoleArguments, TrailingOptionWithoutValueIsIgnored)
{
    {
        // "-x" alone at the end: interactive mode.
        ScriptedAmi ami(answer_each(echo_reply));
        ChildResult r = run_console({"-p", std::to_string(ami.port()), "-x"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, as_written(std::string(kGreeting) + kBanner + kPrompt));
        EXPECT_EQ(ami.received(), "");
    }
    for (const char *last : {"-p", "-x"}) {
        ScriptedAmi ami(answer_each(echo_reply));
        ChildResult r = run_console({"-p", std::to_string(ami.port()), "-x", "cmd", last});
        EXPECT_EQ(r.exit_code, 0) << last << r.err;
        EXPECT_EQ(ami.received(), command_request("cmd")) << last;
    }
}

TEST(ConsoleArguments, OptionsAreWholeLowerCaseArguments)
{
    ScriptedAmi ami(answer_each(echo_reply));
    ChildResult r = run_console({"-X", "a", "-xcmd", "--x", "b", "-P", "1", "-p1", "--p", "1", "x", "-p",
                                 std::to_string(ami.port())});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, as_written(std::string(kGreeting) + kBanner + kPrompt));
    EXPECT_EQ(ami.received(), "");
}

TEST(ConsoleArguments, ValueOfXIsSentAsItIs)
{
    for (std::string command : {"", "quit", "EXIT", "-p", "a \"quoted\" \\ text"}) {
        ScriptedAmi ami(answer_each(echo_reply));
        ChildResult r = run_console({"-p", std::to_string(ami.port()), "-x", command});
        EXPECT_EQ(r.exit_code, 0) << command << r.err;
        EXPECT_EQ(r.out, as_written(echo_printed(command)));
        EXPECT_EQ(ami.received(), command_request(command));
    }
}

} // namespace
