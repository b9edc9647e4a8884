// Writing a pass's results into the queue file: about once a second, each
// over its own record when the file is the list's, else the whole queue
// replaced atomically, and on a disk without room for a copy each changed
// record over its own place whatever the file's order. The layout of the
// file (what each record place holds) is kept here.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "io.h"
#include "store.h"
#include "unique_fd.h"
#include "queue_write.h"
#include "record.h"
#include "signals.h"
#include "job_queue.h"
#include "file_replace.h"

namespace {

using Record = unsigned char[LOGNOTE_SIZE];

// Set when a load stopped before the end of the file: the list is then not
// the whole queue, and writing it back would drop the rest.
bool load_incomplete = false;

// One line per run for each kind of rewrite trouble: a full disk stays full
// for the rest of the run.
bool told_in_place = false;
bool told_failed = false;
bool told_moved = false;

// What the file holds at each record place, as this process last loaded or
// replaced it: the node there, or null for a record the list does not keep
// (one without a url). A write in place puts a node over its own place, so
// it never moves a record whatever order the list has.
std::vector<const LogNote*> on_disk;
std::map<const LogNote*, std::size_t> place_of;
// Set while the file holds exactly the list's records in list order (after
// a load that dropped and moved nothing, and after every replacement).
bool layout_is_list = false;

void set_on_disk(std::vector<const LogNote*> nodes) {
    on_disk = std::move(nodes);
    place_of.clear();
    for (std::size_t i = 0; i < on_disk.size(); ++i)
        if (on_disk[i] != nullptr) place_of.emplace(on_disk[i], i);
}

// How a write over the nodes' own records went.
enum class InPlace { WRITTEN, NOT_THERE, FAILED };

// Writes `nodes` over their own records in the file, never moving one: every
// field but the status first, then the statuses, each step flushed. A kill
// or a power cut at any moment leaves every job present once, as it was or
// with its whole new result (a status not yet written keeps it waiting, to
// be probed again). Each place is first read back: one that does not hold
// its job as loaded (another process changed the file against the lock)
// makes it NOT_THERE, with nothing written. Stop signals wait for it. A
// failure leaves its errno in `err`.
InPlace write_in_place(const char* path, const std::vector<const LogNote*>& nodes, int& err) {
    StopSignalHold hold;
    std::vector<off_t> at;
    for (const LogNote* n : nodes) {
        const auto it = place_of.find(n);
        if (it == place_of.end()) return InPlace::NOT_THERE;
        at.push_back(static_cast<off_t>(it->second * LOGNOTE_SIZE));
    }
    UniqueFd fd(open(path, O_RDWR | O_CLOEXEC));
    err = errno;
    if (!fd) return InPlace::FAILED;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        Record want, have;
        lognote_encode(*nodes[i], want);
        if (!pread_whole(fd.get(), have, LN_RESOLVED_URL, at[i])) return InPlace::NOT_THERE;
        if (std::memcmp(want, have, LN_RESOLVED_URL) != 0) return InPlace::NOT_THERE;
    }
    bool ok = true;
    for (int step = 0; ok && step < 2; ++step) {
        for (std::size_t i = 0; ok && i < nodes.size(); ++i) {
            Record rec;
            lognote_encode(*nodes[i], rec);
            ok = step == 0 ? pwrite_whole(fd.get(), rec, LN_STATUS, at[i]) &&
                                 pwrite_whole(fd.get(), rec + LN_RETRIES, LOGNOTE_SIZE - LN_RETRIES,
                                              at[i] + static_cast<off_t>(LN_RETRIES))
                           : pwrite_whole(fd.get(), rec + LN_STATUS, 4,
                                          at[i] + static_cast<off_t>(LN_STATUS));
        }
        ok = ok && fdatasync(fd.get()) == 0;
    }
    err = errno;
    return ok ? InPlace::WRITTEN : InPlace::FAILED;
}

// False when the queue's file system plainly has no room for a second copy
// of `bytes`: the copy would only wear a router's flash, and take the
// time a stop has, before failing.
bool room_for_copy(const char* path, std::size_t bytes) {
    struct statvfs fs {};
    const std::string dir = jqs_real_path(path);
    if (statvfs(dir.substr(0, dir.rfind('/') + 1).c_str(), &fs) != 0) return true;  // try it
    const auto free_blocks = geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    return static_cast<unsigned long long>(free_blocks) * fs.f_frsize >= bytes;
}

void say_failed(const char* path, int err) {
    if (told_failed) return;
    told_failed = true;
    std::fprintf(stderr, "%s: the queue could not be written: %s\n", path, std::strerror(err));
}

// With no room for a copy: the changed records over their own places.
int write_changed_in_place(const char* path, const std::vector<const LogNote*>& changed) {
    int err = 0;
    const InPlace r = write_in_place(path, changed, err);
    if (r == InPlace::WRITTEN && !told_in_place) {
        told_in_place = true;
        std::fprintf(stderr, "%s: no room for a temporary copy, the queue was written in place\n",
                     path);
    } else if (r == InPlace::NOT_THERE && !told_moved) {
        told_moved = true;
        std::fprintf(stderr,
                     "%s: another process moved the queue's records, and there is no room to "
                     "write it anew; the results are not written\n",
                     path);
    } else if (r == InPlace::FAILED) {
        say_failed(path, err);
    }
    return r == InPlace::WRITTEN ? 0 : -1;
}

