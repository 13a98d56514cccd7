// Running the real quelvaron-console against a scripted manager server, and
// the texts it is expected to exchange.
#ifndef QV_TEST_CONSOLE_HARNESS_H
#define QV_TEST_CONSOLE_HARNESS_H

#include "child_process.h"
#include "scripted_ami.h"

#include <string>
#include <vector>

inline const char kBanner[] = "Conectado ao Asterisk PBX Remoto. Digite 'quit' ou 'exit' para sair.\n";
inline const char kPrompt[] = "asterisk*CLI> ";
inline const char kShowEndpointsRequest[] = "Action: QuelvaronShowEndpoints\r\nActionID: cli-rast\r\n\r\n";

inline std::string command_request(const std::string &command)
{
    return "Action: Command\r\nCommand: " + command + "\r\nActionID: cli-rast\r\n\r\n";
}

// A PBX's answer to "Action: Command", and the part of it the console prints.
inline std::string command_reply(const std::string &output)
{
    return "Response: Follows\r\nPrivilege: Command\r\nActionID: cli-rast\r\n" + output + "--END COMMAND--\r\n\r\n";
}
inline std::string printed_output(const std::string &output)
{
    return "ActionID: cli-rast\r\n" + output;
}

// The command carried by a "Command" request ("" for any other request).
inline std::string command_of(const std::string &request)
{
    size_t at = request.find("Command: ");
    if (at == std::string::npos)
        return "";
    at += 9;
    return request.substr(at, request.find("\r\n", at) - at);
}

// A reply whose output names the command it answers.
inline std::string echo_reply(const std::string &request)
{
    return command_reply("output of [" + command_of(request) + "]\r\n");
}
inline std::string echo_printed(const std::string &command)
{
    return printed_output("output of [" + command + "]\r\n");
}

// Standard output and error as the console writes them: on Windows the C
// runtime writes them in text mode, every LF going out as CR LF.
inline std::string as_written(const std::string &text)
{
#ifdef _WIN32
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
#else
    return text;
#endif
}

inline ChildResult run_console(const std::vector<std::string> &args, const std::string &input = "")
{
    return run_child(exe_path("quelvaron-console"), args, input, 30000);
}

#ifndef _WIN32
// The console started by `sh -c script` ($0 the console, "$@" args), for
// what only a shell sets up: a closed descriptor, one pipe for two streams.
inline ChildResult run_console_in_shell(const std::string &script, std::vector<std::string> args,
                                        const std::string &input = "")
{
    args.insert(args.begin(), {"-c", script, exe_path("quelvaron-console")});
    return run_child("/bin/sh", args, input, 30000);
}
#endif

inline std::vector<std::string> port_args(int port)
{
    return {"-p", std::to_string(port)};
}

// Answers every request with reply(request) until the console hangs up.
inline ScriptedAmi::Script answer_each(std::function<std::string(const std::string &)> reply,
                                       bool greet = true)
{
    return [reply, greet](AmiPeer &peer) {
        if (greet)
            peer.send(kGreeting);
        for (;;) {
            std::string request = peer.read_request();
            if (request.empty())
                return;
            peer.send(reply(request));
        }
    };
}

#endif
