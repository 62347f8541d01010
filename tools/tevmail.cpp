// tevmail: send, list, fetch and delete mail from the command line, and check the syntax of addresses.
// A client of the public TEV32 interface (tev32.h) and nothing else. It turns auto-call off and drives each
// operation with its own tevDriver loop, so it can draw a progress bar and stop cleanly on Ctrl-C between steps.
//
// Exit status: 0 done; 1 the library or the server reported a failure (its text is printed); 2 usage error;
// 3 a local file could not be read or written; 130 interrupted.

#include <tev32.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace {

constexpr int32_t kChannel = 0;

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitLocalFile = 3, kExitInterrupted = 130 };

// What drive() returns when Ctrl-C stopped an operation (no library code is this low).
constexpr int32_t kInterrupted = INT32_MIN;

// tevDriver answers 9999 while a channel waits for its next tick or for a writable socket.
constexpr int32_t kDriverWaiting = 9999;

const char kPasswordVariable[] = "TEVMAIL_PASSWORD";

// The library keeps server names and directories in 128-character fields and user names and passwords in 64-character
// fields, cutting longer texts; tevmail refuses them instead of letting a cut one go to the wrong place.
constexpr size_t kMaxServerName = 128;
constexpr size_t kMaxDirectory = 128;
constexpr size_t kMaxCredential = 64;

volatile sig_atomic_t g_interrupted = 0;

// The first Ctrl-C stops the operation between two steps; a second one (say, during a long connect) quits at once.
void onInterrupt(int) {
    if (g_interrupted) _exit(kExitInterrupted);
    g_interrupted = 1;
}

// ---------------------------------------------------------------------------------------------------------------
// Help texts

const char kToolHelp[] =
    "usage: tevmail COMMAND [OPTIONS]\n"
    "\n"
    "Send and read mail with the TEV32 library.\n"
    "\n"
    "Commands:\n"
    "  send     send a message over SMTP (text or HTML, alternative text, attachments, AUTH)\n"
    "  list     list the messages of a POP3 mailbox\n"
    "  fetch    fetch messages over POP3 and decode them into a text file plus attachment files\n"
    "  delete   delete messages from a POP3 mailbox\n"
    "  verify   check the syntax of e-mail addresses (no network)\n"
    "\n"
    "Run 'tevmail COMMAND --help' for the options of a command; 'tevmail --version' shows the library version.\n"
    "Passwords may come from the environment variable TEVMAIL_PASSWORD instead of --password.\n"
    "Exit status: 0 done, 1 failed (the library's or the server's message is printed), 2 usage error,\n"
    "3 a local file could not be read or written, 130 interrupted.\n";

const char kSendHelp[] =
    "usage: tevmail send --server HOST[:PORT] --from ADDR --to LIST [--cc LIST] [--bcc LIST]\n"
    "                    [--subject S] (--text T | --text-file F) [--html] [--alt-text T]\n"
    "                    [--attach PATH[|NAME]]... [--user U [--password P]] [--header \"Name: value\"]...\n"
    "                    [--reply-to ADDR] [--trace FILE] [--timeout SECONDS] [--verbose]\n"
    "\n"
    "Sends one message over SMTP (port 25 unless given).\n"
    "\n"
    "  --from ADDR          sender; 'Name <a@example.org>' or a bare a@example.org (tevmail adds the <>)\n"
    "  --to, --cc, --bcc    recipient lists, addresses separated by ','\n"
    "  --text T             the message text; --text-file F reads it from a file ('-' reads standard input)\n"
    "  --html               the text is HTML (multipart/related); attachments named *.gif, *.jpg, *.bmp or\n"
    "                       *.tif become inline images, referenced in the HTML as cid:message-root.1,\n"
    "                       cid:message-root.2, ... in the order they are attached\n"
    "  --alt-text T         plain-text alternative shown by mail readers without HTML (needs --html)\n"
    "  --attach PATH[|NAME] attach a file, optionally under another name; repeat for more files\n"
    "  --user U             authenticate (EHLO, then AUTH CRAM-MD5, LOGIN or PLAIN, whichever the server\n"
    "                       offers first in that order); the password comes from --password or TEVMAIL_PASSWORD\n"
    "  --header \"N: v\"      add a header line (needs --subject); repeat for more\n"
    "  --reply-to ADDR      add a Reply-To header\n"
    "  --trace FILE         write the library's trace log (it holds the AUTH exchange: keep it private)\n"
    "  --timeout SECONDS    give up on a silent server after this long (default 25, connect 60)\n"
    "  --verbose            report each step on standard error\n";

const char kListHelp[] =
    "usage: tevmail list --server HOST[:PORT] --user U [--password P] [--apop] [--number N | --all]\n"
    "                    [--trace FILE] [--timeout SECONDS] [--verbose]\n"
    "\n"
    "Lists the messages of a POP3 mailbox (port 110 unless given): number, size in bytes, sender and subject.\n"
    "\n"
    "  --apop               log in with APOP instead of USER/PASS (the password never crosses the wire)\n"
    "  --number N           list message N only; --all (the default) lists every message\n";

