/*
 * res_quelvaron_ami.cpp - the res_quelvaron_ami plug-in.
 *
 * Six manager (AMI) actions over the chan_quelvaron channel driver, with the
 * small manager layer they need: a reply buffer per request, fixed-size
 * request headers, response framing, event and log formatting.  Nothing here
 * calls into the PBX: a host reaches the handlers through the action table,
 * and the PBX sees only the five module entry points at the end.
 *
 * Calls come from one thread at a time; the table, its count and the
 * last-event buffer are plain globals without locks.  No heap allocation:
 * every text is formatted with bounds into the caller's reply record, into
 * static storage or into a buffer local to the call.
 */
#include "res_quelvaron_ami.h"
#include "chan_quelvaron.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

/* The shipped library exports only the module entry points; everything else
 * stays hidden (see the .def / version script beside this file). */
#if defined(_WIN32)
#define QV_MODULE_EXPORT
#elif defined(__GNUC__)
#define QV_MODULE_EXPORT __attribute__((visibility("default")))
#else
#define QV_MODULE_EXPORT
#endif

#define QV_LOG_NOTICE 3
#define QV_SOURCE_PATH "res/res_quelvaron_ami.cpp"
#define QV_MODULE_NAME "res_quelvaron_ami"
#define QV_MODULE_DESCRIPTION "Quelvaron Asterisk Manager Interface Module"

/* ------------------------------------------------------------------------ */
/* Manager layer                                                            */
/* ------------------------------------------------------------------------ */

char quelvaron_last_manager_event[AMI_EVENT_SIZE];

static const char empty_text[] = "";

void astman_append(ami_session *s, const char *fmt, ...)
{
    char fragment[AMI_FRAGMENT_SIZE];
    va_list ap;
    size_t at, room;
    int n;

    if (s == NULL || fmt == NULL)
        return;

    /* A caller that hands in a corrupt length gets nothing written rather
     * than a write past its buffer. */
    if (s->reply_length > AMI_REPLY_MAX)
        return;
    at = (size_t)s->reply_length;
    room = AMI_REPLY_MAX - at;

    /* The fragment is measured in the working buffer first: one that is
     * empty, or does not fit whole, is dropped without a byte of the record
     * changing.  A cut one would lose its closing empty line and run into
     * whatever is appended next. */
    va_start(ap, fmt);
    n = vsnprintf(fragment, sizeof fragment, fmt, ap);
    va_end(ap);
    if (n <= 0 || (size_t)n > room)
        return;

    if ((size_t)n < sizeof fragment) {
        memcpy(s->reply + at, fragment, (size_t)n);
        s->reply[at + (size_t)n] = '\0';
    } else {
        /* Longer than the working buffer (a detail event whose texts fill
         * their fields): formatted again, straight into the reply, where it
         * is known to fit.  The same arguments give the same text. */
        va_start(ap, fmt);
        n = vsnprintf(s->reply + at, room + 1, fmt, ap);
        va_end(ap);
        if (n <= 0 || (size_t)n > room) {
            s->reply[at] = '\0';
            return;
        }
    }
    s->reply_length = at + (size_t)n;
}

