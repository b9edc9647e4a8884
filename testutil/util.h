// Small helpers the tests share: temp dirs, whole files, child processes
// with a time limit, and stderr capture.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

/// A fresh directory, removed with its contents at the end of the scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
/// The file's bytes; empty when it can't be read.
std::string read_file(const std::string& path);
bool path_exists(const std::string& path);
/// Writes a file at `path` until its file system has no room left.
void fill_up(const std::string& path);
/// Removes a path whatever its kind, without following links.
void remove_tree(const std::string& path);
/// Seconds on the monotonic clock.
double now_seconds();

/// How a child process ended.
struct ProcResult {
    bool exited = false;     ///< ended by exit (else by a signal, or killed at the limit)
    int status = -1;         ///< exit status, or the signal number
    bool timed_out = false;  ///< killed at the time limit
    std::string out;         ///< its standard output
    std::string err;         ///< its standard error
    double seconds = 0;      ///< wall time from start to end
    long max_rss_kib = 0;    ///< its peak resident memory
    double cpu_seconds = 0;  ///< its user and system time
};

/// A child process started with stdout and stderr captured to files.
class Child {
  public:
    /// Starts argv[0] (searched in PATH) with `env` added to the environment.
    Child(const std::vector<std::string>& argv,
          const std::vector<std::pair<std::string, std::string>>& env);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    /// True once the child has ended (without reaping it).
    bool running() const;
    /// Waits until `limit` seconds after its start, then kills it. Reaps
    /// the child.
    ProcResult wait(double limit);
    /// Seconds since it started.
    double age() const;

  private:
    pid_t pid_ = -1;
    double start_ = 0;
    std::string out_path_, err_path_;
    bool reaped_ = false;
    ProcResult result_;
};

/// Runs a program to its end or to the time limit.
ProcResult run_process(const std::vector<std::string>& argv,
                       const std::vector<std::pair<std::string, std::string>>& env, double limit);

/// Whatever `fn` writes to the standard error of this process.
std::string capture_stderr(const std::function<void()>& fn);

/// True when process `pid` has `path` open (from /proc/PID/fd).
bool process_has_open(pid_t pid, const std::string& path);

/// Resident memory of this process now, and its peak since the last
/// reset_peak_rss(), in KiB.
long rss_kib();
long peak_rss_kib();
void reset_peak_rss();

/// Polls `cond` every 10 ms for up to `limit` seconds.
bool wait_until(const std::function<bool()>& cond, double limit);
