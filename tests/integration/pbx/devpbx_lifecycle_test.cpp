// How the development PBX starts, stops and records it: the command lines the
// service host uses ("-f -vvv", "-rx \"core stop gracefully\""), its settings
// file, its log and pid file.
#include <gtest/gtest.h>

#include "devpbx_harness.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace {

std::string pid_text(const DevPbx &pbx)
{
    return std::to_string(pbx.pid());
}

// The log's lines that carry the running instance's pid, in order.
std::vector<std::string> own_lines(const DevPbx &pbx)
{
    std::vector<std::string> out;
    std::string id = " " + pid_text(pbx);
    for (const std::string &line : lines_of(pbx.log())) {
        size_t sp = line.find(' ');
        if (sp != std::string::npos && line.compare(sp, id.size(), id) == 0 &&
            (line.size() == sp + id.size() || line[sp + id.size()] == ' '))
            out.push_back(line);
    }
    return out;
}

TEST(DevPbxLifecycle, StopRequestEndsItAndEveryStepIsLogged)
{
    DevPbx pbx;
    ASSERT_TRUE(pbx.start({"exit_code=7"})) << pbx.why();
    EXPECT_TRUE(pbx.pid_file_exists());

    ChildResult rx = pbx.run({"-rx", "core stop gracefully"});
    EXPECT_EQ(rx.exit_code, 0) << rx.err;
    EXPECT_EQ(rx.out, "");
    ASSERT_TRUE(pbx.wait_exit(20000));
    EXPECT_EQ(pbx.result().exit_code, 7);
    EXPECT_FALSE(pbx.pid_file_exists());

    std::vector<std::string> lines = own_lines(pbx);
    ASSERT_EQ(lines.size(), 4u) << pbx.log();
    const std::string p = pid_text(pbx);
    EXPECT_EQ(lines[0].rfind("start " + p + " ", 0), 0u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 8), " -f -vvv");
    EXPECT_EQ(lines[1], "command " + p + " core stop gracefully");
    EXPECT_EQ(lines[2], "stop-request " + p);
    EXPECT_EQ(lines[3], "exit " + p + " 7");

    // The stop request's own process logs its start with its command line.
    std::vector<std::string> all = lines_of(pbx.log());
    ASSERT_EQ(all.size(), 5u) << pbx.log();
    EXPECT_EQ(all[1].rfind("start ", 0), 0u);
    EXPECT_NE(all[1].find(" -rx "), std::string::npos);
    EXPECT_NE(all[1].find("core stop gracefully"), std::string::npos);

    // The plug-in was loaded at start and unloaded at the end.
    const std::string &out = pbx.result().out;
    size_t load = out.find("quelvaron_ami_init: Modulo res_quelvaron_ami inicializado com 6 acoes AMI registradas");
    size_t unload = out.find("quelvaron_ami_destroy: Modulo res_quelvaron_ami descarregado");
    EXPECT_NE(load, std::string::npos) << out;
    EXPECT_NE(unload, std::string::npos) << out;
    EXPECT_LT(load, unload);
}

TEST(DevPbxLifecycle, IgnoreStopAnswersButKeepsRunning)
{
    DevPbx pbx;
    ASSERT_TRUE(pbx.start({"ignore_stop=1"})) << pbx.why();
    ChildResult rx = pbx.run({"-rx", "core stop gracefully"});
    EXPECT_EQ(rx.exit_code, 0) << rx.err;
    EXPECT_FALSE(pbx.wait_exit(500));
    EXPECT_EQ(ami_exchange(pbx.port(), "Action: Login\r\n\r\n", "\r\n\r\n"),
              "Response: Success\r\nMessage: Authentication accepted\r\n\r\n");
    std::vector<std::string> lines = own_lines(pbx);
    ASSERT_EQ(lines.size(), 3u) << pbx.log();
    EXPECT_EQ(lines[2], "stop-request " + pid_text(pbx));
    EXPECT_TRUE(pbx.pid_file_exists());
    pbx.kill();
    EXPECT_FALSE(pbx.running());
}

TEST(DevPbxLifecycle, ExitAfterEndsItByItself)
{
    DevPbx pbx;
    ASSERT_TRUE(pbx.start({"exit_after_ms=300", "exit_code=3"})) << pbx.why();
    ASSERT_TRUE(pbx.wait_exit(20000));
    EXPECT_EQ(pbx.result().exit_code, 3);
    std::vector<std::string> lines = own_lines(pbx);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "exit " + pid_text(pbx) + " 3");
    EXPECT_FALSE(pbx.pid_file_exists());
}

TEST(DevPbxLifecycle, RemoteCommandPrintsTheOutputOrFailsWithoutAnInstance)
{
    DevPbx pbx;
    ASSERT_TRUE(pbx.start({"stop_request_hang_ms=200"})) << pbx.why();
    ChildResult bad = pbx.run({"-rx", "core show nothing"});
    EXPECT_EQ(bad.exit_code, 0);
    EXPECT_NE(bad.out.find("No such command 'core show nothing' (type 'core show help' for help)"), std::string::npos)
        << bad.out;
    ChildResult version = pbx.run({"-rx", "core show version"});
    EXPECT_EQ(version.out.rfind("Asterisk ", 0), 0u) << version.out;

    pbx.kill();
    ChildResult none = pbx.run({"-rx", "core show version"});
    EXPECT_EQ(none.exit_code, 1);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("no PBX answers"), std::string::npos) << none.err;
}

TEST(DevPbxLifecycle, OtherCommandLinesGetUsageAndTwo)
{
    DevPbx pbx;
    ASSERT_TRUE(pbx.start()) << pbx.why();
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"--help"}, {"-vvv"}, {"-rx"}, {"-f", "extra"}}) {
        ChildResult r = pbx.run(args);
        EXPECT_EQ(r.exit_code, 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_NE(r.err.find("usage: "), std::string::npos);
    }
    EXPECT_TRUE(pbx.running());
}

TEST(DevPbxLifecycle, BusyPortEndsTheSecondInstanceWithOne)
{
    DevPbx first;
    ASSERT_TRUE(first.start()) << first.why();
    DevPbx second;
    EXPECT_FALSE(second.start({"port=" + std::to_string(first.port())}));
    ASSERT_TRUE(second.wait_exit(20000));
    EXPECT_EQ(second.result().exit_code, 1);
    EXPECT_NE(second.result().err.find("cannot listen"), std::string::npos) << second.result().err;
    EXPECT_TRUE(first.running());
}

#ifndef _WIN32
TEST(DevPbxLifecycle, TerminationSignalIsANormalExit)
{
    DevPbx pbx;
    ASSERT_TRUE(pbx.start()) << pbx.why();
    ASSERT_EQ(kill((pid_t)pbx.pid(), SIGTERM), 0);
    ASSERT_TRUE(pbx.wait_exit(20000));
    EXPECT_EQ(pbx.result().exit_code, 0);
    EXPECT_EQ(own_lines(pbx).back(), "exit " + pid_text(pbx) + " 0");
    EXPECT_FALSE(pbx.pid_file_exists());
}
#endif

} // namespace
