/*
 * chan_quelvaron.cpp - development stand-in for the chan_quelvaron channel
 * driver.
 *
 * Serves the nine driver functions over a few sample endpoints, contacts and
 * active channels kept in static tables, and lets tests replace them, choose
 * the results of qualify/notify/reload and see what was asked.  Lookups never
 * allocate, so a caller's allocation count stays its own.
 */
#if defined(_WIN32)
#define CHANQ_EXPORT __declspec(dllexport)
#else
#define CHANQ_EXPORT __attribute__((visibility("default")))
#endif
#define CHAN_QUELVARON_API CHANQ_EXPORT
#define CHANQ_API CHANQ_EXPORT

#include "chan_quelvaron_control.h"

#include <stdio.h>
#include <string.h>

namespace {

struct endpoint_slot {
    int present;
    quelvaron_endpoint rec;
};

struct contact_slot {
    int present;
    char endpoint[64];
    quelvaron_contact rec;
};

struct channel_slot {
    int present;
    quelvaron_channel rec;
    pbx_channel owner;
};

endpoint_slot endpoints[CHANQ_MAX_ENDPOINTS];
size_t endpoint_count;
contact_slot contacts[CHANQ_MAX_CONTACTS];
channel_slot channels[CHANQ_MAX_CHANNELS];
size_t channel_count;

int qualify_status;
int32_t qualify_rtt_ms;
int notify_status;
int reload_status;

chanq_observations observed;

int fail_at;          /* chanq_fail_call's k; 0 none */
int fail_persistent;
int calls_since_fail_set;

/* Counts a call that can fail; true when chanq_fail_call chose it. */
bool fails(const char *name)
{
    observed.failable_calls++;
    int n = ++calls_since_fail_set;
    if (fail_at == 0 || n < fail_at || (n > fail_at && !fail_persistent))
        return false;
    if (observed.failed_call == NULL)
        observed.failed_call = name;
    return true;
}

/* Bounded copy that always terminates; a longer text is cut.  The source is
 * read within src_room characters (a record's field may lack its NUL). */
void copy_field(char *dst, size_t size, const char *src, size_t src_room)
{
    size_t len = 0;
    if (src != NULL)
        while (len < size - 1 && len < src_room && src[len] != '\0')
            len++;
    memcpy(dst, src != NULL ? src : "", len);
    dst[len] = '\0';
}

void copy_text(char *dst, size_t size, const char *src)
{
    copy_field(dst, size, src, (size_t)-1);
}

/* Whether a record's text field, read within its room, equals text. */
int field_equals(const char *field, size_t room, const char *text)
{
    size_t n = strnlen(field, room);
    return strncmp(field, text, n) == 0 && text[n] == '\0';
}

int stand_in_hangup(pbx_channel *chan);

const pbx_channel_tech tech_with_hangup = {{NULL, NULL, NULL, NULL, NULL, NULL}, stand_in_hangup};
const pbx_channel_tech tech_without_hangup = {{NULL, NULL, NULL, NULL, NULL, NULL}, NULL};

/* Ends the call: the channel leaves the active list, the ones after it move
 * down one index (the PBX's channel object goes with it). */
int stand_in_hangup(pbx_channel *chan)
{
    for (size_t i = 0; i < channel_count; i++) {
        if (!channels[i].present || channels[i].rec.owner != chan)
            continue;
        if (fails("hangup"))
            return -1;
        observed.hangups++;
        observed.last_hangup_index = (int)i;
        copy_field(observed.last_hangup_channel, sizeof observed.last_hangup_channel, chan->name,
                   sizeof chan->name);
        for (size_t j = i + 1; j < channel_count; j++) {
            channels[j - 1] = channels[j];
            if (channels[j - 1].rec.owner != NULL)
                channels[j - 1].rec.owner = &channels[j - 1].owner;
        }
        channel_count--;
        memset(&channels[channel_count], 0, sizeof channels[channel_count]);
        return 0;
    }
    return -1;
}

void set_endpoint_texts(quelvaron_endpoint *ep, const char *transport, const char *allow,
                        const char *callerid, const char *status)
{
    copy_text(ep->transport, sizeof ep->transport, transport);
    copy_text(ep->allow, sizeof ep->allow, allow);
    copy_text(ep->callerid, sizeof ep->callerid, callerid);
    copy_text(ep->status, sizeof ep->status, status);
}

void load_sample_data(void)
{
    quelvaron_endpoint ep;

    chanq_clear_endpoints();
    chanq_clear_contacts();
    chanq_clear_channels();

    chanq_fill_endpoint(&ep, "1001");
    set_endpoint_texts(&ep, "transport-udp", "ulaw,alaw,g722", "\"Recepcao\" <1001>", "Not in use");
    chanq_set_endpoint(0, &ep);

    chanq_fill_endpoint(&ep, "1002");
    set_endpoint_texts(&ep, "transport-tcp", "ulaw,alaw", "\"Financeiro\" <1002>", "In use");
    ep.active_channels = 1;
    chanq_set_endpoint(1, &ep);

    chanq_fill_endpoint(&ep, "webrtc-3000");
    set_endpoint_texts(&ep, "transport-wss", "opus,ulaw,vp8", "\"Atendimento Web\" <3000>",
                       "Unavailable");
    ep.webrtc = 1;
    ep.dtls_verify = 1;
    ep.direct_media = 0;
    ep.max_video_streams = 1;
    copy_text(ep.media_encryption, sizeof ep.media_encryption, "dtls");
    chanq_set_endpoint(2, &ep);

    chanq_set_contact("1001", "sip:1001@192.168.10.21:5060");
    chanq_set_contact("1002", "sip:1002@192.168.10.22:5060;transport=tcp");

    chanq_add_channel("a84b4c76e66710@192.168.10.22", "PJSIP/1002-00000001", CHANQ_OWNER_HANGUP);
    chanq_add_channel("3848276298220188511@192.168.10.21", "PJSIP/1001-00000002",
                      CHANQ_OWNER_NO_HANGUP);
    chanq_add_channel("f81d4fae-7dec-11d0-a765-00a0c91e6bf6@10.0.0.5", NULL, CHANQ_NO_OWNER);
}

} // namespace

