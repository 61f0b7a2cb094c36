// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Velumo developers

// Replays a script of writes, pauses, files, signals and exits in place of cloudflared, so tests
// can run the real process-handling code against a known transcript. README.md documents the
// directives. Plain C++ and POSIX on purpose: it must start fast and behave the same every run.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace {

struct Step {
    std::string op;
    std::string text;
    std::string path;
    std::uint64_t n[2] = {0, 0};
    std::vector<Step> body; // the included script, or the one directive of repeat/exists/missing
};

int g_argc = 0;
char **g_argv = nullptr;
// Only on-term's handler sets it. The run is always in a pause or a write when a signal comes,
// and acts on it right after, so the handler need do nothing else.
volatile sig_atomic_t g_signal = 0;
std::string g_termText;
std::string g_where; // "file:line: " of the directive being parsed

[[noreturn]] void fail(const std::string &message)
{
    const std::string line = "velumo-standin: " + message + "\n";
    [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, line.data(), line.size());
    _exit(2);
}

// Loops only on partial writes, so each line stays one write() as cloudflared does it. Exits
// 141, as a shell reports death by SIGPIPE, when the reader has gone.
void put(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, -1);
        } else if (n < 0 && errno != EINTR) {
            _exit(141);
        }
        data.remove_prefix(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
}

std::int64_t monoNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

std::string utc(time_t seconds)
{
    tm parts{};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", ::gmtime_r(&seconds, &parts));
    return text;
}

// The value after `flag`, as the next argument or as `flag=value`; empty if none.
std::string argument(std::string_view flag)
{
    for (int i = 1; i < g_argc; ++i) {
        const std::string_view arg(g_argv[i]);
        if (arg == flag && i + 1 < g_argc) {
            return g_argv[i + 1];
        }
        if (arg.starts_with(flag) && arg.substr(flag.size()).starts_with('=')) {
            return std::string(arg.substr(flag.size() + 1));
        }
    }
    return {};
}

std::optional<std::string> tokenValue(std::string_view token, int signo)
{
    const std::string_view name = token.substr(std::min(token.find(':') + 1, token.size()));
    if (token == "url") {
        return argument("--url").empty() ? argument("-url") : argument("--url");
    } else if (token == "pid" || token == "mono") {
        return std::to_string(token == "pid" ? ::getpid() : monoNs());
    } else if (token == "now") {
        return utc(std::time(nullptr));
    } else if (token == "signal" && signo != 0) {
        return signo == SIGINT ? "interrupt" : "terminated"; // as Go names them
    } else if (token == "last") {
        return g_argc > 1 ? g_argv[g_argc - 1] : "";
    } else if (token == "home" || token.starts_with("env:")) {
        const char *value = std::getenv(token == "home" ? "HOME" : std::string(name).c_str());
        return value != nullptr ? value : "";
    } else if (token.starts_with("arg:")) {
        return argument(name);
    }
    return std::nullopt;
}

// Replaces the known {tokens}; anything else in braces stays as written (log text is full of it).
std::string expand(std::string_view text, int signo = 0)
{
    std::string out;
    std::size_t i = 0;
    for (std::size_t open; (open = text.find('{', i)) != std::string_view::npos;) {
        const std::size_t close = text.find('}', open);
        const auto value = close == std::string_view::npos
                               ? std::nullopt
                               : tokenValue(text.substr(open + 1, close - open - 1), signo);
        out += text.substr(i, open - i);
        out += value ? *value : "{";
        i = value ? close + 1 : open + 1;
    }
    return out += text.substr(i);
}

// Ends the run as on-term said, once its handler has seen SIGTERM or SIGINT.
void actOnSignal()
{
    if (g_signal != 0) {
        const std::string line = expand(g_termText, g_signal) + "\n";
        [[maybe_unused]] const auto ignored = ::write(STDERR_FILENO, line.data(), line.size());
        _exit(0);
    }
}