const char kFetchHelp[] =
    "usage: tevmail fetch --server HOST[:PORT] --user U [--password P] [--apop] (--number N | --all)\n"
    "                     [--out DIR] [--attachments DIR] [--raw] [--number-files]\n"
    "                     [--trace FILE] [--timeout SECONDS] [--verbose]\n"
    "\n"
    "Fetches messages over POP3 and decodes them: DIR/message-N.txt holds the readable text, each attachment\n"
    "is saved as a file of its own. Messages stay on the server (see 'tevmail delete').\n"
    "\n"
    "  --out DIR            where the message files go (default: the current directory; created if missing)\n"
    "  --attachments DIR    where attachment files go (default: the --out directory)\n"
    "  --raw                save each message undecoded, exactly as the server holds it, as DIR/message-N.eml\n"
    "  --number-files       prefix attachment file names with a running number (1-name, 2-name, ...)\n"
    "  --apop, --number N, --all: as for 'tevmail list'\n";

const char kDeleteHelp[] =
    "usage: tevmail delete --server HOST[:PORT] --user U [--password P] [--apop] (--number N | --all)\n"
    "                      [--trace FILE] [--timeout SECONDS] [--verbose]\n"
    "\n"
    "Deletes messages from a POP3 mailbox. The server removes them when the session ends normally.\n";

const char kVerifyHelp[] =
    "usage: tevmail verify ADDRESS...\n"
    "\n"
    "Checks the syntax of each address ('Name <a@example.org>' or a bare a@example.org) without any network\n"
    "access: one '@', and only letters, digits and _ - / . $ & ' between the angle brackets.\n"
    "Exit status 0 when every address is well formed, 1 otherwise.\n";

// ---------------------------------------------------------------------------------------------------------------
// Command-line options

struct KnownOption {
    const char *name;  // with its leading dashes
    bool takesValue;
    bool repeatable;
};

class Options {
public:
    bool has(const char *name) const { return given_.count(name) != 0; }
    std::string value(const char *name, const std::string &fallback = std::string()) const {
        auto it = given_.find(name);
        return it == given_.end() ? fallback : it->second.back();
    }
    std::vector<std::string> values(const char *name) const {
        auto it = given_.find(name);
        return it == given_.end() ? std::vector<std::string>() : it->second;
    }
    void add(const std::string &name, const std::string &value) { given_[name].push_back(value); }

    std::vector<std::string> positional;

private:
    std::map<std::string, std::vector<std::string>> given_;
};

int usageError(const char *command, const std::string &problem) {
    fprintf(stderr, "tevmail %s: %s\nRun 'tevmail %s --help' for the options.\n", command, problem.c_str(),
            command);
    return kExitUsage;
}

// Parses argv[first..] as "--name VALUE", "--name=VALUE" or "--name". Returns -1 when it went well, else the exit
// status (usage error, or 0 after printing the help text).
int parseOptions(const char *command, const char *help, int argc, char **argv, int first,
                 const std::vector<KnownOption> &known, Options *out) {
    bool optionsEnded = false;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            out->positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            fputs(help, stdout);
            return kExitOk;
        }
        std::string name = arg, value;
        bool inlineValue = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            inlineValue = true;
        }
        if (name == "-v") name = "--verbose";
        const KnownOption *option = nullptr;
        for (const KnownOption &candidate : known) {
            if (name == candidate.name) option = &candidate;
        }
        if (option == nullptr) return usageError(command, "unknown option " + name);
        if (option->takesValue && !inlineValue) {
            if (i + 1 >= argc) return usageError(command, name + " needs a value");
            value = argv[++i];
        } else if (!option->takesValue && inlineValue) {
            return usageError(command, name + " takes no value");
        }
        if (!option->repeatable && out->has(option->name)) return usageError(command, name + " given twice");
        out->add(option->name, value);
    }
    return -1;
}

const std::vector<KnownOption> kCommonOptions = {
    {"--server", true, false}, {"--trace", true, false}, {"--timeout", true, false}, {"--verbose", false, false}};

std::vector<KnownOption> withCommon(std::vector<KnownOption> known) {
    known.insert(known.end(), kCommonOptions.begin(), kCommonOptions.end());
    return known;
}

// A whole decimal number in [low, high].
bool parseNumber(const std::string &text, long low, long high, long *out) {
    if (text.empty() || text.size() > 10) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return false;
    *out = value;
    return true;
}

struct Server {
    std::string host;
    int32_t port = 0;
    std::string shown;  // host:port, for messages
};

// HOST or HOST:PORT (the library resolves IPv4 names and dotted addresses).
bool parseServer(const std::string &text, int32_t defaultPort, Server *out) {
    std::string host = text;
    long port = defaultPort;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        if (!parseNumber(text.substr(colon + 1), 1, 65535, &port)) return false;
    }
    if (host.empty() || host.size() > kMaxServerName) return false;
    out->host = host;
    out->port = static_cast<int32_t>(port);
    out->shown = host + ":" + std::to_string(port);
    return true;
}