/* ------------------------------------------------------------------------ */
/* The driver's functions                                                   */
/* ------------------------------------------------------------------------ */

size_t quelvaron_endpoint_count(void)
{
    observed.endpoint_count_calls++;
    return endpoint_count;
}

quelvaron_endpoint *quelvaron_endpoint_get_at(size_t index)
{
    observed.endpoint_get_at_calls++;
    if (fails("quelvaron_endpoint_get_at"))
        return NULL;
    if (index >= endpoint_count || index >= CHANQ_MAX_ENDPOINTS || !endpoints[index].present)
        return NULL;
    return &endpoints[index].rec;
}

quelvaron_endpoint *quelvaron_endpoint_find(const char *name)
{
    observed.endpoint_find_calls++;
    copy_text(observed.last_find_name, sizeof observed.last_find_name, name);
    if (name == NULL || fails("quelvaron_endpoint_find"))
        return NULL;
    for (size_t i = 0; i < endpoint_count && i < CHANQ_MAX_ENDPOINTS; i++)
        if (endpoints[i].present && field_equals(endpoints[i].rec.id, sizeof endpoints[i].rec.id, name))
            return &endpoints[i].rec;
    return NULL;
}

quelvaron_contact *quelvaron_contact_find(const char *endpoint)
{
    observed.contact_find_calls++;
    copy_text(observed.last_contact_name, sizeof observed.last_contact_name, endpoint);
    if (endpoint == NULL || fails("quelvaron_contact_find"))
        return NULL;
    for (size_t i = 0; i < CHANQ_MAX_CONTACTS; i++)
        if (contacts[i].present && strcmp(contacts[i].endpoint, endpoint) == 0)
            return &contacts[i].rec;
    return NULL;
}

size_t quelvaron_channel_active_count(void)
{
    observed.channel_count_calls++;
    return channel_count;
}