void setTermAction(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler; // no SA_RESTART: a signal ends a blocked write() or pselect()
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

// Pauses until the monotonic deadline, or for good when it is negative. Signals are blocked but
// inside pselect(), so one that comes just before it is not missed.
void pauseUntil(std::int64_t deadline)
{
    sigset_t all, old;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &old);
    for (std::int64_t left = 0;
         g_signal == 0 && (deadline < 0 || (left = deadline - monoNs()) > 0);) {
        const timespec wait{time_t(left / 1000000000), long(left % 1000000000)};
        ::pselect(0, nullptr, nullptr, nullptr, deadline < 0 ? nullptr : &wait, &old);
    }
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    actOnSignal();
}

// Makes the missing folders above `path` 0700 (as the tool makes ~/.cloudflared), then writes
// `<path>.tmp` with exactly `mode`, whatever the umask, and renames it, so a reader never sees
// half a file.
void writeFile(const std::string &path, const std::string &content, mode_t mode)
{
    for (auto end = path.find('/', 1); end != std::string::npos; end = path.find('/', end + 1)) {
        if (::mkdir(path.substr(0, end).c_str(), 0700) == 0) {
            ::chmod(path.substr(0, end).c_str(), 0700);
        }
    }
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    const bool written = fd >= 0 && ::fchmod(fd, mode) == 0 &&
                         ::write(fd, content.data(), content.size()) == ssize_t(content.size());
    if (fd < 0 || ::close(fd) != 0 || !written || ::rename(tmp.c_str(), path.c_str()) != 0) {
        fail("cannot write " + path + ": " + std::strerror(errno));
    }
}

std::string recordJson()
{
    // `"`, `\` and control bytes escaped; other bytes pass untouched, so an argument that is not
    // valid UTF-8 comes out exactly as the process received it.
    const auto json = [](std::string_view text) {
        std::string out = "\"";
        for (const char c : text) {
            static constexpr char hex[] = "0123456789abcdef";
            if (static_cast<unsigned char>(c) < 0x20) {
                out += std::string("\\u00") + hex[c >> 4] + hex[c & 15];
            } else {
                out += c == '"' || c == '\\' ? std::string{'\\', c} : std::string{c};
            }
        }
        return out + '"';
    };
    std::string out = "{\"argv\":[";
    for (int i = 0; i < g_argc; ++i) {
        out += (i > 0 ? "," : "") + json(g_argv[i]);
    }
    out += "],\"env\":{";
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view item(*entry);
        const std::size_t eq = std::min(item.find('='), item.size());
        out += (entry != environ ? "," : "") + json(item.substr(0, eq)) + ':' +
               json(item.substr(std::min(eq + 1, item.size())));
    }
    return out + "},\"pid\":" + std::to_string(::getpid()) + "}\n";
}

// Debug lines of exactly `length` bytes up to exactly `total` bytes; the last may be shorter.
void flood(std::uint64_t total, std::uint64_t length)
{
    std::string line = "2000-01-01T00:00:00Z DBG flood line=0000000000 ";
    for (std::size_t i = 0; line.size() < length; ++i) {
        line += static_cast<char>('a' + i % 26);
    }
    for (std::uint64_t seq = 1, shown = 0; total > 0; ++seq) {
        if (const auto now = static_cast<std::uint64_t>(std::time(nullptr)); now != shown) {
            line.replace(0, 20, utc(static_cast<time_t>(shown = now)));
        }
        for (std::uint64_t i = 45, left = seq; i > 35; --i, left /= 10) {
            line[i] = static_cast<char>('0' + left % 10);
        }
        const auto size = static_cast<std::size_t>(std::min(total, length));
        const char kept = std::exchange(line[size - 1], '\n');
        put(STDERR_FILENO, std::string_view(line).substr(0, size));
        line[size - 1] = kept;
        total -= size;
        actOnSignal();
    }
}

