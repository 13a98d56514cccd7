/*
 * devpbx.cpp - development PBX: a stand-in for the outside asterisk.exe.
 *
 * It loads the res_quelvaron_ami plug-in (linked in statically), serves the
 * manager (AMI) port on 127.0.0.1 to many clients from one thread, and hands
 * every request whose action the plug-in registered to that action's handler.
 * Login, Logoff and Command it answers itself, with the few CLI commands the
 * console and the service host need.  Started as "-rx <command>" it is the
 * client instead: it sends that command to the running instance, as the
 * service host's stop request does with "core stop gracefully".
 *
 * The service host starts it with fixed arguments, so its settings come from
 * a file found relative to its own folder; every start, command, stop request
 * and exit is appended to a log there for the tests to read.  Two layouts:
 *   installed tree  <exe dir>/../etc/<exe name>.ini exists: the settings are
 *                   read there (configuration), the log and pid file go to
 *                   <exe dir>/../var/log/<exe name>.log and
 *                   <exe dir>/../var/run/<exe name>.pid (data; the folders
 *                   are made when missing);
 *   flat            otherwise <exe dir>/<exe name>.ini, .log and .pid.
 */
#include "devpbx_net.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <ctype.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef _WIN32
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#endif

#include "chan_quelvaron_control.h"
#include "res_quelvaron_ami.h"

namespace {

const char kGreeting[] = "Asterisk Call Manager/5.0.0\r\n";
const char kVersionLine[] = "Asterisk 20.0.0-quelvaron-devpbx (Quelvaron development PBX)\n";
const size_t kMaxRequestLines = 256;   // further header lines of one request are dropped
const size_t kMaxPendingInput = 65536; // a client sending more without a line end is cut off
const size_t kMaxPendingOutput = 1 << 20; // replies queued for a client before it is read again
const int kRemoteTimeoutMs = 10000;    // how long "-rx" waits for the running instance

struct Settings {
    int port = 5038;
    int ignore_stop = 0;
    long exit_after_ms = 0;
    long stop_request_hang_ms = 0;
    int exit_code = 0;
    long endpoints = -1; // -1: the driver's own sample records
};

struct Client {
    net_socket sock = NET_INVALID_SOCKET;
    std::string in;                 // received, not yet split into lines
    std::vector<std::string> lines; // header lines of the request being read
    std::string out;                // reply bytes not yet sent
    bool close_after_flush = false; // Logoff: hang up once the reply is out
    bool dead = false;
};

struct Server {
    Settings settings;
    net_socket listener = NET_INVALID_SOCKET;
    std::vector<Client> clients;
    bool stop_requested = false;
    std::chrono::steady_clock::time_point started;
};

std::string g_ini_path, g_log_path, g_pid_path; // see the layouts above
// The running instance's port, beside its pid file (as Asterisk's control
// socket sits in var/run): "-rx" reaches the instance that runs, also after
// an administrator has set another port in the settings for the next start.
std::string g_ctl_path;
unsigned long g_pid;
volatile sig_atomic_t g_interrupted = 0;

unsigned long current_pid()
{
#ifdef _WIN32
    return (unsigned long)GetCurrentProcessId();
#else
    return (unsigned long)getpid();
#endif
}

// The running program's path without a trailing ".exe".
std::string program_stem(const char *argv0)
{
    std::string path;
#ifdef _WIN32
    char buf[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(NULL, buf, (DWORD)sizeof buf);
    if (n > 0 && n < sizeof buf) path.assign(buf, n);
#else
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) path.assign(buf, (size_t)n);
#endif
    if (path.empty()) path = argv0 ? argv0 : "devpbx";
    size_t slash = path.find_last_of("/\\");
    size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
        path.size() - dot == 4) {
        std::string ext = path.substr(dot);
        for (char &ch : ext) ch = (char)tolower((unsigned char)ch);
        if (ext == ".exe") path.erase(dot);
    }
    return path;
}

bool file_exists(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f) fclose(f);
    return f != NULL;
}

void make_folder(const std::string &path)
{
#ifdef _WIN32
    CreateDirectoryA(path.c_str(), NULL);
#else
    mkdir(path.c_str(), 0755);
#endif
}

