// quelvaron-console against the development PBX, end to end: what the
// operator sees is compared byte for byte with what the PBX answers on the
// wire, asked the same thing by a raw AMI client.
#include <gtest/gtest.h>

#include "devpbx_harness.h"

namespace {

const char kGreeting[] = "Asterisk Call Manager/5.0.0\r\n";
const char kBanner[] = "Conectado ao Asterisk PBX Remoto. Digite 'quit' ou 'exit' para sair.\n";
const char kPrompt[] = "asterisk*CLI> ";

// The console writes through the C runtime's text mode: on Windows every LF
// leaves as CR LF.
std::string as_written(const std::string &text)
{
#ifdef _WIN32
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
#else
    return text;
#endif
}

// The sample endpoints of the driver: a list reply that fits the console's
// one receive of 8191 bytes.
class ConsoleEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        pbx = new DevPbx();
        started = pbx->start();
    }
    static void TearDownTestSuite()
    {
        delete pbx;
        pbx = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(started) << pbx->why(); }

    static ChildResult console(const std::vector<std::string> &args, const std::string &input = "")
    {
        std::vector<std::string> all = {"-p", std::to_string(pbx->port())};
        all.insert(all.end(), args.begin(), args.end());
        return run_child(exe_path("quelvaron-console"), all, input, 30000);
    }

    // What the PBX answers to the console's own list request.
    static std::string list_reply()
    {
        return ami_exchange(pbx->port(), "Action: QuelvaronShowEndpoints\r\nActionID: cli-rast\r\n\r\n",
                            "Event: QuelvaronEndpointListComplete\r\nActionID: cli-rast\r\nListItems: 3\r\nTotal: 3\r\n\r\n");
    }
    // The output of a CLI command, as the PBX frames it for the console.
    static std::string command_output(const std::string &command)
    {
        std::string reply = ami_exchange(pbx->port(),
                                         "Action: Command\r\nCommand: " + command + "\r\nActionID: cli-rast\r\n\r\n",
                                         "--END COMMAND--\r\n\r\n");
        const std::string head = "Response: Follows\r\nActionID: cli-rast\r\nPrivilege: Command\r\n";
        const std::string tail = "--END COMMAND--\r\n\r\n";
        if (reply.size() < head.size() + tail.size() || reply.compare(0, head.size(), head) != 0) return "(bad reply)";
        return reply.substr(head.size(), reply.size() - head.size() - tail.size());
    }

    static DevPbx *pbx;
    static bool started;
};
DevPbx *ConsoleEndToEnd::pbx = nullptr;
bool ConsoleEndToEnd::started = false;

TEST_F(ConsoleEndToEnd, OneShotEndpointListPrintsTheWholeReplyAndANewline)
{
    std::string expected = list_reply();
    ASSERT_EQ(count_of(expected, "Event: QuelvaronEndpointList\r\n"), 3u) << expected;
    ChildResult r = console({"-x", "quelvaron show endpoints"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, as_written(expected + "\n"));
}

TEST_F(ConsoleEndToEnd, OneShotCoreCommandPrintsOnlyItsOutput)
{
    std::string version = command_output("core show version");
    ASSERT_EQ(version.rfind("Asterisk ", 0), 0u) << version;
    ChildResult r = console({"-x", "core show version"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, as_written(version));

    ChildResult unknown = console({"-x", "core show nothing"});
    EXPECT_EQ(unknown.exit_code, 0);
    EXPECT_EQ(unknown.out, as_written("No such command 'core show nothing' (type 'core show help' for help)\n"));
    EXPECT_NE(pbx->log().find("command " + std::to_string(pbx->pid()) + " core show nothing\n"), std::string::npos);
}

TEST_F(ConsoleEndToEnd, InteractiveSessionIsByteExact)
{
    std::string version = command_output("core show version");
    std::string list = list_reply();
    ChildResult r = console({}, "core show version\nQuelvaron Show Endpoints\n\ncore show nothing\nQUIT\ncore show version\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string expected = std::string(kGreeting) + kBanner + kPrompt + version + kPrompt + list + "\n" + kPrompt +
                           kPrompt + "No such command 'core show nothing' (type 'core show help' for help)\n" + kPrompt;
    EXPECT_EQ(r.out, as_written(expected));
}

TEST_F(ConsoleEndToEnd, InteractiveEndOfInputRightAway)
{
    ChildResult r = console({}, "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(std::string(kGreeting) + kBanner + kPrompt));
}

TEST_F(ConsoleEndToEnd, StopThroughTheConsoleEndsThePbx)
{
    DevPbx own;
    ASSERT_TRUE(own.start()) << own.why();
    ChildResult r = run_child(exe_path("quelvaron-console"),
                              {"-p", std::to_string(own.port()), "-x", "core stop gracefully"}, "", 30000);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    ASSERT_TRUE(own.wait_exit(20000));
    EXPECT_EQ(own.result().exit_code, 0);
}

} // namespace
