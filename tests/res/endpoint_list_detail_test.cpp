// QuelvaronShowEndpoints and QuelvaronShowEndpoint: the responses and the
// events that follow them in the reply, byte for byte.
#include "res_test_support.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

quelvaron_endpoint endpoint(const char *id)
{
    quelvaron_endpoint ep;
    chanq_fill_endpoint(&ep, id);
    return ep;
}

// Splits a reply into its messages, each ending with the empty line.
std::vector<std::string> messages(const std::string &reply)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = reply.find("\r\n\r\n", start)) != std::string::npos; start = end + 4)
        out.push_back(reply.substr(start, end + 4 - start));
    if (start != reply.size())
        out.push_back(reply.substr(start));  // an unterminated tail: a framing fault
    return out;
}

class InspectionTest : public PluginTest {
  protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        chanq_clear_endpoints();
        quelvaron_endpoint a = endpoint("1001");
        std::strcpy(a.status, "Not in use");
        quelvaron_endpoint b = endpoint("webrtc-3000");
        std::strcpy(b.transport, "transport-wss");
        std::strcpy(b.allow, "opus");
        std::strcpy(b.status, "In use");
        b.active_channels = -2;  // a driver's count is signed
        chanq_set_endpoint(0, &a);
        chanq_set_endpoint(1, &b);
    }
};

const char list_event_1001[] =
    "Event: QuelvaronEndpointList\r\n"
    "ObjectName: 1001\r\n"
    "Transport: transport-udp\r\n"
    "Aors: 1001\r\n"
    "Auths: 1001-auth\r\n"
    "Context: from-internal\r\n"
    "Disallow: all\r\n"
    "Allow: ulaw,alaw\r\n"
    "Status: Not in use\r\n"
    "ActiveChannels: 0\r\n"
    "\r\n";

// The list event as the protocol renders it, without an action id.
std::string list_event(const quelvaron_endpoint &ep)
{
    return std::string("Event: QuelvaronEndpointList\r\n") + "ObjectName: " + ep.id + "\r\n" +
           "Transport: " + ep.transport + "\r\n" + "Aors: " + ep.aors + "\r\n" + "Auths: " + ep.auth +
           "\r\n" + "Context: " + ep.context + "\r\n" + "Disallow: " + ep.disallow + "\r\n" +
           "Allow: " + ep.allow + "\r\n" + "Status: " + ep.status + "\r\n" +
           "ActiveChannels: " + std::to_string(ep.active_channels) + "\r\n\r\n";
}

// ---- list -----------------------------------------------------------------

TEST_F(InspectionTest, ListEchoesTheActionIdInResponseAndEveryEvent)
{
    Reply r;
    Request q{"Action: QuelvaronShowEndpoints", "actionid:   42 "};
    EXPECT_EQ(action_quelvaron_show_endpoints(r, q), 0);
    EXPECT_EQ(r.text(),
              "Response: Success\r\n"
              "ActionID: 42 \r\n"
              "Message: Endpoint list will follow\r\n"
              "\r\n"
              "Event: QuelvaronEndpointList\r\n"
              "ActionID: 42 \r\n"
              "ObjectName: 1001\r\n"
              "Transport: transport-udp\r\n"
              "Aors: 1001\r\n"
              "Auths: 1001-auth\r\n"
              "Context: from-internal\r\n"
              "Disallow: all\r\n"
              "Allow: ulaw,alaw\r\n"
              "Status: Not in use\r\n"
              "ActiveChannels: 0\r\n"
              "\r\n"
              "Event: QuelvaronEndpointList\r\n"
              "ActionID: 42 \r\n"
              "ObjectName: webrtc-3000\r\n"
              "Transport: transport-wss\r\n"
              "Aors: webrtc-3000\r\n"
              "Auths: webrtc-3000-auth\r\n"
              "Context: from-internal\r\n"
              "Disallow: all\r\n"
              "Allow: opus\r\n"
              "Status: In use\r\n"
              "ActiveChannels: -2\r\n"
              "\r\n"
              "Event: QuelvaronEndpointListComplete\r\n"
              "ActionID: 42 \r\n"
              "ListItems: 2\r\n"
              "Total: 2\r\n"
              "\r\n");
    EXPECT_EQ(driver().endpoint_count_calls, 1);
}

