// The child-process helper itself: arguments arrive unchanged, input is fed
// and closed, both outputs come back byte for byte, time-outs kill.
#include "child_process.h"

#include <gtest/gtest.h>

namespace {

std::string echo() { return exe_path("qv_child_echo"); }

TEST(ChildProcess, ArgumentsArriveUnchanged)
{
    ChildResult r = run_child(echo(), {"args", "", "two words", "q\"uote", "back\\slash\\", "\\\"", "-x"}, "", 20000);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out, "0:\n9:two words\n6:q\"uote\n11:back\\slash\\\n2:\\\"\n2:-x\n");
    EXPECT_EQ(r.err, "");
}

TEST(ChildProcess, InputFedAndClosedOutputsSeparateExitCodeKept)
{
    std::string input;
    for (int i = 0; i < 20000; i++)
        input += "line\r\n"[i % 6];
    ChildResult r = run_child(echo(), {"cat", "7"}, input, 20000);
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_EQ(r.out, input);
    EXPECT_EQ(r.err, "done\n");

    r = run_child(echo(), {"cat", "0"}, "", 20000);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
}

TEST(ChildProcess, LargeOutputOnBothStreamsDoesNotDeadlock)
{
    ChildResult r = run_child(echo(), {"big"}, std::string(300000, 'i'), 60000);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.size(), 1024u * 1024u);
    EXPECT_EQ(r.err.size(), 1024u * 1024u);
}

TEST(ChildProcess, TimeOutKills)
{
    ChildResult r = run_child(echo(), {"hang"}, "", 300);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.exit_code, -1);
}

TEST(ChildProcess, MissingProgramIsReported)
{
    ChildResult r = run_child(exe_dir() + "no-such-program-here", {}, "", 5000);
    EXPECT_EQ(r.exit_code, -1);
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.err.find("cannot start"), std::string::npos) << r.err;
}

} // namespace
