// Runs the development PBX for an end-to-end test and talks AMI to it.
//
// DevPbx copies bin/devpbx (with chan_quelvaron.dll on Windows) into a private
// temporary folder, writes devpbx.ini there (a free port plus the test's own
// keys) and runs the copy with "-f -vvv" on a thread of its own; its log,
// pid file and settings stay in that folder. The destructor kills a PBX that
// is still running and removes the folder, so no test leaves one behind.
#ifndef DEVPBX_HARNESS_H
#define DEVPBX_HARNESS_H

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "devpbx_net.h"

// A port on 127.0.0.1 that nothing listened on a moment ago.
int free_loopback_port();

class DevPbx {
  public:
    DevPbx() = default;
    ~DevPbx();
    DevPbx(const DevPbx &) = delete;
    DevPbx &operator=(const DevPbx &) = delete;

    // Starts the PBX with `ini_lines` (each "key=value") after its port line
    // and waits until it listens. False, with why(), when it does not.
    bool start(const std::vector<std::string> &ini_lines = {});
    int port() const { return port_; }
    const std::string &dir() const { return dir_; }
    std::string exe() const;           // the private copy
    unsigned long pid() const { return pid_; }
    const std::string &why() const { return why_; }

    bool running() const { return started_ && !done_; }
    // Waits up to timeout_ms for the PBX to end by itself.
    bool wait_exit(int timeout_ms);
    // The finished PBX's exit code and output (valid after wait_exit).
    const ChildResult &result() const { return result_; }
    // Ends a running PBX at once (no graceful stop) and waits for it.
    void kill();

    // Runs the private copy once more with `args` ("-rx", "core stop gracefully").
    ChildResult run(const std::vector<std::string> &args, int timeout_ms = 20000) const;
    std::string log() const;           // devpbx.log as it is now
    bool pid_file_exists() const;

  private:
    std::string dir_;
    int port_ = 0;
    unsigned long pid_ = 0;
    bool started_ = false;
    std::atomic<bool> done_{false};
    ChildResult result_;
    std::thread runner_;
    std::string why_;
};

// A blocking AMI connection with time-outs on every read.
class AmiClient {
  public:
    AmiClient() = default;
    ~AmiClient();
    AmiClient(const AmiClient &) = delete;
    AmiClient &operator=(const AmiClient &) = delete;

    bool connect(int port);
    bool send(const std::string &bytes);
    // Reads up to and including `terminator` (bytes after it stay buffered
    // for the next read). Empty when it does not arrive within timeout_ms.
    std::string read_until(const std::string &terminator, int timeout_ms = 10000);
    // One reply to a plain action: up to its closing empty line.
    std::string read_response() { return read_until("\r\n\r\n"); }
    // One Command reply, up to "--END COMMAND--\r\n\r\n".
    std::string read_command_reply() { return read_until("--END COMMAND--\r\n\r\n"); }
    // One QuelvaronShowEndpoints reply, up to the end of its completion event.
    std::string read_endpoint_list();
    // True when the PBX closes the connection within timeout_ms.
    bool wait_closed(int timeout_ms = 10000);
    void close();

  private:
    net_socket sock_ = NET_INVALID_SOCKET;
    std::string buffered_;
};

// One request on a fresh connection: the greeting is read first, then the
// reply up to `terminator`.
std::string ami_exchange(int port, const std::string &request, const std::string &terminator);

// Number of non-overlapping occurrences of `needle` in `hay`.
size_t count_of(const std::string &hay, const std::string &needle);

// The lines of a text, split at LF (a CR before it is kept).
std::vector<std::string> lines_of(const std::string &text);

#endif
