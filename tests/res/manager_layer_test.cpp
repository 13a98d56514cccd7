// The plug-in's own manager layer: appending to the reply record within its
// limits, header lookup, event formatting and the log line.
#include "res_test_support.h"

#include <cwchar>
#include <string>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

std::string repeat(char c, size_t n) { return std::string(n, c); }

// Puts a reply of len 'x' characters into the record, as earlier appends would.
void prefill(Reply &r, size_t len)
{
    std::memset(r->reply, 'x', len);
    r->reply[len] = '\0';
    r->reply_length = len;
}

// ---- astman_append --------------------------------------------------------

TEST(ReplyAppend, FormatsAndContinuesAfterWhatIsThere)
{
    Reply r;
    astman_append(r, "Response: %s\r\n", "Success");
    astman_append(r, "ListItems: %d\r\n", 3);
    astman_append(r, "%c", '.');  // one character is a fragment too
    EXPECT_EQ(r.text(), "Response: Success\r\nListItems: 3\r\n.");
    EXPECT_EQ(r->reply[r->reply_length], '\0');
}

TEST(ReplyAppend, KeepsTheLastByteFreeAndDropsWholeFragmentsThatDoNotFit)
{
    Reply r;
    prefill(r, 16379);
    astman_append(r, "%s", "abcd");  // 16383 would pass the limit
    EXPECT_EQ(r->reply_length, 16379u);
    EXPECT_EQ(r->reply[16379], '\0') << "a dropped fragment writes nothing";

    astman_append(r, "%s", "abc");   // exactly 16382
    EXPECT_EQ(r->reply_length, 16382u);
    EXPECT_EQ(std::string(r->reply + 16379), "abc");
    EXPECT_EQ(r->reply[16382], '\0');

    astman_append(r, "z");
    astman_append(r, "\r\n");
    EXPECT_EQ(r->reply_length, 16382u) << "a full reply takes nothing more";
    EXPECT_EQ(r->reply[16383], kReplyFill) << "the last byte is never written";
}

TEST(ReplyAppend, ShorterFragmentStillFitsAfterALongerOneWasDropped)
{
    Reply r;
    prefill(r, 16300);
    astman_append(r, "%s", repeat('a', 100).c_str());
    astman_append(r, "%s", repeat('b', 82).c_str());
    EXPECT_EQ(r->reply_length, 16382u);
    EXPECT_EQ(r.text(), repeat('x', 16300) + repeat('b', 82));
}

TEST(ReplyAppend, LongFragmentIsKeptWholeWhenItFitsAndDroppedWholeWhenNot)
{
    Reply r;
    astman_append(r, "%s", repeat('a', 5000).c_str());
    EXPECT_EQ(r.text(), repeat('a', 5000));

    astman_append(r, "%s", repeat('b', 16382 - 5000 + 1).c_str());  // one too many
    EXPECT_EQ(r.text(), repeat('a', 5000)) << "rolled back to the old text";

    astman_append(r, "%s", repeat('c', 16382 - 5000).c_str());  // fills the reply exactly
    EXPECT_EQ(r.text(), repeat('a', 5000) + repeat('c', 16382 - 5000));

    Reply edge;  // the working buffer's last fit, and one character past it
    astman_append(edge, "%s", repeat('p', 1023).c_str());
    astman_append(edge, "%s", repeat('q', 1024).c_str());
    EXPECT_EQ(edge.text(), repeat('p', 1023) + repeat('q', 1024));
}

TEST(ReplyAppend, DroppedFragmentsLeaveEveryByteOfTheRecordAsItWas)
{
    // Fragments one character too long for the room left, short and past the
    // working buffer, and an empty one, on a record without a NUL at its
    // length: not a byte of it may change, past the length neither.
    for (size_t len : {16379u, 15500u, 15000u}) {
        Reply r;
        prefill(r, len);
        r->reply[len] = 'Q';
        const ami_session before = *r.get();
        astman_append(r, "%s", repeat('L', 16383 - len).c_str());
        astman_append(r, "%s", "");
        EXPECT_EQ(std::memcmp(&before, r.get(), sizeof before), 0) << len;
    }
}

