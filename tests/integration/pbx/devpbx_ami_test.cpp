// The development PBX over raw AMI: greeting, built-in actions, the plug-in's
// actions reached through its table, framing, and many clients at once.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "devpbx_harness.h"

namespace {

const char kGreeting[] = "Asterisk Call Manager/5.0.0\r\n";

// One PBX with 50 sample endpoints for the whole suite: these tests only ask.
class DevPbxAmi : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        pbx = new DevPbx();
        started = pbx->start({"endpoints=50"});
    }
    static void TearDownTestSuite()
    {
        delete pbx;
        pbx = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(started) << pbx->why(); }

    static std::string ask(const std::string &request, const std::string &terminator = "\r\n\r\n")
    {
        return ami_exchange(pbx->port(), request, terminator);
    }

    static DevPbx *pbx;
    static bool started;
};
DevPbx *DevPbxAmi::pbx = nullptr;
bool DevPbxAmi::started = false;

TEST_F(DevPbxAmi, GreetsAndAcceptsLogin)
{
    AmiClient c;
    ASSERT_TRUE(c.connect(pbx->port()));
    EXPECT_EQ(c.read_until("\r\n"), kGreeting);

    ASSERT_TRUE(c.send("Action: Login\r\nUsername: admin\r\nSecret: x\r\nActionID: L1\r\n\r\n"));
    EXPECT_EQ(c.read_response(), "Response: Success\r\nActionID: L1\r\nMessage: Authentication accepted\r\n\r\n");
    // Header names and the action name ignore case; no ActionID, no ActionID line.
    ASSERT_TRUE(c.send("action: LOGIN\r\n\r\n"));
    EXPECT_EQ(c.read_response(), "Response: Success\r\nMessage: Authentication accepted\r\n\r\n");
}

