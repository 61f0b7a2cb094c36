// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers

// Replays a script of writes, pauses, signals and exits in place of cloudflared, so tests can run
// the real process-handling code against a known transcript. README.md documents the directives.
// Plain C++ and POSIX on purpose: it must start fast and behave the same on every run.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int kScriptError = 2;
// What a shell reports for a process killed by SIGPIPE; the reader went away, nothing to say.
constexpr int kBrokenPipe = 141;
constexpr int kMaxIncludeDepth = 32;
constexpr std::size_t kChunk = 64 * 1024;

enum class Op {
    Err,
    Out,
    Raw,
    Sleep,
    Record,
    Pidfile,
    IgnoreTerm,
    OnTerm,
    Exit,
    Crash,
    Wait,
    Flood,
    Longline,
    Include,
    Repeat,
};

struct Step {
    Op op = Op::Err;
    std::string text; // message, decoded raw bytes or path
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::vector<Step> body; // the included script, or the one repeated step
};

std::string g_url;

[[noreturn]] void fail(const std::string &message) {
    const std::string line = "velumo-standin: " + message + "\n";
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    _exit(kScriptError);
}

// Loops only on partial writes, so every log line stays one write() as cloudflared does it.
void writeAll(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, -1);
        } else {
            _exit(kBrokenPipe);
        }
    }
}

// --- Substitutions. Everything here is async-signal-safe: on-term expands in its handler. ---

std::size_t formatUnsigned(std::uint64_t value, char *out) {
    char digits[20];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = digits[n - 1 - i];
    }
    return n;
}

void putTwo(char *out, unsigned value) {
    out[0] = static_cast<char>('0' + value / 10 % 10);
    out[1] = static_cast<char>('0' + value % 10);
}

// gmtime_r is not async-signal-safe, so the calendar is worked out by hand (days to civil date).
void formatUtc(std::int64_t seconds, char out[20]) {
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const auto day = static_cast<unsigned>(dayOfYear - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    const auto year = static_cast<unsigned>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));

    putTwo(out, year / 100);
    putTwo(out + 2, year % 100);
    out[4] = '-';
    putTwo(out + 5, month);
    out[7] = '-';
    putTwo(out + 8, day);
    out[10] = 'T';
    putTwo(out + 11, static_cast<unsigned>(rest / 3600));
    out[13] = ':';
    putTwo(out + 14, static_cast<unsigned>(rest / 60 % 60));
    out[16] = ':';
    putTwo(out + 17, static_cast<unsigned>(rest % 60));
    out[19] = 'Z';
}

std::int64_t nowSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

// Go's names for the signals, as cloudflared prints them.
std::string_view signalName(int signo) {
    return signo == SIGINT ? std::string_view("interrupt") : std::string_view("terminated");
}

// Expands {url}, {pid}, {now}, {mono} and, with a signal, {signal}; anything else in braces
// stays as written, since log text is full of them.
template <typename Put> void expand(std::string_view text, Put &&put, int signo = 0) {
    char buf[24];
    std::size_t start = 0;
    std::size_t i = 0;
    while ((i = text.find('{', i)) != std::string_view::npos) {
        const std::string_view rest = text.substr(i);
        std::size_t tokenSize = 0;
        if (rest.starts_with("{url}")) {
            tokenSize = 5;
            put(text.data() + start, i - start);
            put(g_url.data(), g_url.size());
        } else if (rest.starts_with("{pid}")) {
            tokenSize = 5;
            put(text.data() + start, i - start);
            put(buf, formatUnsigned(static_cast<std::uint64_t>(::getpid()), buf));
        } else if (rest.starts_with("{now}")) {
            tokenSize = 5;
            put(text.data() + start, i - start);
            formatUtc(nowSeconds(), buf);
            put(buf, 20);
        } else if (rest.starts_with("{mono}")) {
            tokenSize = 6;
            timespec ts{};
            ::clock_gettime(CLOCK_MONOTONIC, &ts);
            const auto ns = static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u +
                            static_cast<std::uint64_t>(ts.tv_nsec);
            put(text.data() + start, i - start);
            put(buf, formatUnsigned(ns, buf));
        } else if (signo != 0 && rest.starts_with("{signal}")) {
            tokenSize = 8;
            put(text.data() + start, i - start);
            const std::string_view name = signalName(signo);
            put(name.data(), name.size());
        } else {
            ++i;
            continue;
        }
        i += tokenSize;
        start = i;
    }
    put(text.data() + start, text.size() - start);
}