TEST(ReplyAppend, EmptyFragmentWritesNotEvenANul)
{
    Reply r;
    astman_append(r, "ab");
    r->reply[2] = 'Q';  // no NUL after the text: an empty append must not add one
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
    astman_append(r, "");
#pragma GCC diagnostic pop
    astman_append(r, "%s", "");
    EXPECT_EQ(r->reply_length, 2u);
    EXPECT_EQ(r->reply[2], 'Q');
}

TEST(ReplyAppend, NullRecordIsIgnoredAndHostDataNeverTouched)
{
    astman_append(nullptr, "Response: %s\r\n", "Success");

    Reply r;
    r->host_data = 0xDEADBEEFCAFEF00Dull;
    astman_append(r, "Message: %s\r\n", "x");
    EXPECT_EQ(r->host_data, 0xDEADBEEFCAFEF00Dull);
}

TEST(ReplyAppend, CorruptLengthFromTheCallerWritesNothing)
{
    Reply r;
    r->reply_length = 20000;  // beyond the buffer: appending there would overrun it
    astman_append(r, "abc");
    EXPECT_EQ(r->reply_length, 20000u);
    EXPECT_EQ(r->reply[0], '\0');
}

// ---- ami_get_header -------------------------------------------------------

TEST(HeaderLookup, NameIgnoresCaseLeadingBlanksSkippedTrailingKept)
{
    Request q{"Action: QuelvaronShowEndpoints", "actionid:  \t abc ", "x-zONE: z"};
    EXPECT_STREQ(ami_get_header(q, "ActionID"), "abc ");
    EXPECT_STREQ(ami_get_header(q, "ACTION"), "QuelvaronShowEndpoints");
    EXPECT_STREQ(ami_get_header(q, "X-Zone"), "z");
}

TEST(HeaderLookup, ValueIsAViewIntoTheMessageWithLineEndsKept)
{
    Request q{"Payload:\tline\r\n"};
    const char *v = ami_get_header(q, "payload");
    EXPECT_EQ(v, q.get()->headers[0] + 9);
    EXPECT_STREQ(v, "line\r\n");
}

TEST(HeaderLookup, FirstMatchWinsEvenWhenItIsEmpty)
{
    Request q{"ActionID: 1", "ActionID: 2"};
    EXPECT_STREQ(ami_get_header(q, "ActionID"), "1");

    Request e{"Endpoint:", "Endpoint: 1001"};
    EXPECT_STREQ(ami_get_header(e, "Endpoint"), "");
}

TEST(HeaderLookup, ColonMustFollowTheNameDirectly)
{
    Request q{"ActionID : 7", "EndpointName: 1001", "Endpoint", "Endpoin: x", "XctionID: 9"};
    EXPECT_STREQ(ami_get_header(q, "ActionID"), "");
    EXPECT_STREQ(ami_get_header(q, "Endpoint"), "");
    EXPECT_STREQ(ami_get_header(q, "EndpointName"), "1001");
}

TEST(HeaderLookup, AbsentHeadersYieldTheEmptyTextNeverNull)
{
    Request q{"ActionID: 7"};
    const char *v = ami_get_header(q, "Channel");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "");

    v = ami_get_header(nullptr, "ActionID");
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "");

    q.get()->header_count = 0;
    EXPECT_STREQ(ami_get_header(q, "ActionID"), "");
    q.get()->header_count = -5;
    EXPECT_STREQ(ami_get_header(q, "ActionID"), "");
}

TEST(HeaderLookup, BlanksUpToTheLineEndGiveTheEmptyValue)
{
    // No NUL in the line: the blank that starts the next line is not skipped too.
    Request q{"Name:", " x"};
    std::memset(q.get()->headers[0] + 5, ' ', AMI_HEADER_SIZE - 5);
    EXPECT_STREQ(ami_get_header(q, "Name"), "");
}

TEST(HeaderLookup, ReadsOnlyTheLinesInUse)
{
    Request q{"A: 1", "ActionID: hidden"};
    q.get()->header_count = 1;
    EXPECT_STREQ(ami_get_header(q, "ActionID"), "");
}

TEST(HeaderLookup, CountLargerThanTheRecordDoesNotReadPastIt)
{
    // The record is on the heap at its exact size: a scan beyond its 64 lines
    // shows up under AddressSanitizer.
    Request q{"A: 1"};
    q.get()->header_count = 100000;
    EXPECT_STREQ(ami_get_header(q, "Missing"), "");
    EXPECT_STREQ(ami_get_header(q, "a"), "1");
}

