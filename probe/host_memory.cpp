#include "host_memory.h"

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

#include "report.h"
#include "text.h"

namespace {

struct Silent {
    int waited = 0;  // seconds it was given
    std::string said;
    long job = 0;  // the job that learnt it
};

// `mu` guards both maps; `jobs_begun` is on its own.
std::atomic<long> jobs_begun{0};
std::mutex mu;
std::map<std::pair<std::string, int>, Silent> silent;
// When each host:port last answered: a wait that began before then was
// not in vain for the host, only for that connection.
std::map<std::pair<std::string, int>, Clock::time_point> answered;

std::pair<std::string, int> key(const std::string& host, int port) {
    std::string name = host;
    return {string_lowercase(name), port_on_wire(port)};
}

}  // namespace

void host_remember_silent(const JobState& job, const std::string& host, int port, int seconds,
                          Clock::time_point since, const std::string& said) {
    if (job.limit.cut) return;
    std::lock_guard<std::mutex> lock(mu);
    const auto k = key(host, port);
    const auto last = answered.find(k);
    if (last != answered.end() && last->second > since) return;
    Silent& s = silent[k];
    if (seconds >= s.waited) s = Silent{seconds, said, job.id};
}

void host_answered(const std::string& host, int port) {
    std::lock_guard<std::mutex> lock(mu);
    const auto k = key(host, port);
    silent.erase(k);
    answered[k] = Clock::now();
}

bool host_known_silent(JobState& job, const std::string& host, int port, int seconds) {
    std::string said;
    {
        std::lock_guard<std::mutex> lock(mu);
        const auto it = silent.find(key(host, port));
        // A job's own redirects are followed as ever: what it learns
        // spares the jobs after it.
        if (it == silent.end() || seconds > it->second.waited || it->second.job == job.id)
            return false;
        said = it->second.said;
    }
    if (!said.empty()) report_raw(job, said);
    return true;
}

long host_memory_new_job() {
    return ++jobs_begun;
}

void host_memory_reset() {
    std::lock_guard<std::mutex> lock(mu);
    silent.clear();
    answered.clear();
}
