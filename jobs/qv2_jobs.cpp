// qv2_jobs: see, add and lock jobs the way the download manager's other
// processes do, through the same record format and queue lock as the
// detector.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "io.h"
#include "jobs.h"
#include "signals.h"
#include "store.h"
#include "unique_fd.h"

namespace {

const char* const MAIN_HELP =
    "Usage: qv2_jobs COMMAND [OPTION]... [ARG]...\n"
    "See, add and lock the jobs of the download manager's queue.\n"
    "\n"
    "Commands:\n"
    "  list [QUEUE_FILE]        show the jobs\n"
    "  add URL [QUEUE_FILE]     append a job waiting for detection\n"
    "  lock init [FIFO]         create the queue lock with one token and hold it\n"
    "  lock status [FIFO]       print how many tokens the queue lock holds\n"
    "  check [--retries N] URL  probe URL as a detection run would, step by step\n"
    "\n"
    "QUEUE_FILE defaults to the queue of the download area named in\n"
    "/opt/etc/qv2_general.conf, FIFO to that area's lock. 'qv2_jobs COMMAND --help'\n"
    "tells more. 'qv2_jobs --version' names the version and the libraries built\n"
    "into qv2_detect. Exit status: 0 success, 1 usage error, 2 failure.\n";

const char* const LIST_HELP =
    "Usage: qv2_jobs list [--json] [--lock FIFO] [QUEUE_FILE]\n"
    "Show the jobs of the queue file, under the queue lock when it exists.\n"
    "\n"
    "  --json        one JSON object per job and line\n"
    "  --lock FIFO   the queue lock (default: .sems/sem.jqs beside the queue's .logs)\n"
    "  --help        show this help\n"
    "\n"
    "A file whose size is not a multiple of 1052 bytes, or whose text fields lack\n"
    "their terminating NUL, is shown as it is, with a warning on standard error.\n";

static_assert(LOGNOTE_SIZE == 1052, "the help above gives the record size");

const char* const ADD_HELP =
    "Usage: qv2_jobs add [--id N] [--lock FIFO] URL [QUEUE_FILE]\n"
    "Append a job waiting for detection (status 'w', retries 0), under the queue\n"
    "lock when it exists. The file is replaced in one step, never left partial.\n"
    "Prints the new job's id.\n"
    "\n"
    "  --id N        the job's id (default: one above the greatest)\n"
    "  --lock FIFO   the queue lock (default: .sems/sem.jqs beside the queue's .logs)\n"
    "  --help        show this help\n";

const char* const CHECK_HELP =
    "Usage: qv2_jobs check [--retries N] URL\n"
    "Probe URL exactly as a detection run probes a waiting job with that URL and\n"
    "retry counter N (0 to 3, default 0): the same protocols and fallback,\n"
    "redirects, meta refresh, declared types, TLS verification, time-outs and\n"
    "rules. The queue and its lock are not touched. Prints a line for each step\n"
    "(lookup, connect, tls, request, reply, redirect, refresh, fallback, FTP\n"
    "commands and replies), the lines the detector would write, and the result:\n"
    "the type, status, resolved URL and retries the job would get.\n"
    "Exit status: 0 settled (status v), 3 still waiting, 4 FTP login refused,\n"
    "1 usage error.\n"
    "\n"
    "  --retries N   the job's retry counter, which sets its time-outs\n"
    "  --help        show this help\n";

const char* const LOCK_HELP =
    "Usage: qv2_jobs lock init [FIFO]\n"
    "       qv2_jobs lock status [FIFO]\n"
    "init creates the queue lock's FIFO with one token (an existing FIFO gets no\n"
    "more) and holds it open until SIGTERM, SIGINT or SIGHUP: a FIFO's tokens\n"
    "vanish when no process holds it. status prints the number of tokens it\n"
    "holds now, taking none.\n"
    "\n"
    "  --help        show this help\n";

int usage_error(const std::string& message, const char* command) {
    std::fprintf(stderr, "qv2_jobs: %s (see 'qv2_jobs %s%s--help')\n", message.c_str(),
                 command ? command : "", command ? " " : "");
    return 1;
}

int failure(const std::string& path, const std::string& reason) {
    std::fprintf(stderr, "qv2_jobs: %s: %s\n", path.c_str(), reason.c_str());
    return 2;
}

extern "C" void on_stop(int sig) {
    jqs_release_on_signal();  // never leave the queue locked
    _exit(128 + sig);
}

void release_lock_on_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigset_t stop = stop_signals();
    sigaddset(&stop, SIGHUP);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&stop, sig) == 1) sigaction(sig, &sa, nullptr);
}