void run(const std::vector<Step> &steps)
{
    for (const Step &s : steps) {
        const std::string &op = s.op;
        if (op == "err" || op == "out") {
            put(op == "err" ? STDERR_FILENO : STDOUT_FILENO, expand(s.text) + "\n");
        } else if (op == "raw") {
            put(STDERR_FILENO, s.text);
        } else if (op == "sleep" || op == "wait") {
            pauseUntil(op == "wait" ? -1 : monoNs() + static_cast<std::int64_t>(s.n[0]) * 1000000);
        } else if (op == "record" || op == "pidfile") {
            writeFile(s.path, op == "record" ? recordJson() : std::to_string(::getpid()) + "\n",
                      0644);
        } else if (op == "writefile") {
            writeFile(expand(s.path), expand(s.text) + "\n", static_cast<mode_t>(s.n[0]));
        } else if (op == "ignore-term" || op == "on-term") {
            g_termText = s.text;
            setTermAction(op == "ignore-term" ? SIG_IGN : [](int signo) { g_signal = signo; });
        } else if (op == "exit") {
            _exit(static_cast<int>(s.n[0]));
        } else if (op == "crash") {
            const rlimit noCore{0, 0}; // leaves no core file in the test's working directory
            ::setrlimit(RLIMIT_CORE, &noCore);
            ::signal(SIGSEGV, SIG_DFL);
            ::raise(SIGSEGV);
        } else if (op == "flood") {
            flood(s.n[0], s.n[1]);
        } else if (op == "longline") {
            const std::string chunk(64 * 1024, 'x');
            for (std::uint64_t left = s.n[0]; left > 0; left -= std::min(left, chunk.size())) {
                put(STDERR_FILENO, std::string_view(chunk).substr(0, left));
                actOnSignal();
            }
        } else if (op == "exists" || op == "missing") {
            if ((::access(expand(s.path).c_str(), F_OK) == 0) == (op == "exists")) {
                run(s.body);
            }
        } else { // include, repeat
            for (std::uint64_t i = 0; i < (op == "repeat" ? s.n[0] : 1); ++i) {
                run(s.body);
            }
        }
        actOnSignal();
    }
}

// The whole script, includes too, is read and checked before anything runs, so a typo fails at
// once with `file:line:` instead of halfway through a transcript.

std::uint64_t number(std::string_view text, const std::string &what, int base)
{
    text = text.substr(0, text.find_last_not_of(" \t") + 1);
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        fail(g_where + "expected a number for " + what + ", got '" + std::string(text) + "'");
    }
    return value;
}

// raw's escapes: \n \r \t \\ and \xHH.
std::string unescape(std::string_view text)
{
    static constexpr std::string_view from = "nrt\\", to = "\n\r\t\\";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::string_view esc = text.substr(std::min(i + 1, text.size()), 3);
        unsigned hex = 0;
        if (text[i] != '\\') {
            out += text[i];
        } else if (!esc.empty() && from.find(esc[0]) != std::string_view::npos) {
            out += to[from.find(esc[0])];
            i += 1;
        } else if (esc.size() == 3 && esc[0] == 'x' &&
                   std::from_chars(esc.data() + 1, esc.data() + 3, hex, 16).ptr == esc.data() + 3) {
            out += static_cast<char>(hex);
            i += 3;
        } else {
            fail(g_where + "raw: bad escape at '" + std::string(text.substr(i, 4)) + "'");
        }
    }
    return out;
}

// What each directive takes, in order: n a number, o an octal number, p a path, t text, d a
// directive. Each but the last is one word; the last takes the rest of the line.
const std::map<std::string, std::string, std::less<>> kArguments = {
    {"err", "t"},      {"out", "t"},        {"on-term", "t"}, {"raw", "t"},
    {"sleep", "n"},    {"longline", "n"},   {"exit", "n"},    {"flood", "nn"},
    {"record", "p"},   {"pidfile", "p"},    {"include", "p"}, {"wait", ""},
    {"crash", ""},     {"ignore-term", ""}, {"repeat", "nd"}, {"exists", "pd"},
    {"missing", "pd"}, {"writefile", "opt"}};