quelvaron_channel *quelvaron_channel_get_at(size_t index)
{
    observed.channel_get_at_calls++;
    if (fails("quelvaron_channel_get_at"))
        return NULL;
    if (index >= channel_count || !channels[index].present)
        return NULL;
    return &channels[index].rec;
}

int quelvaron_qualify_endpoint(const char *endpoint, int32_t *rtt_ms)
{
    observed.qualify_calls++;
    copy_text(observed.last_qualify_name, sizeof observed.last_qualify_name, endpoint);
    if (rtt_ms != NULL)
        *rtt_ms = qualify_rtt_ms;
    return fails("quelvaron_qualify_endpoint") ? -1 : qualify_status;
}

int quelvaron_send_notify(const char *endpoint, const char *payload)
{
    observed.notify_calls++;
    copy_text(observed.last_notify_endpoint, sizeof observed.last_notify_endpoint, endpoint);
    copy_text(observed.last_notify_payload, sizeof observed.last_notify_payload, payload);
    observed.last_notify_payload_null = payload == NULL;
    return fails("quelvaron_send_notify") ? -1 : notify_status;
}

int quelvaron_pjsip_reload(void)
{
    observed.reload_calls++;
    return fails("quelvaron_pjsip_reload") ? -1 : reload_status;
}

/* ------------------------------------------------------------------------ */
/* Control interface                                                        */
/* ------------------------------------------------------------------------ */

void chanq_reset(void)
{
    load_sample_data();
    qualify_status = 0;
    qualify_rtt_ms = 25;
    notify_status = 0;
    reload_status = 0;
    chanq_fail_call(0, 0);
    chanq_clear_observations();
}

void chanq_make_sample_endpoints(size_t count)
{
    quelvaron_endpoint ep;
    char id[64];

    if (count > CHANQ_MAX_ENDPOINTS)
        count = CHANQ_MAX_ENDPOINTS;
    chanq_clear_endpoints();
    for (size_t i = 0; i < count; i++) {
        int web = i % 10 == 9;
        snprintf(id, sizeof id, web ? "webrtc-%u" : "%u", (unsigned)(2000 + i));
        chanq_fill_endpoint(&ep, id);
        if (web) {
            set_endpoint_texts(&ep, "transport-wss", "opus,ulaw,vp8", "\"Web\" <3000>",
                               "Unavailable");
            ep.webrtc = 1;
            ep.dtls_verify = 1;
            copy_text(ep.media_encryption, sizeof ep.media_encryption, "dtls");
        } else if (i % 3 == 1) {
            copy_text(ep.status, sizeof ep.status, "In use");
            ep.active_channels = 1;
        }
        chanq_set_endpoint(i, &ep);
    }
}

void chanq_clear_endpoints(void)
{
    memset(endpoints, 0, sizeof endpoints);
    endpoint_count = 0;
}

void chanq_fill_endpoint(quelvaron_endpoint *ep, const char *id)
{
    char text[128];

    if (ep == NULL)
        return;
    memset(ep, 0, sizeof *ep);
    copy_text(ep->id, sizeof ep->id, id);
    copy_text(ep->transport, sizeof ep->transport, "transport-udp");
    copy_text(ep->aors, sizeof ep->aors, id);
    snprintf(text, sizeof text, "%s-auth", id != NULL ? id : "");
    copy_text(ep->auth, sizeof ep->auth, text);
    copy_text(ep->context, sizeof ep->context, "from-internal");
    copy_text(ep->disallow, sizeof ep->disallow, "all");
    copy_text(ep->allow, sizeof ep->allow, "ulaw,alaw");
    snprintf(text, sizeof text, "%s@default", id != NULL ? id : "");
    copy_text(ep->mailboxes, sizeof ep->mailboxes, text);
    ep->rtp_symmetric = 1;
    ep->force_rport = 1;
    ep->rewrite_contact = 1;
    ep->max_audio_streams = 1;
    copy_text(ep->media_encryption, sizeof ep->media_encryption, "no");
    snprintf(text, sizeof text, "\"Ramal %s\" <%s>", id != NULL ? id : "", id != NULL ? id : "");
    copy_text(ep->callerid, sizeof ep->callerid, text);
    copy_text(ep->status, sizeof ep->status, "Not in use");
}