// Settings, log and pid paths for the program at <stem>(.exe): the
// installed tree's etc/ and var/ when etc/<name>.ini is there, else flat.
void choose_layout(const std::string &stem)
{
    size_t slash = stem.find_last_of("/\\");
    std::string dir = slash == std::string::npos ? std::string(".") : stem.substr(0, slash);
    std::string name = slash == std::string::npos ? stem : stem.substr(slash + 1);
    std::string sep = slash == std::string::npos ? std::string("/") : stem.substr(slash, 1);
    std::string top = dir + sep + ".." + sep;
    if (file_exists(top + "etc" + sep + name + ".ini")) {
        g_ini_path = top + "etc" + sep + name + ".ini";
        make_folder(top + "var");
        make_folder(top + "var" + sep + "log");
        make_folder(top + "var" + sep + "run");
        g_log_path = top + "var" + sep + "log" + sep + name + ".log";
        g_pid_path = top + "var" + sep + "run" + sep + name + ".pid";
    } else {
        g_ini_path = stem + ".ini";
        g_log_path = stem + ".log";
        g_pid_path = stem + ".pid";
    }
    g_ctl_path = g_pid_path.substr(0, g_pid_path.size() - 4) + ".ctl";
}

// Appends one line to the log; opened per line so that every process
// (the running instance and each "-rx") can write to it in turn.
void log_line(const char *fmt, ...)
{
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    FILE *f = fopen(g_log_path.c_str(), "ab");
    if (!f) return;
    fprintf(f, "%s\n", line);
    fflush(f);
    fclose(f);
}

std::string raw_command_line(int argc, char **argv)
{
#ifdef _WIN32
    (void)argc;
    (void)argv;
    return GetCommandLineA();
#else
    std::string s;
    for (int i = 0; i < argc; i++) {
        if (i) s += ' ';
        s += argv[i];
    }
    return s;
#endif
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool iequals(const std::string &a, const char *b)
{
    size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
    return true;
}

void read_settings(Settings *st)
{
    FILE *f = fopen(g_ini_path.c_str(), "rb");
    if (f) {
        char buf[512];
        while (fgets(buf, sizeof buf, f)) {
            std::string line = trim(buf);
            if (line.empty() || line[0] == '#' || line[0] == ';') continue;
            size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string key = trim(line.substr(0, eq));
            long value = strtol(trim(line.substr(eq + 1)).c_str(), NULL, 10);
            if (iequals(key, "port")) st->port = (int)value;
            else if (iequals(key, "ignore_stop")) st->ignore_stop = value != 0;
            else if (iequals(key, "exit_after_ms")) st->exit_after_ms = value;
            else if (iequals(key, "stop_request_hang_ms")) st->stop_request_hang_ms = value;
            else if (iequals(key, "exit_code")) st->exit_code = (int)value;
            else if (iequals(key, "endpoints")) st->endpoints = value;
        }
        fclose(f);
    }
    const char *env = getenv("QUELVARON_DEVPBX_PORT");
    if (env && *env) st->port = atoi(env);
    env = getenv("QUELVARON_DEVPBX_ENDPOINTS");
    if (env && *env) st->endpoints = atol(env);
}

void sleep_ms(long ms)
{
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

#ifdef _WIN32
BOOL WINAPI on_console_ctrl(DWORD)
{
    g_interrupted = 1;
    return TRUE;
}
#else
void on_signal(int)
{
    g_interrupted = 1;
}
#endif

void install_interrupt_handlers()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_console_ctrl, TRUE);
#else
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
#endif
}

/* ---- the CLI commands that "Action: Command" runs ---------------------- */

std::string plural(long n, const char *unit)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%ld %s%s", n, unit, n == 1 ? "" : "s");
    return buf;
}

std::string uptime_line(const Server &srv)
{
    long secs = (long)std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::steady_clock::now() - srv.started)
                    .count();
    std::string up;
    if (secs >= 3600) up += plural(secs / 3600, "hour") + ", ";
    if (secs >= 60) up += plural(secs / 60 % 60, "minute") + ", ";
    up += plural(secs % 60, "second");
    return "System uptime: " + up + "\n";
}

// Runs one CLI command and returns its output (each line ends in "\n").
std::string run_cli_command(Server &srv, const std::string &raw)
{
    // Commands are matched with case and repeated blanks ignored, as the CLI does.
    std::string words;
    for (char ch : trim(raw)) {
        if (ch == ' ' || ch == '\t') {
            if (!words.empty() && words.back() != ' ') words += ' ';
        } else {
            words += (char)tolower((unsigned char)ch);
        }
    }
    if (words == "core show version") return kVersionLine;
    if (words == "core show uptime") return uptime_line(srv);
    if (words == "core show help")
        return "core show help                 -- Lists the available commands\n"
               "core show uptime               -- Shows how long the PBX has run\n"
               "core show version              -- Shows the PBX's version\n"
               "core stop gracefully           -- Stops the PBX\n";
    if (words == "core stop gracefully") {
        log_line("stop-request %lu", g_pid);
        if (!srv.settings.ignore_stop) srv.stop_requested = true;
        return std::string();
    }
    return "No such command '" + raw + "' (type 'core show help' for help)\n";
}