std::vector<Step> parseFile(const std::string &path, int depth);

Step directive(std::string_view line, const std::string &file, int depth)
{
    const std::size_t space = line.find(' ');
    Step s;
    s.op = line.substr(0, space);
    std::string_view rest = space == std::string_view::npos ? "" : line.substr(space + 1);
    const auto kinds = kArguments.find(s.op);
    if (kinds == kArguments.end()) {
        fail(g_where + "unknown directive '" + s.op + "'");
    }
    for (std::size_t k = 0, numbers = 0; k < kinds->second.size(); ++k) {
        std::string_view word = rest;
        if (k + 1 < kinds->second.size()) {
            word = rest.substr(0, rest.find(' '));
            rest = rest.substr(std::min(word.size() + 1, rest.size()));
        }
        const char kind = kinds->second[k];
        if (kind == 'n' || kind == 'o') {
            s.n[numbers++] = number(word, s.op, kind == 'o' ? 8 : 10);
        } else if (kind == 'p' && word.empty()) {
            fail(g_where + s.op + " needs a path");
        } else if (kind == 'p') {
            s.path = word;
        } else if (kind == 't') {
            s.text = s.op == "raw" ? unescape(word) : std::string(word);
        } else {
            s.body.push_back(directive(word, file, depth));
        }
    }
    if ((s.op == "exit" && s.n[0] > 255) || (s.op == "flood" && s.n[1] == 0)) {
        fail(g_where +
             (s.op == "exit" ? "exit code must be 0-255" : "flood line length must be at least 1"));
    }
    if (s.op == "include" && depth >= 32) {
        fail(g_where + "include nested too deeply (does a script include itself?)");
    } else if (s.op == "include") {
        const std::string dir = s.path.starts_with('/') ? "" : file.substr(0, file.rfind('/') + 1);
        s.body = parseFile(dir + s.path, depth + 1);
    }
    return s;
}

std::vector<Step> parseFile(const std::string &path, int depth)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<Step> steps;
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
        g_where = path + ":" + std::to_string(++lineNo) + ": ";
        if (line.ends_with('\r')) { // saved with CRLF; a wanted \r goes through raw
            line.pop_back();
        }
        const std::size_t begin = line.find_first_not_of(" \t");
        if (begin != std::string::npos && line[begin] != '#') {
            steps.push_back(directive(std::string_view(line).substr(begin), path, depth));
        }
    }
    if (!in.is_open() || in.bad()) {
        fail(g_where + "cannot read script " + path + ": " + std::strerror(errno));
    }
    return steps;
}

} // namespace

int main(int argc, char **argv)
{
    g_argc = argc;
    g_argv = argv;
    // EPIPE from write() ends the run quietly. SIGTERM and SIGINT start out with their default
    // action and unblocked, whatever the parent left them at.
    ::signal(SIGPIPE, SIG_IGN);
    setTermAction(SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    const char *script = std::getenv("VELUMO_STANDIN_SCRIPT");
    if (script == nullptr || *script == '\0') {
        fail("VELUMO_STANDIN_SCRIPT is not set; it names the script or folder to replay");
    }
    std::string path = script;
    struct stat info {};
    if (::stat(script, &info) == 0 && S_ISDIR(info.st_mode)) {
        // A folder holds a script per subcommand, named by the first argument that is one.
        const std::string_view names[] = {"login",   "create", "route", "run",
                                          "cleanup", "delete", "list"};
        const auto found =
            std::find_first_of(argv + 1, argv + argc, std::begin(names), std::end(names));
        path += "/" + std::string(found == argv + argc ? "quick" : *found) + ".script";
        if (::access(path.c_str(), F_OK) != 0) {
            fail("no " + path + " for this command");
        }
    }
    run(parseFile(path, 0));
}
