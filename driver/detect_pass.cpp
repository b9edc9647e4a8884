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
#include "probe.h"
#include "scheduler.h"
#include "stop.h"
#include "store.h"
#include "wait.h"

namespace {

// Results are written about once a second, each as soon as it is settled
// whatever earlier jobs still do (and once at the end): a kill loses no
// more than the last moments of a run, which the next run probes again. A
// few results go over their own records in place; many at once, or a file
// not yet laid out as the list, get the whole queue replaced. Replacing
// stops once it has written twice the queue plus REWRITE_SPARE, so a run
// writes at most about three times the queue plus that: a router's flash
// wears with every byte.
constexpr auto REWRITE_EVERY = std::chrono::seconds(1);
constexpr std::size_t REWRITE_SPARE = std::size_t{1} << 20;

// A job's result, settled and not yet in the file.
struct Pending {
    LogNote* node;
    std::string resolved;
    const char* type;
    std::int32_t status;
    std::int32_t retries;
};

// The results settled and not yet written, and when they are written.
class ResultWriter {
  public:
    explicit ResultWriter(std::size_t queue_bytes, std::size_t jobs)
        : queue_bytes_(queue_bytes), budget_(2 * queue_bytes + REWRITE_SPARE), written_(jobs) {}

    void add(std::size_t job, Pending p) { pending_.insert_or_assign(job, std::move(p)); }
    // A refused login: the results of later jobs not written yet never are.
    void drop_after(std::size_t job) { pending_.erase(pending_.upper_bound(job), pending_.end()); }
    bool written(std::size_t job) const { return written_[job]; }
    void write_if_due() {
        if (Clock::now() - last_ >= REWRITE_EVERY) write();
    }
    void write() {
        if (pending_.empty()) return;
        std::vector<const LogNote*> nodes;
        for (auto& [job, p] : pending_) {
            lognote_set(*p.node, p.resolved, p.type, p.status, p.retries);
            nodes.push_back(p.node);
            written_[job] = true;
        }
        const std::size_t bytes = nodes.size() * LOGNOTE_SIZE;
        const bool replace = bytes * 4 >= queue_bytes_ && spent_ + queue_bytes_ <= budget_;
        if (replace || jqs_update_in_place(nodes) == 1) {
            refresh_jqs(LockMode::HELD, nodes);
            spent_ += queue_bytes_;
        }
        pending_.clear();
        last_ = Clock::now();
    }

