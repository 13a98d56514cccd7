// QuelvaronQualify, QuelvaronHangup, QuelvaronNotify, QuelvaronReload and
// the two status-event functions.
#include "res_test_support.h"

#include <memory>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
// For this whole test program: a string function's reads are checked up to
// each text's NUL, not only up to where a comparison happened to stop.
extern "C" const char *__asan_default_options() { return "strict_string_checks=1"; }
#endif

namespace {

std::string response(const char *status, const char *message, const char *action_id = nullptr)
{
    std::string r = std::string("Response: ") + status + "\r\n";
    if (action_id)
        r += std::string("ActionID: ") + action_id + "\r\n";
    return r + "Message: " + message + "\r\n\r\n";
}

std::string contact_event(const std::string &endpoint, const std::string &uri, const std::string &status,
                          const std::string &usec)
{
    return "Event: QuelvaronContactStatus\r\nPrivilege: 1\r\nEndpoint: " + endpoint + "\r\nURI: " + uri +
           "\r\nContactStatus: " + status + "\r\nRoundtripUsec: " + usec + "\r\n\r\n";
}

using ControlTest = PluginTest;

// ---- qualify --------------------------------------------------------------

TEST_F(ControlTest, QualifyReachableRaisesEventThenAnswersWithTheTime)
{
    chanq_set_contact("1001", "sip:1001@192.168.10.21:5060");
    chanq_set_qualify_result(0, 25);
    Reply r;
    Request q{"Action: QuelvaronQualify", "Endpoint: 1001", "ActionID: q1"};
    EXPECT_EQ(action_quelvaron_qualify(r, q), 0);
    EXPECT_EQ(last_event(), contact_event("1001", "sip:1001@192.168.10.21:5060", "Reachable", "25000"));
    EXPECT_EQ(r.text(), response("Success", "Endpoint '1001' qualified successfully (RTT: 25 ms)", "q1"));
    EXPECT_STREQ(driver().last_qualify_name, "1001");
    EXPECT_STREQ(driver().last_contact_name, "1001");
}

TEST_F(ControlTest, QualifyWithoutContactUsesSipUnknown)
{
    chanq_set_contact("1001", nullptr);
    chanq_set_qualify_result(0, 7);
    Reply r;
    Request q{"Endpoint: 1001"};
    EXPECT_EQ(action_quelvaron_qualify(r, q), 0);
    EXPECT_EQ(last_event(), contact_event("1001", "sip:unknown", "Reachable", "7000"));
}

TEST_F(ControlTest, QualifyFailureIgnoresTheTimeTheDriverLeft)
{
    chanq_set_qualify_result(-1, 77);
    Reply r;
    Request q{"Endpoint: webrtc-3000", "ActionID: q2"};
    EXPECT_EQ(action_quelvaron_qualify(r, q), -1);
    EXPECT_EQ(last_event(), contact_event("webrtc-3000", "", "Unreachable", "0"));
    EXPECT_EQ(r.text(), response("Error", "Endpoint qualify failed or endpoint unreachable", "q2"));
    EXPECT_EQ(driver().contact_find_calls, 0);
}

TEST_F(ControlTest, QualifyTimesConvertAsA32BitProduct)
{
    Request q{"Endpoint: 1001"};
    chanq_set_qualify_result(0, -3);
    Reply neg;
    action_quelvaron_qualify(neg, q);
    EXPECT_NE(last_event().find("RoundtripUsec: -3000\r\n"), std::string::npos);
    EXPECT_EQ(neg.text(), response("Success", "Endpoint '1001' qualified successfully (RTT: -3 ms)"));

    // 3,000,000 ms is 3e9 us, which wraps to 3e9 - 2^32 in 32 bits.
    chanq_set_qualify_result(0, 3000000);
    Reply big;
    action_quelvaron_qualify(big, q);
    EXPECT_NE(last_event().find("RoundtripUsec: -1294967296\r\n"), std::string::npos) << last_event();
}

TEST_F(ControlTest, QualifyMessageIsCutAt127Characters)
{
    std::string name(120, 'n');
    Reply r;
    Request q{"Endpoint: " + name};
    EXPECT_EQ(action_quelvaron_qualify(r, q), 0);
    std::string full = "Endpoint '" + name + "' qualified successfully (RTT: 25 ms)";
    EXPECT_EQ(r.text(), response("Success", full.substr(0, 127).c_str()));
    EXPECT_NE(last_event().find("Endpoint: " + name + "\r\n"), std::string::npos);
}

TEST_F(ControlTest, QualifyWithoutEndpointCallsNothing)
{
    Reply a, b, c;
    Request id_only{"ActionID: 9"}, empty{"Endpoint:", "ActionID: 9"};
    EXPECT_EQ(action_quelvaron_qualify(a, nullptr), -1);
    EXPECT_EQ(action_quelvaron_qualify(b, id_only), -1);
    EXPECT_EQ(action_quelvaron_qualify(c, empty), -1);
    EXPECT_EQ(a.text(), response("Error", "Endpoint parameter is required"));
    EXPECT_EQ(b.text(), response("Error", "Endpoint parameter is required", "9"));
    EXPECT_EQ(c.text(), b.text());
    EXPECT_EQ(driver().qualify_calls, 0);
    EXPECT_EQ(last_event(), "");
}

// ---- hangup ---------------------------------------------------------------

class HangupTest : public PluginTest {
  protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        chanq_clear_channels();
    }
};

