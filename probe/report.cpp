#include "report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "escape.h"

namespace {

void say(JobState& job, std::string_view text, bool once) {
    if (job.said != nullptr) {
        job.said->push_back({std::string(text), once});
    } else {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}

// What was said once straight to stderr: a job whose lines are kept
// leaves that to the pass.
std::mutex once_mu;
std::vector<std::string> said_once;

}  // namespace

void report_step(JobState& job, std::string_view what, std::string_view text) {
    if (!job.steps || job.said == nullptr) return;
    constexpr std::size_t COLUMN = 9;
    std::string line(what);
    line.resize(std::max(COLUMN, line.size() + 1), ' ');
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    job.said->push_back({line + printable(text) + "\n", false, true});
}

void report(JobState& job, const char* format, ...) {
    if (format == nullptr) return;
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    say(job, text, false);
}

void report_raw(JobState& job, std::string_view bytes) {
    say(job, bytes, false);
}

void report_once(JobState& job, const std::string& text) {
    if (job.said != nullptr) {
        say(job, text, true);  // the pass keeps it to once
        return;
    }
    std::lock_guard<std::mutex> lock(once_mu);
    if (std::find(said_once.begin(), said_once.end(), text) != said_once.end()) return;
    said_once.push_back(text);
    say(job, text, false);
}

void report_reset() {
    std::lock_guard<std::mutex> lock(once_mu);
    said_once.clear();
}
