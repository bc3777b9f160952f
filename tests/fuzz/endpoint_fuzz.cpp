// openPort with arbitrary endpoint texts and line settings. It must run in a
// network namespace of its own that has only the loopback interface, so that
// no address a text names can be reached; it refuses to run anywhere else.
// Device paths are let through only as plain names inside a scratch folder
// that holds a pseudo-terminal, a regular file and nothing else.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/settings.h"
#include "serial/serial.h"

// Name look-ups answer from here and never ask a resolver: "localhost" is the
// only name known.
extern "C" hostent* gethostbyname(const char* name) {
    static in_addr loopback{htonl(INADDR_LOOPBACK)};
    static char* addresses[] = {reinterpret_cast<char*>(&loopback), nullptr};
    static char hostName[] = "localhost";
    static hostent entry{hostName, nullptr, AF_INET, sizeof loopback, addresses};
    if (strcmp(name, "localhost") != 0) {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    return &entry;
}

namespace {

// The pack's port: a listener here lets some texts open a connection.
constexpr std::uint16_t LISTEN_PORT = 10001;

void requireLoopbackOnly() {
    struct if_nameindex* interfaces = if_nameindex();
    if (interfaces == nullptr) abort();
    for (struct if_nameindex* i = interfaces; i->if_index != 0; ++i) {
        if (strcmp(i->if_name, "lo") != 0) {
            fprintf(stderr,
                    "endpoint_fuzz: interface %s present; run in a namespace with only lo "
                    "(unshare -n)\n",
                    i->if_name);
            exit(2);
        }
    }
    if_freenameindex(interfaces);
}

struct Scene {
    int listener = -1;
    int ptyMaster = -1;
    std::string folder;
};

std::string scratchFolder;

void removeScratch() {
    for (const char* name : {"/line", "/file"}) unlink((scratchFolder + name).c_str());
    rmdir(scratchFolder.c_str());
}

const Scene& scene() {
    static const Scene ready = [] {
        requireLoopbackOnly();
        QUIET_PORT_PROGRESS = 1;
        Scene s;
        s.listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        int on = 1;
        setsockopt(s.listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(LISTEN_PORT);
        if (bind(s.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(s.listener, 16) != 0) {
            perror("endpoint_fuzz: listener");
            abort();
        }

        char folder[] = "/tmp/endpoint_fuzz.XXXXXX";
        if (mkdtemp(folder) == nullptr) abort();
        s.folder = scratchFolder = folder;
        atexit(removeScratch);
        int slave = -1;
        char slaveName[128];
        if (openpty(&s.ptyMaster, &slave, slaveName, nullptr, nullptr) != 0) abort();
        close(slave);
        if (symlink(slaveName, (s.folder + "/line").c_str()) != 0) abort();
        int file = open((s.folder + "/file").c_str(), O_WRONLY | O_CREAT, 0600);
        if (file < 0) abort();
        close(file);
        return s;
    }();
    return ready;
}

// A device path passes only as a plain name in the scratch folder.
bool harmlessPath(const std::string& endpoint) {
    if (endpoint.empty() || endpoint.size() > 64) return false;
    for (char c : endpoint) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                     c == '_' || c == '-';
        if (!plain) return false;
    }
    return true;
}

constexpr int SPEEDS[] = {9600, 0, -1, 115200, 50, 2000000, 4000000, 12345};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const Scene& s = scene();
    const int speed = SPEEDS[data[0] % (sizeof SPEEDS / sizeof SPEEDS[0])];
    const int databits = data[1] % 10;
    const int stopbits = data[2] % 4;
    std::string text(reinterpret_cast<const char*>(data) + 3, size - 3);
    text = text.substr(0, text.find('\0'));
    std::size_t split = text.find('\n');
    std::string endpoint = text.substr(0, split);
    std::string parity = split == std::string::npos ? "none" : text.substr(split + 1);

    if (endpoint.compare(0, 3, "tcp") != 0) {
        if (!harmlessPath(endpoint)) return 0;
        endpoint = s.folder + "/" + endpoint;
    }

    PortRecord* before = ports;
    int fd = -7;
    int result = openPort(endpoint.c_str(), &fd, speed, databits, stopbits, parity.c_str());
    if (result > 0) {
        if (fd != result || ports == nullptr) abort();
        closePort(result);
        int accepted;
        while ((accepted = accept(s.listener, nullptr, nullptr)) >= 0) close(accepted);
    } else if (fd != 0) {
        abort();
    }
    // Every port is closed again: the table is as it was, and no descriptor
    // of a failed open is left behind.
    if (ports != before) abort();
    int probe = dup(0);
    close(probe);
    static const int lowestFree = probe;
    if (probe != lowestFree) abort();
    return 0;
}