std::string trim(const std::string &text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// The library wants every address inside '<' and '>'; a bare address gets them here.
std::string normaliseAddress(const std::string &text) {
    std::string address = trim(text);
    if (!address.empty() && address.find('<') == std::string::npos && address.find('>') == std::string::npos) {
        return "<" + address + ">";
    }
    return address;
}

// "a@x, Name <b@y>" -> "<a@x>, Name <b@y>"; empty elements (a trailing ',') are dropped.
std::string normaliseList(const std::string &list) {
    std::string result;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string element = normaliseAddress(list.substr(start, comma == std::string::npos ? std::string::npos
                                                                                              : comma - start));
        if (!element.empty()) {
            if (!result.empty()) result += ", ";
            result += element;
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return result;
}

bool hasLineBreak(const std::string &text) { return text.find_first_of("\r\n") != std::string::npos; }

// ---------------------------------------------------------------------------------------------------------------
// Small OS helpers

double nowSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void sleepMilliseconds(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// Size of a readable regular file, or -1 with errno set.
int64_t readableFileSize(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info;
    int rc = fstat(fd, &info);
    int saved = errno;
    close(fd);
    if (rc != 0) {
        errno = saved;
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

// mkdir -p
bool makeDirectories(const std::string &path) {
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        partial = path.substr(0, slash);
        if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
        pos = slash + 1;
    }
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string joinPath(const std::string &directory, const std::string &name) {
    if (directory.empty()) return name;
    if (directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

// A file that exists for one run of the tool (message text from standard input, or a text that starts with '@').
class TemporaryFile {
public:
    ~TemporaryFile() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    // Creates the file with the given bytes; false with errno set on failure.
    bool create(const std::string &bytes) {
        const char *dir = getenv("TMPDIR");
        std::string pattern = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/tevmail.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int fd = mkstemp(name.data());
        if (fd < 0) return false;
        path_ = name.data();
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                int saved = errno;
                close(fd);
                errno = saved;
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return close(fd) == 0;
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

bool readAll(int fd, std::string *out) {
    char chunk[65536];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out->append(chunk, static_cast<size_t>(n));
    }
}

bool writeFile(const std::string &path, const char *bytes, size_t length) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

// ---------------------------------------------------------------------------------------------------------------
// The library

// The library's text for a code, as one line: a server reply appended to it (for -36, -49 and -63) keeps its own
// CR LF, which becomes " | " between the reply's lines.
std::string errorText(int32_t code) {
    char buffer[4096];
    int32_t length = tevErrorText(kChannel, code, buffer, static_cast<int32_t>(sizeof buffer));
    if (length <= 0) return "error " + std::to_string(code);
    std::string text;
    bool pendingBreak = false;
    for (int32_t i = 0; i < length; ++i) {
        char c = buffer[i];
        if (c == '\r') continue;
        if (c == '\n') {
            pendingBreak = true;
            continue;
        }
        if (pendingBreak) {
            text += " | ";
            pendingBreak = false;
        }
        text += c;
    }
    return trim(text);
}

// Prints "tevmail: WHAT: TEXT (CODE)" and, when the failure came from a socket call, its own text and number.
int reportFailure(const std::string &what, int32_t code) {
    if (code == kInterrupted) {
        fprintf(stderr, "tevmail: %s: interrupted\n", what.c_str());
        return kExitInterrupted;
    }
    std::string line = "tevmail: " + what + ": " + errorText(code) + " (" + std::to_string(code) + ")";
    int32_t socketCode = tevStatistics(kChannel, TEV_STAT_SOCKET_ERROR);
    if (socketCode < 0 && socketCode != code) {
        line += "; " + errorText(socketCode) + " (" + std::to_string(socketCode) + ")";
    }
    fprintf(stderr, "%s\n", line.c_str());
    return kExitFailed;
}

std::string lastReply() {
    char buffer[256];
    int32_t length = tevDebug(kChannel, TEV_DEBUG_LAST_REPLY, buffer, static_cast<int32_t>(sizeof buffer));
    if (length <= 0) return std::string();
    return trim(std::string(buffer, static_cast<size_t>(length)));
}

std::string humanSize(int64_t bytes) {
    char text[32];
    if (bytes < 1024) {
        snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    } else if (bytes < 1024 * 1024) {
        snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    } else {
        snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    }
    return text;
}

// A progress bar on standard error for operations that take a while: drawn only when standard error is a
// terminal and only after the first half second, so quick operations and scripts see nothing.
class Progress {
public:
    Progress(const char *label, int64_t total, int32_t statistic)
        : label_(label), total_(total), statistic_(statistic), start_(nowSeconds()),
          enabled_(total > 0 && isatty(STDERR_FILENO) == 1) {}
    ~Progress() { finish(); }

    void update() {
        if (!enabled_) return;
        double now = nowSeconds();
        if (now - start_ < 0.5 || now - lastDraw_ < 0.1) return;
        lastDraw_ = now;
        int64_t done = tevStatistics(kChannel, statistic_);
        if (done < 0) done = 0;
        if (done > total_) done = total_;
        const int width = 30;
        int filled = static_cast<int>(done * width / total_);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(width - filled), '.');
        fprintf(stderr, "\r%-8s [%s] %3d%%  %s / %s\033[K", label_, bar.c_str(),
                static_cast<int>(done * 100 / total_), humanSize(done).c_str(), humanSize(total_).c_str());
        fflush(stderr);
        drawn_ = true;
    }
    void finish() {
        if (drawn_) {
            fputs("\r\033[K", stderr);
            fflush(stderr);
            drawn_ = false;
        }
    }

private:
    const char *label_;
    int64_t total_;
    int32_t statistic_;
    double start_;
    double lastDraw_ = 0;
    bool enabled_;
    bool drawn_ = false;
};

// Runs the operation that `started` (the starting function's result) prepared, one tevDriver step at a time,
// until it finishes (0) or fails (negative). A starting function that failed its own checks is not driven.
int32_t drive(int32_t started, Progress *progress = nullptr) {
    if (started != 0) return started;
    int32_t previous = 0;
    int64_t previousCounters = -1;
    for (;;) {
        if (g_interrupted) {
            tevAbort(kChannel);
            if (progress != nullptr) progress->finish();
            return kInterrupted;
        }
        int32_t result = tevDriver(kChannel);
        if (progress != nullptr) progress->update();
        if (result <= 0) {
            if (progress != nullptr) progress->finish();
            return result;
        }
        // A state that waits for a reply comes back with the same number and moves no byte; a short sleep then
        // keeps the loop from spinning while the server thinks. A state that repeats because it sends or receives
        // one line per step is moving bytes and runs again at once.
        int64_t counters = static_cast<int64_t>(tevStatistics(kChannel, TEV_STAT_TOTAL_READ)) +
                           tevStatistics(kChannel, TEV_STAT_TOTAL_SENT) + tevStatistics(kChannel, TEV_STAT_BUFFER_USED);
        if (result == kDriverWaiting) {
            sleepMilliseconds(2);
        } else if (result == previous && counters == previousCounters) {
            sleepMilliseconds(1);
        }
        previous = result;
        previousCounters = counters;
    }
}

// Attaches one channel for the lifetime of a command.
class Library {
public:
    Library() : attached_(tevAttach(1)) {}
    ~Library() {
        if (attached_ == 1) tevRelease();
    }
    int32_t result() const { return attached_; }

private:
    int32_t attached_;
};

struct Common {
    Server server;
    std::string trace;
    long timeoutSeconds = 0;
    bool verbose = false;
};

int parseCommon(const char *command, const Options &options, int32_t defaultPort, Common *out) {
    if (!options.has("--server")) return usageError(command, "--server is required");
    if (!parseServer(options.value("--server"), defaultPort, &out->server)) {
        return usageError(command, "--server wants HOST or HOST:PORT (a name of at most 128 characters, port 1 "
                                   "to 65535), not '" +
                                       options.value("--server") + "'");
    }
    if (options.has("--timeout") && !parseNumber(options.value("--timeout"), 1, 86400, &out->timeoutSeconds)) {
        return usageError(command, "--timeout wants whole seconds (1 to 86400)");
    }
    out->trace = options.value("--trace");
    out->verbose = options.has("--verbose");
    return -1;
}

// Settings every command makes after attaching: its own driver loop, the trace log, the time limits.
int applyCommon(const Common &common) {
    if (!common.trace.empty() && tevStringParam(kChannel, TEV_LOG_FILE, common.trace.c_str()) < 0) {
        fprintf(stderr, "tevmail: cannot create the trace file '%s'\n", common.trace.c_str());
        return kExitLocalFile;
    }
    tevIntegerParam(kChannel, TEV_AUTO_CALL, 0);
    // The connect step then waits for the outcome itself (at most the connect timeout), and a refused or timed-out
    // connect reports its socket error (-10061, -10060) instead of the bare "Error attempting to connect.".
    tevIntegerParam(kChannel, TEV_BLOCKING, 1);
    if (common.timeoutSeconds > 0) {
        int32_t ms = static_cast<int32_t>(common.timeoutSeconds * 1000);
        tevIntegerParam(kChannel, TEV_RESPONSE_TIMEOUT, ms);
        tevIntegerParam(kChannel, TEV_CONNECT_TIMEOUT, ms);
        tevIntegerParam(kChannel, TEV_TRANSFER_TIMEOUT, ms);
    }
    return -1;
}

void verboseLine(const Common &common, const std::string &text) {
    if (common.verbose) fprintf(stderr, "tevmail: %s\n", text.c_str());
}

// The password from --password or, to keep it out of the shell history, from TEVMAIL_PASSWORD.
bool findPassword(const Options &options, std::string *out) {
    if (options.has("--password")) {
        *out = options.value("--password");
        return true;
    }
    const char *fromEnvironment = getenv(kPasswordVariable);
    if (fromEnvironment != nullptr) {
        *out = fromEnvironment;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------------------------
// send

int commandSend(int argc, char **argv) {
    const char *command = "send";
    Options options;
    int status = parseOptions(command, kSendHelp, argc, argv, 2,
                              withCommon({{"--from", true, false},
                                          {"--to", true, false},
                                          {"--cc", true, false},
                                          {"--bcc", true, false},
                                          {"--subject", true, false},
                                          {"--text", true, false},
                                          {"--text-file", true, false},
                                          {"--html", false, false},
                                          {"--alt-text", true, false},
                                          {"--attach", true, true},
                                          {"--user", true, false},
                                          {"--password", true, false},
                                          {"--header", true, true},
                                          {"--reply-to", true, false}}),
                              &options);
    if (status >= 0) return status;
    if (!options.positional.empty()) return usageError(command, "unexpected argument '" + options.positional[0] + "'");
    Common common;
    status = parseCommon(command, options, 25, &common);
    if (status >= 0) return status;

    if (!options.has("--from")) return usageError(command, "--from is required");
    if (!options.has("--to")) return usageError(command, "--to is required");
    if (options.has("--text") == options.has("--text-file")) {
        return usageError(command, "give the message as exactly one of --text and --text-file");
    }
    if (options.has("--alt-text") && !options.has("--html")) return usageError(command, "--alt-text needs --html");
    std::string subject = options.value("--subject");
    std::vector<std::string> headers = options.values("--header");
    if (!headers.empty() && subject.empty()) {
        return usageError(command, "--header needs --subject (extra header lines follow the Subject line)");
    }
    for (const std::string &header : headers) {
        size_t colon = header.find(':');
        if (hasLineBreak(header) || colon == 0 || colon == std::string::npos ||
            header.substr(0, colon).find_first_of(" \t") != std::string::npos) {
            return usageError(command, "--header wants one line \"Name: value\", not '" + header + "'");
        }
    }
    std::string user = options.value("--user");
    std::string password;
    bool havePassword = findPassword(options, &password);
    if (options.has("--user") && (user.empty() || !havePassword)) {
        return usageError(command, "--user needs a user name and --password (or TEVMAIL_PASSWORD)");
    }
    if (options.has("--password") && !options.has("--user")) return usageError(command, "--password needs --user");
    if (user.size() > kMaxCredential || (!user.empty() && password.size() > kMaxCredential)) {
        return usageError(command, "user names and passwords have at most 64 characters");
    }

    std::string from = normaliseAddress(options.value("--from"));
    std::string to = normaliseList(options.value("--to"));
    std::string cc = normaliseList(options.value("--cc"));
    std::string bcc = normaliseList(options.value("--bcc"));
    std::string replyTo = normaliseAddress(options.value("--reply-to"));
    if (to.empty()) return usageError(command, "--to names no address");

    // The message text: in memory, or "@path" for a file. A text of our own that starts with '@' would be taken
    // for a file name, and standard input has no name: both go through a temporary file.
    TemporaryFile temporary;
    std::string message;
    int64_t textSize = 0;
    if (options.has("--text")) {
        message = options.value("--text");
        textSize = static_cast<int64_t>(message.size());
        if (!message.empty() && message[0] == '@') {
            if (!temporary.create(message)) {
                fprintf(stderr, "tevmail: cannot write a temporary file: %s\n", strerror(errno));
                return kExitLocalFile;
            }
            message = "@" + temporary.path();
        }
    } else {
        std::string path = options.value("--text-file");
        if (path == "-") {
            std::string text;
            if (!readAll(STDIN_FILENO, &text)) {
                fprintf(stderr, "tevmail: cannot read standard input: %s\n", strerror(errno));
                return kExitLocalFile;
            }
            if (!temporary.create(text)) {
                fprintf(stderr, "tevmail: cannot write a temporary file: %s\n", strerror(errno));
                return kExitLocalFile;
            }
            path = temporary.path();
        }
        textSize = readableFileSize(path);
        if (textSize < 0) {
            fprintf(stderr, "tevmail: cannot read the text file '%s': %s\n", path.c_str(), strerror(errno));
            return kExitLocalFile;
        }
        message = "@" + path;
    }

    // Attachments: each must be readable now (a missing file found by the library would end the send after the
    // header). The list separator is one that no entry contains.
    std::vector<std::string> attachments = options.values("--attach");
    int64_t attachmentBytes = 0;
    for (const std::string &entry : attachments) {
        std::string path = entry.substr(0, entry.find('|'));
        if (path.empty()) return usageError(command, "--attach wants PATH or PATH|NAME, not '" + entry + "'");
        int64_t size = readableFileSize(path);
        if (size < 0) {
            fprintf(stderr, "tevmail: cannot read the attachment '%s': %s\n", path.c_str(), strerror(errno));
            return kExitLocalFile;
        }
        attachmentBytes += size;
    }
    char listSeparator = 0;
    for (char candidate : {',', ';', '\t', '\x1f'}) {
        bool used = false;
        for (const std::string &entry : attachments) used = used || entry.find(candidate) != std::string::npos;
        if (!used) {
            listSeparator = candidate;
            break;
        }
    }
    if (listSeparator == 0) return usageError(command, "attachment names use every list separator tevmail knows");
    std::string attachmentList;
    for (const std::string &entry : attachments) {
        if (!attachmentList.empty()) attachmentList += listSeparator;
        attachmentList += entry;
    }

    Library library;
    if (library.result() != 1) return reportFailure("starting the library", library.result());
    status = applyCommon(common);
    if (status >= 0) return status;
    tevIntegerParam(kChannel, TEV_SMTP_PORT, common.server.port);
    tevIntegerParam(kChannel, TEV_ATTACH_SEPARATOR, listSeparator);
    if (!user.empty()) {
        tevIntegerParam(kChannel, TEV_USE_EHLO, 1);
        tevStringParam(kChannel, TEV_AUTH_USER, user.c_str());
        tevStringParam(kChannel, TEV_AUTH_PASSWORD, password.c_str());
    }

    verboseLine(common, "connecting to " + common.server.shown);
    int32_t result = drive(tevSmtpConnect(kChannel, common.server.host.c_str(), from.c_str(),
                                          replyTo.empty() ? nullptr : replyTo.c_str()));
    if (result < 0) return reportFailure("connecting to SMTP server " + common.server.shown, result);
    // The library authenticates only when the server offers a mechanism; a 235 is the proof it did.
    if (!user.empty() && tevStatistics(kChannel, TEV_STAT_REPLY_CODE) != 235) {
        fprintf(stderr, "tevmail: warning: %s offered no authentication; sending without it\n",
                common.server.shown.c_str());
    }
    verboseLine(common, "connected: " + lastReply());

    if (options.has("--html")) tevIntegerParam(kChannel, TEV_BODY_MODE, 2);
    if (options.has("--alt-text")) tevStringParam(kChannel, TEV_ALTERNATE_TEXT, options.value("--alt-text").c_str());
    for (const std::string &header : headers) tevStringParam(kChannel, TEV_ADD_HEADER_LINE, header.c_str());

    Progress progress("sending", textSize + attachmentBytes, TEV_STAT_TOTAL_READ);
    result = drive(tevSendEmail(kChannel, to.c_str(), cc.empty() ? nullptr : cc.c_str(),
                                bcc.empty() ? nullptr : bcc.c_str(), subject.empty() ? nullptr : subject.c_str(),
                                message.c_str(), attachmentList.empty() ? nullptr : attachmentList.c_str()),
                   &progress);
    if (result < 0) return reportFailure("sending the message", result);
    verboseLine(common, "accepted: " + lastReply());

    result = drive(tevClose(kChannel));
    if (result == kInterrupted) return reportFailure("closing the session", result);
    if (result < 0) {
        // The server has the message already; only the goodbye went wrong.
        fprintf(stderr, "tevmail: warning: the message was accepted, but closing the session failed: %s (%d)\n",
                errorText(result).c_str(), result);
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------------------------
// POP3: list, fetch, delete

struct Pop3Command {
    Common common;
    std::string user;
    std::string password;
    bool apop = false;
    bool all = false;
    long number = 0;
};

int parsePop3(const char *command, const Options &options, bool selectionRequired, Pop3Command *out) {
    if (!options.positional.empty()) return usageError(command, "unexpected argument '" + options.positional[0] + "'");
    int status = parseCommon(command, options, 110, &out->common);
    if (status >= 0) return status;
    out->user = options.value("--user");
    if (out->user.empty()) return usageError(command, "--user is required");
    if (!findPassword(options, &out->password)) return usageError(command, "give --password or set TEVMAIL_PASSWORD");
    if (hasLineBreak(out->user) || hasLineBreak(out->password)) {
        return usageError(command, "user name and password must be one line each");
    }
    if (out->user.size() > kMaxCredential || out->password.size() > kMaxCredential) {
        return usageError(command, "user names and passwords have at most 64 characters");
    }
    out->apop = options.has("--apop");
    out->all = options.has("--all");
    if (options.has("--number")) {
        if (out->all) return usageError(command, "give --number or --all, not both");
        if (!parseNumber(options.value("--number"), 1, INT32_MAX, &out->number)) {
            return usageError(command, "--number wants a message number (1 or more)");
        }
    } else if (!out->all) {
        if (selectionRequired) return usageError(command, "say which messages: --number N or --all");
        out->all = true;
    }
    return -1;
}

// Parses the options of a mailbox command: the login and selection options every one of them takes, the common
// ones, and `extra`.  -1 when the command may go on, else the exit status.
int parseMailboxCommand(const char *command, const char *help, int argc, char **argv, std::vector<KnownOption> extra,
                        bool selectionRequired, Options *options, Pop3Command *pop3) {
    std::vector<KnownOption> known = {{"--user", true, false},
                                      {"--password", true, false},
                                      {"--apop", false, false},
                                      {"--number", true, false},
                                      {"--all", false, false}};
    known.insert(known.end(), extra.begin(), extra.end());
    int status = parseOptions(command, help, argc, argv, 2, withCommon(known), options);
    if (status >= 0) return status;
    return parsePop3(command, *options, selectionRequired, pop3);
}

// Attaches, logs in and counts the messages; fills `messages` with the numbers the command asked for.
int openMailbox(const Pop3Command &pop3, std::vector<int32_t> *messages) {
    int status = applyCommon(pop3.common);
    if (status >= 0) return status;
    tevIntegerParam(kChannel, TEV_POP3_PORT, pop3.common.server.port);
    tevIntegerParam(kChannel, TEV_USE_APOP, pop3.apop ? 1 : 0);
    verboseLine(pop3.common, "connecting to " + pop3.common.server.shown);
    int32_t result = drive(tevPop3Connect(kChannel, pop3.common.server.host.c_str(), pop3.user.c_str(),
                                          pop3.password.c_str()));
    if (result < 0) return reportFailure("logging in to POP3 server " + pop3.common.server.shown, result);
    verboseLine(pop3.common, "logged in: " + lastReply());

    result = drive(tevGetEmailCount(kChannel));
    if (result < 0) return reportFailure("counting the messages", result);
    int32_t count = tevStatistics(kChannel, TEV_STAT_MESSAGE_COUNT);
    verboseLine(pop3.common, std::to_string(count) + " message(s) in the mailbox");
    if (pop3.all) {
        for (int32_t n = 1; n <= count; ++n) messages->push_back(n);
    } else {
        if (pop3.number > count) {
            fprintf(stderr, "tevmail: there is no message %ld (the mailbox holds %d)\n", pop3.number, count);
            drive(tevClose(kChannel));
            return kExitFailed;
        }
        messages->push_back(static_cast<int32_t>(pop3.number));
    }
    return -1;
}

int32_t messageSize(int32_t number) {
    int32_t result = drive(tevGetEmailSize(kChannel, number));
    return result < 0 ? result : tevStatistics(kChannel, TEV_STAT_MESSAGE_SIZE);
}

// The value of one header field in a header block (folded lines joined), or "".
std::string headerValue(const std::string &header, const char *name) {
    size_t nameLength = strlen(name);
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find('\n', pos);
        if (end == std::string::npos) end = header.size();
        std::string line = header.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;  // end of the header
        if (line.size() > nameLength && strncasecmp(line.c_str(), name, nameLength) == 0 &&
            line[nameLength] == ':') {
            std::string value = line.substr(nameLength + 1);
            // continuation lines start with a blank
            size_t next = end + 1;
            while (next < header.size() && (header[next] == ' ' || header[next] == '\t')) {
                size_t nextEnd = header.find('\n', next);
                if (nextEnd == std::string::npos) nextEnd = header.size();
                std::string more = header.substr(next, nextEnd - next);
                if (!more.empty() && more.back() == '\r') more.pop_back();
                value += " " + trim(more);
                next = nextEnd + 1;
            }
            return trim(value);
        }
        pos = end + 1;
    }
    return std::string();
}

int commandList(int argc, char **argv) {
    Options options;
    Pop3Command pop3;
    int status = parseMailboxCommand("list", kListHelp, argc, argv, {}, false, &options, &pop3);
    if (status >= 0) return status;

    Library library;
    if (library.result() != 1) return reportFailure("starting the library", library.result());
    std::vector<int32_t> messages;
    status = openMailbox(pop3, &messages);
    if (status >= 0) return status;

    if (messages.empty()) printf("no messages\n");
    // TOP n 0: the status line and the header block of each message.
    std::vector<char> header(65536);
    for (int32_t number : messages) {
        int32_t size = messageSize(number);
        if (size < 0) return reportFailure("asking for the size of message " + std::to_string(number), size);
        int32_t result = drive(tevGetEmailLines(kChannel, number, 0, header.data(),
                                                static_cast<int32_t>(header.size() - 1)));
        if (result < 0) return reportFailure("reading the header of message " + std::to_string(number), result);
        int32_t used = tevStatistics(kChannel, TEV_STAT_BUFFER_USED);
        if (used < 0) used = 0;
        std::string text(header.data(), static_cast<size_t>(used));
        size_t firstLine = text.find('\n');  // the server's status line
        text = firstLine == std::string::npos ? std::string() : text.substr(firstLine + 1);
        std::string from = headerValue(text, "From");
        if (from.size() > 32) from = from.substr(0, 29) + "...";
        printf("%4d %10d  %-32s  %s\n", number, size, from.c_str(), headerValue(text, "Subject").c_str());
    }
    fflush(stdout);
    int32_t result = drive(tevClose(kChannel));
    if (result < 0) return reportFailure("closing the session", result);
    return kExitOk;
}

// Fetches one message undecoded: TOP with every line gives the message as the server holds it, dot-stuffing
// undone, after one status line.
int fetchRaw(int32_t number, int32_t size, const std::string &path) {
    // Room for the status line, and a margin for servers that count a line end as one byte.
    int64_t room = static_cast<int64_t>(size) + size / 4 + 4096;
    if (room > INT32_MAX - 2) room = INT32_MAX - 2;
    std::vector<char> buffer(static_cast<size_t>(room) + 1);
    Progress progress("fetching", size, TEV_STAT_TEXT_READ);
    int32_t result = drive(tevGetEmailLines(kChannel, number, INT32_MAX, buffer.data(), static_cast<int32_t>(room)),
                           &progress);
    if (result < 0) return reportFailure("fetching message " + std::to_string(number), result);
    int32_t used = tevStatistics(kChannel, TEV_STAT_BUFFER_USED);
    if (used < 0) used = 0;
    if (used >= room) {
        fprintf(stderr, "tevmail: message %d is larger than the server announced (%d bytes)\n", number, size);
        return kExitFailed;
    }
    const char *begin = buffer.data();
    const char *end = begin + used;
    const char *body = static_cast<const char *>(memchr(begin, '\n', static_cast<size_t>(used)));
    body = body == nullptr ? end : body + 1;
    if (!writeFile(path, body, static_cast<size_t>(end - body))) {
        fprintf(stderr, "tevmail: cannot write '%s': %s\n", path.c_str(), strerror(errno));
        return kExitLocalFile;
    }
    return -1;
}

int commandFetch(int argc, char **argv) {
    const char *command = "fetch";
    Options options;
    Pop3Command pop3;
    int status = parseMailboxCommand(command, kFetchHelp, argc, argv,
                                     {{"--out", true, false},
                                      {"--attachments", true, false},
                                      {"--raw", false, false},
                                      {"--number-files", false, false}},
                                     true, &options, &pop3);
    if (status >= 0) return status;
    std::string outDir = options.value("--out", ".");
    std::string attachDir = options.value("--attachments", outDir);
    bool raw = options.has("--raw");
    if (outDir.empty() || attachDir.empty()) return usageError(command, "--out and --attachments want a directory");
    if (outDir.size() > kMaxDirectory || attachDir.size() > kMaxDirectory) {
        return usageError(command, "--out and --attachments take at most 128 characters (try a relative path)");
    }
    for (const std::string &dir : {outDir, attachDir}) {
        if (!makeDirectories(dir)) {
            fprintf(stderr, "tevmail: cannot create the directory '%s': %s\n", dir.c_str(), strerror(errno));
            return kExitLocalFile;
        }
    }

    Library library;
    if (library.result() != 1) return reportFailure("starting the library", library.result());
    // Saved attachment names are reported joined by this separator; a line break cannot be part of one.
    tevIntegerParam(kChannel, TEV_ATTACH_SEPARATOR, '\n');
    if (options.has("--number-files")) tevIntegerParam(kChannel, TEV_NUMBER_FILES, 1);
    std::vector<int32_t> messages;
    status = openMailbox(pop3, &messages);
    if (status >= 0) return status;
    if (messages.empty()) printf("no messages\n");

    for (int32_t number : messages) {
        int32_t size = messageSize(number);
        if (size < 0) return reportFailure("asking for the size of message " + std::to_string(number), size);
        std::string name = "message-" + std::to_string(number) + (raw ? ".eml" : ".txt");
        std::string path = joinPath(outDir, name);
        if (raw) {
            status = fetchRaw(number, size, path);
            if (status >= 0) return status;
            printf("message %d: %s\n", number, path.c_str());
            fflush(stdout);
            continue;
        }
        Progress progress("fetching", size, TEV_STAT_TOTAL_READ);
        int32_t result = drive(tevGetEmailFile(kChannel, number, name.c_str(), outDir.c_str(), attachDir.c_str()),
                               &progress);
        if (result < 0) return reportFailure("fetching message " + std::to_string(number), result);
        printf("message %d: %s\n", number, path.c_str());
        std::vector<char> saved(8192);
        int32_t length = tevDebug(kChannel, TEV_DEBUG_SAVED_FILES, saved.data(), static_cast<int32_t>(saved.size()));
        std::string list(saved.data(), length > 0 ? static_cast<size_t>(length) : 0);
        size_t start = 0;
        while (start < list.size()) {
            size_t end = list.find('\n', start);
            if (end == std::string::npos) end = list.size();
            if (end > start) printf("  attachment: %s\n", joinPath(attachDir, list.substr(start, end - start)).c_str());
            start = end + 1;
        }
        fflush(stdout);
    }
    int32_t result = drive(tevClose(kChannel));
    if (result < 0) return reportFailure("closing the session", result);
    return kExitOk;
}

int commandDelete(int argc, char **argv) {
    Options options;
    Pop3Command pop3;
    int status = parseMailboxCommand("delete", kDeleteHelp, argc, argv, {}, true, &options, &pop3);
    if (status >= 0) return status;

    Library library;
    if (library.result() != 1) return reportFailure("starting the library", library.result());
    std::vector<int32_t> messages;
    status = openMailbox(pop3, &messages);
    if (status >= 0) return status;
    for (int32_t number : messages) {
        int32_t result = drive(tevDeleteEmail(kChannel, number));
        if (result < 0) return reportFailure("deleting message " + std::to_string(number), result);
    }
    // The server removes the messages only when the session ends with QUIT.
    int32_t result = drive(tevClose(kChannel));
    if (result < 0) {
        return reportFailure("ending the session (the messages may not have been deleted)", result);
    }
    printf("deleted %zu message%s\n", messages.size(), messages.size() == 1 ? "" : "s");
    return kExitOk;
}

// ---------------------------------------------------------------------------------------------------------------
// verify

int commandVerify(int argc, char **argv) {
    Options options;
    int status = parseOptions("verify", kVerifyHelp, argc, argv, 2, {}, &options);
    if (status >= 0) return status;
    if (options.positional.empty()) return usageError("verify", "give at least one address");
    Library library;
    if (library.result() != 1) return reportFailure("starting the library", library.result());
    int exitStatus = kExitOk;
    for (const std::string &given : options.positional) {
        std::string address = normaliseAddress(given);
        int32_t result = tevVerifyFormat(address.c_str());
        if (result == 1) {
            printf("%s: well formed\n", address.c_str());
        } else {
            printf("%s: %s (%d)\n", address.c_str(), errorText(result).c_str(), result);
            exitStatus = kExitFailed;
        }
    }
    return exitStatus;
}

}  // namespace

int main(int argc, char **argv) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    if (argc < 2) {
        fputs(kToolHelp, stderr);
        return kExitUsage;
    }
    std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        fputs(kToolHelp, stdout);
        return kExitOk;
    }
    if (command == "--version") {
        printf("tevmail (TEV32 %d.%d.%d build %d)\n", (TEV_VERSION >> 8) & 0xFF, (TEV_VERSION >> 4) & 0xF,
               TEV_VERSION & 0xF, TEV_BUILD);
        return kExitOk;
    }
    if (command == "send") return commandSend(argc, argv);
    if (command == "list") return commandList(argc, argv);
    if (command == "fetch") return commandFetch(argc, argv);
    if (command == "delete") return commandDelete(argc, argv);
    if (command == "verify") return commandVerify(argc, argv);
    fprintf(stderr, "tevmail: unknown command '%s'\n\n", command.c_str());
    fputs(kToolHelp, stderr);
    return kExitUsage;
}
