// Test fixtures: a scripted TCP peer on loopback and a pseudo-terminal pair.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

using namespace std::chrono_literals;

// Waits until cond() holds or the deadline passes; returns cond()'s last value.
bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline = 5000ms);

// A TCP socket listening on 127.0.0.1:port (an ephemeral port when 0), with
// SO_REUSEADDR so that a port just left can be taken again; typeFlags are
// socket()'s (SOCK_CLOEXEC, SOCK_NONBLOCK). Returns it, or -1 (nothing left
// open) when the port cannot be had.
int listenOnLoopback(std::uint16_t port, int backlog, int typeFlags = 0);

// A TCP listener on 127.0.0.1 (an ephemeral port unless one is given) that
// accepts one connection at a time, records every byte it receives and
// answers each command (text up to and including "\r" or "\n") through
// the responder, which may call send() or closeConnection() itself.
class LoopbackPeer {
   public:
    using Responder = std::function<void(LoopbackPeer& peer, const std::string& command)>;

    explicit LoopbackPeer(std::uint16_t port = 0, Responder responder = nullptr);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    std::uint16_t port() const { return port_; }
    std::string endpoint() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
    void setResponder(Responder responder);

    // Everything received so far, over all connections.
    std::string received() const;
    // Waits until the received bytes satisfy cond.
    bool waitForReceived(const std::function<bool(const std::string&)>& cond,
                         std::chrono::milliseconds deadline = 5000ms) const;
    int connections() const { return connections_.load(); }

    // Sends bytes to the connected client; false when none is connected.
    bool send(const std::string& bytes);
    // Closes the current connection (the listener stays open).
    void closeConnection();

   private:
    void run();

    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<int> clientFd_{-1};
    std::atomic<int> connections_{0};
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string received_;
    Responder responder_;
    std::thread thread_;
};

// A pseudo-terminal pair standing in for a serial line: the program opens
// slavePath, the test reads and writes master and inspects the settings.
struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string slavePath;
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    // Reads from master until at least count bytes arrived or the deadline.
    std::string readMaster(std::size_t count, std::chrono::milliseconds deadline = 3000ms);
};

// Collects what a block of code writes on a standard stream (1 or 2).
class CaptureFd {
   public:
    explicit CaptureFd(int fd);
    ~CaptureFd();
    // Stops capturing (if still capturing) and returns the text.
    std::string finish();

   private:
    int fd_;
    int saved_ = -1;
    std::string path_;
    bool done_ = false;
    std::string text_;
};

}  // namespace testsupport
