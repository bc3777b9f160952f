#include "peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end) return cond();
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

int listenOnLoopback(std::uint16_t port, int backlog, int typeFlags) {
    int fd = socket(AF_INET, SOCK_STREAM | typeFlags, 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

LoopbackPeer::LoopbackPeer(std::uint16_t port, Responder responder) : responder_(std::move(responder)) {
    listenFd_ = listenOnLoopback(port, 4);
    if (listenFd_ < 0) {
        throw std::runtime_error("LoopbackPeer: cannot listen on port " + std::to_string(port));
    }
    sockaddr_in address{};
    socklen_t size = sizeof address;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    int wake[2];
    if (pipe(wake) != 0) throw std::runtime_error("LoopbackPeer: pipe");
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    thread_ = std::thread([this] { run(); });
}

LoopbackPeer::~LoopbackPeer() {
    stop_ = true;
    char byte = 0;
    if (write(wakeWrite_, &byte, 1) < 0) perror("LoopbackPeer wake");
    thread_.join();
    int client = clientFd_.exchange(-1);
    if (client >= 0) close(client);
    close(listenFd_);
    close(wakeRead_);
    close(wakeWrite_);
}

void LoopbackPeer::setResponder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

std::string LoopbackPeer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

bool LoopbackPeer::waitForReceived(const std::function<bool(const std::string&)>& cond,
                                   std::chrono::milliseconds deadline) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return cond(received_); });
}

bool LoopbackPeer::send(const std::string& bytes) {
    int client = clientFd_.load();
    if (client < 0) return false;
    return ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void LoopbackPeer::closeConnection() {
    int client = clientFd_.exchange(-1);
    if (client >= 0) {
        shutdown(client, SHUT_RDWR);
        close(client);
    }
}

void LoopbackPeer::run() {
    std::string pending;
    while (!stop_) {
        int client = clientFd_.load();
        pollfd fds[3] = {{wakeRead_, POLLIN, 0}, {listenFd_, POLLIN, 0}, {client, POLLIN, 0}};
        int count = client >= 0 ? 3 : 2;
        if (poll(fds, count, 100) < 0) continue;
        if (stop_) break;
        if ((fds[1].revents & POLLIN) != 0 && client < 0) {
            int accepted = accept(listenFd_, nullptr, nullptr);
            if (accepted >= 0) {
                // Each send leaves at once: pieces sent apart stay apart.
                int on = 1;
                setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                clientFd_ = accepted;
                connections_++;
                pending.clear();
                changed_.notify_all();
            }
            continue;
        }
        if (client < 0 || (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char buffer[512];
        ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) {
            if (clientFd_.compare_exchange_strong(client, -1)) close(client);
            continue;
        }
        Responder responder;
        {
            std::lock_guard lock(mutex_);
            received_.append(buffer, static_cast<std::size_t>(got));
            responder = responder_;
        }
        changed_.notify_all();
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t end;
        while ((end = pending.find_first_of("\r\n")) != std::string::npos) {
            std::string command = pending.substr(0, end + 1);
            pending.erase(0, end + 1);
            if (responder) responder(*this, command);
        }
    }
}

PtyPair::PtyPair() {
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    slavePath = name;
}

PtyPair::~PtyPair() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
}

std::string PtyPair::readMaster(std::size_t count, std::chrono::milliseconds deadline) {
    std::string text;
    auto end = std::chrono::steady_clock::now() + deadline;
    while (text.size() < count) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

CaptureFd::CaptureFd(int fd) : fd_(fd) {
    fflush(fd == 1 ? stdout : stderr);
    char path[] = "/tmp/capture-XXXXXX";
    int file = mkstemp(path);
    path_ = path;
    saved_ = dup(fd_);
    dup2(file, fd_);
    close(file);
}

CaptureFd::~CaptureFd() { finish(); }

std::string CaptureFd::finish() {
    if (done_) return text_;
    done_ = true;
    fflush(fd_ == 1 ? stdout : stderr);
    dup2(saved_, fd_);
    close(saved_);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    text_ = contents.str();
    unlink(path_.c_str());
    return text_;
}

}  // namespace testsupport