std::string expanded(std::string_view text) {
    std::string out;
    expand(text, [&out](const char *p, std::size_t n) { out.append(p, n); });
    return out;
}

void writeLine(int fd, std::string_view text) {
    std::string line = expanded(text);
    line += '\n';
    writeAll(fd, line.data(), line.size());
}

// --- on-term ---

// Only touched with SIGTERM and SIGINT blocked, so the handler never sees a half-made update.
std::string g_termText;
std::vector<char> g_termBuffer;

extern "C" void onTermSignal(int signo) {
    char *buf = g_termBuffer.data();
    const std::size_t room = g_termBuffer.size() - 1;
    std::size_t len = 0;
    expand(
        g_termText,
        [&](const char *p, std::size_t n) {
            n = std::min(n, room - len);
            std::memcpy(buf + len, p, n);
            len += n;
        },
        signo);
    buf[len++] = '\n';
    const char *p = buf;
    while (len > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, len);
        if (n > 0) {
            p += n;
            len -= static_cast<std::size_t>(n);
        } else if (!(n < 0 && errno == EINTR)) {
            break;
        }
    }
    _exit(0);
}

std::size_t countOf(std::string_view text, std::string_view token) {
    std::size_t count = 0;
    for (std::size_t i = text.find(token); i != std::string_view::npos;
         i = text.find(token, i + token.size())) {
        ++count;
    }
    return count;
}

sigset_t termSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

void setTermAction(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_mask = termSignals();
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void installOnTerm(const std::string &text) {
    const sigset_t set = termSignals();
    sigset_t old;
    ::sigprocmask(SIG_BLOCK, &set, &old);
    g_termText = text;
    // Room for the longest expansion: every {mono} may grow to 20 digits, {signal} to 10 chars.
    std::size_t size = 0;
    expand(
        text, [&size](const char *, std::size_t n) { size += n; }, SIGTERM);
    size += countOf(text, "{mono}") * 20 + countOf(text, "{signal}") * 10 + 2;
    g_termBuffer.assign(size, '\0');
    setTermAction(onTermSignal);
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
}

// --- Files ---

void writeFileAtomically(const std::string &path, const std::string &content, const char *what) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fail(std::string(what) + ": cannot create " + tmp + ": " + std::strerror(errno));
    }
    const char *p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            fail(std::string(what) + ": cannot write " + tmp + ": " + std::strerror(errno));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        fail(std::string(what) + ": cannot write " + path + ": " + std::strerror(errno));
    }
}

// Bytes that are not control characters pass through untouched, so arguments that are not valid
// UTF-8 come out exactly as the process received them.
void appendJsonString(std::string &out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[u >> 4];
            out += hex[u & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string recordJson(int argc, char **argv) {
    std::string json = "{\"argv\":[";
    for (int i = 0; i < argc; ++i) {
        if (i > 0) {
            json += ',';
        }
        appendJsonString(json, argv[i]);
    }
    json += "],\"env\":{";
    bool firstEntry = true;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view item(*entry);
        const std::size_t eq = item.find('=');
        if (!firstEntry) {
            json += ',';
        }
        firstEntry = false;
        appendJsonString(json, item.substr(0, eq));
        json += ':';
        appendJsonString(json,
                         eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1));
    }
    json += "},\"pid\":";
    json += std::to_string(::getpid());
    json += "}\n";
    return json;
}

// --- Directives that take time or bytes ---

void sleepMs(std::uint64_t ms) {
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// Debug-level chatter the size of a real log line; the total is exact, so the last line may be
// cut short (it still ends in a newline).
void flood(std::uint64_t total, std::uint64_t lineLength) {
    constexpr std::string_view head = "2000-01-01T00:00:00Z DBG flood line=0000000000 ";
    constexpr std::size_t seqAt = 36;
    std::string line(std::max<std::size_t>(lineLength, head.size()), ' ');
    line.replace(0, head.size(), head);
    for (std::size_t i = head.size(); i < line.size(); ++i) {
        line[i] = static_cast<char>('a' + (i - head.size()) % 26);
    }
    std::int64_t shownSecond = -1;
    std::uint64_t seq = 0;
    while (total > 0) {
        const std::int64_t now = nowSeconds();
        if (now != shownSecond) {
            formatUtc(now, line.data());
            shownSecond = now;
        }
        ++seq;
        for (std::size_t i = 0, v = seq; i < 10; ++i, v /= 10) {
            line[seqAt + 9 - i] = static_cast<char>('0' + v % 10);
        }
        const auto n = static_cast<std::size_t>(std::min(total, lineLength));
        const char saved = line[n - 1];
        line[n - 1] = '\n';
        writeAll(STDERR_FILENO, line.data(), n);
        line[n - 1] = saved;
        total -= n;
    }
}

void longline(std::uint64_t bytes) {
    const std::string chunk(kChunk, 'x');
    while (bytes > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kChunk));
        writeAll(STDERR_FILENO, chunk.data(), n);
        bytes -= n;
    }
}