std::string parent_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The queue lock beside a queue file: <area>/.logs/qv.jqs goes with
// <area>/.sems/sem.jqs.
std::string lock_beside(const std::string& queue) {
    const std::string area = parent_of(parent_of(queue));
    return (area == "/" ? "" : area) + "/.sems/sem.jqs";
}

struct Paths {
    std::string queue;
    std::string lock;
};

// None when the configuration names no usable area (init_path said why).
std::optional<Paths> paths_for(const char* queue_arg, const char* lock_arg) {
    Paths p;
    if (queue_arg != nullptr) {
        p.queue = queue_arg;
        p.lock = lock_beside(p.queue);
    } else {
        if (!init_path()) return std::nullopt;
        p.queue = jqs_file;
        p.lock = jqs_dir;
    }
    if (lock_arg != nullptr) p.lock = lock_arg;
    return p;
}

// The whole file; false with errno when it can't be read.
bool read_all(const std::string& path, std::string& out) {
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd && read_rest(fd.get(), out, std::string::npos);
}

bool parse_id(const char* text, std::int32_t& id) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    id = static_cast<std::int32_t>(v);
    return true;
}

enum { OPT_HELP = 1, OPT_JSON, OPT_LOCK, OPT_ID, OPT_RETRIES };

// What parse_options gives every command: where its arguments begin, the
// exit status when parsing ended it, --help and --lock.
struct Options {
    int first = 0;
    int status = 0;
    bool help = false;
    const char* lock = nullptr;
};

// Runs getopt_long over a subcommand's arguments: --help and --lock here,
// each command's own with `handle`. False stops with a usage error already
// reported (the command ends with `status`).
template <typename Handler>
bool parse_options(int argc, char** argv, const char* command, const option* longopts, Options& o,
                   Handler handle) {
    optind = 0;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", longopts, nullptr)) != -1;) {
        if (c == '?') {
            o.status = usage_error(
                std::string("unknown option or missing argument: ") + argv[optind - 1], command);
            return false;
        }
        if (c == OPT_HELP) o.help = true;
        if (c == OPT_LOCK) o.lock = optarg;
        if (!handle(c)) return false;
    }
    o.first = optind;
    return true;
}

int cmd_check(int argc, char** argv) {
    static const option opts[] = {{"help", no_argument, nullptr, OPT_HELP},
                                  {"retries", required_argument, nullptr, OPT_RETRIES},
                                  {nullptr, 0, nullptr, 0}};
    int retries = 0;
    Options o;
    if (!parse_options(argc, argv, "check", opts, o, [&](int c) {
            if (c == OPT_RETRIES) {
                const std::string n = optarg;
                if (n.size() != 1 || n[0] < '0' || n[0] > '3') {
                    o.status = usage_error("--retries takes 0, 1, 2 or 3", "check");
                    return false;
                }
                retries = n[0] - '0';
            }
            return true;
        }))
        return o.status;
    if (o.help) return std::fputs(CHECK_HELP, stdout), 0;
    if (argc - o.first != 1) return usage_error("check takes one URL", "check");
    return print_check(argv[o.first], retries, stdout);
}

int cmd_list(int argc, char** argv) {
    static const option opts[] = {{"help", no_argument, nullptr, OPT_HELP},
                                  {"json", no_argument, nullptr, OPT_JSON},
                                  {"lock", required_argument, nullptr, OPT_LOCK},
                                  {nullptr, 0, nullptr, 0}};
    bool json = false;
    Options o;
    if (!parse_options(argc, argv, "list", opts, o, [&](int c) {
            if (c == OPT_JSON) json = true;
            return true;
        }))
        return o.status;
    if (o.help) return std::fputs(LIST_HELP, stdout), 0;
    if (argc - o.first > 1) return usage_error("list takes at most one queue file", "list");
    const auto found = paths_for(o.first < argc ? argv[o.first] : nullptr, o.lock);
    if (!found) return 2;
    const Paths& p = *found;

    std::string bytes;
    bool ok;
    {
        QueueLock held(p.lock.c_str());
        ok = read_all(p.queue, bytes);
    }
    if (!ok) return failure(p.queue, std::strerror(errno));
    const QueueContents q = decode_queue(bytes, p.queue);
    for (const auto& w : q.warnings)
        std::fprintf(stderr, "qv2_jobs: warning: %s\n", w.c_str());
    if (json) {
        for (const LogNote& job : q.jobs)
            std::printf("%s\n", format_json(job).c_str());
    } else {
        std::fputs(format_table(q.jobs).c_str(), stdout);
    }
    return 0;
}

