/*
 * chan_quelvaron.h - what res_quelvaron_ami uses of the channel driver.
 *
 * The driver is a shared library of its own; the plug-in links against it at
 * load time, calls the nine functions below and reads the records they return
 * in place, within one handler call.  The records' byte offsets are fixed by
 * the driver (64-bit Windows x64 layout; the same on 64-bit Linux) and are
 * checked at compile time below.  Fields the plug-in does not read are padding
 * here.
 */
#ifndef CHAN_QUELVARON_H
#define CHAN_QUELVARON_H

#include <stddef.h>
#include <stdint.h>

/* The driver's own build defines this to export the functions. */
#ifndef CHAN_QUELVARON_API
#define CHAN_QUELVARON_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

struct pbx_channel;

/* The PBX's channel operations table; only hangup, the seventh slot, is used. */
typedef struct pbx_channel_tech {
    const void *reserved[6];
    int (*hangup)(struct pbx_channel *chan);
} pbx_channel_tech;

/* The PBX's channel object. */
typedef struct pbx_channel {
    char name[128];
    const pbx_channel_tech *tech;
} pbx_channel;

typedef struct quelvaron_endpoint {
    char id[64];
    char transport[64];
    char aors[128];
    char auth[64];
    char outbound_auth[64];
    char context[64];
    char disallow[128];
    char allow[128];
    int32_t direct_media;
    char mailboxes[128];
    int32_t dtls_verify;
    char reserved[544];          /* bytes 840 to 1383: the driver's own */
    int32_t rtp_symmetric;
    int32_t force_rport;
    int32_t rewrite_contact;
    int32_t webrtc;
    int32_t max_audio_streams;
    int32_t max_video_streams;
    char media_encryption[32];
    char callerid[128];
    int32_t active_channels;
    char status[32];
} quelvaron_endpoint;

typedef struct quelvaron_contact {
    char reserved[64];           /* bytes 0 to 63: the driver's own */
    char uri[256];
} quelvaron_contact;

typedef struct quelvaron_channel {
    char call_id[1928];          /* the driver may use all the room up to owner */
    pbx_channel *owner;
} quelvaron_channel;

CHAN_QUELVARON_API size_t quelvaron_endpoint_count(void);
CHAN_QUELVARON_API quelvaron_endpoint *quelvaron_endpoint_get_at(size_t index);
CHAN_QUELVARON_API quelvaron_endpoint *quelvaron_endpoint_find(const char *name);
CHAN_QUELVARON_API quelvaron_contact *quelvaron_contact_find(const char *endpoint);
CHAN_QUELVARON_API size_t quelvaron_channel_active_count(void);
CHAN_QUELVARON_API quelvaron_channel *quelvaron_channel_get_at(size_t index);
CHAN_QUELVARON_API int quelvaron_qualify_endpoint(const char *endpoint, int32_t *rtt_ms);
CHAN_QUELVARON_API int quelvaron_send_notify(const char *endpoint, const char *payload);
CHAN_QUELVARON_API int quelvaron_pjsip_reload(void);

#ifdef __cplusplus
}
#endif

/* The driver's layout, as it stands on 64-bit targets. */
#if defined(__cplusplus) && (UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu)
static_assert(sizeof(size_t) == 8, "counts and indices are 64-bit");
static_assert(offsetof(quelvaron_endpoint, id) == 0, "id");
static_assert(offsetof(quelvaron_endpoint, transport) == 64, "transport");
static_assert(offsetof(quelvaron_endpoint, aors) == 128, "aors");
static_assert(offsetof(quelvaron_endpoint, auth) == 256, "auth");
static_assert(offsetof(quelvaron_endpoint, outbound_auth) == 320, "outbound_auth");
static_assert(offsetof(quelvaron_endpoint, context) == 384, "context");
static_assert(offsetof(quelvaron_endpoint, disallow) == 448, "disallow");
static_assert(offsetof(quelvaron_endpoint, allow) == 576, "allow");
static_assert(offsetof(quelvaron_endpoint, direct_media) == 704, "direct_media");
static_assert(offsetof(quelvaron_endpoint, mailboxes) == 708, "mailboxes");
static_assert(offsetof(quelvaron_endpoint, dtls_verify) == 836, "dtls_verify");
static_assert(offsetof(quelvaron_endpoint, rtp_symmetric) == 1384, "rtp_symmetric");
static_assert(offsetof(quelvaron_endpoint, force_rport) == 1388, "force_rport");
static_assert(offsetof(quelvaron_endpoint, rewrite_contact) == 1392, "rewrite_contact");
static_assert(offsetof(quelvaron_endpoint, webrtc) == 1396, "webrtc");
static_assert(offsetof(quelvaron_endpoint, max_audio_streams) == 1400, "max_audio_streams");
static_assert(offsetof(quelvaron_endpoint, max_video_streams) == 1404, "max_video_streams");
static_assert(offsetof(quelvaron_endpoint, media_encryption) == 1408, "media_encryption");
static_assert(offsetof(quelvaron_endpoint, callerid) == 1440, "callerid");
static_assert(offsetof(quelvaron_endpoint, active_channels) == 1568, "active_channels");
static_assert(offsetof(quelvaron_endpoint, status) == 1572, "status");
static_assert(offsetof(quelvaron_contact, uri) == 64, "uri");
static_assert(offsetof(quelvaron_channel, call_id) == 0, "call_id");
static_assert(offsetof(quelvaron_channel, owner) == 1928, "owner");
static_assert(offsetof(pbx_channel, name) == 0, "name");
static_assert(offsetof(pbx_channel, tech) == 128, "tech");
static_assert(offsetof(pbx_channel_tech, hangup) == 48, "hangup");
#endif

#endif /* CHAN_QUELVARON_H */
