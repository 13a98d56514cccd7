// libFuzzer target for the res_quelvaron_ami plug-in.
//
// Each input builds a request (any header count, lines with or without their
// NUL), sets the stand-in driver's records (long and unterminated texts,
// owners without a hang-up operation, huge endpoint counts, operation
// results) and a reply record that may already hold text, then sends the
// request to every action the module's load function put in its table.
// After every call the session's invariants are checked; a violation aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "chan_quelvaron_control.h"
#include "res_quelvaron_ami.h"

namespace {

// The endpoint slots that hold records: a few at the front and the
// stand-in's last one, whose record ends where AddressSanitizer's redzone
// begins; the slots between read as null.
const size_t touchable[] = {0, 1, 2, 3, 4, 5, 6, 7, CHANQ_MAX_ENDPOINTS - 1};
const size_t touchable_count = sizeof touchable / sizeof touchable[0];

quelvaron_endpoint sample[touchable_count];  // their records at the start of an input
ami_message *request;        // exact size on the heap: reading past it is caught
ami_message *request_copy;
ami_session *session;
ami_session *before;

[[noreturn]] void violation(const char *what, const char *action)
{
    std::fprintf(stderr, "res_ami_fuzz: %s after %s\n", what, action);
    std::abort();
}

// A text field: kept, a fuzz text, or the whole field without a NUL.
void fuzz_field(FuzzedDataProvider &in, char *field, size_t size)
{
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        break;
    case 1: {
        std::string t = in.ConsumeRandomLengthString(size - 1);
        std::memcpy(field, t.c_str(), t.size() + 1);
        break;
    }
    case 2: {
        std::string t = in.ConsumeBytesAsString(size);
        std::memset(field, 'F', size);
        std::memcpy(field, t.data(), t.size());
        break;
    }
    default:
        std::memset(field, in.ConsumeIntegralInRange<int>(1, 255), size);
        break;
    }
}

// The list asks for records until not even the shortest list event fits
// what is left of the reply; null records and events that are longer but
// dropped do not end the walk, since a later record may still fit.  A count
// far beyond the stand-in's slots is therefore drawn only when the reply has
// less room than any list event (under 137 characters), where the walk must
// not start.
const uint64_t no_list_room = AMI_REPLY_MAX - 136;
bool huge_count;

void fuzz_endpoints(FuzzedDataProvider &in, bool room_for_no_event)
{
    for (size_t i = 0; i < touchable_count; i++)
        chanq_set_endpoint(touchable[i], &sample[i]);
    chanq_set_endpoint_count(CHANQ_MAX_ENDPOINTS);

    int n = in.ConsumeIntegralInRange<int>(0, 4);
    for (int k = 0; k < n; k++) {
        size_t slot = in.ConsumeIntegralInRange<size_t>(0, touchable_count - 1);
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
            chanq_set_endpoint(touchable[slot], nullptr);
            continue;
        }
        quelvaron_endpoint ep = sample[slot];
        const struct {
            char *field;
            size_t size;
        } texts[] = {
            {ep.id, sizeof ep.id}, {ep.transport, sizeof ep.transport}, {ep.aors, sizeof ep.aors},
            {ep.auth, sizeof ep.auth}, {ep.outbound_auth, sizeof ep.outbound_auth},
            {ep.context, sizeof ep.context}, {ep.disallow, sizeof ep.disallow},
            {ep.allow, sizeof ep.allow}, {ep.mailboxes, sizeof ep.mailboxes},
            {ep.media_encryption, sizeof ep.media_encryption}, {ep.callerid, sizeof ep.callerid},
            {ep.status, sizeof ep.status},
        };
        for (const auto &t : texts)
            fuzz_field(in, t.field, t.size);
        ep.direct_media = in.ConsumeIntegral<int32_t>();
        ep.dtls_verify = in.ConsumeIntegral<int32_t>();
        ep.webrtc = in.ConsumeIntegral<int32_t>();
        ep.max_audio_streams = in.ConsumeIntegral<int32_t>();
        ep.max_video_streams = in.ConsumeIntegral<int32_t>();
        ep.active_channels = in.ConsumeIntegral<int32_t>();
        chanq_set_endpoint(touchable[slot], &ep);
    }

    huge_count = false;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        break;
    case 1:
        chanq_set_endpoint_count(in.ConsumeIntegralInRange<size_t>(0, 16));
        break;
    default:
        if (!room_for_no_event) {
            chanq_set_endpoint_count(CHANQ_MAX_ENDPOINTS + in.ConsumeIntegralInRange<size_t>(0, 16));
            break;
        }
        huge_count = true;
        chanq_set_endpoint_count(in.ConsumeBool() ? 2147483647u : in.ConsumeIntegral<size_t>());
        break;
    }
}