TEST_F(InspectionTest, ListWithoutActionIdHasNoActionIdLineAnywhere)
{
    for (bool null_message : {true, false}) {
        Reply r;
        Request headers_only{"Action: QuelvaronShowEndpoints", "ActionID:"};
        EXPECT_EQ(action_quelvaron_show_endpoints(r, null_message ? nullptr : headers_only.get()), 0);
        std::string t = r.text();
        EXPECT_EQ(t.find("ActionID"), std::string::npos) << t;
        EXPECT_EQ(t.substr(0, 57), "Response: Success\r\nMessage: Endpoint list will follow\r\n\r\n");
        EXPECT_NE(t.find(std::string("\r\n\r\n") + list_event_1001), std::string::npos);
        EXPECT_TRUE(EndsWith(t, "\r\n\r\nEvent: QuelvaronEndpointListComplete\r\nListItems: 2\r\nTotal: 2\r\n\r\n"));
    }
}

TEST_F(InspectionTest, EmptyDriverListsOnlyTheCompletion)
{
    chanq_clear_endpoints();
    Reply r;
    EXPECT_EQ(action_quelvaron_show_endpoints(r, nullptr), 0);
    EXPECT_EQ(r.text(),
              "Response: Success\r\n"
              "Message: Endpoint list will follow\r\n"
              "\r\n"
              "Event: QuelvaronEndpointListComplete\r\n"
              "ListItems: 0\r\n"
              "Total: 0\r\n"
              "\r\n");
}

TEST_F(InspectionTest, NullSlotsAreSkippedButCounted)
{
    quelvaron_endpoint c = endpoint("1003");
    chanq_set_endpoint(1, nullptr);
    chanq_set_endpoint(2, &c);
    chanq_set_endpoint_count(5);  // indexes 3 and 4 read as null too

    Reply r;
    EXPECT_EQ(action_quelvaron_show_endpoints(r, nullptr), 0);
    std::vector<std::string> m = messages(r.text());
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[1], list_event_1001);
    EXPECT_NE(m[2].find("ObjectName: 1003\r\n"), std::string::npos);
    EXPECT_EQ(m[3], "Event: QuelvaronEndpointListComplete\r\nListItems: 5\r\nTotal: 5\r\n\r\n");
    EXPECT_EQ(driver().endpoint_count_calls, 1);
    EXPECT_EQ(driver().endpoint_get_at_calls, 5);
}

TEST_F(InspectionTest, FullReplyDropsWholeEventsWhileLaterShorterOnesStillFit)
{
    // Sixty long events cannot all fit.  The record comes in with filler
    // chosen so that once the long events stop fitting, exactly the short
    // last event and the completion fill it to the limit.
    chanq_clear_endpoints();
    std::string long_events;
    std::string one_long;
    for (size_t i = 0; i < 60; i++) {
        char id[8];
        std::snprintf(id, sizeof id, "ep%02u", static_cast<unsigned>(i));
        quelvaron_endpoint ep = endpoint(id);
        std::memset(ep.aors, 'a', 127);
        ep.aors[127] = '\0';
        std::memset(ep.disallow, 'd', 127);
        ep.disallow[127] = '\0';
        chanq_set_endpoint(i, &ep);
        one_long = list_event(ep);
        long_events += one_long;
    }
    quelvaron_endpoint z = endpoint("z");
    chanq_set_endpoint(60, &z);

    const std::string head = "Response: Success\r\nMessage: Endpoint list will follow\r\n\r\n";
    const std::string tail = list_event(z) +
                             "Event: QuelvaronEndpointListComplete\r\nListItems: 61\r\nTotal: 61\r\n\r\n";
    const size_t L = one_long.size();
    ASSERT_LT(tail.size(), L);
    const size_t k = (16382 - head.size() - tail.size()) / L;
    ASSERT_LT(k, 60u);
    const size_t filler = 16382 - head.size() - k * L - tail.size();

    Reply r;
    std::memset(r->reply, '.', filler);
    r->reply_length = filler;
    EXPECT_EQ(action_quelvaron_show_endpoints(r, nullptr), 0);
    EXPECT_EQ(r->reply_length, 16382u);
    EXPECT_EQ(r.text(), std::string(filler, '.') + head + long_events.substr(0, k * L) + tail);
}

