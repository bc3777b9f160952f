#include "plot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "chargelog.h"

namespace {

// The plot area is about 900 pixels wide: more points than two per pixel
// column only cost time (a month of records took gnuplot over a minute), so
// longer logs are reduced to each bucket's lowest and highest value.
constexpr std::size_t BUCKETS = 1000;
// Up to this many records every record is drawn, with a point.
constexpr std::size_t POINTS_DRAWN = 2000;

struct Mark {
    long long time;
    std::string label;
};

struct Series {
    std::vector<std::pair<long long, double>> points;
};

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// A gnuplot string in single quotes, where only the quote itself is special.
std::string gnuplotString(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += '\'';
        if (c != '\n') quoted += c;
    }
    return quoted + "'";
}

std::string localTime(long long seconds, const char* format) {
    time_t t = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&t, &local);
    char text[64];
    strftime(text, sizeof text, format, &local);
    return text;
}

long utcOffset(long long seconds) {
    time_t t = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&t, &local);
    return local.tm_gmtoff;
}

// Reduces a series to the lowest and highest point of each time bucket, in
// time order, so that spikes survive.
Series reduce(const std::vector<ChargeRecord>& records, double (*value)(const ChargeRecord&)) {
    Series series;
    const std::size_t n = records.size();
    if (n <= POINTS_DRAWN) {
        series.points.reserve(n);
        for (const ChargeRecord& r : records) series.points.emplace_back(r.time, value(r));
        return series;
    }
    const long long first = records.front().time;
    const double span = static_cast<double>(records.back().time - first) + 1.0;
    series.points.reserve(2 * BUCKETS);
    std::size_t i = 0;
    while (i < n) {
        const auto bucket =
            static_cast<std::size_t>(static_cast<double>(records[i].time - first) / span * BUCKETS);
        std::size_t low = i;
        std::size_t high = i;
        std::size_t j = i + 1;
        for (; j < n; ++j) {
            const auto other =
                static_cast<std::size_t>(static_cast<double>(records[j].time - first) / span * BUCKETS);
            if (other != bucket) break;
            if (value(records[j]) < value(records[low])) low = j;
            if (value(records[j]) > value(records[high])) high = j;
        }
        const std::size_t a = std::min(low, high);
        const std::size_t b = std::max(low, high);
        series.points.emplace_back(records[a].time, value(records[a]));
        if (b != a) series.points.emplace_back(records[b].time, value(records[b]));
        i = j;
    }
    return series;
}

void appendDataBlock(std::string* script, const char* name, const Series& series, long offset,
                     const char* format) {
    *script += formatted("$%s << EOD\n", name);
    char line[64];
    for (const auto& [time, value] : series.points) {
        int length = snprintf(line, sizeof line, format, static_cast<long long>(time + offset), value);
        script->append(line, static_cast<std::size_t>(length));
    }
    *script += "EOD\n";
}

// Why output cannot be written, or an empty text. Checked before any work,
// so that a wrong path costs nothing and leaves nothing behind.
std::string unwritable(const std::string& output) {
    struct stat info {};
    if (stat(output.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return strerror(EISDIR);
        if (access(output.c_str(), W_OK) != 0) return strerror(errno);
    }
    const std::size_t slash = output.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : output.substr(0, slash);
    if (stat(dir.c_str(), &info) != 0) return strerror(errno);
    if (!S_ISDIR(info.st_mode)) return strerror(ENOTDIR);
    if (access(dir.c_str(), W_OK | X_OK) != 0) return strerror(errno);
    return {};
}

// Writes bytes to path through a new file beside it, renamed into place, so
// that a failure leaves no partial file (nor an earlier one spoiled).
std::string writeInPlace(const std::string& path, std::string_view bytes) {
    std::string temporary = path + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) return strerror(errno);
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            int err = wrote < 0 ? errno : EIO;
            close(fd);
            unlink(temporary.c_str());
            return strerror(err);
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        int err = errno;
        unlink(temporary.c_str());
        return strerror(err);
    }
    return {};
}

bool onPath(const char* program) {
    const char* path = getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const std::size_t colon = dirs.find(':');
        std::string dir(dirs.substr(0, colon));
        if (dir.empty()) dir = ".";
        if (access((dir + "/" + program).c_str(), X_OK) == 0) return true;
        if (colon == std::string_view::npos) break;
        dirs.remove_prefix(colon + 1);
    }
    return false;
}