TEST_F(HangupTest, CallIdAloneFindsItsChannelPastOwnedOnes)
{
    chanq_add_channel("aaa@h", "PJSIP/1001-00000001", CHANQ_OWNER_HANGUP);
    chanq_add_channel("bbb@h", "PJSIP/1002-00000002", CHANQ_OWNER_HANGUP);
    Reply r;
    Request q{"CallID: bbb@h", "ActionID: h1"};
    EXPECT_EQ(action_quelvaron_hangup(r, q), 0);
    EXPECT_EQ(r.text(), response("Success", "Channel hung up successfully", "h1"));
    EXPECT_EQ(driver().hangups, 1);
    EXPECT_STREQ(driver().last_hangup_channel, "PJSIP/1002-00000002");

    chanq_add_channel("c", "PJSIP/1003-00000003", CHANQ_OWNER_HANGUP);
    Reply one;
    Request short_id{"CallID: c"};
    EXPECT_EQ(action_quelvaron_hangup(one, short_id), 0) << "a one-character Call-ID";
    EXPECT_STREQ(driver().last_hangup_channel, "PJSIP/1003-00000003");
}

TEST_F(HangupTest, ChannelNameIsACaseSensitiveSubstringAndEmptyCallIdsNeverMatch)
{
    chanq_add_channel("", nullptr, CHANQ_NO_OWNER);
    chanq_add_null_channel();
    chanq_add_channel("", "PJSIP/1001-00000003", CHANQ_OWNER_HANGUP);
    chanq_add_channel("x@h", "PJSIP/1001-00000004", CHANQ_OWNER_HANGUP);

    Reply miss;
    Request lower{"channel: pjsip/1001"};
    EXPECT_EQ(action_quelvaron_hangup(miss, lower), -1);
    EXPECT_EQ(miss.text(), response("Error", "Channel or CallID not found"));
    EXPECT_EQ(driver().hangups, 0);

    Reply hit;
    Request part{"CHANNEL: 1001-"};
    EXPECT_EQ(action_quelvaron_hangup(hit, part), 0);
    EXPECT_EQ(driver().hangups, 1) << "only the lower index of two matching names";
    EXPECT_EQ(driver().last_hangup_index, 2);
    EXPECT_STREQ(driver().last_hangup_channel, "PJSIP/1001-00000003");
    EXPECT_EQ(driver().channel_count_calls, 2) << "one count per request";

    Reply end;
    Request whole{"Channel: PJSIP/1001-00000004"};
    EXPECT_EQ(action_quelvaron_hangup(end, whole), 0) << "the whole name, up to its end";
    EXPECT_STREQ(driver().last_hangup_channel, "PJSIP/1001-00000004");
}

TEST_F(HangupTest, WithBothHeadersTheFirstRecordPassingEitherTestWins)
{
    chanq_add_channel("c0@h", "PJSIP/2000-0", CHANQ_OWNER_HANGUP);
    chanq_add_channel("target@h", "PJSIP/2001-1", CHANQ_OWNER_HANGUP);
    chanq_add_channel("c2@h", "PJSIP/2002-2", CHANQ_OWNER_HANGUP);
    Reply r;
    Request q{"Channel: 2002", "CallID: target@h"};
    EXPECT_EQ(action_quelvaron_hangup(r, q), 0);
    EXPECT_EQ(driver().hangups, 1);
    EXPECT_STREQ(driver().last_hangup_channel, "PJSIP/2001-1");
}