TEST_F(InspectionTest, ShortestEventThatExactlyFillsTheRoomLeftIsStillListed)
{
    // A record with every text empty and no channels gives the shortest list
    // event; the filler leaves room for exactly that event, and the driver
    // reports more records than it holds.
    quelvaron_endpoint bare;
    std::memset(&bare, 0, sizeof bare);
    chanq_clear_endpoints();
    chanq_set_endpoint(0, &bare);
    chanq_set_endpoint_count(1000);
    const std::string head = "Response: Success\r\nMessage: Endpoint list will follow\r\n\r\n";
    const size_t filler = 16382 - head.size() - list_event(bare).size();

    Reply r;
    std::memset(r->reply, '.', filler);
    r->reply[filler] = '\0';
    r->reply_length = filler;
    EXPECT_EQ(action_quelvaron_show_endpoints(r, nullptr), 0);
    EXPECT_EQ(r.text(), std::string(filler, '.') + head + list_event(bare));
    EXPECT_EQ(driver().endpoint_get_at_calls, 1) << "the full reply stops the walk";
}

// ---- detail ---------------------------------------------------------------

TEST_F(InspectionTest, DetailShowsEveryFieldWithFlagsAsYesOrNo)
{
    quelvaron_endpoint *ep = chanq_endpoint_record(1);
    ASSERT_NE(ep, nullptr);
    std::strcpy(ep->outbound_auth, "trunk-out");
    std::strcpy(ep->mailboxes, "3000@default");
    std::strcpy(ep->media_encryption, "dtls");
    std::strcpy(ep->callerid, "\"Web\" <3000>");
    std::strcpy(ep->disallow, "never-shown");
    ep->direct_media = 0;
    ep->dtls_verify = 2;
    ep->rtp_symmetric = -1;
    ep->force_rport = 0;
    ep->rewrite_contact = 1;
    ep->webrtc = 1;
    ep->max_audio_streams = -1;
    ep->max_video_streams = 4;

    Reply r;
    Request q{"Action: QuelvaronShowEndpoint", "ActionID: d1", "Endpoint: webrtc-3000"};
    EXPECT_EQ(action_quelvaron_show_endpoint(r, q), 0);
    EXPECT_EQ(r.text(),
              "Response: Success\r\n"
              "ActionID: d1\r\n"
              "Message: Endpoint detail found\r\n"
              "\r\n"
              "Event: QuelvaronEndpointDetail\r\n"
              "ActionID: d1\r\n"
              "Endpoint: webrtc-3000\r\n"
              "Transport: transport-wss\r\n"
              "Aors: webrtc-3000\r\n"
              "Auth: webrtc-3000-auth\r\n"
              "OutboundAuth: trunk-out\r\n"
              "Context: from-internal\r\n"
              "Allow: opus\r\n"
              "DirectMedia: no\r\n"
              "Mailboxes: 3000@default\r\n"
              "DTLSVerify: yes\r\n"
              "RtpSymmetric: yes\r\n"
              "ForceRport: no\r\n"
              "RewriteContact: yes\r\n"
              "WebRTC: yes\r\n"
              "MaxAudioStreams: -1\r\n"
              "MaxVideoStreams: 4\r\n"
              "MediaEncryption: dtls\r\n"
              "CallerID: \"Web\" <3000>\r\n"
              "Status: In use\r\n"
              "ActiveChannels: -2\r\n"
              "\r\n");
    EXPECT_STREQ(driver().last_find_name, "webrtc-3000");
}

TEST_F(InspectionTest, DetailWithoutHeadersAsksForTheEndpoint)
{
    const char expected[] = "Response: Error\r\nMessage: Endpoint parameter is required\r\n\r\n";
    Reply a, b;
    Request none;
    EXPECT_EQ(action_quelvaron_show_endpoint(a, nullptr), -1);
    EXPECT_EQ(action_quelvaron_show_endpoint(b, none), -1);
    EXPECT_EQ(a.text(), expected);
    EXPECT_EQ(b.text(), expected);
    EXPECT_EQ(driver().endpoint_find_calls, 0);
}

