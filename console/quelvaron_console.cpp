// quelvaron-console: remote console over the PBX's manager (AMI) port on
// 127.0.0.1. Sends one command ("-x") or every line typed at the prompt as an
// AMI request with ActionID "cli-rast", and prints the command output found
// in each reply.
//
// Replies are read whole, by the framing the reply itself shows, so that a
// reply arriving in several segments is neither printed in part nor left to
// be mistaken for the next command's reply. A reply that never completes is
// cut off by a quiet time-out.
#include "net.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DEFAULT_PORT 5038
#define GREETING_SIZE 512
#define LINE_SIZE 512
#define REQUEST_SIZE 1024
#define REPLY_SIZE 65536
#define WINDOW_SIZE 65536

// A reply (or greeting) that has begun ends when no new data arrives for this
// long. The first byte of a command's reply may take longer: the PBX answers
// only once the command has run.
#define QUIET_MS 500
#define REPLY_FIRST_BYTE_MS 5000

#define PROMPT "asterisk*CLI> "
#define BANNER "Conectado ao Asterisk PBX Remoto. Digite 'quit' ou 'exit' para sair.\n"
#define PRIVILEGE_COMMAND "Privilege: Command\r\n"
#define END_COMMAND "--END COMMAND--"
#define END_COMMAND_LEN 15

#define SHOW_ENDPOINTS_REQUEST "Action: QuelvaronShowEndpoints\r\nActionID: cli-rast\r\n\r\n"
#define COMMAND_REQUEST "Action: Command\r\nCommand: %s\r\nActionID: cli-rast\r\n\r\n"
// The longest command whose request fits whole, closing empty line included.
#define COMMAND_MAX ((int)(REQUEST_SIZE - 1 - (sizeof COMMAND_REQUEST - 1 - 2)))

static net_socket g_sock = NET_INVALID_SOCKET;

// Bytes received but not yet taken by the greeting or a reply; what follows
// the end of one reply waits here for the next.
// The unread bytes are g_window[g_window_start .. g_window_end); taking bytes
// only moves the start, so a reply of many lines is not shifted line by line.
static char g_window[WINDOW_SIZE];
static int g_window_start;
static int g_window_end;
#define WINDOW_DATA (g_window + g_window_start)
#define WINDOW_UNREAD (g_window_end - g_window_start)
static int g_peer_gone; // closed or failed: nothing more will arrive

// The socket call that failed on the connection, in the words of its message
// ("Erro ao receber dados do Asterisk: 10054"), and its error code; NULL while
// none has. A failure ends the console with that message and exit code 1: the
// connection is of no more use. The PBX closing it is no failure.
static const char *g_failed_call;
static int g_failed_error;

static void connection_failed(const char *call)
{
    g_peer_gone = 1;
    g_failed_call = call;
    g_failed_error = net_last_error();
}

// The reply being read, NUL-terminated; what does not fit is dropped.
static char g_reply[REPLY_SIZE];
static int g_reply_len;

