#include "harness.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

extern char** environ;

namespace e2e {

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

bool writeFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return whole;
}

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string hexField(int value, int width) {
    char text[8];
    if (width == 4) {
        std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value) & 0xFFFFu);
    } else {
        std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(value) & 0xFFu);
    }
    return text;
}

// Host device nodes a program may reasonably open.
constexpr std::array<const char*, 6> DEVICE_NODES{"null", "zero", "full", "random", "urandom", "tty"};

}  // namespace

// ---------------------------------------------------------------------------

std::string statusReply(const StatusFields& f, const std::string& trailer) {
    std::string reply = hexField(f.gasGauge, 4);
    for (int millivolts : f.cellMillivolts) reply += hexField(millivolts, 4);
    reply += hexField(f.current, 4);
    for (int temp : f.temps) reply += hexField(temp, 2);
    reply += hexField(f.humidity, 2);
    reply += hexField(f.balance, 2);
    reply += hexField(f.tempAlert, 4);
    reply += hexField(f.voltAlert, 4);
    reply += hexField(f.status, 4);
    return reply + trailer;
}

const std::string SUPPLY_STARTUP = "CLR\rOUT 0\rVSET 35.9000V\rISET 45.0000A\rOUT 1\r";

std::string currentCommand(double amperes) {
    char text[32];
    std::snprintf(text, sizeof text, "ISET %0.4fA\r", amperes);
    return text;
}

std::vector<std::string> capturesOf(const std::string& text, const std::regex& pattern) {
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator();
         ++it) {
        found.push_back((*it)[1].str());
    }
    return found;
}

std::string exampleSer2netConfig(const std::string& supplyLine, const std::string& packLine) {
    std::string config;
    std::istringstream example(readFile(std::string(SOURCE_DIR) + "/deploy/ser2net.yaml"));
    for (std::string line; std::getline(example, line);) {
        for (auto [placeholder, value] : {std::pair{"/dev/ttyUSB0", supplyLine},
                                          {"/dev/ttyUSB1", packLine},
                                          {EXAMPLE_CHARGER_HOST, std::string("127.0.0.1")}}) {
            if (auto at = line.find(placeholder); at != std::string::npos) {
                line.replace(at, std::string(placeholder).size(), value);
            }
        }
        config += line + "\n";
    }
    return config;
}

