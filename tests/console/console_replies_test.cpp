// Reading replies: each command gets its own whole reply however the PBX
// splits it into segments, and the output is taken from it by the console's
// rules; a PBX that stalls or hangs up cannot hang the console.
#include "console_harness.h"

#include <gtest/gtest.h>

namespace {

std::string interactive_start()
{
    return std::string(kGreeting) + kBanner + kPrompt;
}

// Sends text in pieces of the given sizes (the rest in one last piece),
// pausing between them.
void send_in_pieces(AmiPeer &peer, const std::string &text, std::initializer_list<size_t> sizes)
{
    size_t at = 0;
    for (size_t n : sizes) {
        peer.send(text.substr(at, n));
        peer.pause(60);
        at += n;
    }
    peer.send(text.substr(at));
}

TEST(ConsoleReplies, OutputIsWhatLiesBetweenThePrivilegeLineAndTheMarker)
{
    // Text before the privilege line and after the marker is not printed;
    // empty lines inside the output are.
    std::string reply = "Response: Follows\r\nPrivilege: Command\r\nline 1\r\n\r\nline 3\r\n--END COMMAND--\r\n\r\n";
    ScriptedAmi ami(answer_each([&](const std::string &) { return reply; }));
    ChildResult r = run_console({"-p", std::to_string(ami.port()), "-x", "x"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written("line 1\r\n\r\nline 3\r\n"));
}

TEST(ConsoleReplies, ReplyWithoutPrivilegeLineIsPrintedWholeWithANewline)
{
    for (std::string reply : {"Response: Error\r\nActionID: cli-rast\r\nMessage: Permission denied\r\n\r\n",
                              "Response: Success\r\nActionID: cli-rast\r\nMessage: Command output follows\r\n"
                              "Output: Asterisk 20.5.0\r\n\r\n",
                              // Wrong case or no CR: not the privilege line.
                              "Response: Follows\r\nprivilege: command\r\n\r\n",
                              "Response: Follows\r\nPrivilege: Command\n\n",
                              // Blanks after a header's value do not count: a list, read to its end.
                              "Response: Success\r\nEventList: start \t\r\nMessage: Peer status\r\n\r\n"
                              "Event: PeerEntry\r\n\r\nEvent: PeerlistComplete \r\n\r\n"}) {
        ScriptedAmi ami(answer_each([&](const std::string &) { return reply; }));
        ChildResult r = run_console({"-p", std::to_string(ami.port()), "-x", "core show version"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, as_written(reply + "\n"));
    }
}

TEST(ConsoleReplies, ResponseWithoutCommandOrListHeadersEndsAtItsFirstEmptyLine)
{
    // Near misses of the privilege and list headers; what follows the empty
    // line (a list's closing event, a command's end marker) is not read.
    for (std::string head : {"Response: Success\r\nMessage: Done\r\n",
                             "Response: Follows\r\nPrivilege: Commands\r\n",
                             "Response: Success\r\nEventList: started\r\n",
                             "Response: Follows\r\nQrivilege: Command\r\n",
                             "Response: Follows\r\nPrivilege: Xommand\r\n",
                             "Response: Follows\r\nPrivilege Command\r\n"}) {
        ScriptedAmi ami(answer_each(
            [&](const std::string &) { return head + "\r\nEvent: PeerlistComplete\r\n--END COMMAND--\r\n\r\n"; }));
        ChildResult r = run_console({"-p", std::to_string(ami.port()), "-x", "x"});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, as_written(head + "\r\n\n")) << head;
    }
}

TEST(ConsoleReplies, ReplyInSegmentsIsReadWholeForItsOwnCommand)
{
    ScriptedAmi ami([](AmiPeer &peer) {
        peer.send(kGreeting);
        std::string first = command_reply("one\r\n\r\ntwo\r\n");
        // Cut inside the header, at an empty line of the output, and inside
        // the end marker.
        peer.read_request();
        send_in_pieces(peer, first, {10, first.find("\r\n\r\n") + 2 - 10, first.find("--END COM") + 9 -
                                                                            (first.find("\r\n\r\n") + 2)});
        peer.read_request();
        send_in_pieces(peer, echo_reply("Command: second\r\n"), {30});
        peer.read_request();
    });
    ChildResult r = run_console(port_args(ami.port()), "first\nsecond\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(interactive_start() + printed_output("one\r\n\r\ntwo\r\n") + kPrompt +
                                echo_printed("second") + kPrompt));
}

TEST(ConsoleReplies, ListReplyIsReadUpToItsCompleteEvent)
{
    std::string list = "Response: Success\r\nActionID: cli-rast\r\nMessage: Endpoint list will follow\r\n\r\n"
                       "Event: QuelvaronEndpointList\r\nActionID: cli-rast\r\nObjectName: 100\r\nStatus: Online\r\n\r\n"
                       "Event: QuelvaronEndpointList\r\nActionID: cli-rast\r\nObjectName: 101\r\nStatus: Offline\r\n\r\n"
                       "Event: QuelvaronEndpointListComplete\r\nActionID: cli-rast\r\nListItems: 2\r\nTotal: 2\r\n\r\n";
    std::string eventlist = "Response: Success\r\nEventList: start\r\nMessage: Peer status\r\n\r\n"
                            "Event: PeerEntry\r\nObjectName: 100\r\n\r\nEvent: PeerlistComplete\r\nListItems: 1\r\n\r\n";
    ScriptedAmi ami([&](AmiPeer &peer) {
        peer.send(kGreeting);
        peer.read_request();
        // Every event in a segment of its own.
        size_t a = list.find("Event:"), b = list.find("Event:", a + 1), c = list.find("Event:", b + 1);
        send_in_pieces(peer, list, {a, b - a, c - b, 20});
        peer.read_request();
        send_in_pieces(peer, eventlist, {eventlist.find("Event:")});
        peer.read_request();
        peer.send(echo_reply("Command: after\r\n"));
        peer.read_request();
    });
    ChildResult r = run_console(port_args(ami.port()), "quelvaron show endpoints\npeers\nafter\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(interactive_start() + list + "\n" + kPrompt + eventlist + "\n" + kPrompt +
                                echo_printed("after") + kPrompt));
}