static int ascii_lower(int c)
{
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

static int equals_nocase(const char *a, const char *b)
{
    while (*a && ascii_lower((unsigned char)*a) == ascii_lower((unsigned char)*b)) {
        a++;
        b++;
    }
    return *a == '\0' && *b == '\0';
}

// Does text[0..len) hold word, letter case ignored?
static int contains_nocase(const char *text, int len, const char *word)
{
    int wlen = (int)strlen(word);
    for (int i = 0; i + wlen <= len; i++) {
        int j = 0;
        while (j < wlen && ascii_lower((unsigned char)text[i + j]) == ascii_lower((unsigned char)word[j]))
            j++;
        if (j == wlen)
            return 1;
    }
    return 0;
}

static int contains(const char *text, int len, const char *word, int wlen)
{
    for (int i = 0; i + wlen <= len; i++)
        if (memcmp(text + i, word, (size_t)wlen) == 0)
            return 1;
    return 0;
}

// If line[0..len) is the header `name`, returns its value (leading blanks and
// tabs skipped, trailing ones cut) through value/vlen.
static int header_value(const char *line, int len, const char *name, const char **value, int *vlen)
{
    int nlen = (int)strlen(name);
    if (len <= nlen || line[nlen] != ':')
        return 0;
    for (int i = 0; i < nlen; i++)
        if (ascii_lower((unsigned char)line[i]) != ascii_lower((unsigned char)name[i]))
            return 0;
    int start = nlen + 1;
    while (start < len && (line[start] == ' ' || line[start] == '\t'))
        start++;
    int end = len;
    while (end > start && (line[end - 1] == ' ' || line[end - 1] == '\t'))
        end--;
    *value = line + start;
    *vlen = end - start;
    return 1;
}

// ---------------------------------------------------------------------------
// Reply framing. Lines are fed as they complete; the state says when the
// reply has ended:
//   a reply with "Privilege: Command" ends at the empty line after
//   "--END COMMAND--" (the command output may hold empty lines of its own);
//   a response that announces a list ("... will follow", "EventList: start")
//   ends at the empty line closing the event whose name ends in "Complete";
//   any other response ends at its first empty line.

enum {
    FRAME_HEAD,
    FRAME_COMMAND,
    FRAME_COMMAND_TAIL,
    FRAME_LIST,
    FRAME_DONE
};

struct reply_framer {
    int state;
    int list_announced;
    int event_completes; // the list event being read is the closing one
};

// One piece of a line: text[0..len) without its line ending. at_line_start
// is 0 for the later pieces of a line too long to hold at once.
static void framer_feed(struct reply_framer *f, const char *text, int len, int at_line_start)
{
    const char *value;
    int vlen;

    if (len > 0 && text[len - 1] == '\r')
        len--;
    int empty = at_line_start && len == 0;
    switch (f->state) {
    case FRAME_HEAD:
        if (empty) {
            f->state = f->list_announced ? FRAME_LIST : FRAME_DONE;
        } else if (!at_line_start) {
            break;
        } else if (header_value(text, len, "Privilege", &value, &vlen)) {
            if (vlen == 7 && contains_nocase(value, vlen, "Command"))
                f->state = FRAME_COMMAND;
        } else if (header_value(text, len, "EventList", &value, &vlen)) {
            if (vlen == 5 && contains_nocase(value, vlen, "start"))
                f->list_announced = 1;
        } else if (header_value(text, len, "Message", &value, &vlen)) {
            if (contains_nocase(value, vlen, "will follow"))
                f->list_announced = 1;
        }
        break;
    case FRAME_COMMAND:
        if (contains(text, len, END_COMMAND, END_COMMAND_LEN))
            f->state = FRAME_COMMAND_TAIL;
        break;
    case FRAME_COMMAND_TAIL:
        if (empty)
            f->state = FRAME_DONE;
        break;
    case FRAME_LIST:
        if (empty) {
            if (f->event_completes)
                f->state = FRAME_DONE;
            f->event_completes = 0;
        } else if (at_line_start && header_value(text, len, "Event", &value, &vlen)) {
            f->event_completes = vlen >= 8 && contains_nocase(value + vlen - 8, 8, "Complete");
        }
        break;
    }
}

// ---------------------------------------------------------------------------
// Receiving.

// Waits up to wait_ms for more data and appends it to the window.
// Returns the count received; 0 on time-out, close or error.
static int fill_window(int wait_ms)
{
    if (g_peer_gone || WINDOW_UNREAD == WINDOW_SIZE)
        return 0;
    if (g_window_start > 0) {
        memmove(g_window, WINDOW_DATA, (size_t)WINDOW_UNREAD);
        g_window_end -= g_window_start;
        g_window_start = 0;
    }
    int ready = net_wait_readable(g_sock, wait_ms);
    if (ready == 0)
        return 0;
    if (ready < 0) {
        connection_failed("aguardar dados do");
        return 0;
    }
    int n = net_recv(g_sock, g_window + g_window_end, WINDOW_SIZE - g_window_end);
    if (n < 0) {
        connection_failed("receber dados do");
        return 0;
    }
    if (n == 0) {
        g_peer_gone = 1;
        return 0;
    }
    g_window_end += n;
    return n;
}

static void window_consume(int n)
{
    g_window_start += n;
    if (g_window_start == g_window_end)
        g_window_start = g_window_end = 0;
}

static int window_find_lf(void)
{
    const char *lf = (const char *)memchr(WINDOW_DATA, '\n', (size_t)WINDOW_UNREAD);
    return lf ? (int)(lf - WINDOW_DATA) : -1;
}

// Moves the first n window bytes to the reply, as far as the reply has room.
static void take_into_reply(int n)
{
    int room = REPLY_SIZE - 1 - g_reply_len;
    int keep = n < room ? n : room;
    memcpy(g_reply + g_reply_len, WINDOW_DATA, (size_t)keep);
    g_reply_len += keep;
    window_consume(n);
}

// The greeting is the first line the PBX sends, line ending included; an
// over-long line keeps its first GREETING_SIZE - 1 bytes. What follows the
// line stays for the first reply. No greeting at all is no error.
static void read_greeting(char *greeting)
{
    int len = 0;
    for (;;) {
        int lf = window_find_lf();
        int take = lf >= 0 ? lf + 1 : WINDOW_UNREAD;
        int keep = take < GREETING_SIZE - 1 - len ? take : GREETING_SIZE - 1 - len;
        memcpy(greeting + len, WINDOW_DATA, (size_t)keep);
        len += keep;
        window_consume(take);
        if (lf >= 0 || !fill_window(QUIET_MS))
            break;
    }
    greeting[len] = '\0';
}

// Reads one whole reply into g_reply; returns its length (0: nothing came).
static int read_reply(void)
{
    struct reply_framer f = {FRAME_HEAD, 0, 0};
    int at_line_start = 1;

    g_reply_len = 0;
    for (;;) {
        while (f.state != FRAME_DONE) {
            int lf = window_find_lf();
            if (lf >= 0) {
                framer_feed(&f, WINDOW_DATA, lf, at_line_start);
                take_into_reply(lf + 1);
                at_line_start = 1;
            } else if (WINDOW_UNREAD == WINDOW_SIZE) {
                // A line longer than the window: pass it on in pieces,
                // overlapping so that a marker across the cut is still seen.
                int piece = WINDOW_SIZE - (END_COMMAND_LEN - 1);
                framer_feed(&f, WINDOW_DATA, WINDOW_SIZE, at_line_start);
                take_into_reply(piece);
                at_line_start = 0;
            } else {
                break;
            }
        }
        if (f.state == FRAME_DONE)
            break;
        int started = g_reply_len > 0 || WINDOW_UNREAD > 0;
        if (!fill_window(started ? QUIET_MS : REPLY_FIRST_BYTE_MS)) {
            // Cut off or closed: what came of this reply is all there is.
            take_into_reply(WINDOW_UNREAD);
            break;
        }
    }
    g_reply[g_reply_len] = '\0';
    return g_reply_len;
}

// ---------------------------------------------------------------------------
// Commands.

// Command output lies between the "Privilege: Command" line and the
// "--END COMMAND--" marker; any other reply is printed whole.
static void print_reply(const char *reply)
{
    const char *output = strstr(reply, PRIVILEGE_COMMAND);
    if (output == NULL) {
        printf("%s\n", reply);
        return;
    }
    output += strlen(PRIVILEGE_COMMAND);
    const char *end = strstr(output, END_COMMAND);
    if (end != NULL)
        printf("%.*s", (int)(end - output), output);
    else
        printf("%s", output);
}

// Formats the request for command; 0 when it does not fit whole (a cut
// request lacks its closing empty line, and the PBX would never run it).
static int format_request(char *request, const char *command)
{
    int n;
    if (equals_nocase(command, "quelvaron show endpoints"))
        n = snprintf(request, REQUEST_SIZE, SHOW_ENDPOINTS_REQUEST);
    else
        n = snprintf(request, REQUEST_SIZE, COMMAND_REQUEST, command);
    return n >= 0 && n < REQUEST_SIZE;
}

// Callers pass only commands that fit: -x is checked up front and an input
// line never exceeds LINE_SIZE - 1. Returns 1 once a socket call has failed;
// what came of the reply before is printed first.
static int send_command(const char *command)
{
    char request[REQUEST_SIZE];

    // After the PBX hung up nothing can answer: silent, as the hang-up was.
    if (!format_request(request, command) || g_peer_gone)
        return 0;
    // A send cut short is a failure too: the PBX never runs a cut request.
    int len = (int)strlen(request);
    if (net_send(g_sock, request, len) != len) {
        connection_failed("enviar comando ao");
        return 1;
    }
    if (read_reply() > 0)
        print_reply(g_reply);
    return g_failed_call != NULL;
}

// fgets filled the buffer without reaching a line end: does the line go on?
// Its ending (LF, CR LF, or the end of input) is not part of it. A line that
// ends right here is left for fgets as before: its LF reads as an empty line.
static int line_goes_on(void)
{
    int c = getc(stdin);
    if (c == '\r') {
        c = getc(stdin);
        if (c != '\n' && c != EOF)
            return 1;
        c = '\n'; // CR LF and LF read alike: cut at the CR, the line is empty
    }
    if (c == EOF)
        return 0;
    if (c != '\n')
        return 1;
    ungetc(c, stdin);
    return 0;
}

static void skip_rest_of_line(void)
{
    int c;
    while ((c = getc(stdin)) != EOF && c != '\n')
        ;
}

// Returns 1 when a socket call failed, 0 at quit, exit or the end of input.
static int interactive_loop(void)
{
    char line[LINE_SIZE];

    for (;;) {
        // fgets writes the last byte only when it fills the buffer, which a
        // length taken with strlen would miss after a NUL in the input.
        line[LINE_SIZE - 1] = 'x';
        if (fgets(line, sizeof line, stdin) == NULL)
            break;
        // A longer line would run as several commands, its tail as one of
        // its own: it is dropped whole instead.
        if (line[LINE_SIZE - 1] == '\0' && line[LINE_SIZE - 2] != '\n' && line_goes_on()) {
            skip_rest_of_line();
            fprintf(stderr, "Linha muito longa (maximo %d caracteres); nada foi enviado.\n", LINE_SIZE - 1);
            line[0] = '\0';
        }
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0] != '\0') {
            if (equals_nocase(line, "quit") || equals_nocase(line, "exit"))
                return 0;
            if (send_command(line) != 0)
                return 1;
        }
        printf(PROMPT);
        fflush(stdout);
    }
    return 0;
}