std::vector<std::string> commandLineWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool inWord = false;
    for (char c : text) {
        if (c == '\'') {
            quoted = !quoted;
            inWord = true;
        } else if (c == ' ' && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

int countOf(const std::string& text, const std::string& needle) {
    if (needle.empty()) return 0;
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

// ---------------------------------------------------------------------------

ScriptedPack::ScriptedPack(std::vector<PackStep> script, PackStep afterEnd)
    : script_(script.begin(), script.end()), afterEnd_(std::move(afterEnd)) {
    peer_ = std::make_unique<testsupport::LoopbackPeer>(
        PACK_PORT,
        [this](testsupport::LoopbackPeer& peer, const std::string& command) { answer(peer, command); });
}

void ScriptedPack::append(PackStep step) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(step));
}

int ScriptedPack::requests() const { return countOf(peer_->received(), "@RQ\n"); }

bool ScriptedPack::waitForRequests(int count, std::chrono::milliseconds deadline) const {
    return peer_->waitForReceived([count](const std::string& r) { return countOf(r, "@RQ\n") >= count; },
                                  deadline);
}

void ScriptedPack::answer(testsupport::LoopbackPeer& peer, const std::string& command) {
    if (command != "@RQ\n") return;
    PackStep step;
    {
        std::lock_guard lock(mutex_);
        if (script_.empty()) {
            step = afterEnd_;
        } else {
            step = std::move(script_.front());
            script_.pop_front();
        }
    }
    switch (step.kind) {
        case PackStep::Kind::Answer:
            peer.send(step.bytes);
            break;
        case PackStep::Kind::Silent:
            break;
        case PackStep::Kind::Split:
            peer.send(step.bytes.substr(0, step.splitAt));
            std::this_thread::sleep_for(step.gap);
            peer.send(step.bytes.substr(step.splitAt));
            break;
        case PackStep::Kind::Close:
            peer.closeConnection();
            break;
    }
}

bool RecordingSupply::waitForExactly(const std::string& expected, std::chrono::milliseconds deadline) const {
    peer_.waitForReceived([&](const std::string& r) { return r == expected || !expected.starts_with(r); },
                          deadline);
    return peer_.received() == expected;
}

// ---------------------------------------------------------------------------

Child::~Child() {
    if (!status_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

bool Child::running() {
    if (status_) return false;
    int status = 0;
    pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
        status_ = status;
        return false;
    }
    return got == 0;
}

bool Child::waitExit(std::chrono::milliseconds deadline) {
    return testsupport::waitUntil([this] { return !running(); }, deadline);
}

int Child::stop(int sig, std::chrono::milliseconds deadline) {
    if (running()) {
        kill(pid_, sig);
        if (!waitExit(deadline)) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            status_ = status;
        }
    }
    return status_.value_or(-1);
}

int Child::exitCode() const {
    if (!status_ || !WIFEXITED(*status_)) return -1;
    return WEXITSTATUS(*status_);
}

int Child::termSignal() const {
    if (!status_ || !WIFSIGNALED(*status_)) return 0;
    return WTERMSIG(*status_);
}

std::string Child::stdoutText() const { return readFile(stdoutPath_); }
std::string Child::stderrText() const { return readFile(stderrPath_); }

bool Child::waitForStdout(const std::string& needle, int count, std::chrono::milliseconds deadline) const {
    if (stalled_) return countOf(stdoutText(), needle) >= count;
    return testsupport::waitUntil([&] { return countOf(stdoutText(), needle) >= count; }, deadline);
}

bool Child::waitForStderr(const std::string& needle, int count, std::chrono::milliseconds deadline) const {
    if (stalled_) return countOf(stderrText(), needle) >= count;
    return testsupport::waitUntil([&] { return countOf(stderrText(), needle) >= count; }, deadline);
}

SyslogMessage parseSyslog(const std::string& raw) {
    static const std::regex format(
        R"(^<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d ([^:\[ ]+)(\[\d+\])?: ([\s\S]*)$)");
    SyslogMessage parsed;
    parsed.raw = raw;
    std::smatch match;
    if (std::regex_match(raw, match, format)) {
        parsed.priority = std::stoi(match[1].str());
        parsed.tag = match[2].str();
        parsed.message = match[4].str();
    }
    return parsed;
}

std::string libfaketimePath() {
    if (const char* given = std::getenv("E2E_LIBFAKETIME"); given != nullptr && *given != '\0') return given;
    for (const char* path :
         {"/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
          "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1", "/usr/lib/faketime/libfaketime.so.1",
          "/usr/local/lib/faketime/libfaketime.so.1"}) {
        if (access(path, R_OK) == 0) return path;
    }
    return {};
}

// ---------------------------------------------------------------------------

void Sandbox::SetUp() {
    std::string why;
    if (!enterNamespaces(&why)) GTEST_SKIP() << "cannot make the test's namespaces: " << why;

    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) c = '_';
    }
    std::string pattern = "/tmp/e2e-" + name.substr(0, 60) + "-XXXXXX";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    ASSERT_NE(mkdtemp(path.data()), nullptr) << errnoText("mkdtemp");
    dir_ = path.data();

    ASSERT_TRUE(buildDev(&why)) << why;
}

bool Sandbox::enterNamespaces(std::string* why) {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    bool asUser = uid != 0;
    if (!asUser && unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        if (errno != EPERM) {
            *why = errnoText("unshare(CLONE_NEWNET | CLONE_NEWNS)");
            return false;
        }
        asUser = true;
    }
    if (asUser) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS) != 0) {
            *why = errnoText("unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWNS)");
            return false;
        }
        // Root inside maps to the caller outside; setgroups must be denied
        // before an unprivileged gid map is accepted.
        if (!writeFile("/proc/self/setgroups", "deny") ||
            !writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            *why = errnoText("writing the user namespace's id maps");
            return false;
        }
    }
    // Mounts made here must not leak to the host.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = errnoText("making mounts private");
        return false;
    }
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = sock >= 0 && ioctl(sock, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    up = up && ioctl(sock, SIOCSIFFLAGS, &request) == 0;
    if (!up) *why = errnoText("bringing lo up");
    if (sock >= 0) close(sock);
    return up;
}

