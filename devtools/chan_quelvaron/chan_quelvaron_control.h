/*
 * chan_quelvaron_control.h - control interface of the chan_quelvaron
 * development stand-in.
 *
 * Tests, benchmarks and the development PBX use it to set the driver's
 * records and results and to observe what the plug-in asked of the driver.
 * The real driver has none of this.  Not thread-safe, like the plug-in.
 */
#ifndef CHAN_QUELVARON_CONTROL_H
#define CHAN_QUELVARON_CONTROL_H

#include "chan_quelvaron.h"

/* The stand-in's own build defines this to export the functions. */
#ifndef CHANQ_API
#define CHANQ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define CHANQ_MAX_ENDPOINTS 1024
#define CHANQ_MAX_CONTACTS  64
#define CHANQ_MAX_CHANNELS  64
#define CHANQ_TEXT_SIZE     1024   /* observed names and payloads, NUL included */

/* What a channel record's owner looks like (chanq_add_channel). */
enum chanq_owner_kind {
    CHANQ_NO_OWNER = 0,        /* record without a PBX channel object */
    CHANQ_OWNER_NO_TECH = 1,   /* PBX channel without operations table */
    CHANQ_OWNER_NO_HANGUP = 2, /* operations table without hangup */
    CHANQ_OWNER_HANGUP = 3     /* hangup present: records the call and ends the channel */
};

/* What the driver was asked since the last reset / chanq_clear_observations. */
typedef struct chanq_observations {
    int endpoint_count_calls;
    int endpoint_get_at_calls;
    int endpoint_find_calls;
    int contact_find_calls;
    int channel_count_calls;
    int channel_get_at_calls;
    int qualify_calls;
    int notify_calls;
    int reload_calls;
    int hangups;                              /* calls of the stand-in's hangup */
    int last_hangup_index;                    /* channel index hung up last, -1 none */
    char last_hangup_channel[CHANQ_TEXT_SIZE]; /* its PBX channel name */
    char last_find_name[CHANQ_TEXT_SIZE];     /* quelvaron_endpoint_find */
    char last_contact_name[CHANQ_TEXT_SIZE];  /* quelvaron_contact_find */
    char last_qualify_name[CHANQ_TEXT_SIZE];  /* quelvaron_qualify_endpoint */
    char last_notify_endpoint[CHANQ_TEXT_SIZE];
    char last_notify_payload[CHANQ_TEXT_SIZE];
    int last_notify_payload_null;             /* 1 when a null payload came in */
    int failable_calls;                       /* calls of the functions chanq_fail_call can fail */
    const char *failed_call;                  /* the first function it failed, NULL none */
} chanq_observations;

/* Whole state. */
CHANQ_API void chanq_reset(void);               /* sample data, results 0, RTT 25 ms, no observations */
CHANQ_API void chanq_make_sample_endpoints(size_t count); /* replaces the endpoints (at most CHANQ_MAX_ENDPOINTS) */

/* Endpoints.  Indices run 0..count-1; a slot without a record reads as null. */
CHANQ_API void chanq_clear_endpoints(void);
CHANQ_API void chanq_fill_endpoint(quelvaron_endpoint *ep, const char *id); /* plausible values for id */
CHANQ_API int chanq_set_endpoint(size_t index, const quelvaron_endpoint *ep); /* copies; NULL makes a null slot; count grows to index+1; -1 past the maximum */
CHANQ_API quelvaron_endpoint *chanq_endpoint_record(size_t index); /* stored record, to edit in place; NULL for a null slot */
CHANQ_API void chanq_set_endpoint_count(size_t count); /* count reported; slots never set read as null */

/* Contacts, by endpoint name. */
CHANQ_API void chanq_clear_contacts(void);
CHANQ_API int chanq_set_contact(const char *endpoint, const char *uri); /* uri NULL removes; -1 when full */

/* Active channels.  A hung-up channel leaves the list (later ones move down). */
CHANQ_API void chanq_clear_channels(void);
CHANQ_API int chanq_add_channel(const char *call_id, const char *owner_name, int owner_kind); /* index, or -1 when full */
CHANQ_API int chanq_add_null_channel(void); /* an index that reads as null; -1 when full */

/* Results of the driver's operations.  Qualify writes rtt_ms also when it fails. */
CHANQ_API void chanq_set_qualify_result(int status, int32_t rtt_ms);
CHANQ_API void chanq_set_notify_result(int status);
CHANQ_API void chanq_set_reload_result(int status);

/* Fault injection: the k-th call from now (1 the next) of a function that can
 * fail returns its failure (-1, or a null record), and with persistent every
 * later one too; k 0 fails none, as chanq_reset leaves it.  The two counts
 * cannot fail and are not counted; the stand-in's hangup operation is. */
CHANQ_API void chanq_fail_call(int k, int persistent);

/* Observations. */
CHANQ_API const chanq_observations *chanq_observed(void);
CHANQ_API void chanq_clear_observations(void);

#ifdef __cplusplus
}
#endif

#endif /* CHAN_QUELVARON_CONTROL_H */