  private:
    std::size_t queue_bytes_, budget_, spent_ = 0;
    std::map<std::size_t, Pending> pending_;
    std::vector<bool> written_;
    Clock::time_point last_ = Clock::now();
};

// A waiting job as the file held it when the pass began, and its node: the
// result goes into the very job probed, never into another with its URL.
struct WaitingJob {
    LogNote* node;
    std::int32_t id;
    std::string url;
    std::int32_t retries;
};

// Type code and status for a probe's final record; go_on false when the
// pass must end after this job (a refused login).
struct Verdict {
    const char* type;
    std::int32_t status;
    std::int32_t retries;
    bool go_on;
};

Verdict failed(std::int32_t retries) {
    return {TYPE_UNDETERMINED, STATUS_WAITING, retries < RETRIES_MAX ? retries + 1 : retries, true};
}

Verdict classify(const UrlParts& p, std::int32_t retries) {
    if (p.outcome == OUTCOME_REACHABLE) {
        switch (p.kind) {
            case KIND_HTTP:
                return {TYPE_HTTP, STATUS_DETECTED, retries, true};
            case KIND_FTP:
                return {TYPE_FTP, STATUS_DETECTED, retries, true};
            case KIND_TORRENT:
                return {TYPE_TORRENT, STATUS_DETECTED, retries, true};
            case KIND_NZB:
                return {TYPE_NZB, STATUS_DETECTED, retries, true};
            case KIND_ED2K:
                return {TYPE_ED2K, STATUS_DETECTED, retries, true};
            default:
                return {TYPE_UNDETERMINED, STATUS_WAITING, retries, true};
        }
    }
    if (p.outcome == OUTCOME_LOGIN_REFUSED) return {TYPE_FTP, STATUS_LOGIN_REFUSED, retries, false};
    return failed(retries);
}

// The URL a job is written back with: the last of its chain that fits the
// record (the one that redirected to an over-long target, the job's own URL
// as probed), else the URL as stored. A settled job gets the stored URL
// only when a request would carry it as it is (no blank, no byte to escape,
// so a host in ASCII): every downloader can use it. None when nothing
// fits: a cut URL is never written.
std::optional<std::string> fitting_url(const WaitingJob& job, const ProbeTrace& trace,
                                       bool settled) {
    for (auto it = trace.trail.rbegin(); it != trace.trail.rend(); ++it) {
        if (it->size() < LN_RESOLVED_URL_LEN) return *it;
    }
    const bool as_requested =
        std::all_of(job.url.begin(), job.url.end(), [](char c) { return c > ' ' && c < '\x7f'; });
    if (job.url.size() < LN_RESOLVED_URL_LEN && (as_requested || !settled)) return job.url;
    return std::nullopt;
}

// A line of the pass's own, said with the job's.
void say(std::vector<ReportPiece>& said, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void say(std::vector<ReportPiece>& said, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    said.push_back(ReportPiece{line, false});
}

// What a job's probes come to: its record's new fields (none: the job is
// left as it is), what it says, and whether the pass goes on after it.
struct Decision {
    std::optional<Pending> write;
    std::vector<ReportPiece> said;
    bool go_on = true;
};

Decision decide(const WaitingJob& job, ProbeDone& done) {
    Decision d;
    d.said = std::move(done.trace.said);
    if (done.result == nullptr) {
        // A server that trickles must not hold the lock for minutes.
        const Verdict v = failed(job.retries);
        say(d.said, "job %d: its probes took more than %d s, counted as unreachable\n",
            static_cast<int>(job.id), JOB_TIME_FACTOR * probe_timeout(job.retries));
        const std::string resolved =
            job.node != nullptr ? std::string(field_text(job.node->resolved_url)) : "";
        d.write = Pending{job.node, resolved, v.type, v.status, v.retries};
        return d;
    }
    const Verdict v = classify(*done.result, job.retries);
    const std::string resolved = done.result->spec.value_or("");
    const std::optional<std::string> fits =
        fitting_url(job, done.trace, v.status != STATUS_WAITING);
    if (!fits) {
        say(d.said,
            "job %d: resolved URL of %zu characters does not fit, nor does any URL of its "
            "chain; the job is left unchanged\n",
            static_cast<int>(job.id), resolved.size());
    } else {
        if (resolved.size() >= LN_RESOLVED_URL_LEN) {
            say(d.said,
                "job %d: resolved URL of %zu characters does not fit, the last URL of its "
                "chain that fits is written\n",
                static_cast<int>(job.id), resolved.size());
        }
        d.write = Pending{job.node, *fits, v.type, v.status, v.retries};
    }
    d.go_on = v.go_on;
    return d;
}

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

    ResultWriter writer(file_order.size() * LOGNOTE_SIZE, waiting.size());
    Sayings sayings(waiting.size());
    std::size_t last = waiting.size();  // no job after this one counts: a refused login
    // Each result as soon as it is in, whatever the jobs before it do.
    auto settle = [&](std::size_t i, ProbeDone& done) {
        Decision d = decide(waiting[i], done);
        if (d.write) writer.add(i, std::move(*d.write));
        if (!d.go_on) {
            // After a refused login the later jobs wait for the next run.
            last = std::min(last, i);
            writer.drop_after(last);
        }
        sayings.add(i, std::move(d.said));
        sayings.print_ready(last);
        return d.go_on;
    };
    auto tick = [&] {
        writer.write_if_due();
        return !stop_requested();
    };
    probe_jobs(probes, probe_limit(), settle, tick);
    // After a stop, the watchdog armed by the signal ends the run if this
    // can't be done in time.
    writer.write();
    sayings.print_rest([&](std::size_t i) { return i <= last || writer.written(i); });
    return lock.release();
}

int check_job(const std::string& url, int retries, std::FILE* out) {
    static const char* const TYPE_NAMES[] = {"",    "HTTP",         "FTP", "torrent",
                                             "NZB", "undetermined", "ed2k"};
    const WaitingJob job{nullptr, 0, url, retries};
    ProbeDone done;
    done.trace.steps = true;
    done.result = probe_job({url, retries}, done.trace);
    const Decision d = decide(job, done);
    std::string said;
    for (const ReportPiece& p : d.said) {
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
    if (!d.write) {
        std::fprintf(out, "result   left as it is: waiting, retries %d\n", retries);
        return 3;
    }
    const Pending& w = *d.write;
    const int type = w.type[0] - '0';
    std::fprintf(out, "result   type %s (%s), status %c, resolved %s, retries %d\n", w.type,
                 type >= 1 && type <= 6 ? TYPE_NAMES[type] : "?", static_cast<char>(w.status),
                 printable(url_for_people(w.resolved)).c_str(), static_cast<int>(w.retries));
    if (w.status == STATUS_DETECTED) return 0;
    return w.status == STATUS_LOGIN_REFUSED ? 4 : 3;
}