void fuzz_channels(FuzzedDataProvider &in)
{
    chanq_clear_channels();
    int n = in.ConsumeIntegralInRange<int>(0, 4);
    for (int k = 0; k < n; k++) {
        if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
            chanq_add_null_channel();
            continue;
        }
        std::string call_id = in.ConsumeRandomLengthString(64);
        std::string owner = in.ConsumeRandomLengthString(64);
        int kind = in.ConsumeIntegralInRange<int>(CHANQ_NO_OWNER, CHANQ_OWNER_HANGUP);
        int index = chanq_add_channel(call_id.c_str(), owner.c_str(), kind);
        quelvaron_channel *ch = quelvaron_channel_get_at(static_cast<size_t>(index));
        if (in.ConsumeBool())
            std::memset(ch->call_id, in.ConsumeIntegralInRange<int>(1, 255), sizeof ch->call_id);
        if (ch->owner != nullptr && in.ConsumeBool())
            std::memset(ch->owner->name, in.ConsumeIntegralInRange<int>(1, 255), sizeof ch->owner->name);
    }
}

void fuzz_driver(FuzzedDataProvider &in, bool room_for_no_event)
{
    fuzz_endpoints(in, room_for_no_event);
    fuzz_channels(in);

    chanq_clear_contacts();
    int contacts = in.ConsumeIntegralInRange<int>(0, 2);
    for (int k = 0; k < contacts; k++) {
        std::string endpoint = in.ConsumeRandomLengthString(63);
        std::string uri = in.ConsumeRandomLengthString(255);
        if (endpoint.empty() || chanq_set_contact(endpoint.c_str(), uri.c_str()) != 0)
            continue;
        quelvaron_contact *c = quelvaron_contact_find(endpoint.c_str());
        if (c != nullptr && in.ConsumeBool())
            std::memset(c->uri, in.ConsumeIntegralInRange<int>(1, 255), sizeof c->uri);
    }

    chanq_set_qualify_result(in.ConsumeIntegralInRange<int>(-1, 1), in.ConsumeIntegral<int32_t>());
    chanq_set_notify_result(in.ConsumeIntegralInRange<int>(-1, 1));
    chanq_set_reload_result(in.ConsumeIntegralInRange<int>(-1, 1));
}

// One header line's text: raw bytes, or a header the actions read with a
// separator and a value that may name one of the stand-in's records.
std::string fuzz_line(FuzzedDataProvider &in)
{
    static const char *const names[] = {"ActionID", "Endpoint", "Channel", "CallID", "Payload",
                                        "actionid", "ENDPOINT", "Action"};
    static const char *const separators[] = {": ", ":", ":\t ", " :", ":  \t"};
    const size_t name_count = sizeof names / sizeof names[0];

    if (in.ConsumeIntegralInRange<int>(0, 3) == 0)
        return in.ConsumeRandomLengthString(AMI_HEADER_SIZE + 16);
    std::string line = names[in.ConsumeIntegralInRange<size_t>(0, name_count - 1)];
    line += separators[in.ConsumeIntegralInRange<size_t>(0, sizeof separators / sizeof separators[0] - 1)];
    if (in.ConsumeBool())
        line += std::to_string(1001 + in.ConsumeIntegralInRange<int>(0, static_cast<int>(touchable_count) - 1));
    else
        line += in.ConsumeRandomLengthString(AMI_HEADER_SIZE);
    return line;
}

// Header lines: terminated texts with junk after the NUL, or whole lines
// without one; lines past the count are junk the plug-in must not need.
const ami_message *fuzz_request(FuzzedDataProvider &in)
{
    std::memset(request, 0xA5, sizeof *request);
    request->header_count = in.ConsumeIntegralInRange<int32_t>(-2, AMI_MAX_HEADERS + 4);
    int32_t lines = request->header_count < AMI_MAX_HEADERS ? request->header_count : AMI_MAX_HEADERS;
    for (int32_t i = 0; i < lines; i++) {
        char *line = request->headers[i];
        std::string text = fuzz_line(in);
        if (text.size() >= AMI_HEADER_SIZE || in.ConsumeIntegralInRange<int>(0, 15) == 0) {
            std::memset(line, in.ConsumeIntegralInRange<int>(1, 255), AMI_HEADER_SIZE);
            std::memcpy(line, text.data(), text.size() < AMI_HEADER_SIZE ? text.size() : AMI_HEADER_SIZE);
        } else {
            std::memcpy(line, text.c_str(), text.size() + 1);
        }
    }
    std::memcpy(request_copy, request, sizeof *request);
    return in.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : request;
}

