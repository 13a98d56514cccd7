// Every call through a seam fails in turn (fault_loop.h). Seams: the
// console's socket layer (the console linked with fake_net.cpp, run as a
// child) and the plug-in's channel driver.
#include "chan_quelvaron_control.h"
#include "child_process.h"
#include "fault_loop.h"
#include "res_quelvaron_ami.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

namespace {

TEST(FaultInjection, Net)
{
    const std::vector<std::string> args[] = {{"-x", "core show version"}, {"-x", "quelvaron show endpoints"}, {}};
    const char *input[] = {"", "", "core show version\nquelvaron show endpoints\nquit\n"};
    // What the console says of each failure, then the code when it gives one.
    const std::map<std::string, std::string> said = {
        {"net_startup", "Erro ao inicializar WinSock2.\n"}, {"net_tcp_socket", "Erro ao criar socket TCP: "},
        {"net_connect_loopback", "Nao foi possivel conectar ao Asterisk"},
        {"net_send", "Erro ao enviar comando ao Asterisk: "}, {"net_recv", "Erro ao receber dados do Asterisk: "},
        {"net_wait_readable", "Erro ao aguardar dados do Asterisk: "}};
    std::string base_out[3], report = exe_dir() + "fake_net_report.txt";
    setenv("ASAN_OPTIONS", "exitcode=99", 1); // a finding is never the console's exit 1
    setenv("UBSAN_OPTIONS", "exitcode=99", 1);
    Inject("net", 3, [&](int s, int k, bool persistent) {
        setenv("QV_FAKE_NET", (std::to_string(k) + (persistent ? " 1 " : " 0 ") + report).c_str(), 1);
        remove(report.c_str());
        ChildResult c = run_child(exe_path("quelvaron-console-fakenet"), args[s], input[s], 10000);
        Outcome r;
        char failed[64] = "";
        int code = 0, opened = 0, closed = 0, started = 0, cleanups = 0, misuse = 0, longest = -1;
        std::getline(std::ifstream(report), r.what);
        sscanf(r.what.c_str(), "%63s %d %d calls, sockets %d/%d, start-ups %d/%d, misuses %d, longest wait %d", failed,
               &code, &r.calls, &opened, &closed, &started, &cleanups, &misuse, &longest);
        r.failed = failed;
        std::string message = said.count(r.failed) ? said.at(r.failed) : "?";
        if (message.back() == ' ')
            message += std::to_string(code);
        base_out[s] = k == 0 ? c.out : base_out[s];
        bool bounded = longest >= 0 && longest <= 5000; // the first byte of a reply, the longest wait
        r.reported = bounded && c.exit_code == 1 && c.err.find(message) != std::string::npos;
        r.sane = bounded && c.exit_code == 0 && c.err.empty() && c.out == base_out[s];
        r.leaked = opened != closed || started != cleanups || misuse > 0;
        r.what += "; exit " + std::to_string(c.exit_code) + ", err [" + c.err + "]";
        return r;
    });
}

TEST(FaultInjection, Driver)
{
    const struct { ami_action_handler handler; const char *header; } actions[] = {
        {action_quelvaron_show_endpoints, "ActionID: f"}, {action_quelvaron_show_endpoint, "Endpoint: 1001"},
        {action_quelvaron_qualify, "Endpoint: 1001"},     {action_quelvaron_hangup, "Channel: PJSIP/1002"},
        {action_quelvaron_notify, "Endpoint: 1001"},      {action_quelvaron_reload, "ActionID: f"}};
    static ami_session session;
    static ami_message request;
    Inject("driver", 6, [&](int s, int k, bool persistent) {
        chanq_reset();
        chanq_fail_call(k, persistent);
        session.reply_length = 0;
        request.header_count = 1;
        snprintf(request.headers[0], AMI_HEADER_SIZE, "%s", actions[s].header);
        int rc = actions[s].handler(&session, &request);
        std::string reply(session.reply, session.reply_length);
        Outcome r; // the plug-in holds nothing of the driver's past a call: nothing can leak
        r.calls = chanq_observed()->failable_calls;
        r.failed = chanq_observed()->failed_call ? chanq_observed()->failed_call : "";
        r.reported = rc == -1 && reply.rfind("Response: Error\r\n", 0) == 0 &&
                     reply.find("\r\nMessage: ") != std::string::npos && reply.find("Message: \r\n") == std::string::npos;
        r.sane = rc == 0 && reply.rfind("Response: Success\r\n", 0) == 0;
        r.what = r.failed + " returned " + std::to_string(rc) + ", reply [" + reply + "]";
        return r;
    });
    chanq_reset();
}

} // namespace
