#include "report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

thread_local std::vector<ReportPiece>* report_sink = nullptr;
thread_local bool stepping = false;

void say(std::string_view text, bool once) {
    if (report_sink != nullptr) {
        report_sink->push_back({std::string(text), once});
    } else {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}

}  // namespace

void report_into(std::vector<ReportPiece>* sink) {
    report_sink = sink;
}

void report_steps(bool on) {
    stepping = on;
}

void report_step(std::string_view what, std::string_view text) {
    if (!stepping || report_sink == nullptr) return;
    constexpr std::size_t COLUMN = 9;
    std::string line(what);
    line.resize(std::max(COLUMN, line.size() + 1), ' ');
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    report_sink->push_back({line + printable(text) + "\n", false, true});
}

void report(int /*level*/, const char* format, ...) {
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
    say(text, false);
}

void report_raw(std::string_view bytes) {
    say(bytes, false);
}

void report_once(const std::string& text) {
    if (report_sink != nullptr) {
        say(text, true);  // the pass keeps it to once
        return;
    }
    static std::mutex mu;
    static std::vector<std::string> said;
    std::lock_guard<std::mutex> lock(mu);
    if (std::find(said.begin(), said.end(), text) != said.end()) return;
    said.push_back(text);
    say(text, false);
}
