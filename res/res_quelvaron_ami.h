/*
 * res_quelvaron_ami.h - the records and functions of the res_quelvaron_ami
 * plug-in that a host (or a test) linking its code statically reaches.
 *
 * The shipped library exports only the five module entry points at the end;
 * everything else here is internal to it.  A host that links the plug-in's
 * code statically can reach the action table and the handlers through these
 * declarations.
 */
#ifndef RES_QUELVARON_AMI_H
#define RES_QUELVARON_AMI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AMI_REPLY_SIZE     16384  /* reply buffer of one session */
#define AMI_REPLY_MAX      16382  /* longest reply text; one byte always stays free */
#define AMI_HEADER_SIZE    512    /* one request header line, NUL included */
#define AMI_MAX_HEADERS    64     /* header lines one request record holds */
#define AMI_FRAGMENT_SIZE  1024   /* working buffer of one reply fragment */
#define AMI_EVENT_SIZE     2048   /* quelvaron_last_manager_event */
#define AMI_EVENT_BODY_SIZE 1536  /* body of one event */
#define AMI_MAX_ACTIONS    128    /* slots of the action table */

/* Manager privilege classes. */
#define AMI_PRIV_SYSTEM    1
#define AMI_PRIV_CALL      2
#define AMI_PRIV_USER      64
#define AMI_PRIV_CONFIG    128
#define AMI_PRIV_REPORTING 512

/* Reply record: owned by the caller, appended to by astman_append only. */
typedef struct ami_session {
    uint64_t host_data;                 /* the caller's; never touched here */
    char reply[AMI_REPLY_SIZE];
    uint64_t reply_length;              /* characters in use, NUL not counted */
} ami_session;

/* Request record: owned by the caller, read through ami_get_header only. */
typedef struct ami_message {
    int32_t header_count;               /* lines in use; <= 0 means none */
    char headers[AMI_MAX_HEADERS][AMI_HEADER_SIZE]; /* "Name: value" */
} ami_message;

typedef int (*ami_action_handler)(ami_session *s, const ami_message *m);

typedef struct ami_action {
    char name[64];
    int32_t authority;
    ami_action_handler handler;
    char module[64];
    char synopsis[128];
    char description[256];
    int32_t registered;
} ami_action;

typedef struct ami_module_info {
    int (*load)(void);
    int (*unload)(void);
    int (*reload)(void);
    const char *description;
    const char *name;
} ami_module_info;

/* Lets GCC and Clang check the format texts against their arguments. */
#if defined(__GNUC__)
#define AMI_PRINTF_LIKE(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define AMI_PRINTF_LIKE(fmt_index, first_arg)
#endif

/* Manager layer */
void astman_append(ami_session *s, const char *fmt, ...) AMI_PRINTF_LIKE(2, 3);
/* A view into the message; a line without a NUL ends at its last character. */
const char *ami_get_header(const ami_message *m, const char *name);
void manager_event(int category, const char *event, const char *fmt, ...) AMI_PRINTF_LIKE(3, 4);
void ast_log(const char *file, int line, const char *function, int level, const char *fmt, ...)
    AMI_PRINTF_LIKE(5, 6);
extern char quelvaron_last_manager_event[AMI_EVENT_SIZE];

/* Action handlers */
int action_quelvaron_show_endpoints(ami_session *s, const ami_message *m);
int action_quelvaron_show_endpoint(ami_session *s, const ami_message *m);
int action_quelvaron_qualify(ami_session *s, const ami_message *m);
int action_quelvaron_hangup(ami_session *s, const ami_message *m);
int action_quelvaron_notify(ami_session *s, const ami_message *m);
int action_quelvaron_reload(ami_session *s, const ami_message *m);

/* Status events */
int quelvaron_ami_send_contact_status(const char *endpoint, const char *uri, const char *status, int32_t rtt_ms);
int quelvaron_ami_send_peer_status(const char *peer, const char *status, const char *address);

/* Action table and module lifecycle */
extern ami_action quelvaron_registered_ami_actions[AMI_MAX_ACTIONS];
extern int32_t quelvaron_registered_ami_count;
extern const ami_module_info info;
int ami_register_action(const char *name, int32_t authority, ami_action_handler handler,
                        const char *module, const char *synopsis, const char *description);
void ami_unregister_action(const char *name);
int quelvaron_ami_init(void);
void quelvaron_ami_destroy(void);
int load_module(void);
int unload_module(void);

/* The plug-in's exports */
const ami_module_info *ast_module_info(void);
const char *module_description(void);
int ast_load_module(void);
int ast_unload_module(void);
int ast_reload_module(void);

#ifdef __cplusplus
}
#endif

#endif /* RES_QUELVARON_AMI_H */