bool Sandbox::buildDev(std::string* why) {
    // Built aside and moved onto /dev whole, so the host's nodes can still be
    // bound in while it is made.
    const std::string staging = dir_ + "/.dev";
    auto fail = [why](const std::string& what) {
        *why = errnoText(what);
        return false;
    };
    if (mkdir(staging.c_str(), 0755) != 0) return fail("mkdir " + staging);
    if (mount("tmpfs", staging.c_str(), "tmpfs", MS_NOSUID, "mode=0755,size=4m") != 0)
        return fail("tmpfs for /dev");
    for (const char* node : DEVICE_NODES) {
        const std::string target = staging + "/" + node;
        const std::string source = std::string("/dev/") + node;
        int fd = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (fd < 0) return fail("create " + target);
        close(fd);
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
            return fail("bind " + source);
    }
    const std::string pts = staging + "/pts";
    if (mkdir(pts.c_str(), 0755) != 0) return fail("mkdir " + pts);
    if (mount("devpts", pts.c_str(), "devpts", MS_NOSUID | MS_NOEXEC,
              "newinstance,ptmxmode=0666,mode=0620") != 0) {
        return fail("devpts");
    }
    const std::string shm = staging + "/shm";
    if (mkdir(shm.c_str(), 01777) != 0 || chmod(shm.c_str(), 01777) != 0) return fail("mkdir " + shm);
    for (auto [link, target] : {std::pair{"ptmx", "pts/ptmx"}, std::pair{"fd", "/proc/self/fd"},
                                std::pair{"stdin", "/proc/self/fd/0"}, std::pair{"stdout", "/proc/self/fd/1"},
                                std::pair{"stderr", "/proc/self/fd/2"}}) {
        if (symlink(target, (staging + "/" + link).c_str()) != 0) return fail(std::string("symlink ") + link);
    }
    if (mount(staging.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0) return fail("move onto /dev");
    mounts_.push_back("/dev");

    if (!bindSyslog(why)) return false;
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) return fail("pipe");
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    syslogThread_ = std::thread([this] { readSyslog(); });
    return true;
}