TEST(HeaderLookup, NameAsLongAsAWholeLineOrLongerIsNotComparedPastIt)
{
    // The record's last line is 512 'v' without a NUL: a read past it leaves
    // the record (AddressSanitizer).
    Request q = unterminated_last_line("v");
    for (size_t len : {512u, 513u})
        EXPECT_STREQ(ami_get_header(q, repeat('v', len).c_str()), "") << len;
}

// ---- manager_event --------------------------------------------------------

TEST(EventFormat, FramesNamePrivilegeBodyAndClosingLine)
{
    manager_event(1, "QuelvaronPeerStatus", "Peer: %s\r\nAddress: %s\r\n", "1001", "10.0.0.1");
    EXPECT_EQ(last_event(),
              "Event: QuelvaronPeerStatus\r\nPrivilege: 1\r\nPeer: 1001\r\nAddress: 10.0.0.1\r\n\r\n");

    manager_event(2, "X", "%s", "");
    EXPECT_EQ(last_event(), "Event: X\r\nPrivilege: 2\r\n\r\n") << "each event replaces the last";
}

TEST(EventFormat, LongBodyAndLongEventAreCut)
{
    manager_event(1, "E", "%s", repeat('b', 2000).c_str());
    EXPECT_EQ(last_event(), "Event: E\r\nPrivilege: 1\r\n" + repeat('b', 1535) + "\r\n");

    std::string name = repeat('n', 600);
    manager_event(1, name.c_str(), "%s", repeat('b', 1535).c_str());
    std::string whole = "Event: " + name + "\r\nPrivilege: 1\r\n" + repeat('b', 1535) + "\r\n";
    EXPECT_EQ(last_event(), whole.substr(0, 2047));
}

TEST(EventFormat, BodyWithoutAFormatOrThatFailsToFormatIsEmpty)
{
    // Each case follows an event that left its body on the stack.
    const char *no_format = nullptr;
    manager_event(1, "E", "%s", repeat('b', 100).c_str());
    manager_event(2, "N", no_format);
    EXPECT_EQ(last_event(), "Event: N\r\nPrivilege: 2\r\n\r\n");

    // A wide character the C locale has no byte for: where the C library
    // fails to format it, the body is empty, not what was written before.
    char formatted[16] = "";
    const bool fails = std::snprintf(formatted, sizeof formatted, "ab%lc", (wint_t)0x100) < 0;
    manager_event(1, "E", "%s", repeat('b', 100).c_str());
    manager_event(3, "W", "ab%lc", (wint_t)0x100);
    EXPECT_EQ(last_event(), std::string("Event: W\r\nPrivilege: 3\r\n") + (fails ? "" : formatted) + "\r\n");
}

// ---- ast_log --------------------------------------------------------------

TEST(LogLine, PrefixThenMessageOnStandardOutput)
{
    testing::internal::CaptureStdout();
    ast_log("res/res_quelvaron_ami.cpp", 275, "quelvaron_ami_init", 3, "count %d of %s\n", 6, "six");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[NOTICE] res/res_quelvaron_ami.cpp:275 quelvaron_ami_init: count 6 of six\n");
}

TEST(LogLine, LevelsOutsideTheLabelsReadLog)
{
    const struct {
        int level;
        const char *label;
    } rows[] = {{-1, "LOG"}, {0, "DEBUG"}, {5, "ERROR"}, {6, "LOG"}};
    for (const auto &row : rows) {
        testing::internal::CaptureStdout();
        ast_log("f.cpp", 1, "fn", row.level, "m\n");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("[") + row.label + "] f.cpp:1 fn: m\n");
    }
}

TEST(LogLine, LineHasLeftTheStreamBufferWhenTheCallReturns)
{
    // Standard output goes to a file; the message has no line end, so only a
    // flush puts the line there before the call returns.
    std::fflush(stdout);
    FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int out = fileno(stdout);
    const int saved = dup(out);
    dup2(fileno(file), out);
    ast_log("f.cpp", 1, "fn", 3, "no line end");
    const long written = static_cast<long>(lseek(fileno(file), 0, SEEK_END));
    std::fflush(stdout);
    dup2(saved, out);
    close(saved);
    std::fclose(file);
    EXPECT_EQ(written, static_cast<long>(std::strlen("[NOTICE] f.cpp:1 fn: no line end")));
}

} // namespace
