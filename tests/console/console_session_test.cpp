// What the console sends and prints in its two modes: the two request forms,
// the greeting, banner and prompts, and the rules for lines typed at the
// prompt.
#include "console_harness.h"

#include <gtest/gtest.h>

namespace {

std::string interactive_start()
{
    return std::string(kGreeting) + kBanner + kPrompt;
}

TEST(ConsoleSession, OneShotPrintsTheCommandOutputButNotTheGreeting)
{
    ScriptedAmi ami(answer_each(echo_reply));
    ChildResult r = run_console({"-p", std::to_string(ami.port()), "-x", "core show version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, as_written(echo_printed("core show version")));
    EXPECT_EQ(ami.received(), "Action: Command\r\nCommand: core show version\r\nActionID: cli-rast\r\n\r\n");
#ifndef _WIN32
    // Started with standard input closed, its socket is descriptor 0.
    ScriptedAmi closed_in(answer_each(echo_reply));
    r = run_console_in_shell("exec \"$0\" \"$@\" <&-", {"-p", std::to_string(closed_in.port()), "-x", "core show version"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, echo_printed("core show version"));
#endif
}

TEST(ConsoleSession, InteractiveShowsGreetingBannerAndAPromptAfterEachLine)
{
    ScriptedAmi ami(answer_each(echo_reply));
    ChildResult r = run_console(port_args(ami.port()), "core show version\nsip show peers\r\nquit\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, as_written(interactive_start() + echo_printed("core show version") + kPrompt +
                                echo_printed("sip show peers") + kPrompt));
    EXPECT_EQ(ami.received(), command_request("core show version") + command_request("sip show peers"));
}

TEST(ConsoleSession, EndOfInputRightAfterThePromptEndsQuietly)
{
    ScriptedAmi ami(answer_each(echo_reply));
    ChildResult r = run_console(port_args(ami.port()), "");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(interactive_start()));
    EXPECT_EQ(ami.received(), "");

    // A last line without its line ending is still a command.
    ScriptedAmi ami2(answer_each(echo_reply));
    r = run_console(port_args(ami2.port()), "core show uptime");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(interactive_start() + echo_printed("core show uptime") + kPrompt));
}

TEST(ConsoleSession, QuitAndExitInAnyCaseEndTheLoopAtOnce)
{
    for (const char *word : {"quit", "QUIT", "Exit", "eXiT"}) {
        ScriptedAmi ami(answer_each(echo_reply));
        ChildResult r = run_console(port_args(ami.port()), std::string(word) + "\nnever sent\n");
        EXPECT_EQ(r.exit_code, 0) << word;
        EXPECT_EQ(r.out, as_written(interactive_start())) << word;
        EXPECT_EQ(ami.received(), "") << word;
    }
}

TEST(ConsoleSession, QuitOrExitWithBlanksOrMoreTextAreCommands)
{
    ScriptedAmi ami(answer_each(echo_reply));
    ChildResult r = run_console(port_args(ami.port()), " quit\nexit \nquitx\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(ami.received(), command_request(" quit") + command_request("exit ") + command_request("quitx"));
    EXPECT_EQ(r.out, as_written(interactive_start() + echo_printed(" quit") + kPrompt + echo_printed("exit ") +
                                kPrompt + echo_printed("quitx") + kPrompt));
}

TEST(ConsoleSession, ShowEndpointsInAnyCaseBecomesTheActionRequest)
{
    std::string list = "Response: Success\r\nActionID: cli-rast\r\nMessage: Endpoint list will follow\r\n\r\n"
                       "Event: QuelvaronEndpointListComplete\r\nActionID: cli-rast\r\nListItems: 0\r\nTotal: 0\r\n\r\n";
    ScriptedAmi ami(answer_each([&](const std::string &req) { return command_of(req).empty() ? list : echo_reply(req); }));
    ChildResult r = run_console(port_args(ami.port()),
                                "QUELVARON Show Endpoints\nquelvaron show endpoints \nquelvaron  show endpoints\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(ami.received(), kShowEndpointsRequest + command_request("quelvaron show endpoints ") +
                                  command_request("quelvaron  show endpoints"));
    EXPECT_EQ(r.out, as_written(interactive_start() + list + "\n" + kPrompt +
                                echo_printed("quelvaron show endpoints ") + kPrompt +
                                echo_printed("quelvaron  show endpoints") + kPrompt));

    ScriptedAmi one(answer_each([&](const std::string &) { return list; }));
    r = run_console({"-x", "quelvaron show ENDPOINTS", "-p", std::to_string(one.port())});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(one.received(), kShowEndpointsRequest);
    EXPECT_EQ(r.out, as_written(list + "\n"));
}

TEST(ConsoleSession, EmptyLineSendsNothingBlankLineIsACommand)
{
    ScriptedAmi ami(answer_each(echo_reply));
    ChildResult r = run_console(port_args(ami.port()), "\n\r\n   \n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(ami.received(), command_request("   "));
    EXPECT_EQ(r.out, as_written(interactive_start() + kPrompt + kPrompt + echo_printed("   ") + kPrompt));
}

// Around the limits: what fits is sent exactly as it always was; one
// character more and nothing of it is sent.
TEST(ConsoleSession, OneShotCommandIsSentWholeOrRefused)
{
    const std::string refused = "Comando muito longo (maximo 973 caracteres); nada foi enviado.\n";
    for (size_t len : {973u, 974u, 5000u}) {
        std::string command(len, 'c');
        if (len == 973) {
            ScriptedAmi ami(answer_each(echo_reply));
            ChildResult r = run_console({"-p", std::to_string(ami.port()), "-x", command});
            EXPECT_EQ(r.exit_code, 0);
            EXPECT_EQ(r.out, as_written(echo_printed(command)));
            EXPECT_EQ(ami.received(), command_request(command));
            EXPECT_EQ(ami.received().size(), 1023u);
        } else {
            // Refused before connecting: a closed port would otherwise be reported.
            ChildResult r = run_console({"-p", std::to_string(closed_port()), "-x", command});
            EXPECT_EQ(r.exit_code, 1) << len;
            EXPECT_EQ(r.out, "") << len;
            EXPECT_EQ(r.err, as_written(refused)) << len;
        }
    }
}

TEST(ConsoleSession, InputLineOver511CharactersIsDroppedWhole)
{
    const std::string dropped = "Linha muito longa (maximo 511 caracteres); nada foi enviado.\n";
    struct Case {
        std::string line;
        bool fits;
    } cases[] = {
        {std::string(510, 'g') + "\n", true}, // fills the buffer with its LF: whole
        {std::string(511, 'a') + "\n", true},
        {std::string(511, 'a') + "\r\n", true},
        {std::string(512, 'b') + "\n", false},
        {std::string(512, 'b') + "\r\n", false},
        {std::string(511, 'c') + "\rx\n", false},
        {std::string(200000, 'd') + "\n", false}, // many reads of the input
        {std::string(511, 'e'), true},             // at the end of input
        {std::string(512, 'f'), false},
    };
    for (const Case &c : cases) {
        std::string text = c.line.substr(0, c.line.find_first_of("\r\n"));
        bool ended = c.line.back() == '\n';
        ScriptedAmi ami(answer_each(echo_reply));
        ChildResult r = run_console(port_args(ami.port()), ended ? c.line + "after\n" : c.line);
        EXPECT_EQ(r.exit_code, 0);
        // A line of 511 leaves its line end for the next read: an empty line.
        bool end_left = c.fits && c.line.size() - 1 >= 511;
        std::string out = c.fits ? echo_printed(text) + kPrompt : "";
        if (ended)
            out += (c.fits && !end_left ? "" : kPrompt) + echo_printed("after") + kPrompt;
        else if (!c.fits)
            out += kPrompt;
        EXPECT_EQ(r.err, c.fits ? "" : as_written(dropped)) << text.size();
        EXPECT_EQ(r.out, as_written(interactive_start() + out)) << text.size();
        EXPECT_EQ(ami.received(), (c.fits ? command_request(text) : "") + (ended ? command_request("after") : ""))
            << text.size();
    }
#ifndef _WIN32
    // Each prompt is out before the next line is read: on one pipe with
    // standard output, each message comes after the prompt before it.
    ScriptedAmi ami(answer_each(echo_reply));
    std::string line(512, 'b');
    ChildResult r = run_console_in_shell("exec \"$0\" \"$@\" 2>&1", port_args(ami.port()), line + "\n" + line + "\n");
    EXPECT_EQ(r.out, interactive_start() + dropped + kPrompt + dropped + kPrompt);
#endif
}

TEST(ConsoleSession, WorksWhenThePbxSendsNoGreeting)
{
    ScriptedAmi ami(answer_each(echo_reply, false));
    ChildResult r = run_console(port_args(ami.port()), "core show version\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(std::string(kBanner) + kPrompt + echo_printed("core show version") + kPrompt));

    ScriptedAmi one(answer_each(echo_reply, false));
    r = run_console({"-p", std::to_string(one.port()), "-x", "core show version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(echo_printed("core show version")));
}

TEST(ConsoleSession, GreetingArrivingInPiecesIsPrintedWholeAndKeptOutOfTheFirstReply)
{
    ScriptedAmi ami([](AmiPeer &peer) {
        peer.send("Asterisk Call ");
        peer.pause(150);
        peer.send("Manager/5.0.1\r\n");
        for (std::string req; !(req = peer.read_request()).empty();)
            peer.send(echo_reply(req));
    });
    ChildResult r = run_console(port_args(ami.port()), "core show version\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(interactive_start() + echo_printed("core show version") + kPrompt));

    // A greeting that never ends its line is cut off by the quiet time-out.
    ScriptedAmi unended([](AmiPeer &peer) {
        peer.send("Asterisk Call Manager");
        for (std::string req; !(req = peer.read_request()).empty();)
            peer.send(echo_reply(req));
    });
    r = run_console(port_args(unended.port()), "core show version\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(std::string("Asterisk Call Manager") + kBanner + kPrompt +
                                echo_printed("core show version") + kPrompt));

    // An empty first line is the whole greeting: what follows it is not,
    // come with it or later.
    ScriptedAmi empty([](AmiPeer &peer) {
        peer.send("\nAsterisk Call ");
        peer.pause(100);
        peer.send("Manager/5.0.1\r\n");
        for (std::string req; !(req = peer.read_request()).empty();)
            peer.send(echo_reply(req));
    });
    r = run_console(port_args(empty.port()), "core show version\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(std::string("\n") + kBanner + kPrompt + echo_printed("core show version") + kPrompt));

    // A greeting line one byte longer than the console keeps: its first 511
    // bytes, the rest of the line dropped.
    const std::string longest(510, 'G');
    ScriptedAmi over([&](AmiPeer &peer) {
        peer.send(longest + "\r\n");
        for (std::string req; !(req = peer.read_request()).empty();)
            peer.send(echo_reply(req));
    });
    r = run_console(port_args(over.port()), "core show version\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, as_written(longest + "\r" + kBanner + kPrompt + echo_printed("core show version") + kPrompt));
}

} // namespace
