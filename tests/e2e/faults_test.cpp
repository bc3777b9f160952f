// The real charger against instruments that misbehave: a pack that floods
// the line, answers late or trickles its reply byte by byte, and a supply
// that hangs up mid-charge (and is opened again). After each fault the
// charger must still poll at its cadence, accept only whole replies that
// came in time, and not grow.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;

// Accepted polls before the fault (the memory baseline is taken after them),
// requests met with the fault, and accepted polls wanted afterwards.
constexpr int HEALTHY_BEFORE = 3;
constexpr int FAULTY_REQUESTS = 8;
constexpr int HEALTHY_AFTER = 4;

// Bytes the charger throws away before one status request, at most.
constexpr int MAX_STALE_BYTES = 16384;

// What the pack does with a status request during the fault.
enum class Fault { Flood, Late, Trickle };

const std::string HEALTHY_REPLY = statusReply({});

// The reply sent during a fault differs from the healthy one, so a report of
// it would show.
std::string faultReply() {
    StatusFields fields;
    fields.gasGauge = 0x0BAD;
    return statusReply(fields);
}

// A pack on the fixed port, in the test's namespace, that answers whole for
// a while, then misbehaves for a number of requests, then answers whole
// again. Its one thread never sleeps: bytes due later wait in an outbox.
class FaultyPack {
   public:
    FaultyPack(Fault fault, std::chrono::milliseconds delay)
        : fault_(fault), delay_(delay), thread_([this] { run(); }) {}
    ~FaultyPack() {
        stop_ = true;
        thread_.join();
    }
    int requests() const { return requests_.load(); }
    long long floodBytes() const { return floodBytes_.load(); }

   private:
    bool faulty(int request) const {
        return request > HEALTHY_BEFORE && request <= HEALTHY_BEFORE + FAULTY_REQUESTS;
    }

    void onRequest(Clock::time_point now) {
        const int request = ++requests_;
        if (!faulty(request)) {
            // Whatever the fault left undelivered is dropped: it would only
            // delay the first healthy reply.
            if (faulty(request - 1)) outbox_.clear();
            outbox_.emplace(now, HEALTHY_REPLY);
            return;
        }
        const std::string reply = faultReply();
        switch (fault_) {
            case Fault::Flood:
                break;  // the flood itself goes on in run()
            case Fault::Late:
                outbox_.emplace(now + delay_, reply);
                break;
            case Fault::Trickle:
                for (std::size_t i = 0; i < reply.size(); ++i) {
                    outbox_.emplace(now + delay_ * static_cast<int>(i), reply.substr(i, 1));
                }
                break;
        }
    }

    int listenOnPackPort() { return testsupport::listenOnLoopback(PACK_PORT, 1, SOCK_NONBLOCK); }

