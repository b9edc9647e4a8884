// The detection pass: probe every waiting job once and write back what it
// turned out to be. The order of a run is here; the scheduling of the
// probes is in scheduler.cpp.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver.h"
#include "scheduler.h"
#include "store.h"
#include "verdict.h"

namespace {

// What each job said, printed whole and in file order, as a one-at-a-time
// pass prints it; a note meant once per run only the first time.
class Sayings {
  public:
    explicit Sayings(std::size_t jobs) : said_(jobs) {}
    void add(std::size_t job, std::vector<ReportPiece> pieces) { said_[job] = std::move(pieces); }
    // Prints, in file order, each job's up to the first still probing or
    // past `last`.
    void print_ready(std::size_t last) {
        for (; next_ < said_.size() && next_ <= last && said_[next_]; ++next_)
            print(*said_[next_]);
    }
    // At the end: the rest, of the jobs `wanted` says to.
    void print_rest(const std::function<bool(std::size_t)>& wanted) {
        for (; next_ < said_.size(); ++next_)
            if (said_[next_] && wanted(next_)) print(*said_[next_]);
    }

  private:
    void print(const std::vector<ReportPiece>& pieces) {
        for (const ReportPiece& p : pieces) {
            if (p.once_per_run && !once_.insert(p.text).second) continue;
            std::fwrite(p.text.data(), 1, p.text.size(), stderr);
        }
    }
    std::vector<std::optional<std::vector<ReportPiece>>> said_;
    std::size_t next_ = 0;
    std::set<std::string> once_;
};

}  // namespace

int initlognote3() {
    // One hold of the queue lock spans the load and the pass, so the list
    // the pass writes back is exactly the file as it stood: nothing another
    // process adds meanwhile can be written over.
    QueueLock lock(jqs_dir);
    if (lock.locked()) jqs_remove_leftovers(jqs_file);
    std::vector<LogNote*> file_order;
    const int loaded = jqs_load(head.get(), &file_order);
    if (loaded < 0) return loaded;  // no queue, or not all of it: nothing to write

    // The jobs in the order the file held them, taken before any update.
    std::vector<WaitingJob> waiting;
    std::vector<ProbeJob> probes;
    for (LogNote* n : file_order) {
        if (n->url[0] != '\0' && n->status == STATUS_WAITING) {
            waiting.push_back({n, n->id, std::string(field_text(n->url)), n->retries});
            probes.push_back({waiting.back().url, n->retries});
        }
    }
    if (waiting.empty()) return lock.release();  // nothing to write

    QueueWriter writer(file_order.size() * LOGNOTE_SIZE, waiting.size());
    Sayings sayings(waiting.size());
    std::size_t last = waiting.size();  // no job after this one counts: a refused login
    // Each result as soon as it is in, whatever the jobs before it do.
    auto settle = [&](std::size_t i, ProbeDone& done) {
        Verdict d = job_verdict(waiting[i], done);
        if (d.write) writer.add(i, waiting[i].node, std::move(*d.write));
        if (!d.go_on) {
            // After a refused login the later jobs wait for the next run.
            last = std::min(last, i);
            writer.drop_after(last);
        }
        sayings.add(i, std::move(d.said));
        sayings.print_ready(last);
        return d.go_on;
    };
    auto tick = [&] { writer.write_if_due(); };
    probe_jobs(probes, probe_limit(), settle, tick);
    // After a stop, the watchdog armed by the signal ends the run if this
    // can't be done in time.
    writer.write();
    sayings.print_rest([&](std::size_t i) { return i <= last || writer.written(i); });
    return lock.release();
}

JobCheck check_job(const std::string& url, int retries) {
    const WaitingJob job{nullptr, 0, url, retries};
    ProbeDone done;
    done.trace.steps = true;
    done.result = probe_job({url, retries}, done.trace);
    Verdict v = job_verdict(job, done);
    return JobCheck{std::move(v.said), std::move(v.write)};
}
