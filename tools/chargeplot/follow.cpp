#include "follow.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string_view>

#include "chargelog.h"

namespace {

// How often the log is looked at. The charger writes a record every 5 s
// or so.
constexpr long CHECK_INTERVAL_MS = 1000;
// No record for this long is worth an alert: about ten polls missed.
constexpr long long STALE_SECONDS = 60;
// The time to full comes from a straight line fitted to the gas gauge over
// this much of the most recent log, once it holds enough of it.
constexpr long long RISE_WINDOW_SECONDS = 600;
constexpr long long RISE_MIN_SPAN_SECONDS = 60;
constexpr std::size_t RISE_MIN_RECORDS = 3;
constexpr int DEFAULT_COLUMNS = 80;
constexpr int BAR_MIN = 5;
constexpr int BAR_MAX = 30;
constexpr int BAR_PLAIN = 20;

volatile sig_atomic_t stopRequested = 0;

void onStop(int) { stopRequested = 1; }

struct View {
    std::string file;  // the log followed; empty while there is none
    long long start = -1;
    long records = 0;
    long bad = 0;
    ChargeRecord latest;
    StageTracker stages;
    std::deque<std::pair<long long, double>> recent;  // (time, gauge) within the window
};

struct Tail {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    off_t offset = 0;
    std::string partial;  // a record the charger has not finished writing
};

void closeTail(Tail* tail) {
    if (tail->fd >= 0) close(tail->fd);
    *tail = Tail{};
}

// The newest charge log in dir, by the start time in its name.
std::string newestLog(const std::string& dir) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return {};
    std::string best;
    long long bestStart = -1;
    while (dirent* entry = readdir(listing)) {
        long long start = startTimeFromName(entry->d_name);
        if (start > bestStart) {
            bestStart = start;
            best = entry->d_name;
        }
    }
    closedir(listing);
    return best.empty() ? std::string() : dir + (dir.ends_with('/') ? "" : "/") + best;
}

void takeRecord(View* view, const ChargeRecord& record) {
    if (view->records == 0) {
        long long named = startTimeFromName(view->file);
        // The charger names the log when it starts; its first record follows.
        view->start = named >= 0 && named <= record.time ? named : record.time;
    }
    ++view->records;
    view->latest = record;
    view->stages.step(record.balance);
    view->recent.emplace_back(record.time, record.gauge);
    while (!view->recent.empty() && view->recent.front().first < record.time - RISE_WINDOW_SECONDS) {
        view->recent.pop_front();
    }
}

void takeLines(View* view, Tail* tail, std::string_view bytes) {
    tail->partial.append(bytes);
    std::size_t from = 0;
    for (;;) {
        std::size_t end = tail->partial.find('\n', from);
        if (end == std::string::npos) break;
        ChargeRecord record;
        std::string why;
        if (parseChargeRecord(std::string_view(tail->partial).substr(from, end - from), &record, &why)) {
            takeRecord(view, record);
        } else {
            ++view->bad;
        }
        from = end + 1;
    }
    tail->partial.erase(0, from);
}

// Reads what was appended since the last look; starts over when the file
// was replaced or cut short.
void catchUp(View* view, Tail* tail, const std::string& file) {
    struct stat info {};
    const bool exists = !file.empty() && stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    const bool same = exists && file == view->file && tail->fd >= 0 && info.st_dev == tail->device &&
                      info.st_ino == tail->inode && info.st_size >= tail->offset;
    if (!same) {
        closeTail(tail);
        *view = View{};
        view->file = file;
        if (!exists) return;
        tail->fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (tail->fd < 0) return;
        tail->device = info.st_dev;
        tail->inode = info.st_ino;
    }
    char buffer[1 << 16];
    for (;;) {
        ssize_t got = pread(tail->fd, buffer, sizeof buffer, tail->offset);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        tail->offset += got;
        takeLines(view, tail, std::string_view(buffer, static_cast<std::size_t>(got)));
    }
}

// Seconds until the gauge reaches 100 % at its recent rise, or -1 when it
// is not rising (or too little of the log is there to tell).
long long secondsToFull(const View& view) {
    const auto& points = view.recent;
    if (points.size() < RISE_MIN_RECORDS ||
        points.back().first - points.front().first < RISE_MIN_SPAN_SECONDS) {
        return -1;
    }
    // Least squares, with the times taken from the first point's.
    const double n = static_cast<double>(points.size());
    double st = 0, sg = 0, stt = 0, stg = 0;
    for (const auto& [time, gauge] : points) {
        const double t = static_cast<double>(time - points.front().first);
        st += t;
        sg += gauge;
        stt += t * t;
        stg += t * gauge;
    }
    const double denominator = n * stt - st * st;
    if (denominator <= 0.0) return -1;
    const double slope = (n * stg - st * sg) / denominator;  // % per second
    if (!(slope > 0.0)) return -1;
    const double left = (100.0 - view.latest.gauge) / slope;
    return left > 0.0 ? static_cast<long long>(std::lround(left)) : 0;
}