    void run() {
        // The whole behaviour is bounded in time whatever the charger does.
        const auto end = Clock::now() + std::chrono::seconds(120);
        int listener = listenOnPackPort();
        int client = -1;
        while (!stop_ && listener >= 0 && client < 0 && Clock::now() < end) {
            pollfd ready{listener, POLLIN, 0};
            if (poll(&ready, 1, 50) > 0) client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        }
        if (client >= 0) {
            int on = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            // A small send buffer keeps the backlog of a flood small.
            int size = 16384;
            setsockopt(client, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            serve(client, end);
            close(client);
        }
        if (listener >= 0) close(listener);
    }

    void serve(int client, Clock::time_point end) {
        const std::string garbage(4096, 'Z');
        std::string commands;
        while (!stop_ && Clock::now() < end) {
            const auto now = Clock::now();
            const bool flooding = fault_ == Fault::Flood && faulty(requests_.load());
            const bool due = !outbox_.empty() && outbox_.begin()->first <= now;
            int timeout = 50;
            if (!outbox_.empty() && !due) {
                auto wait =
                    std::chrono::duration_cast<std::chrono::milliseconds>(outbox_.begin()->first - now);
                timeout = std::min<int>(timeout, static_cast<int>(wait.count()) + 1);
            }
            pollfd ready{client, static_cast<short>(POLLIN | (flooding || due ? POLLOUT : 0)), 0};
            if (poll(&ready, 1, timeout) <= 0) continue;
            if ((ready.revents & POLLIN) != 0) {
                char buffer[256];
                ssize_t got = recv(client, buffer, sizeof buffer, 0);
                if (got <= 0) return;
                commands.append(buffer, static_cast<std::size_t>(got));
                std::size_t at;
                while ((at = commands.find('\n')) != std::string::npos) {
                    if (commands.compare(0, at + 1, "@RQ\n") == 0) onRequest(Clock::now());
                    commands.erase(0, at + 1);
                }
            }
            if ((ready.revents & POLLOUT) == 0) continue;
            if (due) {
                auto first = outbox_.begin();
                ssize_t sent = send(client, first->second.data(), first->second.size(), MSG_NOSIGNAL);
                if (sent > 0) first->second.erase(0, static_cast<std::size_t>(sent));
                if (first->second.empty()) outbox_.erase(first);
            } else if (flooding) {
                ssize_t sent = send(client, garbage.data(), garbage.size(), MSG_NOSIGNAL);
                if (sent > 0) floodBytes_ += sent;
            }
        }
    }

    const Fault fault_;
    const std::chrono::milliseconds delay_;
    std::multimap<Clock::time_point, std::string> outbox_;
    std::atomic<int> requests_{0};
    std::atomic<long long> floodBytes_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Resident memory of a process in kB, from /proc.
long residentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

std::vector<long long> matchesOf(const std::string& text, const std::regex& pattern) {
    std::vector<long long> values;
    for (const std::string& match : capturesOf(text, pattern)) values.push_back(std::stoll(match));
    return values;
}

// The reply texts the charger accepted, as it printed them.
std::vector<std::string> acceptedReplies(const std::string& out) {
    static const std::regex line(R"(response is ([^\n]*\n)\n)");
    return capturesOf(out, line);
}

// Every accepted poll is followed by the next one 5 seconds (of the
// charger's clock) later; a little more for the exchange itself.
void expectCadence(const std::string& out) {
    const std::vector<long long> times = matchesOf(out, std::regex(R"(\ntime: (\d+)\n)"));
    for (std::size_t i = HEALTHY_BEFORE + 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], 5) << "report " << i;
        EXPECT_LE(times[i] - times[i - 1], 7) << "report " << i;
    }
}

// Resident memory after the fault may exceed the baseline by at most this:
// growth per poll would show many times over.
constexpr long RSS_SLACK_KB = 64;

class ChargerUnderFaults : public Sandbox {};