bool Sandbox::bindSyslog(std::string* why) {
    syslogFd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
    if (syslogFd_ < 0 || bind(syslogFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *why = errnoText("bind /dev/log");
        return false;
    }
    return true;
}

void Sandbox::stopSyslogReader() {
    if (!syslogThread_.joinable()) return;
    char byte = 0;
    if (write(wakeWrite_, &byte, 1) < 0) std::perror("syslog reader wake");
    syslogThread_.join();
    if (read(wakeRead_, &byte, 1) < 0) std::perror("syslog reader wake");
}

void Sandbox::stallSyslog() {
    stopSyslogReader();
    close(syslogFd_);
    unlink("/dev/log");
    std::string why;
    if (!bindSyslog(&why)) ADD_FAILURE() << why;
}

void Sandbox::resumeSyslog() {
    if (!syslogThread_.joinable()) syslogThread_ = std::thread([this] { readSyslog(); });
}

void Sandbox::readSyslog() {
    for (;;) {
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {syslogFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        char buffer[4096];
        ssize_t got = recv(syslogFd_, buffer, sizeof buffer, 0);
        if (got > 0) {
            std::lock_guard lock(syslogMutex_);
            syslogRaw_.emplace_back(buffer, static_cast<std::size_t>(got));
        }
    }
}

void Sandbox::TearDown() {
    children_.clear();
    stopSyslogReader();
    for (int* fd : {&syslogFd_, &wakeRead_, &wakeWrite_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    for (auto mounted = mounts_.rbegin(); mounted != mounts_.rend(); ++mounted) {
        umount2(mounted->c_str(), MNT_DETACH);
    }
    mounts_.clear();
    if (dir_.empty()) return;
    if (std::getenv("E2E_KEEP") != nullptr || HasFailure()) {
        std::printf("e2e: files of this test kept in %s\n", dir_.c_str());
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

std::string Sandbox::makeReadOnlyDir(const std::string& name) {
    const std::string path = dir_ + "/" + name;
    if (mkdir(path.c_str(), 0755) != 0) {
        ADD_FAILURE() << errnoText("mkdir " + path);
        return path;
    }
    // A bind mount onto itself, then remounted read-only: EROFS for root too.
    if (mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        ADD_FAILURE() << errnoText("read-only mount of " + path);
    }
    mounts_.push_back(path);
    return path;
}

void Sandbox::replaceFile(const std::string& target, const std::string& content) {
    const std::string source = dir_ + "/replaced" + std::to_string(mounts_.size()) + "-" +
                               std::filesystem::path(target).filename().string();
    std::ofstream(source, std::ios::binary) << content;
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        ADD_FAILURE() << errnoText("bind mount over " + target);
        return;
    }
    mounts_.push_back(target);
}

std::string Sandbox::makeSmallTmpfs(const std::string& name, std::size_t size) {
    const std::string path = dir_ + "/" + name;
    if (mkdir(path.c_str(), 0755) != 0) {
        ADD_FAILURE() << errnoText("mkdir " + path);
        return path;
    }
    const std::string options = "mode=0755,size=" + std::to_string(size);
    if (mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID, options.c_str()) != 0) {
        ADD_FAILURE() << errnoText("tmpfs on " + path);
    }
    mounts_.push_back(path);
    return path;
}

Child& Sandbox::spawn(SpawnOptions options) {
    if (options.name.empty()) options.name = std::filesystem::path(options.program).filename().string();
    if (options.cwd.empty()) options.cwd = dir_;
    const std::string outPath = dir_ + "/" + options.name + ".stdout";
    const std::string errPath = dir_ + "/" + options.name + ".stderr";

    std::vector<std::string> env;
    std::string asanOptions;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        if (text.starts_with("LD_PRELOAD=") || text.starts_with("FAKETIME")) continue;
        if (text.starts_with("ASAN_OPTIONS=")) {
            asanOptions = text.substr(std::strlen("ASAN_OPTIONS="));
            continue;
        }
        env.push_back(text);
    }
    if (options.fakeTime) {
        // ASan's allocator reads the monotonic clock to pace its returns of
        // memory to the system. Under libfaketime that read can come before
        // libfaketime has set itself up, whose set-up allocates in turn and
        // waits for the allocator's lock held further up: the child hangs
        // before main, depending on how earlier allocations fell (the path
        // the build sits at decides it). Without the release pacing the
        // allocator never reads the clock. Harmless in a build without ASan.
        asanOptions += std::string(asanOptions.empty() ? "" : ":") + "allocator_release_to_os_interval_ms=-1";
    }
    if (!asanOptions.empty()) env.push_back("ASAN_OPTIONS=" + asanOptions);
    if (options.fakeTime) {
        const std::string library = libfaketimePath();
        if (library.empty()) {
            ADD_FAILURE() << "libfaketime.so.1 not found: install the Debian package libfaketime, or set "
                             "E2E_LIBFAKETIME";
        } else {
            env.push_back("LD_PRELOAD=" + library);
            env.push_back("FAKETIME=" + options.fakeTimeSpec);
        }
    }
    env.insert(env.end(), options.env.begin(), options.env.end());

    std::vector<std::string> args{options.program};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (options.stdoutFd >= 0) {
        close(out);
        out = fcntl(options.stdoutFd, F_DUPFD_CLOEXEC, 3);
    }
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0 || err < 0) ADD_FAILURE() << errnoText("opening the child's standard files");

    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
        // Nothing of the test process (the instruments' sockets) leaks in.
        syscall(SYS_close_range, 3U, ~0U, 0U);
        if (chdir(options.cwd.c_str()) != 0) {
            static const char message[] = "e2e: cannot enter the working directory\n";
            (void)!write(2, message, sizeof message - 1);
            _exit(127);
        }
        execve(argv[0], argv.data(), envp.data());
        static const char message[] = "e2e: exec failed\n";
        (void)!write(2, message, sizeof message - 1);
        _exit(127);
    }
    for (int fd : {in, out, err}) {
        if (fd >= 0) close(fd);
    }
    if (pid < 0) ADD_FAILURE() << errnoText("fork");
    children_.push_back(std::make_unique<Child>(pid, outPath, errPath));
    return *children_.back();
}

Child& Sandbox::startCharger(SpawnOptions options) {
    if (options.program.empty()) options.program = CHARGER_BIN;
    const std::string cwd = options.cwd.empty() ? dir_ : options.cwd;
    Child& charger = spawn(std::move(options));
    // The charger's first act is to create its charge log (or to exit when it
    // cannot, or to complain on standard error). A child that shows none of
    // these within a few seconds never reached main: fail here, with what it
    // said, rather than by each later wait's time-out.
    const bool started = testsupport::waitUntil(
        [&] { return !charger.running() || !chargeLogFiles(cwd).empty() || !charger.stderrText().empty(); },
        STARTUP_DEADLINE);
    if (!started) {
        charger.markStalled();
        ADD_FAILURE() << "the charger did not get going within " << STARTUP_DEADLINE.count()
                      << " ms (no charge log, no exit, nothing on standard error); it is killed. Its "
                         "standard error:\n"
                      << charger.stderrText();
        charger.stop(SIGKILL);
    }
    return charger;
}

namespace {

std::string firstExecutable(std::initializer_list<const char*> paths) {
    for (const char* path : paths) {
        if (access(path, X_OK) == 0) return path;
    }
    return {};
}

}  // namespace

BenchLines Sandbox::startBench(std::vector<std::string> args, const std::string& name) {
    SpawnOptions bench{BENCHSIM_BIN, std::move(args)};
    bench.fakeTime = false;
    bench.name = name;
    benchsim_ = &spawn(bench);
    EXPECT_TRUE(benchsim_->waitForStdout("\n", 2)) << benchsim_->stderrText();
    std::istringstream lines(benchsim_->stdoutText());
    std::string instrument, where;
    BenchLines served;
    while (lines >> instrument >> where) (instrument == "pack" ? served.pack : served.supply) = where;
    return served;
}

void Sandbox::startSer2net(const BenchLines& lines, const std::string& name,
                           const std::vector<ConfigEdit>& edits) {
    // ser2net resolves its accepters with AI_ADDRCONFIG, which finds
    // nothing while the namespace has no address but 127.0.0.1.
    if (!secondAddress_) {
        const std::string ip = firstExecutable({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
        ASSERT_FALSE(ip.empty()) << "ip is not installed (iproute2)";
        Child& address = spawn({ip, {"addr", "add", "127.0.0.2/8", "dev", "lo"}, {}, "ip", false});
        ASSERT_TRUE(address.waitExit());
        ASSERT_EQ(address.exitCode(), 0) << address.stderrText();
        secondAddress_ = true;
    }
    std::string config = exampleSer2netConfig(lines.supply, lines.pack);
    ASSERT_NE(config.find(lines.supply), std::string::npos) << config;
    ASSERT_NE(config.find(lines.pack), std::string::npos) << config;
    for (const ConfigEdit& edit : edits) {
        const std::regex pattern(edit.pattern);
        ASSERT_TRUE(std::regex_search(config, pattern)) << edit.pattern << " not in\n" << config;
        config = std::regex_replace(config, pattern, edit.replacement);
    }
    ser2netName_ = name;
    ser2netConfig_ = dir_ + "/" + name + ".yaml";
    std::ofstream(ser2netConfig_) << config;
    startSer2net();
}

void Sandbox::startRig(const std::vector<ConfigEdit>& edits) {
    const BenchLines lines = startBench({"--supply-pty", "--pack-pty", "--pace", "9600", "--step", "600"});
    if (HasFatalFailure()) return;
    startSer2net(lines, "ser2net", edits);
}

void Sandbox::startSer2net() {
    const std::string ser2net = firstExecutable({"/usr/sbin/ser2net", "/usr/bin/ser2net"});
    ASSERT_FALSE(ser2net.empty()) << "ser2net is not installed (scripts/deps.sh installs it)";
    ser2net_ = &spawn({ser2net, {"-n", "-d", "-c", ser2netConfig_}, {}, ser2netName_, false});
    ASSERT_TRUE(testsupport::waitUntil([] { return listening(SUPPLY_PORT) && listening(PACK_PORT); }))
        << ser2net_->stderrText() << ser2net_->stdoutText();
}

void Sandbox::stopSer2net() {
    ASSERT_NE(ser2net_, nullptr);
    ser2net_->stop(SIGTERM);
    ser2net_ = nullptr;
    ASSERT_TRUE(testsupport::waitUntil([] { return !listening(SUPPLY_PORT) && !listening(PACK_PORT); }));
}

std::vector<std::string> Sandbox::chargeLogFiles(const std::string& in) const {
    static const std::regex name(R"(\d+olm\.log)");
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(in.empty() ? dir_ : in, ignored)) {
        const std::string file = entry.path().filename().string();
        if (std::regex_match(file, name)) found.push_back(file);
    }
    return found;
}

std::string Sandbox::chargeLog() const {
    const std::vector<std::string> files = chargeLogFiles();
    if (files.size() != 1) {
        ADD_FAILURE() << "expected one charge log in " << dir_ << ", found " << files.size();
        return {};
    }
    return readFile(dir_ + "/" + files.front());
}

std::vector<SyslogMessage> Sandbox::syslog() const {
    std::lock_guard lock(syslogMutex_);
    std::vector<SyslogMessage> messages;
    for (const std::string& raw : syslogRaw_) messages.push_back(parseSyslog(raw));
    return messages;
}

bool Sandbox::waitForSyslog(std::size_t count, std::chrono::milliseconds deadline) const {
    return testsupport::waitUntil(
        [&] {
            std::lock_guard lock(syslogMutex_);
            return syslogRaw_.size() >= count;
        },
        deadline);
}

bool Sandbox::listening(std::uint16_t port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port));
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const bool loopbackOrAny = local.starts_with("0100007F") || local.starts_with("00000000");
        if (loopbackOrAny && local.ends_with(wanted) && state == "0A") return true;
    }
    return false;
}

}  // namespace e2e