std::string bar(double gauge, int width) {
    const double share = std::clamp(gauge / 100.0, 0.0, 1.0);
    const int filled = static_cast<int>(std::lround(share * width));
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '-') + "]";
}

struct Line {
    std::string text;
    std::string key;  // what, when it changes, is worth a new line on a log-like output
};

Line compose(const View& view, const std::string& path, bool isDir, int columns, bool terminal) {
    if (view.file.empty()) {
        return {isDir ? "waiting for a charge log in " + path : "waiting for " + path + " to appear", "none"};
    }
    if (view.records == 0) {
        std::string text = "waiting for records in " + view.file;
        if (view.bad > 0) text += " (" + std::to_string(view.bad) + " lines that are not charge-log records)";
        return {text, "empty " + view.file + std::to_string(view.bad)};
    }
    const ChargeRecord& r = view.latest;
    char head[64];
    snprintf(head, sizeof head, "SoC %6.2f%% ", r.gauge);
    char current[32];
    snprintf(current, sizeof current, "%7.2f A", r.current);
    std::string stage;
    if (view.stages.packOff) {
        stage = "pack off";
    } else {
        char text[32];
        snprintf(text, sizeof text, "stage %d (%g A)", view.stages.stage, stageAmperes(view.stages.stage));
        stage = text;
    }
    std::string eta;
    if (view.stages.packOff || r.gauge >= 100.0) {
        eta = "full";
    } else {
        long long left = secondsToFull(view);
        const std::string hms = clockDuration(left);
        // Minutes are as close as a straight line can tell.
        eta = left < 0 ? "full in ?" : "full in ~" + hms.substr(0, hms.size() - 3);
    }
    std::string alerts;
    std::string key = std::to_string(view.records) + " " + std::to_string(view.bad);
    if (r.tempAlert != 0 || r.voltAlert != 0) {
        char registers[64];
        snprintf(registers, sizeof registers, "  ALERT temp %04x volt %04x", r.tempAlert, r.voltAlert);
        alerts = registers;
    }
    const long long quiet = static_cast<long long>(time(nullptr)) - r.time;
    if (quiet > STALE_SECONDS) {
        alerts += "  ALERT no record for " + clockDuration(quiet);
        key += " stale";
    }
    if (view.bad > 0) alerts += "  " + std::to_string(view.bad) + " bad lines";

    const std::string tail = " " + std::string(current) + "  " + stage + "  " +
                             clockDuration(r.time - view.start) + " since start  " + eta + alerts;
    int width = BAR_PLAIN;
    if (terminal) {
        const int room = columns - 1 - static_cast<int>(strlen(head) + tail.size()) - 2;
        width = std::clamp(room, BAR_MIN, BAR_MAX);
    }
    std::string text = head + bar(r.gauge, width) + tail;
    // A line as wide as the terminal would wrap, and the next redraw would
    // then start on the wrong row.
    if (terminal && columns > 1 && static_cast<int>(text.size()) > columns - 1) {
        text.resize(static_cast<std::size_t>(columns - 1));
    }
    return {text, key};
}

int terminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    const char* columns = getenv("COLUMNS");
    int value = columns != nullptr ? atoi(columns) : 0;
    return value > 0 ? value : DEFAULT_COLUMNS;
}

}  // namespace

int followChargeLog(const std::string& path, bool once) {
    struct sigaction stop {};
    stop.sa_handler = onStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);

    // On a terminal the line is redrawn in place; anywhere else (a pipe, a
    // file, ssh without a terminal) each change is a line of its own.
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    View view;
    Tail tail;
    std::string shownKey;
    std::string shownText;
    while (stopRequested == 0) {
        struct stat info {};
        const bool isDir = stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        const std::string file = isDir ? newestLog(path) : path;
        catchUp(&view, &tail, file);
        if (tail.fd < 0) view.file.clear();
        Line line = compose(view, path, isDir, terminalColumns(), terminal);
        if (terminal) {
            if (line.text != shownText) {
                printf("\r%s\033[K", line.text.c_str());
                fflush(stdout);
                shownText = line.text;
            }
        } else if (line.key != shownKey || once) {
            printf("%s\n", line.text.c_str());
            fflush(stdout);
        }
        shownKey = line.key;
        if (once) break;
        timespec wait{CHECK_INTERVAL_MS / 1000, (CHECK_INTERVAL_MS % 1000) * 1000000};
        nanosleep(&wait, nullptr);
    }
    if (terminal) {
        putchar('\n');
        fflush(stdout);
    }
    closeTail(&tail);
    return 0;
}