[[noreturn]] void crash() {
    // No core file in the test's working directory.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::signal(SIGSEGV, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGSEGV);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(SIGSEGV);
    std::abort();
}

// --- Script parsing; the whole script, includes too, is read before anything runs, so a typo
// fails at once instead of halfway through a transcript. ---

std::string readFile(const std::string &path, std::string &error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return {};
    }
    std::string content;
    char buf[kChunk];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = std::strerror(errno);
            ::close(fd);
            return {};
        }
        if (n == 0) {
            break;
        }
        content.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

struct Parser {
    std::string file;
    std::string dir;
    int lineNo = 0;
    int depth = 0;

    [[noreturn]] void error(const std::string &message) const {
        fail(file + ":" + std::to_string(lineNo) + ": " + message);
    }

    std::uint64_t number(std::string_view text, const char *what) const {
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
            text.remove_suffix(1);
        }
        std::uint64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
            error(std::string("expected a number for ") + what + ", got '" + std::string(text) +
                  "'");
        }
        return value;
    }

    std::string decodeEscapes(std::string_view text) const {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\\') {
                out += text[i];
                continue;
            }
            if (++i == text.size()) {
                error("raw: lone backslash at the end");
            }
            switch (text[i]) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            case 'x': {
                unsigned value = 0;
                const char *from = text.data() + i + 1;
                const char *to = from + std::min<std::size_t>(2, text.size() - i - 1);
                const auto [end, ec] = std::from_chars(from, to, value, 16);
                if (ec != std::errc() || end != from + 2) {
                    error("raw: \\x needs two hex digits");
                }
                out += static_cast<char>(value);
                i += 2;
                break;
            }
            default:
                error(std::string("raw: unknown escape \\") + text[i]);
            }
        }
        return out;
    }

    Step directive(std::string_view line) const {
        const std::size_t space = line.find(' ');
        const std::string_view name = line.substr(0, space);
        const std::string_view arg =
            space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        Step step;
        if (name == "err" || name == "out" || name == "on-term") {
            step.op = name == "err" ? Op::Err : name == "out" ? Op::Out : Op::OnTerm;
            step.text = arg;
        } else if (name == "raw") {
            step.op = Op::Raw;
            step.text = decodeEscapes(arg);
        } else if (name == "sleep") {
            step.op = Op::Sleep;
            step.first = number(arg, "sleep");
        } else if (name == "record" || name == "pidfile") {
            step.op = name == "record" ? Op::Record : Op::Pidfile;
            if (arg.empty()) {
                error(std::string(name) + " needs a path");
            }
            step.text = arg;
        } else if (name == "ignore-term" || name == "crash" || name == "wait") {
            step.op = name == "ignore-term" ? Op::IgnoreTerm
                      : name == "crash"     ? Op::Crash
                                            : Op::Wait;
        } else if (name == "exit") {
            step.op = Op::Exit;
            step.first = number(arg, "exit");
            if (step.first > 255) {
                error("exit code must be 0-255");
            }
        } else if (name == "flood") {
            step.op = Op::Flood;
            const std::size_t split = arg.find(' ');
            if (split == std::string_view::npos) {
                error("flood needs <total-bytes> <line-length>");
            }
            step.first = number(arg.substr(0, split), "flood total");
            step.second = number(arg.substr(split + 1), "flood line length");
            if (step.second == 0) {
                error("flood line length must be at least 1");
            }
        } else if (name == "longline") {
            step.op = Op::Longline;
            step.first = number(arg, "longline");
        } else if (name == "include") {
            if (arg.empty()) {
                error("include needs a path");
            }
            step.op = Op::Include;
            const std::string path =
                arg.front() == '/' ? std::string(arg) : dir + "/" + std::string(arg);
            if (depth + 1 > kMaxIncludeDepth) {
                error("include nested too deeply (does a script include itself?)");
            }
            step.body = parseFile(path, depth + 1, file + ":" + std::to_string(lineNo) + ": ");
        } else if (name == "repeat") {
            step.op = Op::Repeat;
            const std::size_t split = arg.find(' ');
            if (split == std::string_view::npos) {
                error("repeat needs <n> <directive...>");
            }
            step.first = number(arg.substr(0, split), "repeat count");
            step.body.push_back(directive(arg.substr(split + 1)));
        } else {
            error("unknown directive '" + std::string(name) + "'");
        }
        return step;
    }

    static std::vector<Step> parseFile(const std::string &path, int depth,
                                       const std::string &includedAt = {}) {
        std::string readError;
        const std::string content = readFile(path, readError);
        if (!readError.empty()) {
            fail(includedAt + "cannot read script " + path + ": " + readError);
        }
        const std::size_t slash = path.rfind('/');
        Parser parser{path, slash == std::string::npos ? std::string(".") : path.substr(0, slash),
                      0, depth};
        std::vector<Step> steps;
        std::string_view rest(content);
        while (!rest.empty()) {
            const std::size_t nl = rest.find('\n');
            std::string_view line = rest.substr(0, nl);
            rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
            ++parser.lineNo;
            // Tolerate scripts saved with CRLF line ends; a wanted \r goes through raw.
            if (line.ends_with('\r')) {
                line.remove_suffix(1);
            }
            const std::size_t begin = line.find_first_not_of(" \t");
            if (begin == std::string_view::npos || line[begin] == '#') {
                continue;
            }
            steps.push_back(parser.directive(line.substr(begin)));
        }
        return steps;
    }
};