// The list at `list` written as the file at `path`: replaced whole, or
// with no room for that, the changed records over their own. 0, or -1
// with one line said.
int rewrite(const LogNote* list, const char* path, const std::vector<const LogNote*>& changed) {
    if (load_incomplete) return -1;
    std::vector<const LogNote*> kept;
    for (const LogNote* n = list->next.get(); n != nullptr; n = n->next.get())
        if (n->url[0] != '\0') kept.push_back(n);
    // Not held against stop signals: a stop may abandon the temporary copy,
    // which the next run removes.
    ReplaceResult result = REPLACE_FAILED;
    errno = ENOSPC;
    if (room_for_copy(path, kept.size() * LOGNOTE_SIZE))
        result = jqs_replace_with(path, [&](int fd) { return jqs_write_list(fd, list); });
    const int err = errno;
    if (result == REPLACE_DONE) {
        set_on_disk(std::move(kept));
        layout_is_list = true;
        return 0;
    }
    if (err == ENOSPC || err == EDQUOT) return write_changed_in_place(path, changed);
    say_failed(path, err);
    return -1;
}

// 0 when `nodes` went over their own records; 1 when the file is not the
// list's or a place holds another job (nothing written); -1 on a failure.
int update_in_place(const char* path, const std::vector<const LogNote*>& nodes) {
    if (load_incomplete) return -1;
    if (!layout_is_list) return 1;
    int err = 0;
    const InPlace r = write_in_place(path, nodes, err);
    if (r == InPlace::FAILED) say_failed(path, err);
    return r == InPlace::WRITTEN ? 0 : r == InPlace::NOT_THERE ? 1 : -1;
}

}  // namespace

int refresh_jqs(LockMode mode, const std::vector<const LogNote*>& changed) {
    std::optional<QueueLock> lock;
    if (mode == LockMode::TAKE) lock.emplace(jqs_dir);
    const int rc = rewrite(head.get(), jqs_file, changed);
    const int released = lock ? lock->release() : 0;
    return rc < 0 ? rc : released;
}

int jqs_update_in_place(const std::vector<const LogNote*>& nodes) {
    return update_in_place(jqs_file, nodes);
}

// Results are written about once a second, each as soon as it is settled
// whatever earlier jobs still do (and once at the end): a kill loses no
// more than the last moments of a run, which the next run probes again. A
// few results go over their own records in place; many at once, or a file
// not laid out as the list, get the whole queue replaced (or, with no room
// for that, the changed records over their own places). Replacing stops
// once it has written twice the queue plus REWRITE_SPARE, so a run writes
// at most about three times the queue plus that: a router's flash wears
// with every byte.
struct QueueWriter::State {
    static constexpr auto REWRITE_EVERY = std::chrono::seconds(1);
    static constexpr std::size_t REWRITE_SPARE = std::size_t{1} << 20;
    LogNote* list;
    const char* path;
    std::size_t queue_bytes, budget, spent = 0;
    std::map<std::size_t, std::pair<LogNote*, JobResult>> pending;  // by job: in file order
    std::vector<bool> written;
    Clock::time_point last = Clock::now();
};

QueueWriter::QueueWriter(std::size_t queue_bytes, std::size_t jobs, LogNote* list, const char* path)
    : state_(new State{list,
                       path,
                       queue_bytes,
                       2 * queue_bytes + State::REWRITE_SPARE,
                       0,
                       {},
                       std::vector<bool>(jobs)}) {}

QueueWriter::~QueueWriter() = default;

void QueueWriter::add(std::size_t job, LogNote* node, JobResult result) {
    state_->pending.insert_or_assign(job, std::make_pair(node, std::move(result)));
}

void QueueWriter::drop_after(std::size_t job) {
    state_->pending.erase(state_->pending.upper_bound(job), state_->pending.end());
}

bool QueueWriter::written(std::size_t job) const {
    return state_->written[job];
}

void QueueWriter::write_if_due() {
    if (Clock::now() - state_->last >= State::REWRITE_EVERY) write();
}

void QueueWriter::write() {
    State& s = *state_;
    if (s.pending.empty()) return;
    std::vector<const LogNote*> nodes;
    for (auto& [job, p] : s.pending) {
        const JobResult& r = p.second;
        lognote_set(*p.first, r.resolved, r.type, r.status, r.retries);
        nodes.push_back(p.first);
        s.written[job] = true;
    }
    // Many results at once are cheaper in one replacement, until the flash
    // budget is spent.
    const std::size_t bytes = nodes.size() * LOGNOTE_SIZE;
    const bool replace = bytes * 4 >= s.queue_bytes && s.spent + s.queue_bytes <= s.budget;
    if (replace || update_in_place(s.path, nodes) == 1) {
        rewrite(s.list, s.path, nodes);
        s.spent += s.queue_bytes;
    }
    s.pending.clear();
    s.last = Clock::now();
}

void queue_layout_loaded(std::vector<const LogNote*> places, bool is_list) {
    load_incomplete = false;
    set_on_disk(std::move(places));
    layout_is_list = is_list;
}

void queue_layout_incomplete() {
    load_incomplete = true;
    set_on_disk({});
    layout_is_list = false;
}

void queue_layout_list_changed() {
    layout_is_list = false;
}

void queue_layout_reset() {
    load_incomplete = false;
    layout_is_list = false;
    set_on_disk({});
    told_in_place = told_failed = told_moved = false;
}