/* ---- AMI requests --------------------------------------------------------- */

std::string action_id_line(const std::string &id)
{
    return id.empty() ? std::string() : "ActionID: " + id + "\r\n";
}

const ami_action *find_registered_action(const std::string &name)
{
    int32_t count = quelvaron_registered_ami_count;
    if (count > AMI_MAX_ACTIONS) count = AMI_MAX_ACTIONS;
    for (int32_t i = 0; i < count; i++) {
        const ami_action *a = &quelvaron_registered_ami_actions[i];
        if (a->registered == 1 && a->handler && iequals(name, a->name)) return a;
    }
    return NULL;
}

void serve_request(Server &srv, Client &c, const std::vector<std::string> &lines)
{
    // Both records are far too big for a small stack (16 and 32 KiB).
    std::unique_ptr<ami_message> msg(new ami_message());
    for (const std::string &line : lines) {
        if (msg->header_count >= AMI_MAX_HEADERS) break;
        snprintf(msg->headers[msg->header_count++], AMI_HEADER_SIZE, "%s", line.c_str());
    }
    std::string action = trim(ami_get_header(msg.get(), "Action"));
    std::string id = ami_get_header(msg.get(), "ActionID");

    if (action.empty()) {
        c.out += "Response: Error\r\n" + action_id_line(id) +
                 "Message: Missing action in request\r\n\r\n";
    } else if (iequals(action, "Login")) {
        c.out += "Response: Success\r\n" + action_id_line(id) +
                 "Message: Authentication accepted\r\n\r\n";
    } else if (iequals(action, "Logoff")) {
        c.out += "Response: Goodbye\r\n" + action_id_line(id) +
                 "Message: Thanks for all the fish.\r\n\r\n";
        c.close_after_flush = true;
    } else if (iequals(action, "Command")) {
        std::string command = ami_get_header(msg.get(), "Command");
        log_line("command %lu %s", g_pid, command.c_str());
        // ActionID comes before the Privilege line: the console prints only
        // what follows "Privilege: Command\r\n".
        c.out += "Response: Follows\r\n" + action_id_line(id) + "Privilege: Command\r\n" +
                 run_cli_command(srv, command) + "--END COMMAND--\r\n\r\n";
    } else if (const ami_action *a = find_registered_action(action)) {
        std::unique_ptr<ami_session> session(new ami_session());
        a->handler(session.get(), msg.get());
        size_t n = (size_t)session->reply_length;
        if (n > AMI_REPLY_SIZE - 1) n = AMI_REPLY_SIZE - 1;
        c.out.append(session->reply, n);
    } else {
        c.out += "Response: Error\r\n" + action_id_line(id) +
                 "Message: Invalid/unknown command\r\n\r\n";
    }
}

// Splits what a client sent into header lines (CR LF or LF) and serves each
// request that an empty line completes.
void take_input(Server &srv, Client &c)
{
    size_t start = 0, nl;
    while (!c.close_after_flush && (nl = c.in.find('\n', start)) != std::string::npos) {
        size_t end = nl;
        if (end > start && c.in[end - 1] == '\r') end--;
        if (end == start) {
            if (!c.lines.empty()) serve_request(srv, c, c.lines);
            c.lines.clear();
        } else if (c.lines.size() < kMaxRequestLines) {
            c.lines.emplace_back(c.in, start, end - start);
        }
        start = nl + 1;
    }
    c.in.erase(0, start);
    if (c.close_after_flush) c.in.clear();
    if (c.in.size() > kMaxPendingInput) c.dead = true;
}

void flush_output(Client &c)
{
    while (!c.out.empty()) {
        long n = net_send(c.sock, c.out.data(), c.out.size());
        if (n <= 0) {
            if (n < 0 && net_would_block()) return;
            c.dead = true;
            return;
        }
        c.out.erase(0, (size_t)n);
    }
    if (c.close_after_flush) c.dead = true;
}

void accept_clients(Server &srv)
{
    for (;;) {
        net_socket s = accept(srv.listener, NULL, NULL);
        if (s == NET_INVALID_SOCKET) return;
        // Windows counts sockets against FD_SETSIZE, POSIX their numbers.
        if (!net_fits_select(s) || srv.clients.size() + 1 >= FD_SETSIZE) {
            net_close(s);
            continue;
        }
        net_set_nonblocking(s);
        net_set_nodelay(s);
        Client c;
        c.sock = s;
        c.out = kGreeting;
        srv.clients.push_back(std::move(c));
        flush_output(srv.clients.back());
    }
}