TEST(ConsoleReplies, RepliesBeyondEightKilobytesArePrintedWhole)
{
    std::string output;
    for (int i = 0; output.size() < 40000; i++)
        output += "line " + std::to_string(i) + " of a long command output\r\n";
    ScriptedAmi ami([&](AmiPeer &peer) {
        peer.send(kGreeting);
        peer.read_request();
        send_in_pieces(peer, command_reply(output), {5000, 9000, 1});
        peer.read_request();
        peer.send(echo_reply("Command: next\r\n"));
        peer.read_request();
    });
    ChildResult r = run_console(port_args(ami.port()), "big\nnext\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(interactive_start() + printed_output(output) + kPrompt + echo_printed("next") + kPrompt));
}

TEST(ConsoleReplies, ReplyBeyondTheBufferIsCutButDoesNotSpillIntoTheNext)
{
    std::string output;
    for (int i = 0; output.size() < 150000; i++)
        output += "row " + std::to_string(i) + "\r\n";
    ScriptedAmi ami([&](AmiPeer &peer) {
        peer.send(kGreeting);
        peer.read_request();
        peer.send(command_reply(output));
        peer.read_request();
        peer.send(echo_reply("Command: next\r\n"));
        peer.read_request();
    });
    ChildResult r = run_console(port_args(ami.port()), "huge\nnext\n");
    EXPECT_EQ(r.exit_code, 0);
    std::string start = as_written(interactive_start());
    std::string end = as_written(std::string(kPrompt) + echo_printed("next") + kPrompt);
    ASSERT_GT(r.out.size(), start.size() + end.size() + 60000);
    EXPECT_EQ(r.out.substr(0, start.size()), start);
    EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end);
    std::string first = r.out.substr(start.size(), r.out.size() - start.size() - end.size());
    EXPECT_EQ(as_written(printed_output(output)).compare(0, first.size(), first), 0);
}