TEST_F(InspectionTest, DetailEndpointHeaderMustBePresentNonEmptyAndExact)
{
    const char expected[] =
        "Response: Error\r\nActionID: x\r\nMessage: Endpoint parameter is required\r\n\r\n";
    const std::vector<Request> requests = {
        {"ActionID: x"},
        {"ActionID: x", "Endpoint:  \t "},
        {"ActionID: x", "EndpointName: 1001"},
        {"ActionID: x", "Endpoint:", "Endpoint: 1001"},
    };
    for (const Request &q : requests) {
        Reply r;
        EXPECT_EQ(action_quelvaron_show_endpoint(r, q), -1);
        EXPECT_EQ(r.text(), expected);
    }
    EXPECT_EQ(driver().endpoint_find_calls, 0);
}

TEST_F(InspectionTest, DetailPassesTheNameAsReadAndReportsNotFound)
{
    Reply r;
    Request q{"endpoint: 1001 "};
    EXPECT_EQ(action_quelvaron_show_endpoint(r, q), -1);
    EXPECT_STREQ(driver().last_find_name, "1001 ") << "the trailing blank goes to the driver";
    EXPECT_EQ(r.text(), "Response: Error\r\nMessage: Endpoint not found\r\n\r\n");
}

TEST_F(InspectionTest, LongDetailEventIsKeptWholeWhenItFitsAndDroppedWholeWhenNot)
{
    quelvaron_endpoint *ep = chanq_endpoint_record(0);
    std::memset(ep->aors, 'a', 127);
    ep->aors[127] = '\0';
    std::memset(ep->allow, 'w', 127);
    ep->allow[127] = '\0';
    std::memset(ep->mailboxes, 'm', 127);
    ep->mailboxes[127] = '\0';
    std::memset(ep->callerid, 'c', 127);
    ep->callerid[127] = '\0';
    std::string id(400, 'i');
    Request q{"Endpoint: 1001", "ActionID: " + id};
    const std::string head = "Response: Success\r\nActionID: " + id + "\r\nMessage: Endpoint detail found\r\n\r\n";

    Reply r;
    EXPECT_EQ(action_quelvaron_show_endpoint(r, q), 0);
    std::vector<std::string> m = messages(r.text());
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0], head);
    EXPECT_GT(m[1].size(), 1023u);
    EXPECT_EQ(m[1].find("Event: QuelvaronEndpointDetail\r\nActionID: " + id + "\r\nEndpoint: 1001\r\n"), 0u);
    EXPECT_NE(m[1].find("\r\nCallerID: " + std::string(127, 'c') + "\r\n"), std::string::npos);
    EXPECT_TRUE(EndsWith(m[1], "\r\nActiveChannels: 0\r\n\r\n"));

    // One character short of room for the event: the response fits, the
    // event is dropped whole.
    Reply full;
    size_t filler = 16382 - r->reply_length + 1;
    std::memset(full->reply, '.', filler);
    full->reply[filler] = '\0';
    full->reply_length = filler;
    EXPECT_EQ(action_quelvaron_show_endpoint(full, q), 0);
    EXPECT_EQ(full.text(), std::string(filler, '.') + head);
}