TEST_F(HangupTest, MatchWithoutAHangupOperationStillSucceedsAndStopsTheWalk)
{
    chanq_add_channel("none@h", nullptr, CHANQ_NO_OWNER);
    chanq_add_channel("notech@h", "PJSIP/3-a", CHANQ_OWNER_NO_TECH);
    chanq_add_channel("noslot@h", "PJSIP/3-b", CHANQ_OWNER_NO_HANGUP);
    chanq_add_channel("later@h", "PJSIP/3-c", CHANQ_OWNER_HANGUP);
    for (const char *id : {"none@h", "notech@h", "noslot@h"}) {
        Reply r;
        Request q{std::string("CallID: ") + id};
        EXPECT_EQ(action_quelvaron_hangup(r, q), 0) << id;
        EXPECT_EQ(r.text(), response("Success", "Channel hung up successfully"));
    }
    Reply r;
    Request q{"Channel: PJSIP/3-"};
    EXPECT_EQ(action_quelvaron_hangup(r, q), 0) << "the first owner matches, though it cannot hang up";
    EXPECT_EQ(driver().hangups, 0);
}

TEST_F(HangupTest, MissingParametersAndNoChannels)
{
    Reply a, b, c;
    Request empty{"Channel:", "CallID: ", "ActionID: z"};
    EXPECT_EQ(action_quelvaron_hangup(a, nullptr), -1);
    EXPECT_EQ(action_quelvaron_hangup(b, empty), -1);
    EXPECT_EQ(a.text(), response("Error", "Channel or CallID parameter is required"));
    EXPECT_EQ(b.text(), response("Error", "Channel or CallID parameter is required", "z"));
    EXPECT_EQ(driver().channel_count_calls, 0);

    Request q{"CallID: any", "ActionID: z"};
    EXPECT_EQ(action_quelvaron_hangup(c, q), -1);
    EXPECT_EQ(c.text(), response("Error", "Channel or CallID not found", "z"));
}

TEST_F(HangupTest, NullSessionStillHangsUp)
{
    chanq_add_channel("k@h", "PJSIP/4-0", CHANQ_OWNER_HANGUP);
    Request q{"CallID: k@h"};
    EXPECT_EQ(action_quelvaron_hangup(nullptr, q), 0);
    EXPECT_EQ(driver().hangups, 1);
}

TEST_F(HangupTest, NamesCallIdsAndLinesWithoutTheirNulAreReadWithinTheirRoom)
{
    // A PBX channel whose name fills its 128 characters and whose object ends
    // right there: a name read past its field leaves the object.
    std::unique_ptr<char[]> name_only(new char[sizeof(pbx_channel::name)]);
    std::memset(name_only.get(), 'n', sizeof(pbx_channel::name));
    quelvaron_channel *named = quelvaron_channel_get_at(chanq_add_channel("", "x", CHANQ_OWNER_HANGUP));
    named->owner = reinterpret_cast<pbx_channel *>(name_only.get());
    for (const Request &q : {Request{"Channel: nX"}, unterminated_last_line("Channel: ")}) {
        Reply r;
        EXPECT_EQ(action_quelvaron_hangup(r, q), -1);
        EXPECT_EQ(r.text(), response("Error", "Channel or CallID not found"));
    }

    // A Call-ID filling its field in the driver's last slot, and every byte
    // after it to the table's end taken (the owner is never looked at
    // without a Channel header): a Call-ID read past its field leaves the
    // table.  The request's CallID line is a prefix of it without its NUL.
    chanq_clear_channels();
    while (chanq_add_null_channel() < CHANQ_MAX_CHANNELS - 2) {
    }
    quelvaron_channel *last = quelvaron_channel_get_at(chanq_add_channel("", "x", CHANQ_OWNER_HANGUP));
    std::memset(last->owner, 'v', sizeof *last->owner);
    std::memset(last, 'v', sizeof *last);
    Reply r;
    EXPECT_EQ(action_quelvaron_hangup(r, unterminated_last_line("CallID: ")), -1);
    EXPECT_EQ(r.text(), response("Error", "Channel or CallID not found"));
    EXPECT_EQ(driver().hangups, 0);
}

// ---- notify ---------------------------------------------------------------

TEST_F(ControlTest, NotifyHandsEndpointAndPayloadToTheDriver)
{
    Reply r;
    Request q{"Endpoint: 1002", "Payload:  Event: check-sync\t", "ActionID: n1"};
    EXPECT_EQ(action_quelvaron_notify(r, q), 0);
    EXPECT_EQ(r.text(), response("Success", "Quelvaron NOTIFY dispatched successfully", "n1"));
    EXPECT_STREQ(driver().last_notify_endpoint, "1002");
    EXPECT_STREQ(driver().last_notify_payload, "Event: check-sync\t");

    Reply r2;
    Request bare{"Endpoint: 1001"};
    EXPECT_EQ(action_quelvaron_notify(r2, bare), 0);
    EXPECT_EQ(driver().last_notify_payload_null, 0) << "an absent payload is the empty text";
    EXPECT_STREQ(driver().last_notify_payload, "");
}