int cmd_add(int argc, char** argv) {
    static const option opts[] = {{"help", no_argument, nullptr, OPT_HELP},
                                  {"id", required_argument, nullptr, OPT_ID},
                                  {"lock", required_argument, nullptr, OPT_LOCK},
                                  {nullptr, 0, nullptr, 0}};
    std::optional<std::int32_t> id;
    Options o;
    if (!parse_options(argc, argv, "add", opts, o, [&](int c) {
            if (c == OPT_ID) {
                std::int32_t v;
                if (!parse_id(optarg, v)) {
                    o.status = usage_error(
                        std::string("--id needs a 32-bit number, not '") + optarg + "'", "add");
                    return false;
                }
                id = v;
            }
            return true;
        }))
        return o.status;
    if (o.help) return std::fputs(ADD_HELP, stdout), 0;
    if (argc - o.first < 1) return usage_error("add needs a URL", "add");
    if (argc - o.first > 2) return usage_error("add takes a URL and at most one queue file", "add");
    const std::string url = argv[o.first];
    if (url.empty()) return usage_error("the URL is empty", "add");
    if (url.size() >= LN_URL_LEN)
        return usage_error("the URL is longer than " + std::to_string(LN_URL_LEN - 1) + " bytes",
                           "add");
    const auto found = paths_for(o.first + 1 < argc ? argv[o.first + 1] : nullptr, o.lock);
    if (!found) return 2;
    const Paths& p = *found;

    release_lock_on_signals();
    QueueLock held(p.lock.c_str());
    std::string bytes;
    if (!read_all(p.queue, bytes) && errno != ENOENT) return failure(p.queue, std::strerror(errno));
    if (bytes.size() % LOGNOTE_SIZE != 0) {
        return failure(p.queue, "size " + std::to_string(bytes.size()) + " is not a multiple of " +
                                    std::to_string(LOGNOTE_SIZE) + "; left unchanged");
    }
    if (!id) id = next_free_id(decode_queue(bytes, p.queue).jobs);
    if (!id) return failure(p.queue, "no id above the greatest is left; give one with --id");
    unsigned char rec[LOGNOTE_SIZE];
    lognote_encode(*createnote(*id, url, "", "", STATUS_WAITING, 0), rec);
    bytes.append(reinterpret_cast<const char*>(rec), LOGNOTE_SIZE);
    bool replaced;
    {
        StopSignalHold hold;
        replaced = jqs_replace_file(p.queue, bytes) == REPLACE_DONE;
    }
    if (!replaced) return failure(p.queue, std::strerror(errno));
    std::printf("%d\n", static_cast<int>(*id));
    return 0;
}

int cmd_lock(int argc, char** argv) {
    static const option opts[] = {{"help", no_argument, nullptr, OPT_HELP},
                                  {nullptr, 0, nullptr, 0}};
    Options o;
    if (!parse_options(argc, argv, "lock", opts, o, [](int) { return true; })) return o.status;
    if (o.help) return std::fputs(LOCK_HELP, stdout), 0;
    const int first = o.first;
    if (argc - first < 1) return usage_error("lock needs 'init' or 'status'", "lock");
    const std::string what = argv[first];
    if (what != "init" && what != "status")
        return usage_error("unknown lock command '" + what + "'", "lock");
    if (argc - first > 2) return usage_error("lock " + what + " takes at most one FIFO", "lock");
    std::string fifo;
    if (first + 1 < argc) {
        fifo = argv[first + 1];
    } else if (const auto found = paths_for(nullptr, nullptr)) {
        fifo = found->lock;
    } else {
        return 2;
    }

    if (what == "status") {
        const int n = fifo_tokens(fifo.c_str());
        if (n < 0) return failure(fifo, std::strerror(errno));
        std::printf("%d\n", n);
        return 0;
    }
    // Wait for the end with the stop signals blocked, so none is lost
    // between opening the lock and waiting.
    sigset_t stop;
    sigemptyset(&stop);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stop, sig);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    FifoSem sem;
    if (Sem_open(&sem, fifo.c_str(), O_CREAT, 0666, 1) != 0)
        return failure(fifo, std::strerror(errno));
    std::fprintf(stderr,
                 "qv2_jobs: holding %s open with %d token(s); stop with SIGTERM or Ctrl-C\n",
                 fifo.c_str(), fifo_tokens(fifo.c_str()));
    int sig = 0;
    sigwait(&stop, &sig);
    Sem_close(&sem);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage_error("a command is needed", nullptr);
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(MAIN_HELP, stdout);
        return 0;
    }
    if (command == "--version") {
        // The libraries built into qv2_detect beside it: the versions whose
        // security fixes it has.
        std::puts("qv2-detect " QV2_VERSION " (" QV2_LIBRARIES ")");
        return 0;
    }
    if (command == "list") return cmd_list(argc - 1, argv + 1);
    if (command == "add") return cmd_add(argc - 1, argv + 1);
    if (command == "lock") return cmd_lock(argc - 1, argv + 1);
    if (command == "check") return cmd_check(argc - 1, argv + 1);
    return usage_error("unknown command '" + command + "'", nullptr);
}