TEST_F(InspectionTest, TextsAndLinesWithoutTheirNulAreReadWithinTheirRoom)
{
    // Every text of the record fills its field; the record sits in the
    // stand-in's last slot, so a read past a field's room leaves its storage.
    quelvaron_endpoint ep = endpoint("x");
    const struct {
        char *field;
        size_t size;
        const char *list_label;   // null: not in the list event
        const char *detail_label; // null: not in the detail event
    } texts[] = {
        {ep.id, sizeof ep.id, "ObjectName", "Endpoint"},
        {ep.transport, sizeof ep.transport, "Transport", "Transport"},
        {ep.aors, sizeof ep.aors, "Aors", "Aors"},
        {ep.auth, sizeof ep.auth, "Auths", "Auth"},
        {ep.outbound_auth, sizeof ep.outbound_auth, nullptr, "OutboundAuth"},
        {ep.context, sizeof ep.context, "Context", "Context"},
        {ep.disallow, sizeof ep.disallow, "Disallow", nullptr},
        {ep.allow, sizeof ep.allow, "Allow", "Allow"},
        {ep.mailboxes, sizeof ep.mailboxes, nullptr, "Mailboxes"},
        {ep.media_encryption, sizeof ep.media_encryption, nullptr, "MediaEncryption"},
        {ep.callerid, sizeof ep.callerid, nullptr, "CallerID"},
        {ep.status, sizeof ep.status, "Status", "Status"},
    };
    char letter = 'A';
    for (const auto &t : texts)
        std::memset(t.field, letter++, t.size);
    chanq_clear_endpoints();
    chanq_set_endpoint(CHANQ_MAX_ENDPOINTS - 1, &ep);

    const std::string action_id(AMI_HEADER_SIZE - 10, 'v');
    Reply list, detail;
    action_quelvaron_show_endpoints(list, unterminated_last_line("ActionID: "));
    EXPECT_EQ(action_quelvaron_show_endpoint(detail, Request{"Endpoint: " + std::string(64, 'A')}), 0);
    EXPECT_EQ(count_of(list.text(), "ActionID: " + action_id + "\r\n"), 3);

    // The detail action's own Endpoint and ActionID lines without their NUL.
    Reply unknown, with_id;
    EXPECT_EQ(action_quelvaron_show_endpoint(unknown, unterminated_last_line("Endpoint: ")), -1);
    EXPECT_EQ(driver().last_find_name, action_id);
    EXPECT_EQ(action_quelvaron_show_endpoint(
                  with_id, unterminated_last_line("ActionID: ", "Endpoint: " + std::string(64, 'A'))),
              0);
    EXPECT_EQ(count_of(with_id.text(), "ActionID: " + action_id + "\r\n"), 2);

    letter = 'A';
    for (const auto &t : texts) {
        std::string value = std::string(t.size, letter++) + "\r\n";
        if (t.list_label) {
            EXPECT_NE(list.text().find(std::string("\r\n") + t.list_label + ": " + value), std::string::npos)
                << t.list_label;
        }
        if (t.detail_label) {
            EXPECT_NE(detail.text().find(std::string("\r\n") + t.detail_label + ": " + value), std::string::npos)
                << t.detail_label;
        }
    }
}

TEST_F(InspectionTest, HugeCountStopsAskingOnceNoListEventFitsWithTheSameReply)
{
    chanq_make_sample_endpoints(CHANQ_MAX_ENDPOINTS);
    Reply all, huge;
    action_quelvaron_show_endpoints(all, nullptr);
    chanq_clear_observations();
    chanq_set_endpoint_count(2147483647u);
    action_quelvaron_show_endpoints(huge, nullptr);

    // The same events; the completion then carries the huge count if it fits.
    std::string events = all.text();
    events.resize(std::min(events.size(), events.find("Event: QuelvaronEndpointListComplete")));
    const std::string done =
        "Event: QuelvaronEndpointListComplete\r\nListItems: 2147483647\r\nTotal: 2147483647\r\n\r\n";
    EXPECT_EQ(huge.text(), events.size() + done.size() <= 16382 ? events + done : events);
    EXPECT_LT(driver().endpoint_get_at_calls, 100);
}

TEST_F(InspectionTest, TwoHandlerCallsOnOneRecordGiveBothRepliesInTurn)
{
    Reply r;
    action_quelvaron_show_endpoint(r, nullptr);
    size_t first = r->reply_length;
    Request q{"Endpoint: 1001"};
    action_quelvaron_show_endpoint(r, q);
    EXPECT_EQ(r.text().substr(0, first), "Response: Error\r\nMessage: Endpoint parameter is required\r\n\r\n");
    EXPECT_EQ(r.text().substr(first, 19), "Response: Success\r\n");
}

TEST_F(InspectionTest, NullSessionStillAsksTheDriver)
{
    Request q{"Endpoint: 1001"};
    EXPECT_EQ(action_quelvaron_show_endpoint(nullptr, q), 0);
    EXPECT_EQ(action_quelvaron_show_endpoints(nullptr, q), 0);
    EXPECT_EQ(driver().endpoint_find_calls, 1);
    EXPECT_EQ(driver().endpoint_count_calls, 1);
}

} // namespace