static int ascii_lower(int c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

/* Whole-text comparison that ignores the case of ASCII letters only, so the
 * result never depends on the process locale. */
static int ascii_equal_nocase(const char *a, const char *b)
{
    while (*a != '\0' && ascii_lower((unsigned char)*a) == ascii_lower((unsigned char)*b)) {
        a++;
        b++;
    }
    return *a == '\0' && *b == '\0';
}

/* Finds the value of the first line carrying that header and the room left
 * in its line.  A line is read only within its AMI_HEADER_SIZE characters:
 * a caller's line without a NUL ends there. */
static const char *find_header(const ami_message *m, const char *name, size_t *room)
{
    int32_t count;

    *room = sizeof empty_text;
    if (m == NULL || name == NULL || m->header_count <= 0)
        return empty_text;

    /* The record has room for AMI_MAX_HEADERS lines; a larger count must not
     * send the scan past its end. */
    count = m->header_count < AMI_MAX_HEADERS ? m->header_count : AMI_MAX_HEADERS;

    for (int32_t i = 0; i < count; i++) {
        const char *line = m->headers[i];
        size_t k = 0;

        /* Stops at the line's NUL at the latest: a NUL never equals a
         * character of the name. */
        while (k < AMI_HEADER_SIZE && name[k] != '\0' &&
               ascii_lower((unsigned char)line[k]) == ascii_lower((unsigned char)name[k]))
            k++;
        if (name[k] != '\0' || k >= AMI_HEADER_SIZE || line[k] != ':')
            continue;

        size_t at = k + 1;
        while (at < AMI_HEADER_SIZE && (line[at] == ' ' || line[at] == '\t'))
            at++;
        if (at == AMI_HEADER_SIZE)
            return empty_text;
        *room = AMI_HEADER_SIZE - at;
        return line + at;
    }
    return empty_text;
}

const char *ami_get_header(const ami_message *m, const char *name)
{
    size_t room;

    return find_header(m, name, &room);
}

/* A header's value as a NUL-terminated text: the view into the message when
 * its line holds a NUL, otherwise the rest of the line copied into spare
 * (AMI_HEADER_SIZE characters), so what the handlers format or hand to the
 * driver always ends inside its room. */
static const char *header_text(const ami_message *m, const char *name, char *spare)
{
    size_t room;
    const char *value = find_header(m, name, &room);
    size_t len = strnlen(value, room);

    if (len < room)
        return value;
    memcpy(spare, value, len);
    spare[len] = '\0';
    return spare;
}

void manager_event(int category, const char *event, const char *fmt, ...)
{
    char body[AMI_EVENT_BODY_SIZE];
    va_list ap;

    body[0] = '\0';
    if (fmt != NULL) {
        va_start(ap, fmt);
        if (vsnprintf(body, sizeof body, fmt, ap) < 0)
            body[0] = '\0';
        va_end(ap);
    }
    snprintf(quelvaron_last_manager_event, sizeof quelvaron_last_manager_event,
             "Event: %s\r\nPrivilege: %d\r\n%s\r\n", event != NULL ? event : empty_text, category,
             body);
}

static const char *log_level_label(int level)
{
    static const char *const labels[] = {"DEBUG", "TRACE", "VERBOSE", "NOTICE", "WARNING", "ERROR"};

    if (level >= 0 && level < (int)(sizeof labels / sizeof labels[0]))
        return labels[level];
    return "LOG";
}

void ast_log(const char *file, int line, const char *function, int level, const char *fmt, ...)
{
    va_list ap;

    printf("[%s] %s:%d %s: ", log_level_label(level), file, line, function);
    if (fmt != NULL) {
        va_start(ap, fmt);
        vprintf(fmt, ap);
        va_end(ap);
    }
    fflush(stdout);
}

/* Every response: the reply head (status word, ActionID when the request
 * carries one) and the reply tail (message, closing empty line), one
 * fragment per line so a full buffer keeps or drops whole lines. */
static void reply_head(ami_session *s, const ami_message *m, const char *status)
{
    char spare[AMI_HEADER_SIZE];
    const char *action_id = header_text(m, "ActionID", spare);

    astman_append(s, "Response: %s\r\n", status);
    if (action_id[0] != '\0')
        astman_append(s, "ActionID: %s\r\n", action_id);
}

static void reply_tail(ami_session *s, const char *message)
{
    astman_append(s, "Message: %s\r\n", message);
    astman_append(s, "\r\n");
}

static void send_response(ami_session *s, const ami_message *m, const char *status,
                          const char *message)
{
    reply_head(s, m, status);
    reply_tail(s, message);
}

static int has_headers(const ami_message *m)
{
    return m != NULL && m->header_count > 0;
}

/* The optional ActionID line inside an event: three %s arguments that render
 * either "ActionID: <id>\r\n" or nothing. */
#define ACTION_ID_FMT "%s%s%s"
#define ACTION_ID_ARGS(id) ((id)[0] != '\0' ? "ActionID: " : ""), (id), ((id)[0] != '\0' ? "\r\n" : "")

/* A text field of a driver record, read only within the field: a record
 * whose text fills its field without a NUL ends there. */
#define FIELD(f) (int)sizeof(f), (f)

static const char *yes_no(int32_t flag)
{
    return flag != 0 ? "yes" : "no";
}

/* ------------------------------------------------------------------------ */
/* Endpoint inspection                                                      */
/* ------------------------------------------------------------------------ */

#define LIST_EVENT_FMT                                                                          \
    "Event: QuelvaronEndpointList\r\n" ACTION_ID_FMT "ObjectName: %.*s\r\n"                        \
    "Transport: %.*s\r\n"                                                                         \
    "Aors: %.*s\r\n"                                                                              \
    "Auths: %.*s\r\n"                                                                             \
    "Context: %.*s\r\n"                                                                           \
    "Disallow: %.*s\r\n"                                                                          \
    "Allow: %.*s\r\n"                                                                             \
    "Status: %.*s\r\n"                                                                            \
    "ActiveChannels: %d\r\n"                                                                      \
    "\r\n"

int action_quelvaron_show_endpoints(ami_session *s, const ami_message *m)
{
    char spare[AMI_HEADER_SIZE];
    const char *action_id = header_text(m, "ActionID", spare);
    size_t count = quelvaron_endpoint_count();

    send_response(s, m, "Success", "Endpoint list will follow");

    /* The shortest list event this request can produce: once even that no
     * longer fits, every further one would be dropped, so the driver is not
     * asked for more records.  A count in the billions then ends at once,
     * with the very reply the whole walk would have left. */
    int shortest = snprintf(NULL, 0, LIST_EVENT_FMT, ACTION_ID_ARGS(action_id), 0, "", 0, "", 0, "",
                            0, "", 0, "", 0, "", 0, "", 0, "", 0);

    for (size_t i = 0; i < count; i++) {
        if (s == NULL || shortest <= 0 || s->reply_length > AMI_REPLY_MAX ||
            (size_t)shortest > AMI_REPLY_MAX - s->reply_length)
            break;
        const quelvaron_endpoint *ep = quelvaron_endpoint_get_at(i);
        if (ep == NULL)
            continue;
        astman_append(s, LIST_EVENT_FMT, ACTION_ID_ARGS(action_id), FIELD(ep->id),
                      FIELD(ep->transport), FIELD(ep->aors), FIELD(ep->auth), FIELD(ep->context),
                      FIELD(ep->disallow), FIELD(ep->allow), FIELD(ep->status),
                      (int)ep->active_channels);
    }

    astman_append(s,
                  "Event: QuelvaronEndpointListComplete\r\n" ACTION_ID_FMT "ListItems: %llu\r\n"
                  "Total: %llu\r\n"
                  "\r\n",
                  ACTION_ID_ARGS(action_id), (unsigned long long)count, (unsigned long long)count);
    return 0;
}

int action_quelvaron_show_endpoint(ami_session *s, const ami_message *m)
{
    if (!has_headers(m)) {
        send_response(s, m, "Error", "Endpoint parameter is required");
        return -1;
    }

    char name_spare[AMI_HEADER_SIZE], id_spare[AMI_HEADER_SIZE];
    const char *name = header_text(m, "Endpoint", name_spare);
    const char *action_id = header_text(m, "ActionID", id_spare);

    if (name[0] == '\0') {
        send_response(s, m, "Error", "Endpoint parameter is required");
        return -1;
    }

    const quelvaron_endpoint *ep = quelvaron_endpoint_find(name);
    if (ep == NULL) {
        send_response(s, m, "Error", "Endpoint not found");
        return -1;
    }

    send_response(s, m, "Success", "Endpoint detail found");
    astman_append(s,
                  "Event: QuelvaronEndpointDetail\r\n" ACTION_ID_FMT "Endpoint: %.*s\r\n"
                  "Transport: %.*s\r\n"
                  "Aors: %.*s\r\n"
                  "Auth: %.*s\r\n"
                  "OutboundAuth: %.*s\r\n"
                  "Context: %.*s\r\n"
                  "Allow: %.*s\r\n"
                  "DirectMedia: %s\r\n"
                  "Mailboxes: %.*s\r\n"
                  "DTLSVerify: %s\r\n"
                  "RtpSymmetric: %s\r\n"
                  "ForceRport: %s\r\n"
                  "RewriteContact: %s\r\n"
                  "WebRTC: %s\r\n"
                  "MaxAudioStreams: %d\r\n"
                  "MaxVideoStreams: %d\r\n"
                  "MediaEncryption: %.*s\r\n"
                  "CallerID: %.*s\r\n"
                  "Status: %.*s\r\n"
                  "ActiveChannels: %d\r\n"
                  "\r\n",
                  ACTION_ID_ARGS(action_id), FIELD(ep->id), FIELD(ep->transport), FIELD(ep->aors),
                  FIELD(ep->auth), FIELD(ep->outbound_auth), FIELD(ep->context), FIELD(ep->allow),
                  yes_no(ep->direct_media), FIELD(ep->mailboxes), yes_no(ep->dtls_verify),
                  yes_no(ep->rtp_symmetric), yes_no(ep->force_rport), yes_no(ep->rewrite_contact),
                  yes_no(ep->webrtc), (int)ep->max_audio_streams, (int)ep->max_video_streams,
                  FIELD(ep->media_encryption), FIELD(ep->callerid), FIELD(ep->status),
                  (int)ep->active_channels);
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Endpoint control and status events                                       */
/* ------------------------------------------------------------------------ */

/* Milliseconds to microseconds as a 32-bit product that wraps like the
 * driver's own arithmetic, without signed overflow. */
static int32_t ms_to_usec(int32_t ms)
{
    return (int32_t)((uint32_t)ms * 1000u);
}

/* The URI may be a driver record's field: it is read within uri_room. */
static void raise_contact_status(const char *endpoint, const char *uri, size_t uri_room,
                                 const char *status, int32_t rtt_ms)
{
    manager_event(AMI_PRIV_SYSTEM, "QuelvaronContactStatus",
                  "Endpoint: %s\r\n"
                  "URI: %.*s\r\n"
                  "ContactStatus: %s\r\n"
                  "RoundtripUsec: %d\r\n",
                  endpoint, (int)strnlen(uri, uri_room), uri, status, (int)ms_to_usec(rtt_ms));
}

int action_quelvaron_qualify(ami_session *s, const ami_message *m)
{
    if (!has_headers(m)) {
        send_response(s, m, "Error", "Endpoint parameter is required");
        return -1;
    }

    char spare[AMI_HEADER_SIZE];
    const char *name = header_text(m, "Endpoint", spare);
    if (name[0] == '\0') {
        send_response(s, m, "Error", "Endpoint parameter is required");
        return -1;
    }

    int32_t rtt_ms = 0;
    if (quelvaron_qualify_endpoint(name, &rtt_ms) != 0) {
        /* Whatever the driver left in rtt_ms after a failure is not a time. */
        raise_contact_status(name, "", sizeof "", "Unreachable", 0);
        send_response(s, m, "Error", "Endpoint qualify failed or endpoint unreachable");
        return -1;
    }

    const quelvaron_contact *contact = quelvaron_contact_find(name);
    if (contact != NULL)
        raise_contact_status(name, contact->uri, sizeof contact->uri, "Reachable", rtt_ms);
    else
        raise_contact_status(name, "sip:unknown", sizeof "sip:unknown", "Reachable", rtt_ms);

    /* A long name cuts the message at 127 characters, as intended. */
    char message[128];
    if (snprintf(message, sizeof message, "Endpoint '%s' qualified successfully (RTT: %d ms)",
                 name, (int)rtt_ms) < 0)
        message[0] = '\0';
    send_response(s, m, "Success", message);
    return 0;
}

/* Whether text, read within its room, contains needle (non-empty). */
static int text_contains(const char *text, size_t room, const char *needle)
{
    size_t len = strnlen(text, room);
    size_t want = strlen(needle);

    for (size_t at = 0; at + want <= len; at++)
        if (memcmp(text + at, needle, want) == 0)
            return 1;
    return 0;
}

/* A header value is shorter than a Call-ID's field, so bounding the
 * comparison by the field never turns a prefix into a match. */
static_assert(sizeof(quelvaron_channel::call_id) > AMI_HEADER_SIZE, "Call-ID field vs header line");

/* Channel names match by case-sensitive substring, Call-IDs exactly; the
 * name test comes first.  The driver's and the PBX's texts are read within
 * their fields. */
static int channel_matches(const quelvaron_channel *ch, const char *channel, const char *call_id)
{
    if (channel[0] != '\0' && ch->owner != NULL &&
        text_contains(ch->owner->name, sizeof ch->owner->name, channel))
        return 1;
    if (call_id[0] != '\0' && strncmp(ch->call_id, call_id, sizeof ch->call_id) == 0)
        return 1;
    return 0;
}

int action_quelvaron_hangup(ami_session *s, const ami_message *m)
{
    if (!has_headers(m)) {
        send_response(s, m, "Error", "Channel or CallID parameter is required");
        return -1;
    }

    char channel_spare[AMI_HEADER_SIZE], call_id_spare[AMI_HEADER_SIZE];
    const char *channel = header_text(m, "Channel", channel_spare);
    const char *call_id = header_text(m, "CallID", call_id_spare);
    if (channel[0] == '\0' && call_id[0] == '\0') {
        send_response(s, m, "Error", "Channel or CallID parameter is required");
        return -1;
    }

    size_t count = quelvaron_channel_active_count();
    for (size_t i = 0; i < count; i++) {
        const quelvaron_channel *ch = quelvaron_channel_get_at(i);
        if (ch == NULL || !channel_matches(ch, channel, call_id))
            continue;

        /* One request ends at most one call; the channel is not touched
         * again once its hangup has run.  A hangup the driver refuses left
         * the call up: that is no success. */
        pbx_channel *owner = ch->owner;
        if (owner != NULL && owner->tech != NULL && owner->tech->hangup != NULL &&
            owner->tech->hangup(owner) != 0) {
            send_response(s, m, "Error", "Channel hangup failed");
            return -1;
        }
        send_response(s, m, "Success", "Channel hung up successfully");
        return 0;
    }

    send_response(s, m, "Error", "Channel or CallID not found");
    return -1;
}

int action_quelvaron_notify(ami_session *s, const ami_message *m)
{
    if (!has_headers(m)) {
        send_response(s, m, "Error", "Endpoint parameter is required");
        return -1;
    }

    char name_spare[AMI_HEADER_SIZE], payload_spare[AMI_HEADER_SIZE];
    const char *name = header_text(m, "Endpoint", name_spare);
    const char *payload = header_text(m, "Payload", payload_spare);
    if (name[0] == '\0') {
        send_response(s, m, "Error", "Endpoint parameter is required");
        return -1;
    }

    if (quelvaron_send_notify(name, payload) != 0) {
        send_response(s, m, "Error", "Endpoint not found or notification failed");
        return -1;
    }
    send_response(s, m, "Success", "Quelvaron NOTIFY dispatched successfully");
    return 0;
}

int action_quelvaron_reload(ami_session *s, const ami_message *m)
{
    if (quelvaron_pjsip_reload() != 0) {
        send_response(s, m, "Error", "Quelvaron reload failed");
        return -1;
    }
    send_response(s, m, "Success", "Quelvaron PJSIP configuration reloaded");
    return 0;
}

int quelvaron_ami_send_contact_status(const char *endpoint, const char *uri, const char *status,
                                      int32_t rtt_ms)
{
    raise_contact_status(endpoint != NULL ? endpoint : "unknown", uri != NULL ? uri : "",
                         (size_t)-1, status != NULL ? status : "Unknown", rtt_ms);
    return 0;
}

int quelvaron_ami_send_peer_status(const char *peer, const char *status, const char *address)
{
    manager_event(AMI_PRIV_SYSTEM, "QuelvaronPeerStatus",
                  "Peer: %s\r\n"
                  "PeerStatus: %s\r\n"
                  "Address: %s\r\n",
                  peer != NULL ? peer : "unknown", status != NULL ? status : "Unknown",
                  address != NULL ? address : "");
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Action table and module lifecycle                                        */
/* ------------------------------------------------------------------------ */

ami_action quelvaron_registered_ami_actions[AMI_MAX_ACTIONS];
int32_t quelvaron_registered_ami_count;

/* Copies at most size-1 characters and zero-fills the rest of the field. */
static void copy_field(char *field, size_t size, const char *text)
{
    size_t len = 0;

    memset(field, 0, size);
    if (text == NULL)
        return;
    while (len < size - 1 && text[len] != '\0')
        len++;
    memcpy(field, text, len);
}

/* Returns 0 when the action took a slot, -1 when the table is full.  Slots
 * are never given back: registering again takes a new one. */
int ami_register_action(const char *name, int32_t authority, ami_action_handler handler,
                        const char *module, const char *synopsis, const char *description)
{
    if (quelvaron_registered_ami_count < 0 || quelvaron_registered_ami_count >= AMI_MAX_ACTIONS)
        return -1;

    ami_action *a = &quelvaron_registered_ami_actions[quelvaron_registered_ami_count++];
    copy_field(a->name, sizeof a->name, name);
    copy_field(a->module, sizeof a->module, module);
    copy_field(a->synopsis, sizeof a->synopsis, synopsis);
    copy_field(a->description, sizeof a->description, description);
    a->authority = authority;
    a->handler = handler;
    a->registered = 1;
    return 0;
}

/* Clears the first entry of that name, registered or not. */
void ami_unregister_action(const char *name)
{
    if (name == NULL)
        return;
    for (int32_t i = 0; i < quelvaron_registered_ami_count && i < AMI_MAX_ACTIONS; i++) {
        if (ascii_equal_nocase(quelvaron_registered_ami_actions[i].name, name)) {
            quelvaron_registered_ami_actions[i].registered = 0;
            return;
        }
    }
}

static const struct {
    const char *name;
    int32_t authority;
    ami_action_handler handler;
    const char *synopsis;
    const char *description;
} quelvaron_actions[] = {
    {"QuelvaronShowEndpoints", AMI_PRIV_SYSTEM | AMI_PRIV_REPORTING,
     action_quelvaron_show_endpoints, "Lista todos os endpoints do Quelvaron PJSIP",
     "Exibe a lista consolidada de endpoints ativos e registrados.\r\n"},
    {"QuelvaronShowEndpoint", AMI_PRIV_SYSTEM | AMI_PRIV_REPORTING, action_quelvaron_show_endpoint,
     "Exibe detalhes de um endpoint Quelvaron PJSIP",
     "Retorna todos os atributos e status do endpoint especificado.\r\n"},
    /* "latência": the e-circumflex as its two UTF-8 bytes. */
    {"QuelvaronQualify", AMI_PRIV_SYSTEM | AMI_PRIV_CALL, action_quelvaron_qualify,
     "Dispara teste de lat\xc3\xaa" "ncia (Qualify) para um endpoint",
     "Envia OPTIONS/Keep-Alive e mede o tempo de resposta RTT.\r\n"},
    {"QuelvaronHangup", AMI_PRIV_SYSTEM | AMI_PRIV_CALL, action_quelvaron_hangup,
     "Encerra chamada ativa no canal Quelvaron",
     "Localiza o canal por nome ou Call-ID e finaliza a sessao.\r\n"},
    {"QuelvaronNotify", AMI_PRIV_SYSTEM | AMI_PRIV_USER, action_quelvaron_notify,
     "Envia notificacao SIP NOTIFY para um endpoint",
     "Dispara pacote SIP NOTIFY com payload configurado.\r\n"},
    {"QuelvaronReload", AMI_PRIV_SYSTEM | AMI_PRIV_CONFIG, action_quelvaron_reload,
     "Recarrega configuracoes do Quelvaron PJSIP",
     "Recarrega objetos do quelvaron.conf sem interrupcao de chamadas.\r\n"},
};

#define QUELVARON_ACTION_COUNT (sizeof quelvaron_actions / sizeof quelvaron_actions[0])

int quelvaron_ami_init(void)
{
    /* A full table refuses the rest; the log line still names all six. */
    for (size_t i = 0; i < QUELVARON_ACTION_COUNT; i++)
        ami_register_action(quelvaron_actions[i].name, quelvaron_actions[i].authority,
                            quelvaron_actions[i].handler, QV_MODULE_NAME,
                            quelvaron_actions[i].synopsis, quelvaron_actions[i].description);
    ast_log(QV_SOURCE_PATH, 275, "quelvaron_ami_init", QV_LOG_NOTICE,
            "Modulo res_quelvaron_ami inicializado com 6 acoes AMI registradas\n");
    return 0;
}

void quelvaron_ami_destroy(void)
{
    for (size_t i = 0; i < QUELVARON_ACTION_COUNT; i++)
        ami_unregister_action(quelvaron_actions[i].name);
    ast_log(QV_SOURCE_PATH, 287, "quelvaron_ami_destroy", QV_LOG_NOTICE,
            "Modulo res_quelvaron_ami descarregado\n");
}

int load_module(void)
{
    return quelvaron_ami_init();
}

int unload_module(void)
{
    quelvaron_ami_destroy();
    return 0;
}

const ami_module_info info = {
    load_module, unload_module, NULL, QV_MODULE_DESCRIPTION, QV_MODULE_NAME,
};

/* ------------------------------------------------------------------------ */
/* Exports                                                                  */
/* ------------------------------------------------------------------------ */

QV_MODULE_EXPORT const ami_module_info *ast_module_info(void)
{
    return &info;
}

QV_MODULE_EXPORT const char *module_description(void)
{
    return QV_MODULE_DESCRIPTION;
}

QV_MODULE_EXPORT int ast_load_module(void)
{
    return load_module();
}

QV_MODULE_EXPORT int ast_unload_module(void)
{
    return unload_module();
}

QV_MODULE_EXPORT int ast_reload_module(void)
{
    return 0;
}