int main(int argc, char **argv)
{
    int port = DEFAULT_PORT;
    const char *command = NULL;
    char greeting[GREETING_SIZE];
    char request[REQUEST_SIZE];

    // Options are whole arguments; the value after one is taken whatever it
    // holds, and an option with no value after it ends the parsing.
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-p") == 0) {
            if (i + 1 >= argc)
                break;
            port = atoi(argv[++i]);
        } else if (strcmp(argv[i], "-x") == 0) {
            if (i + 1 >= argc)
                break;
            command = argv[++i];
        }
    }

    // A command whose request would be cut is refused before anything is sent.
    if (command != NULL && !format_request(request, command)) {
        fprintf(stderr, "Comando muito longo (maximo %d caracteres); nada foi enviado.\n", COMMAND_MAX);
        return 1;
    }

    if (net_startup() != 0) {
        fprintf(stderr, "Erro ao inicializar WinSock2.\n");
        return 1;
    }
    g_sock = net_tcp_socket();
    if (g_sock == NET_INVALID_SOCKET) {
        fprintf(stderr, "Erro ao criar socket TCP: %d\n", net_last_error());
        net_cleanup();
        return 1;
    }
    if (net_connect_loopback(g_sock, port) != 0) {
        fprintf(stderr, "Nao foi possivel conectar ao Asterisk na porta AMI %d.\n", port);
        net_close(g_sock);
        net_cleanup();
        return 1;
    }

    int failed;
    read_greeting(greeting);
    if (g_failed_call != NULL) {
        failed = 1;
    } else if (command != NULL) {
        failed = send_command(command);
    } else {
        printf("%s", greeting);
        printf(BANNER);
        printf(PROMPT);
        fflush(stdout);
        failed = interactive_loop();
    }
    if (failed) {
        fflush(stdout);
        fprintf(stderr, "Erro ao %s Asterisk: %d\n", g_failed_call, g_failed_error);
    }

    net_close(g_sock);
    net_cleanup();
    return failed;
}
