// `qv2_jobs check`: what a detection run would make of one URL, printed
// for a person at a terminal.
#include <string>

#include "driver.h"
#include "escape.h"
#include "jobs.h"

int print_check(const std::string& url, int retries, std::FILE* out) {
    const JobCheck c = check_job(url, retries);
    std::string said;
    for (const ReportPiece& p : c.said) {
        // The detector's own messages may end without a line end.
        if (p.step && !said.empty() && said.back() != '\n') said += '\n';
        said += p.text;
    }
    if (!said.empty() && said.back() != '\n') said += '\n';
    // Servers' text reaches these lines: none may drive the terminal.
    for (std::size_t at = 0; at < said.size();) {
        const std::size_t end = said.find('\n', at);
        std::fprintf(out, "%s\n", printable(std::string_view(said).substr(at, end - at)).c_str());
        at = end + 1;
    }
    if (!c.result) {
        std::fprintf(out, "result   left as it is: waiting, retries %d\n", retries);
        return 3;
    }
    const JobResult& r = *c.result;
    std::fprintf(out, "result   type %s (%s), status %c, resolved %s, retries %d\n", r.type,
                 type_meaning(r.type), static_cast<char>(r.status),
                 printable(url_for_people(r.resolved)).c_str(), static_cast<int>(r.retries));
    if (r.status == STATUS_DETECTED) return 0;
    return r.status == STATUS_LOGIN_REFUSED ? 4 : 3;
}