// Runs gnuplot on the script with its output in a fresh directory; the
// image's bytes, or false with gnuplot's messages.
bool runGnuplot(const std::string& script, std::string* image, std::string* messages) {
    const char* base = getenv("TMPDIR");
    std::string work = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/chargeplot-XXXXXX";
    if (mkdtemp(work.data()) == nullptr) {
        *messages = std::string("cannot make a working directory: ") + strerror(errno) + "\n";
        return false;
    }
    const std::string scriptPath = work + "/plot.gp";
    const std::string imagePath = work + "/plot.png";
    const std::string outputPath = work + "/gnuplot.out";
    bool ok = writeInPlace(scriptPath, "set output " + gnuplotString(imagePath) + "\n" + script).empty();
    if (ok) {
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int in = open("/dev/null", O_RDONLY);
            if (out >= 0 && in >= 0) {
                dup2(in, 0);
                dup2(out, 1);
                dup2(out, 2);
                execlp("gnuplot", "gnuplot", scriptPath.c_str(), static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        int status = 0;
        ok =
            child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        readWholeFile(outputPath, messages);
        // gnuplot reports some failures (an output it cannot open, say) and
        // still exits with 0.
        ok = ok && messages->empty() && readWholeFile(imagePath, image) && !image->empty();
        if (ok) messages->clear();
    }
    for (const std::string& file : {scriptPath, imagePath, outputPath}) unlink(file.c_str());
    rmdir(work.c_str());
    return ok;
}

}  // namespace

bool readWholeFile(const std::string& path, std::string* text) {
    text->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        errno = EISDIR;
        return false;
    }
    if (info.st_size > 0) text->reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int err = errno;
            close(fd);
            errno = err;
            return false;
        }
        if (got == 0) break;
        text->append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return true;
}