TEST_F(DevPbxAmi, ShowEndpointsIsAnsweredByThePluginWithEveryEvent)
{
    std::string reply = ask("Action: QuelvaronShowEndpoints\r\nActionID: t1\r\n\r\n",
                            "ListItems: 50\r\nTotal: 50\r\n\r\n");
    const std::string head = "Response: Success\r\nActionID: t1\r\nMessage: Endpoint list will follow\r\n\r\n";
    const std::string tail = "Event: QuelvaronEndpointListComplete\r\nActionID: t1\r\nListItems: 50\r\nTotal: 50\r\n\r\n";
    ASSERT_GT(reply.size(), head.size() + tail.size()) << reply;
    EXPECT_EQ(reply.substr(0, head.size()), head);
    EXPECT_EQ(reply.substr(reply.size() - tail.size()), tail);
    EXPECT_EQ(count_of(reply, "Event: QuelvaronEndpointList\r\nActionID: t1\r\nObjectName: "), 50u);
    EXPECT_EQ(count_of(reply, "ActionID: t1\r\n"), 52u);
    // Index order: the sample endpoints are numbered from 2000.
    size_t first = reply.find("ObjectName: 2000\r\n");
    size_t second = reply.find("ObjectName: 2001\r\n");
    EXPECT_NE(first, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_LE(reply.size(), 16382u);
}

TEST_F(DevPbxAmi, BareLineFeedsAndNoActionIdAreTolerated)
{
    std::string reply = ask("Action: QuelvaronShowEndpoints\n\n", "ListItems: 50\r\nTotal: 50\r\n\r\n");
    EXPECT_EQ(reply.rfind("Response: Success\r\nMessage: Endpoint list will follow\r\n\r\n", 0), 0u) << reply;
    EXPECT_EQ(count_of(reply, "Event: QuelvaronEndpointList\r\n"), 50u);
    EXPECT_EQ(count_of(reply, "ActionID"), 0u);
}

TEST_F(DevPbxAmi, DetailActionReceivesTheRequestHeaders)
{
    std::string found = ask("Action: QuelvaronShowEndpoint\r\nActionID: d1\r\nEndpoint: 2000\r\n\r\n",
                            "ActiveChannels: 0\r\n\r\n");
    EXPECT_EQ(found.rfind("Response: Success\r\nActionID: d1\r\nMessage: Endpoint detail found\r\n\r\n"
                          "Event: QuelvaronEndpointDetail\r\nActionID: d1\r\nEndpoint: 2000\r\n",
                          0),
              0u)
        << found;

    EXPECT_EQ(ask("Action: QuelvaronShowEndpoint\r\nActionID: d2\r\n\r\n"),
              "Response: Error\r\nActionID: d2\r\nMessage: Endpoint parameter is required\r\n\r\n");
    EXPECT_EQ(ask("Action: QuelvaronShowEndpoint\r\nEndpoint: nobody\r\n\r\n"),
              "Response: Error\r\nMessage: Endpoint not found\r\n\r\n");
}

TEST_F(DevPbxAmi, UnknownOrMissingActionIsAnError)
{
    EXPECT_EQ(ask("Action: NoSuchThing\r\nActionID: u1\r\n\r\n"),
              "Response: Error\r\nActionID: u1\r\nMessage: Invalid/unknown command\r\n\r\n");
    EXPECT_EQ(ask("Action: QuelvaronShowEndpointsX\r\n\r\n"),
              "Response: Error\r\nMessage: Invalid/unknown command\r\n\r\n");
    EXPECT_EQ(ask("ActionID: u2\r\n\r\n"), "Response: Error\r\nActionID: u2\r\nMessage: Missing action in request\r\n\r\n");
}

TEST_F(DevPbxAmi, PluginActionNamesIgnoreCase)
{
    std::string reply = ask("Action: quelvaronshowendpoints\r\nActionID: lc\r\n\r\n", "Total: 50\r\n\r\n");
    EXPECT_EQ(reply.rfind("Response: Success\r\nActionID: lc\r\n", 0), 0u) << reply;
}

TEST_F(DevPbxAmi, CommandRepliesInTheClassicFraming)
{
    std::string version = ask("Action: Command\r\nCommand: core show version\r\nActionID: c1\r\n\r\n",
                              "--END COMMAND--\r\n\r\n");
    const std::string head = "Response: Follows\r\nActionID: c1\r\nPrivilege: Command\r\nAsterisk ";
    EXPECT_EQ(version.rfind(head, 0), 0u) << version;
    EXPECT_EQ(count_of(version, "\n"), 6u) << "one output line between head and marker: " << version;

    std::string uptime = ask("Action: Command\r\nCommand: core show uptime\r\n\r\n", "--END COMMAND--\r\n\r\n");
    EXPECT_EQ(uptime.rfind("Response: Follows\r\nPrivilege: Command\r\nSystem uptime: ", 0), 0u) << uptime;

    EXPECT_EQ(ask("Action: Command\r\nActionID: c3\r\nCommand: core show nothing\r\n\r\n", "--END COMMAND--\r\n\r\n"),
              "Response: Follows\r\nActionID: c3\r\nPrivilege: Command\r\n"
              "No such command 'core show nothing' (type 'core show help' for help)\n"
              "--END COMMAND--\r\n\r\n");
    EXPECT_NE(pbx->log().find("command " + std::to_string(pbx->pid()) + " core show nothing\n"), std::string::npos)
        << pbx->log();
}

TEST_F(DevPbxAmi, PipelinedAndSplitRequestsAreAnsweredInOrder)
{
    AmiClient c;
    ASSERT_TRUE(c.connect(pbx->port()));
    ASSERT_EQ(c.read_until("\r\n"), kGreeting);
    ASSERT_TRUE(c.send("Action: Login\r\nActionID: p1\r\n\r\n"
                       "Action: Bogus\r\nActionID: p2\r\n\r\n"
                       "Action: QuelvaronShowEndpoint\r\nActionID: p3\r\n\r\n"));
    EXPECT_EQ(c.read_response(), "Response: Success\r\nActionID: p1\r\nMessage: Authentication accepted\r\n\r\n");
    EXPECT_EQ(c.read_response(), "Response: Error\r\nActionID: p2\r\nMessage: Invalid/unknown command\r\n\r\n");
    EXPECT_EQ(c.read_response(), "Response: Error\r\nActionID: p3\r\nMessage: Endpoint parameter is required\r\n\r\n");

    // Empty lines between requests are not requests; one byte per send still parses.
    std::string req = "\r\n\r\nAction: Login\r\nActionID: p4\r\n\r\n";
    for (char ch : req) ASSERT_TRUE(c.send(std::string(1, ch)));
    EXPECT_EQ(c.read_response(), "Response: Success\r\nActionID: p4\r\nMessage: Authentication accepted\r\n\r\n");
}

TEST_F(DevPbxAmi, OverlongHeaderLineIsCutNotFatal)
{
    std::string id(600, 'a');
    std::string reply = ask("Action: Login\r\nActionID: " + id + "\r\n\r\n");
    // A request header line holds 511 characters: "ActionID: " and 501 of the value.
    EXPECT_EQ(reply, "Response: Success\r\nActionID: " + std::string(501, 'a') +
                         "\r\nMessage: Authentication accepted\r\n\r\n");
}

TEST_F(DevPbxAmi, ServesManyClientsAtOnce)
{
    const int n = 40;
    std::vector<std::unique_ptr<AmiClient>> clients;
    for (int i = 0; i < n; i++) {
        clients.emplace_back(new AmiClient());
        ASSERT_TRUE(clients.back()->connect(pbx->port())) << i;
    }
    for (int i = 0; i < n; i++) {
        ASSERT_EQ(clients[i]->read_until("\r\n"), kGreeting) << i;
        ASSERT_TRUE(clients[i]->send("Action: QuelvaronShowEndpoints\r\nActionID: m" + std::to_string(i) + "\r\n\r\n"));
    }
    // Read in reverse order: the PBX must not wait for any one client.
    for (int i = n - 1; i >= 0; i--) {
        std::string reply = clients[i]->read_endpoint_list();
        std::string id = "ActionID: m" + std::to_string(i) + "\r\n";
        EXPECT_EQ(count_of(reply, id), 52u) << i;
    }
}

TEST_F(DevPbxAmi, ClientsThatVanishDoNotHurtOthers)
{
    {
        AmiClient half;
        ASSERT_TRUE(half.connect(pbx->port()));
        ASSERT_TRUE(half.send("Action: Login\r\nActionID: gone"));
    }
    for (int i = 0; i < 5; i++) {
        AmiClient rude; // asks for 12 KiB and leaves without reading it
        ASSERT_TRUE(rude.connect(pbx->port()));
        ASSERT_TRUE(rude.send("Action: QuelvaronShowEndpoints\r\n\r\n"));
    }
    EXPECT_EQ(ask("Action: Login\r\nActionID: ok\r\n\r\n"),
              "Response: Success\r\nActionID: ok\r\nMessage: Authentication accepted\r\n\r\n");
}

TEST_F(DevPbxAmi, AClientThatReadsLateIsHeldBackButLosesNothing)
{
    const int n = 300; // about 3.6 MB of replies, far beyond the socket buffers
    std::string burst;
    for (int i = 0; i < n; i++) burst += "Action: QuelvaronShowEndpoints\r\nActionID: b" + std::to_string(i) + "\r\n\r\n";
    AmiClient greedy;
    ASSERT_TRUE(greedy.connect(pbx->port()));
    ASSERT_EQ(greedy.read_until("\r\n"), kGreeting);
    // Sent from a thread: the PBX stops reading this client while its
    // replies pile up, so the send itself may block until we read.
    std::thread sender([&] { greedy.send(burst); });

    EXPECT_EQ(ask("Action: Login\r\nActionID: other\r\n\r\n"),
              "Response: Success\r\nActionID: other\r\nMessage: Authentication accepted\r\n\r\n");

    int complete = 0;
    for (int i = 0; i < n; i++) {
        std::string reply = greedy.read_endpoint_list();
        if (reply.rfind("Response: Success\r\nActionID: b" + std::to_string(i) + "\r\n", 0) == 0 &&
            count_of(reply, "Event: QuelvaronEndpointList\r\n") == 50u)
            complete++;
    }
    sender.join();
    EXPECT_EQ(complete, n);
}

TEST_F(DevPbxAmi, LogoffSaysGoodbyeAndHangsUp)
{
    AmiClient c;
    ASSERT_TRUE(c.connect(pbx->port()));
    ASSERT_EQ(c.read_until("\r\n"), kGreeting);
    ASSERT_TRUE(c.send("Action: Logoff\r\nActionID: bye\r\n\r\nAction: Login\r\n\r\n"));
    EXPECT_EQ(c.read_response(), "Response: Goodbye\r\nActionID: bye\r\nMessage: Thanks for all the fish.\r\n\r\n");
    EXPECT_TRUE(c.wait_closed());
}

} // namespace