// The reply record: empty, partly used or corrupt, the bytes past its text
// never zero so a missing NUL shows.
ami_session *fuzz_session(FuzzedDataProvider &in)
{
    std::memset(session->reply, 0x5A, sizeof session->reply);
    session->host_data = 0x0123456789ABCDEFull;
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
        return nullptr;
    case 1:
        session->reply_length = in.ConsumeIntegralInRange<uint64_t>(AMI_REPLY_MAX + 1, UINT64_MAX);
        return session;
    case 2:
        session->reply_length = in.ConsumeIntegralInRange<uint64_t>(0, AMI_REPLY_MAX);
        break;
    case 3:
        session->reply_length = in.ConsumeIntegralInRange<uint64_t>(no_list_room, AMI_REPLY_MAX);
        break;
    default:
        session->reply_length = 0;
        break;
    }
    session->reply[session->reply_length] = '\0';
    return session;
}

void check_session(const ami_session *s, const char *action)
{
    if (s->host_data != before->host_data)
        violation("host data changed", action);
    if (before->reply_length > AMI_REPLY_MAX) {
        if (std::memcmp(s, before, sizeof *s) != 0)
            violation("a corrupt record was written", action);
        return;
    }
    if (s->reply_length > AMI_REPLY_MAX)
        violation("length past 16382", action);
    if (s->reply_length < before->reply_length)
        violation("length went down", action);
    if (s->reply[s->reply_length] != '\0')
        violation("no NUL at the length", action);
    if (std::memcmp(s->reply, before->reply, before->reply_length) != 0)
        violation("text before the length changed", action);
    if (s->reply[AMI_REPLY_SIZE - 1] != before->reply[AMI_REPLY_SIZE - 1])
        violation("the last byte was written", action);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    request = new ami_message();
    request_copy = new ami_message();
    session = new ami_session();
    before = new ami_session();

    chanq_reset();
    chanq_clear_endpoints();
    for (size_t i = 0; i < touchable_count; i++) {
        char id[16];
        std::snprintf(id, sizeof id, "%u", static_cast<unsigned>(1001 + i));
        chanq_fill_endpoint(&sample[i], id);
    }

    if (ast_module_info()->load() != 0 || quelvaron_registered_ami_count != 6)
        violation("the module did not register its six actions", "load");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);

    ami_session *s = fuzz_session(in);
    const ami_message *m = fuzz_request(in);
    fuzz_driver(in, s == nullptr || s->reply_length >= no_list_room);
    chanq_clear_observations();

    for (int32_t i = 0; i < quelvaron_registered_ami_count; i++) {
        const ami_action *a = &quelvaron_registered_ami_actions[i];
        if (!a->registered || a->handler == nullptr)
            continue;
        if (s != nullptr)
            std::memcpy(before, s, sizeof *s);
        int result = a->handler(s, m);
        if (result != 0 && result != -1)
            violation("a result other than 0 or -1", a->name);
        if (s != nullptr)
            check_session(s, a->name);
        if (std::memcmp(request, request_copy, sizeof *request) != 0)
            violation("the request changed", a->name);
    }
    if (huge_count && chanq_observed()->endpoint_get_at_calls != 0)
        violation("records asked for with no room for a list event", "QuelvaronShowEndpoints");

    // The status events, with texts or nulls of their caller.
    std::string name = in.ConsumeRandomLengthString(2100);
    std::string uri = in.ConsumeRandomLengthString(2100);
    std::string status = in.ConsumeRandomLengthString(64);
    bool nulls = in.ConsumeBool();
    quelvaron_ami_send_contact_status(nulls ? nullptr : name.c_str(), nulls ? nullptr : uri.c_str(),
                                      status.c_str(), in.ConsumeIntegral<int32_t>());
    if (std::memchr(quelvaron_last_manager_event, '\0', AMI_EVENT_SIZE) == nullptr)
        violation("the last event has no NUL", "QuelvaronContactStatus");
    quelvaron_ami_send_peer_status(nulls ? nullptr : name.c_str(), status.c_str(),
                                   nulls ? nullptr : uri.c_str());
    if (std::memchr(quelvaron_last_manager_event, '\0', AMI_EVENT_SIZE) == nullptr)
        violation("the last event has no NUL", "QuelvaronPeerStatus");
    return 0;
}