int drawChargePlot(const std::string& log, const std::string& output, bool scriptOnly) {
    const std::string notWritable = unwritable(output);
    if (!notWritable.empty()) {
        fprintf(stderr, "chargeplot: cannot write '%s': %s\n", output.c_str(), notWritable.c_str());
        return 1;
    }
    std::string text;
    if (!readWholeFile(log, &text)) {
        fprintf(stderr, "chargeplot: cannot read '%s': %s\n", log.c_str(), strerror(errno));
        return 1;
    }
    if (!scriptOnly && !onPath("gnuplot")) {
        fprintf(stderr, "chargeplot: gnuplot is not installed (Debian package gnuplot-nox)\n");
        return 1;
    }

    std::vector<ChargeRecord> records;
    records.reserve(text.size() / 40 + 1);
    std::size_t from = 0;
    int lineNumber = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        ++lineNumber;
        ChargeRecord record;
        std::string why;
        if (!parseChargeRecord(std::string_view(text).substr(from, end - from), &record, &why)) {
            fprintf(stderr, "chargeplot: %s is not a charge log (line %d: %s)\n", log.c_str(), lineNumber,
                    why.c_str());
            return 1;
        }
        records.push_back(record);
        from = end + 1;
    }
    if (records.empty()) {
        fprintf(stderr, "chargeplot: %s is not a charge log (no records)\n", log.c_str());
        return 1;
    }
    std::string().swap(text);

    const long long first = records.front().time;
    const long long last = records.back().time;
    const long offset = utcOffset(first);
    const std::string zone = localTime(first, "%Z");
    printf("%zu records over %lld s, %s to %s\n", records.size(), last - first,
           localTime(first, "%Y-%m-%d %H:%M:%S").c_str(), localTime(last, "%Y-%m-%d %H:%M:%S %Z").c_str());

    std::vector<Mark> marks;
    StageTracker stages;
    double lowest = 0.0;
    double highest = 0.0;
    double fullest = 0.0;
    for (const ChargeRecord& r : records) {
        std::string label = stages.step(r.balance);
        if (!label.empty()) {
            printf("%s at %lld (+%lld s)\n", label.c_str(), r.time, r.time - first);
            marks.push_back({r.time, label});
        }
        lowest = std::min(lowest, r.current);
        highest = std::max(highest, r.current);
        fullest = std::max(fullest, r.gauge);
    }
    fflush(stdout);

    // The script. The x axis is the local clock (gnuplot's time axis is
    // UTC, so the offset is added to each time).
    const long long span = last - first;
    std::string script;
    script.reserve(1 << 20);
    script += "set terminal pngcairo size 1000,750 font ',10' noenhanced\n";
    script += "set xdata time\nset timefmt '%s'\n";
    if (span < 3600) {
        script += "set format x '%H:%M:%S'\n";
    } else if (span <= 24 * 3600) {
        script += "set format x '%H:%M'\n";
    } else if (span <= 7 * 24 * 3600) {
        script += "set format x \"%d %b\\n%H:%M\"\n";
    } else {
        script += "set format x '%d %b'\n";
    }
    script += "set xlabel " + gnuplotString("local time (" + zone + ")") + "\n";
    if (span == 0) {
        script += formatted("set xrange ['%lld':'%lld']\n", first + offset - 60, first + offset + 60);
    } else {
        script += formatted("set xrange ['%lld':'%lld']\n", first + offset, last + offset);
    }
    for (const Mark& mark : marks) {
        script +=
            formatted("set arrow from '%lld', graph 0 to '%lld', graph 1 nohead dt 2 lc rgb '#606060'\n",
                      mark.time + offset, mark.time + offset);
    }
    // Stage labels each on a row of their own, so that stages one poll
    // apart stay readable however long the log is; each names its time.
    script += "set style textbox opaque noborder\n";
    for (std::size_t k = 0; k < marks.size(); ++k) {
        const Mark& mark = marks[k];
        const bool rightHalf =
            span > 0 && static_cast<double>(mark.time - first) > 0.6 * static_cast<double>(span);
        script += formatted(
            "set label %zu %s at '%lld', graph %.3f %s offset %s,0 front boxed font ',9'\n", k + 1,
            gnuplotString(mark.label + ", " + localTime(mark.time, "%H:%M:%S")).c_str(), mark.time + offset,
            0.50 - 0.075 * static_cast<double>(k), rightHalf ? "right" : "left", rightHalf ? "-0.6" : "0.6");
    }

    auto gauge = [](const ChargeRecord& r) { return r.gauge; };
    auto current = [](const ChargeRecord& r) { return r.current; };
    auto humidity = [](const ChargeRecord& r) { return static_cast<double>(r.humidity); };
    auto balance = [](const ChargeRecord& r) { return static_cast<double>(r.balance); };
    appendDataBlock(&script, "gauge", reduce(records, gauge), offset, "%lld %.2f\n");
    appendDataBlock(&script, "current", reduce(records, current), offset, "%lld %.2f\n");
    appendDataBlock(&script, "humidity", reduce(records, humidity), offset, "%lld %.0f\n");
    appendDataBlock(&script, "balance", reduce(records, balance), offset, "%lld %.0f\n");

    // The current axis always shows 0: a charge above it, a discharge below.
    double pad = (highest - lowest) * 0.05;
    if (pad == 0.0) pad = 1.0;
    const double currentLow = lowest < 0.0 ? lowest - pad : 0.0;
    const double currentHigh = highest + pad;
    const char* style = records.size() <= POINTS_DRAWN ? "linespoints pt 7 ps 0.4 lw 2" : "lines lw 2";

    const std::string name = log.substr(log.rfind('/') == std::string::npos ? 0 : log.rfind('/') + 1);
    const std::string title =
        "charge log " + name + ", " + localTime(first, "%Y-%m-%d %H:%M") + " to " +
        localTime(last, span < 24 * 3600 && localTime(first, "%F") == localTime(last, "%F")
                            ? "%H:%M %Z"
                            : "%Y-%m-%d %H:%M %Z");
    script += "set multiplot layout 2,1 title " + gnuplotString(title) + "\n";
    // Equal margins keep the two panels' time axes one above the other.
    script += "set lmargin 10\nset rmargin 10\n";
    script += "set grid\nset key below horizontal\nset ytics nomirror\nset y2tics\n";
    script += "set ylabel 'gas gauge (%)'\nset y2label 'pack current (A)'\n";
    script += formatted("set yrange [0:%.2f]\n", std::max(105.0, fullest * 1.03));
    script += formatted("set y2range [%.2f:%.2f]\n", currentLow, currentHigh);
    script += formatted("plot $gauge using 1:2 with %s title 'gas gauge', \\\n", style);
    script += formatted("     $current using 1:2 axes x1y2 with %s title 'pack current'\n", style);
    script += "unset label\n";
    script += "set ylabel 'relative humidity (%)'\nset y2label 'balance register'\n";
    script += "set yrange [0:*]\nset y2range [0:270]\n";
    script += "set y2tics ('00' 0, '3f' 63, '7f' 127, 'bf' 191, 'ff' 255)\n";
    script += formatted("plot $humidity using 1:2 with %s title 'humidity', \\\n", style);
    script += "     $balance using 1:2 axes x1y2 with steps lw 2 title 'balance register'\n";
    script += "unset multiplot\n";

    std::string bytes;
    if (scriptOnly) {
        bytes = script;
    } else {
        std::string messages;
        if (!runGnuplot(script, &bytes, &messages)) {
            fprintf(stderr, "chargeplot: gnuplot failed:\n%s", messages.c_str());
            return 1;
        }
    }
    const std::string failed = writeInPlace(output, bytes);
    if (!failed.empty()) {
        fprintf(stderr, "chargeplot: cannot write '%s': %s\n", output.c_str(), failed.c_str());
        return 1;
    }
    printf("chargeplot: wrote %s\n", output.c_str());
    return 0;
}