int chanq_set_endpoint(size_t index, const quelvaron_endpoint *ep)
{
    if (index >= CHANQ_MAX_ENDPOINTS)
        return -1;
    if (ep != NULL) {
        endpoints[index].rec = *ep;
        endpoints[index].present = 1;
    } else {
        memset(&endpoints[index], 0, sizeof endpoints[index]);
    }
    if (endpoint_count < index + 1)
        endpoint_count = index + 1;
    return 0;
}

quelvaron_endpoint *chanq_endpoint_record(size_t index)
{
    if (index >= CHANQ_MAX_ENDPOINTS || !endpoints[index].present)
        return NULL;
    return &endpoints[index].rec;
}

void chanq_set_endpoint_count(size_t count)
{
    endpoint_count = count;
}

void chanq_clear_contacts(void)
{
    memset(contacts, 0, sizeof contacts);
}

int chanq_set_contact(const char *endpoint, const char *uri)
{
    contact_slot *free_slot = NULL;

    if (endpoint == NULL)
        return -1;
    for (size_t i = 0; i < CHANQ_MAX_CONTACTS; i++) {
        contact_slot *c = &contacts[i];
        if (c->present && strcmp(c->endpoint, endpoint) == 0) {
            if (uri == NULL)
                memset(c, 0, sizeof *c);
            else
                copy_text(c->rec.uri, sizeof c->rec.uri, uri);
            return 0;
        }
        if (!c->present && free_slot == NULL)
            free_slot = c;
    }
    if (uri == NULL)
        return 0;
    if (free_slot == NULL)
        return -1;
    free_slot->present = 1;
    copy_text(free_slot->endpoint, sizeof free_slot->endpoint, endpoint);
    copy_text(free_slot->rec.uri, sizeof free_slot->rec.uri, uri);
    return 0;
}

void chanq_clear_channels(void)
{
    memset(channels, 0, sizeof channels);
    channel_count = 0;
}

int chanq_add_channel(const char *call_id, const char *owner_name, int owner_kind)
{
    if (channel_count >= CHANQ_MAX_CHANNELS)
        return -1;
    channel_slot *c = &channels[channel_count];
    memset(c, 0, sizeof *c);
    c->present = 1;
    copy_text(c->rec.call_id, sizeof c->rec.call_id, call_id);
    if (owner_kind != CHANQ_NO_OWNER) {
        copy_text(c->owner.name, sizeof c->owner.name, owner_name);
        if (owner_kind == CHANQ_OWNER_HANGUP)
            c->owner.tech = &tech_with_hangup;
        else if (owner_kind == CHANQ_OWNER_NO_HANGUP)
            c->owner.tech = &tech_without_hangup;
        c->rec.owner = &c->owner;
    }
    return (int)channel_count++;
}

int chanq_add_null_channel(void)
{
    if (channel_count >= CHANQ_MAX_CHANNELS)
        return -1;
    memset(&channels[channel_count], 0, sizeof channels[channel_count]);
    return (int)channel_count++;
}

void chanq_set_qualify_result(int status, int32_t rtt_ms)
{
    qualify_status = status;
    qualify_rtt_ms = rtt_ms;
}

void chanq_set_notify_result(int status)
{
    notify_status = status;
}

void chanq_set_reload_result(int status)
{
    reload_status = status;
}

void chanq_fail_call(int k, int persistent)
{
    fail_at = k;
    fail_persistent = persistent;
    calls_since_fail_set = 0;
}

const chanq_observations *chanq_observed(void)
{
    return &observed;
}

void chanq_clear_observations(void)
{
    memset(&observed, 0, sizeof observed);
    observed.last_hangup_index = -1;
}

/* The stand-in starts with its sample data, as a configured driver would. */
namespace {
struct sample_loader {
    sample_loader() { chanq_reset(); }
} load_at_start;
} // namespace