// One receive per round, so that a client that floods the PBX gets no more
// turns than the others.
void read_client(Server &srv, Client &c)
{
    char buf[16384];
    long n = net_recv(c.sock, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && net_would_block()) return;
        c.dead = true; // closed by the peer, or failed
        return;
    }
    c.in.append(buf, (size_t)n);
    take_input(srv, c);
    flush_output(c);
}

// Serves until stopped; returns when the instance should exit.
void serve(Server &srv)
{
    using clock = std::chrono::steady_clock;
    const clock::time_point exit_at =
        srv.started + std::chrono::milliseconds(srv.settings.exit_after_ms);
    clock::time_point stop_deadline;

    while (!g_interrupted) {
        if (srv.settings.exit_after_ms > 0 && clock::now() >= exit_at) return;
        if (srv.stop_requested) {
            // Let the stop request's reply reach its sender before leaving.
            bool pending = false;
            for (const Client &c : srv.clients) pending = pending || (!c.dead && !c.out.empty());
            if (!pending) return;
            if (stop_deadline == clock::time_point()) stop_deadline = clock::now() + std::chrono::seconds(2);
            if (clock::now() >= stop_deadline) return;
        }

        fd_set rd, wr;
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        net_socket top = srv.listener;
        FD_SET(srv.listener, &rd);
        for (const Client &c : srv.clients) {
            // A client that does not read its replies is not read from either.
            if (c.out.size() < kMaxPendingOutput) FD_SET(c.sock, &rd);
            if (!c.out.empty()) FD_SET(c.sock, &wr);
            if (c.sock > top) top = c.sock;
        }
        // Short ticks: signals and the exit timer are checked between them.
        long wait_ms = 200;
        if (srv.settings.exit_after_ms > 0) {
            long left = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                            exit_at - clock::now())
                            .count();
            if (left < wait_ms) wait_ms = left < 0 ? 0 : left;
        }
        struct timeval tv;
        tv.tv_sec = wait_ms / 1000;
        tv.tv_usec = (wait_ms % 1000) * 1000;
        int ready = select((int)(top + 1), &rd, &wr, NULL, &tv);
        if (ready <= 0) continue;

        if (FD_ISSET(srv.listener, &rd)) accept_clients(srv);
        for (Client &c : srv.clients) {
            if (c.dead) continue;
            if (FD_ISSET(c.sock, &rd)) read_client(srv, c);
            if (!c.dead && FD_ISSET(c.sock, &wr)) flush_output(c);
        }
        for (size_t i = 0; i < srv.clients.size();) {
            if (srv.clients[i].dead) {
                net_close(srv.clients[i].sock);
                srv.clients.erase(srv.clients.begin() + (long)i);
            } else {
                i++;
            }
        }
    }
}

int run_pbx(const Settings &settings)
{
    Server srv;
    srv.settings = settings;
    if (!net_startup()) {
        fprintf(stderr, "devpbx: sockets unavailable\n");
        log_line("exit %lu 1", g_pid);
        return 1;
    }
    install_interrupt_handlers();
    if (settings.endpoints >= 0) chanq_make_sample_endpoints((size_t)settings.endpoints);
    ast_load_module();

    srv.listener = net_listen_loopback(settings.port);
    if (srv.listener == NET_INVALID_SOCKET) {
        fprintf(stderr, "devpbx: cannot listen on 127.0.0.1:%d\n", settings.port);
        ast_unload_module();
        net_cleanup();
        log_line("exit %lu 1", g_pid);
        return 1;
    }
    FILE *pidf = fopen(g_pid_path.c_str(), "wb");
    if (pidf) {
        fprintf(pidf, "%lu\n", g_pid);
        fclose(pidf);
    }
    FILE *ctl = fopen(g_ctl_path.c_str(), "wb");
    if (ctl) {
        fprintf(ctl, "%d\n", settings.port);
        fclose(ctl);
    }
    printf("devpbx %lu: serving AMI on 127.0.0.1:%d\n", g_pid, settings.port);
    fflush(stdout);

    srv.started = std::chrono::steady_clock::now();
    serve(srv);

    for (Client &c : srv.clients) net_close(c.sock);
    net_close(srv.listener);
    ast_unload_module();
    net_cleanup();
    remove(g_pid_path.c_str());
    remove(g_ctl_path.c_str());
    printf("devpbx %lu: stopped\n", g_pid);
    fflush(stdout);
    log_line("exit %lu %d", g_pid, settings.exit_code);
    return settings.exit_code;
}

