#include "util.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

std::string temp_root() {
    const char* base = std::getenv("TMPDIR");
    return base != nullptr && *base ? base : "/tmp";
}

}  // namespace

TempDir::TempDir() {
    std::string tmpl = temp_root() + "/qv2test.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    remove_tree(path_);
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void fill_up(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(512, 'f');
    while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
    }
    if (fd >= 0) close(fd);
}

bool path_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void remove_tree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d)) {
                if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
                remove_tree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Child::Child(const std::vector<std::string>& argv,
             const std::vector<std::pair<std::string, std::string>>& env) {
    static std::atomic<int> serial{0};
    const std::string stem =
        temp_root() + "/qv2child." + std::to_string(getpid()) + "." + std::to_string(serial++);
    out_path_ = stem + ".out";
    err_path_ = stem + ".err";

    // Everything the child needs is built before fork: a test process may run
    // server threads, so the child does nothing but async-signal-safe calls.
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e)
        env_text.emplace_back(*e);
    for (const auto& [k, v] : env) {
        for (auto it = env_text.begin(); it != env_text.end();)
            it = it->compare(0, k.size() + 1, k + "=") == 0 ? env_text.erase(it) : it + 1;
        env_text.push_back(k + "=" + v);
    }
    std::vector<char*> envp;
    for (auto& e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    start_ = now_seconds();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out);
    close(err);
    close(null);
    if (pid_ < 0) throw std::runtime_error("fork failed");
}

Child::~Child() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

void Child::signal(int sig) const {
    if (!reaped_) kill(pid_, sig);
}

bool Child::running() const {
    if (reaped_) return false;
    siginfo_t info{};
    return waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

double Child::age() const {
    return now_seconds() - start_;
}

ProcResult Child::wait(double limit) {
    if (reaped_) return result_;
    const double deadline = start_ + limit;
    int status = 0;
    rusage ru{};
    for (;;) {
        pid_t r = wait4(pid_, &status, WNOHANG, &ru);
        if (r == pid_) break;
        if (now_seconds() >= deadline) {
            kill(pid_, SIGKILL);
            wait4(pid_, &status, 0, &ru);
            result_.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    result_.max_rss_kib = ru.ru_maxrss;
    result_.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                          static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    result_.seconds = now_seconds() - start_;
    reaped_ = true;
    result_.exited = !result_.timed_out && WIFEXITED(status);
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    result_.out = read_file(out_path_);
    result_.err = read_file(err_path_);
    return result_;
}

ProcResult run_process(const std::vector<std::string>& argv,
                       const std::vector<std::pair<std::string, std::string>>& env, double limit) {
    Child c(argv, env);
    return c.wait(limit);
}

std::string capture_stderr(const std::function<void()>& fn) {
    std::fflush(stderr);
    std::string path = temp_root() + "/qv2stderr.XXXXXX";
    const int tmp = mkstemp(path.data());
    const int saved = dup(2);
    dup2(tmp, 2);
    fn();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(tmp);
    std::string text = read_file(path);
    unlink(path.c_str());
    return text;
}

bool wait_until(const std::function<bool()>& cond, double limit) {
    const double deadline = now_seconds() + limit;
    while (!cond()) {
        if (now_seconds() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool process_has_open(pid_t pid, const std::string& path) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    if (d == nullptr) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[4096];
        const ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path) found = true;
    }
    closedir(d);
    return found;
}

namespace {
long status_kib(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0)
            return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
    return -1;
}
}  // namespace

long rss_kib() {
    return status_kib("VmRSS:");
}
long peak_rss_kib() {
    return status_kib("VmHWM:");
}
void reset_peak_rss() {
    write_file("/proc/self/clear_refs", "5");
}