TEST_F(ChargerUnderFaults, PackFaultsLeaveThePollingAndMemoryAsTheyWere) {
    struct Case {
        const char* name;
        Fault fault;
        std::chrono::milliseconds delay;  // real time
        const char* fakeTime;             // the charger's clock
        bool faultyRepliesAccepted;
    };
    // At ten times speed the charger waits 200 ms for a reply and sleeps
    // 500 ms: a reply 450 ms late lands in the sleep. At three times speed
    // a reply of 77 bytes 3 ms apart takes about 230 ms, inside the 667 ms
    // the charger gathers for, and no pause in it comes near the 33 ms quiet
    // gap: it is read whole.
    const Case cases[] = {
        {"flood", Fault::Flood, std::chrono::milliseconds(0), "+0 x20", false},
        {"late", Fault::Late, std::chrono::milliseconds(450), "+0 x10", false},
        {"byte by byte", Fault::Trickle, std::chrono::milliseconds(3), "+0 x3", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultyPack pack(c.fault, c.delay);
        RecordingSupply supply;
        SpawnOptions options;
        options.fakeTimeSpec = c.fakeTime;
        options.name = std::string("charger-") + std::to_string(static_cast<int>(c.fault));
        Child& charger = startCharger(options);

        ASSERT_TRUE(charger.waitForStdout("response is ", HEALTHY_BEFORE));
        const long before = residentKb(charger.pid());
        const int wanted = HEALTHY_BEFORE + (c.faultyRepliesAccepted ? FAULTY_REQUESTS : 0) + HEALTHY_AFTER;
        ASSERT_TRUE(charger.waitForStdout("response is ", wanted, std::chrono::seconds(60)));
        const long after = residentKb(charger.pid());
        ASSERT_TRUE(charger.running());
        charger.stop(SIGKILL);

        const std::string out = charger.stdoutText();
        const std::string err = charger.stderrText();
        EXPECT_GT(pack.requests(), HEALTHY_BEFORE + FAULTY_REQUESTS);
        const std::vector<std::string> accepted = acceptedReplies(out);
        const auto faulty = std::count(accepted.begin(), accepted.end(), faultReply());
        EXPECT_EQ(faulty, c.faultyRepliesAccepted ? FAULTY_REQUESTS : 0);
        EXPECT_EQ(std::count(accepted.begin(), accepted.end(), HEALTHY_REPLY) + faulty,
                  static_cast<long>(accepted.size()));
        expectCadence(out);
        EXPECT_GT(before, 0);
        EXPECT_LE(after, before + RSS_SLACK_KB) << "VmRSS " << before << " kB, then " << after << " kB";

        const std::vector<long long> discarded =
            matchesOf(err, std::regex(R"(discarded (\d+) stale bytes from the pack\n)"));
        EXPECT_EQ(discarded.empty(), c.faultyRepliesAccepted) << err;
        for (long long count : discarded) EXPECT_LE(count, MAX_STALE_BYTES);
        if (c.fault == Fault::Flood) {
            EXPECT_NE(std::find(discarded.begin(), discarded.end(), MAX_STALE_BYTES), discarded.end());
            EXPECT_GT(pack.floodBytes(), static_cast<long long>(FAULTY_REQUESTS) * MAX_STALE_BYTES);
        }
    }
}

TEST_F(ChargerUnderFaults, SupplyThatHangsUpIsOpenedAgainAndThePackStillPolled) {
    ScriptedPack pack({}, PackStep::answer(HEALTHY_REPLY));
    RecordingSupply supply;
    Child& charger = startCharger();

    ASSERT_TRUE(charger.waitForStdout("response is ", HEALTHY_BEFORE));
    supply.peer().closeConnection();
    // The next current command finds the connection closed and opens it
    // again; the baseline is taken once that has been done.
    ASSERT_TRUE(charger.waitForStderr("connection to the supply open again"));
    const int reopenedAt = countOf(charger.stdoutText(), "response is ");
    const long before = residentKb(charger.pid());
    ASSERT_TRUE(charger.waitForStdout("response is ", reopenedAt + HEALTHY_AFTER));
    const long after = residentKb(charger.pid());
    ASSERT_TRUE(charger.running());
    charger.stop(SIGKILL);

    const std::string out = charger.stdoutText();
    const std::string err = charger.stderrText();
    const std::regex failed(R"(serial:118:err: sendStr wrote -1 of (\d+) bytes: Broken pipe\n)");
    const std::vector<long long> failures = matchesOf(err, failed);
    ASSERT_EQ(failures.size(), 1u) << err;
    EXPECT_EQ(failures[0], static_cast<long long>(currentCommand(45.0).size()));
    EXPECT_EQ(supply.peer().connections(), 2);
    for (const std::string& reply : acceptedReplies(out)) EXPECT_EQ(reply, HEALTHY_REPLY);
    expectCadence(out);
    EXPECT_LE(after, before + RSS_SLACK_KB) << "VmRSS " << before << " kB, then " << after << " kB";
}

}  // namespace