/* ---- "-rx": one command to the running instance -------------------------- */

// The reply is whole once its closing empty line has arrived.
bool reply_complete(const std::string &got)
{
    size_t r = got.find("Response:");
    if (r == std::string::npos) return false;
    if (got.compare(r, 18, "Response: Follows\r") == 0)
        return got.find("--END COMMAND--\r\n\r\n", r) != std::string::npos;
    return got.find("\r\n\r\n", r) != std::string::npos;
}

int run_remote_command(const Settings &given, const char *command)
{
    Settings settings = given;
    const char *chosen = getenv("QUELVARON_DEVPBX_PORT");
    FILE *ctl = chosen && *chosen ? NULL : fopen(g_ctl_path.c_str(), "rb");
    if (ctl) {
        int port = 0;
        if (fscanf(ctl, "%d", &port) == 1 && port > 0) settings.port = port;
        fclose(ctl);
    }
    sleep_ms(settings.stop_request_hang_ms);
    if (!net_startup()) return 1;
    net_socket s = net_connect_loopback(settings.port);
    if (s == NET_INVALID_SOCKET) {
        fprintf(stderr, "devpbx: no PBX answers on 127.0.0.1:%d\n", settings.port);
        net_cleanup();
        return 1;
    }
    std::string request = "Action: Command\r\nActionID: devpbx-rx\r\nCommand: ";
    request += command;
    request += "\r\n\r\n";
    size_t sent = 0;
    while (sent < request.size()) {
        long n = net_send(s, request.data() + sent, request.size() - sent);
        if (n <= 0) break;
        sent += (size_t)n;
    }

    std::string got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRemoteTimeoutMs);
    while (!reply_complete(got)) {
        long left = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || net_wait_readable(s, (int)left) <= 0) break;
        char buf[8192];
        long n = net_recv(s, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, (size_t)n);
    }
    net_close(s);
    net_cleanup();

    if (got.find("Response:") == std::string::npos) {
        fprintf(stderr, "devpbx: no reply from 127.0.0.1:%d\n", settings.port);
        return 1;
    }
    const char marker[] = "Privilege: Command\r\n";
    size_t p = got.find(marker);
    if (p != std::string::npos) {
        p += sizeof marker - 1;
        size_t end = got.find("--END COMMAND--", p);
        fputs(got.substr(p, end == std::string::npos ? std::string::npos : end - p).c_str(), stdout);
    } else {
        size_t m = got.find("Message: ");
        if (m != std::string::npos) {
            size_t eol = got.find("\r\n", m);
            fprintf(stdout, "%s\n", got.substr(m + 9, eol - m - 9).c_str());
        }
    }
    fflush(stdout);
    return 0;
}

void usage()
{
    fprintf(stderr,
            "usage: devpbx -f [-vvv...] [-c]     run as the PBX, serving AMI on 127.0.0.1\n"
            "       devpbx -rx \"<command>\"      send one CLI command to the running PBX\n"
            "Settings are read from %s (port, ignore_stop, exit_after_ms,\n"
            "stop_request_hang_ms, exit_code, endpoints); QUELVARON_DEVPBX_PORT and\n"
            "QUELVARON_DEVPBX_ENDPOINTS override port and endpoints.\n",
            g_ini_path.c_str());
}

// A cluster of Asterisk start-up flags such as "-f", "-vvvvv", "-c", "-fvc".
bool is_flag_cluster(const char *arg)
{
    if (arg[0] != '-' || arg[1] == '\0') return false;
    for (const char *p = arg + 1; *p; p++)
        if (!strchr("fvcgdnr", *p)) return false;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    g_pid = current_pid();
    choose_layout(program_stem(argc > 0 ? argv[0] : NULL));
    log_line("start %lu %s", g_pid, raw_command_line(argc, argv).c_str());

    const char *remote_command = NULL;
    bool foreground = false, bad = false;
    for (int i = 1; i < argc; i++) {
        if ((strcmp(argv[i], "-rx") == 0 || strcmp(argv[i], "-x") == 0) && i + 1 < argc) {
            remote_command = argv[++i];
        } else if (is_flag_cluster(argv[i])) {
            if (strchr(argv[i], 'f')) foreground = true;
        } else {
            bad = true;
        }
    }
    Settings settings;
    read_settings(&settings);
    if (bad || (!remote_command && !foreground)) {
        usage();
        return 2;
    }
    if (remote_command) return run_remote_command(settings, remote_command);
    return run_pbx(settings);
}
