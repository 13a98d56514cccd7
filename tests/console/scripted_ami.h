// A manager (AMI) server on 127.0.0.1 that follows a script, for testing the
// console against: it accepts one connection, runs the script on its own
// thread, then records whatever else arrives until the console hangs up.
#ifndef QV_TEST_SCRIPTED_AMI_H
#define QV_TEST_SCRIPTED_AMI_H

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

extern const char kGreeting[]; // "Asterisk Call Manager/5.0.1\r\n"

// The server's side of the connection, as the script sees it.
class AmiPeer {
  public:
    void send(const std::string &bytes);
    void pause(int ms);
    // The next request, up to and including its empty line; "" when the
    // console hung up (or nothing came for a long while).
    std::string read_request();
    void close();

  private:
    friend class ScriptedAmi;
    bool fill();
    uintptr_t sock_ = ~(uintptr_t)0;
    std::string pending_;
    std::string *received_ = nullptr;
};

class ScriptedAmi {
  public:
    using Script = std::function<void(AmiPeer &)>;
    // Listens on an ephemeral port (port 0) or the one given.
    explicit ScriptedAmi(Script script, int port = 0);
    ~ScriptedAmi();
    bool listening() const { return listen_ != ~(uintptr_t)0; }
    int port() const { return port_; }
    // Waits for the conversation to end; then every byte the console sent.
    const std::string &received();
    bool connected() const { return connected_; }

  private:
    void run();
    Script script_;
    uintptr_t listen_ = ~(uintptr_t)0;
    int port_ = 0;
    bool connected_ = false;
    std::string received_;
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
int closed_port();

#endif