TEST_F(ControlTest, NotifyFailuresAndMissingEndpoint)
{
    chanq_set_notify_result(404);
    Reply r;
    Request q{"Endpoint: nobody", "ActionID: n2"};
    EXPECT_EQ(action_quelvaron_notify(r, q), -1);
    EXPECT_EQ(r.text(), response("Error", "Endpoint not found or notification failed", "n2"));

    Reply a, b;
    Request payload_only{"Payload: x"};
    EXPECT_EQ(action_quelvaron_notify(a, nullptr), -1);
    EXPECT_EQ(action_quelvaron_notify(b, payload_only), -1);
    EXPECT_EQ(a.text(), response("Error", "Endpoint parameter is required"));
    EXPECT_EQ(b.text(), a.text());
    EXPECT_EQ(driver().notify_calls, 1);
}

// ---- reload ---------------------------------------------------------------

TEST_F(ControlTest, ReloadNeedsNoHeaders)
{
    Reply r;
    EXPECT_EQ(action_quelvaron_reload(r, nullptr), 0);
    EXPECT_EQ(r.text(), response("Success", "Quelvaron PJSIP configuration reloaded"));
    EXPECT_EQ(driver().reload_calls, 1);

    chanq_set_reload_result(1);
    Reply e;
    Request q{"ActionID: r1"};
    EXPECT_EQ(action_quelvaron_reload(e, q), -1);
    EXPECT_EQ(e.text(), response("Error", "Quelvaron reload failed", "r1"));
    EXPECT_EQ(driver().reload_calls, 2);
}

// ---- records and lines without their NUL ----------------------------------

TEST_F(ControlTest, LinesAndDriverTextsWithoutTheirNulAreReadWithinTheirRoom)
{
    const std::string value(AMI_HEADER_SIZE - 10, 'v');  // what follows "Endpoint: "
    Reply q, n;
    EXPECT_EQ(action_quelvaron_qualify(q, unterminated_last_line("Endpoint: ")), 0);
    EXPECT_EQ(driver().last_qualify_name, value);
    EXPECT_EQ(action_quelvaron_notify(n, unterminated_last_line("Endpoint: ")), 0);
    EXPECT_EQ(driver().last_notify_endpoint, value);

    chanq_set_contact("1001", "x");
    std::memset(quelvaron_contact_find("1001")->uri, 'u', sizeof(quelvaron_contact::uri));
    action_quelvaron_qualify(q, Request{"Endpoint: 1001"});
    EXPECT_NE(last_event().find("\r\nURI: " + std::string(256, 'u') + "\r\n"), std::string::npos);
}

// ---- status events --------------------------------------------------------

TEST_F(ControlTest, StatusEventsFromTheirArguments)
{
    EXPECT_EQ(quelvaron_ami_send_contact_status("1001", "sip:1001@h", "Reachable", 12), 0);
    EXPECT_EQ(last_event(), contact_event("1001", "sip:1001@h", "Reachable", "12000"));

    EXPECT_EQ(quelvaron_ami_send_peer_status("1002", "Registered", "10.0.0.2:5060"), 0);
    EXPECT_EQ(last_event(), "Event: QuelvaronPeerStatus\r\nPrivilege: 1\r\nPeer: 1002\r\n"
                            "PeerStatus: Registered\r\nAddress: 10.0.0.2:5060\r\n\r\n");
}

TEST_F(ControlTest, StatusEventsFillInForNulls)
{
    EXPECT_EQ(quelvaron_ami_send_contact_status(nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(last_event(), contact_event("unknown", "", "Unknown", "0"));

    EXPECT_EQ(quelvaron_ami_send_contact_status(nullptr, nullptr, nullptr, -2), 0);
    EXPECT_EQ(last_event(), contact_event("unknown", "", "Unknown", "-2000"));

    EXPECT_EQ(quelvaron_ami_send_peer_status(nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(last_event(), "Event: QuelvaronPeerStatus\r\nPrivilege: 1\r\nPeer: unknown\r\n"
                            "PeerStatus: Unknown\r\nAddress: \r\n\r\n");
}

} // namespace