// --- Running ---

struct Runner {
    int argc;
    char **argv;

    void run(const std::vector<Step> &steps) {
        for (const Step &step : steps) {
            run(step);
        }
    }

    void run(const Step &step) {
        switch (step.op) {
        case Op::Err:
            writeLine(STDERR_FILENO, step.text);
            break;
        case Op::Out:
            writeLine(STDOUT_FILENO, step.text);
            break;
        case Op::Raw:
            writeAll(STDERR_FILENO, step.text.data(), step.text.size());
            break;
        case Op::Sleep:
            sleepMs(step.first);
            break;
        case Op::Record:
            writeFileAtomically(step.text, recordJson(argc, argv), "record");
            break;
        case Op::Pidfile:
            writeFileAtomically(step.text, std::to_string(::getpid()) + "\n", "pidfile");
            break;
        case Op::IgnoreTerm:
            setTermAction(SIG_IGN);
            break;
        case Op::OnTerm:
            installOnTerm(step.text);
            break;
        case Op::Exit:
            _exit(static_cast<int>(step.first));
        case Op::Crash:
            crash();
        case Op::Wait:
            for (;;) {
                ::pause();
            }
        case Op::Flood:
            flood(step.first, step.second);
            break;
        case Op::Longline:
            longline(step.first);
            break;
        case Op::Include:
            run(step.body);
            break;
        case Op::Repeat:
            for (std::uint64_t i = 0; i < step.first; ++i) {
                run(step.body);
            }
            break;
        }
    }
};

std::string urlArgument(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if ((arg == "--url" || arg == "-url") && i + 1 < argc) {
            return argv[i + 1];
        }
        for (const std::string_view prefix : {"--url=", "-url="}) {
            if (arg.starts_with(prefix)) {
                return std::string(arg.substr(prefix.size()));
            }
        }
    }
    return {};
}

} // namespace

int main(int argc, char **argv) {
    // A closed pipe shows up as EPIPE from write(), which ends the run quietly.
    ::signal(SIGPIPE, SIG_IGN);
    // Start from the default: an ignored or blocked SIGTERM inherited from the parent would
    // make the tests depend on who started them.
    setTermAction(SIG_DFL);
    const sigset_t term = termSignals();
    ::sigprocmask(SIG_UNBLOCK, &term, nullptr);

    g_url = urlArgument(argc, argv);

    const char *script = std::getenv("VELUMO_STANDIN_SCRIPT");
    if (script == nullptr || *script == '\0') {
        fail("VELUMO_STANDIN_SCRIPT is not set; it names the script to replay");
    }
    const std::vector<Step> steps = Parser::parseFile(script, 0);
    Runner{argc, argv}.run(steps);
    return 0;
}