TEST(ConsoleReplies, ReplyEndsByItsOwnFramingWithTheNextRightBehind)
{
    // The next reply comes right behind, unasked: a reply read past its end,
    // or ended only by the quiet time-out, would swallow it. Each reply is
    // sent in two segments, cut at `at`.
    const std::string head = command_reply("").substr(0, command_reply("").find("--END"));
    const std::string list = "Response: Success\r\nEventList: start\r\n\r\n";
    struct Case {
        std::string reply;
        size_t at;
    } cases[] = {
        // One output line of about 64 KiB, the end marker near the point
        // where the console has to cut it.
        {command_reply(std::string(65530, 'x')), 0},
        {command_reply(std::string(65521, 'x')), 0},
        {command_reply(std::string(200000, 'x')), 0},
        // An empty line first in the window, then a line longer than it.
        {command_reply("\n" + std::string(70000, 'x')), head.size()},
        // The privilege line first, the marker at a line start.
        {"Privilege: Command\r\nline 1\r\n\r\n--END COMMAND--\r\n\r\n", 0},
        {"Response: Success\nMessage: bare line feeds\n\n", 0},
        // The closing event's whole name is "Complete"; blocks without an
        // Event line do not close the list.
        {list + "Event: Complete\r\n\r\n", 0},
        {list + "ObjectName: 100\r\n\r\nObjectName: 101\r\n\r\nEvent: PeerlistComplete\r\n\r\n", 0},
        // Header lines longer than the window: read within it, and a later
        // piece of the line is no line start.
        {"Response: Follows\r\nPrivilege:" + std::string(70000, ' ') + "\r\n\r\n", 0},
        {"Response: Success\r\nMessage: " + std::string(65516, 'x') + "will follow, cut\r\n\r\nEvent: XComplete\r\n\r\n", 0},
        {"Response: Success\r\nMessage: " + std::string(65513, 'x') + "EventList: start\r\n\r\n", 0},
    };
    for (const Case &c : cases) {
        ScriptedAmi ami([&](AmiPeer &peer) {
            peer.send(kGreeting);
            peer.read_request();
            send_in_pieces(peer, c.reply + echo_reply("Command: next\r\n"), {c.at});
            peer.read_request();
        });
        ChildResult r = run_console(port_args(ami.port()), "first\nnext\n");
        EXPECT_EQ(r.exit_code, 0);
        std::string end = as_written(std::string(kPrompt) + echo_printed("next") + kPrompt);
        ASSERT_GT(r.out.size(), end.size()) << c.reply.substr(0, 40);
        EXPECT_EQ(r.out.substr(r.out.size() - end.size()), end) << c.reply.substr(0, 40);
    }
}

TEST(ConsoleReplies, StalledReplyIsCutOffByTheQuietTimeOut)
{
    ScriptedAmi ami([](AmiPeer &peer) {
        peer.send(kGreeting);
        peer.read_request();
        peer.send("Response: Follows\r\nPrivilege: Command\r\npartial out");
        peer.read_request();
        peer.send(echo_reply("Command: next\r\n"));
        peer.read_request();
    });
    ChildResult r = run_console(port_args(ami.port()), "stall\nnext\n");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(interactive_start() + "partial out" + kPrompt + echo_printed("next") + kPrompt));

    // One-shot: a PBX that never answers at all.
    ScriptedAmi silent([](AmiPeer &peer) { peer.send(kGreeting); });
    r = run_console({"-p", std::to_string(silent.port()), "-x", "core show version"});
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");

    // The first byte may be slow (the command runs first); a pause after a
    // whole line is a stall. Both pauses lie well inside the two limits.
    ScriptedAmi slow([](AmiPeer &peer) {
        peer.send(kGreeting);
        peer.read_request();
        peer.pause(2000);
        peer.send("Response: Follows\r\nPrivilege: Command\r\npartial\r\n");
        peer.pause(2000);
        peer.send("rest\r\n--END COMMAND--\r\n\r\n");
    });
    r = run_console({"-p", std::to_string(slow.port()), "-x", "core show version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written("partial\r\n"));

    // One byte is a begun reply: cut off by the quiet time-out, and printed.
    ScriptedAmi one_byte([](AmiPeer &peer) {
        peer.send(kGreeting);
        peer.read_request();
        peer.send("R");
        peer.pause(1500);
        peer.send("esponse: Success\r\n\r\n");
    });
    r = run_console({"-p", std::to_string(one_byte.port()), "-x", "core show version"});
    EXPECT_EQ(r.out, as_written("R\n"));
}

TEST(ConsoleReplies, PbxHangingUpMidReplyIsSilent)
{
    ScriptedAmi ami([](AmiPeer &peer) {
        peer.send(kGreeting);
        peer.read_request();
        peer.send("Response: Follows\r\nPrivilege: Command\r\nhalf");
        peer.pause(100);
        peer.send(" of it\r\n");
        peer.close();
    });
    ChildResult r = run_console(port_args(ami.port()), "first\nsecond\nthird\n");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, as_written(interactive_start() + "half of it\r\n" + kPrompt + kPrompt + kPrompt));

    // It hangs up once it has read the request: closed with the request
    // unread, the connection would be reset, which is reported.
    ScriptedAmi gone([](AmiPeer &peer) {
        peer.send(kGreeting);
        peer.read_request();
        peer.close();
    });
    r = run_console({"-p", std::to_string(gone.port()), "-x", "core show version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
}

} // namespace
