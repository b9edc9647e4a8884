// The job queue file: fixed 1052-byte records shared with the download
// manager's other processes under the queue lock, and the job list that
// mirrors it in memory.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

#include "store.h"
#include "unique_fd.h"

std::unique_ptr<LogNote> head;

namespace {

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
std::unordered_map<const LogNote*, std::size_t> place_of;
// Set while the file holds exactly the list's records in list order (after
// a load that dropped and moved nothing, and after every replacement).
bool layout_is_list = false;

void set_on_disk(std::vector<const LogNote*> nodes) {
    on_disk = std::move(nodes);
    place_of.clear();
    for (std::size_t i = 0; i < on_disk.size(); ++i)
        if (on_disk[i] != nullptr) place_of.emplace(on_disk[i], i);
}

// A queue with more jobs is not one this program made; it is left alone.
constexpr std::size_t MAX_RECORDS = 100000;
// Records read or written per system call.
constexpr std::size_t RECORDS_PER_IO = 64;

void put_i32(unsigned char* at, std::int32_t v) {
    std::memcpy(at, &v, 4);
}
std::int32_t get_i32(const unsigned char* at) {
    std::int32_t v;
    std::memcpy(&v, at, 4);
    return v;
}

template <std::size_t N>
void put_bytes(unsigned char* at, const char (&field)[N]) {
    std::memcpy(at, field, N);
}
template <std::size_t N>
void get_bytes(const unsigned char* at, char (&field)[N]) {
    std::memcpy(field, at, N);
}

using Record = unsigned char[LOGNOTE_SIZE];

Record& record_at(std::vector<unsigned char>& buf, std::size_t i) {
    return *reinterpret_cast<Record*>(&buf[i * LOGNOTE_SIZE]);
}

// Fills `buf` from the source, stopping early only at the end of the data.
// The bytes read, or -1 when a read failed (whatever came before it).
ssize_t read_full(const ByteSource& source, unsigned char* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = source(buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

// Reads all `n` bytes at `at`; false at the end of the file or on an error.
bool pread_all(int fd, unsigned char* data, std::size_t n, off_t at) {
    while (n > 0) {
        const ssize_t r = pread(fd, data, n, at);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        data += r;
        n -= static_cast<std::size_t>(r);
        at += r;
    }
    return true;
}

// Writes all `n` bytes at `at` (retrying short writes and EINTR).
bool pwrite_all(int fd, const unsigned char* data, std::size_t n, off_t at) {
    while (n > 0) {
        const ssize_t w = pwrite(fd, data, n, at);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<std::size_t>(w);
        at += w;
    }
    return true;
}

}  // namespace

// Through a small buffer: the whole queue is never held twice in memory.
bool jqs_write_list(int fd, const LogNote* list) {
    std::vector<unsigned char> buf(RECORDS_PER_IO * LOGNOTE_SIZE);
    std::size_t used = 0;
    for (const LogNote* n = list; n != nullptr; n = n->next.get()) {
        if (n->url[0] == '\0') continue;
        lognote_encode(*n, record_at(buf, used++));
        if (used == RECORDS_PER_IO) {
            if (!jqs_write_all(fd, buf.data(), buf.size())) return false;
            used = 0;
        }
    }
    return jqs_write_all(fd, buf.data(), used * LOGNOTE_SIZE);
}

namespace {

// Links `nodes` (in file order) after the sentinel `list`, which has no
// other node yet, in exactly the order that inserting them one by one with
// insertnote gives, without its walk over the list for every node.
//
// insertnote puts a node between the first neighbours (p, c) in the list
// with p.id < id < c.id, else at the end. Every such gap is born when a node
// goes to the end behind a smaller id: that "family" covers the open range
// between the two ids, and the nodes put into it later split it, staying in
// ascending order in front of the node that opened it. Families lie in the
// list in the order they were born, so a node joins the oldest family whose
// range holds its id and which holds no node of that id yet. A segment tree
// over the ids finds that family in O(log^2 n).
void link_in_insert_order(LogNote* list, std::vector<std::unique_ptr<LogNote>> nodes) {
    std::vector<std::int32_t> ids;
    ids.reserve(nodes.size());
    for (const auto& n : nodes)
        ids.push_back(n->id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::size_t size = 1;
    while (size < ids.size())
        size *= 2;
    // Each tree node lists, in birth order, the families covering its range.
    std::vector<std::vector<int>> covering(2 * size);
    auto add_family = [&](int family, std::int32_t lo, std::int32_t hi) {
        auto l =
            static_cast<std::size_t>(std::upper_bound(ids.begin(), ids.end(), lo) - ids.begin());
        auto r =
            static_cast<std::size_t>(std::lower_bound(ids.begin(), ids.end(), hi) - ids.begin());
        for (l += size, r += size; l < r; l /= 2, r /= 2) {
            if (l & 1) covering[l++].push_back(family);
            if (r & 1) covering[--r].push_back(family);
        }
    };
    // The oldest family born after `after` that covers ids[i], or INT_MAX.
    auto family_for = [&](std::size_t i, int after) {
        int best = INT_MAX;
        for (std::size_t t = i + size; t >= 1; t /= 2) {
            const auto& c = covering[t];
            const auto it = std::upper_bound(c.begin(), c.end(), after);
            if (it != c.end()) best = std::min(best, *it);
        }
        return best;
    };

    struct Tail {
        std::unique_ptr<LogNote> node;
        int family;  // the family it opened, or -1
    };
    std::vector<Tail> tails;
    std::vector<std::vector<std::unique_ptr<LogNote>>> families;
    // Per id: the youngest family that already holds a node of it. Every
    // older family covering the id holds one too.
    std::vector<int> joined(ids.size(), -1);
    std::int32_t last = list->id;
    for (auto& n : nodes) {
        const auto i =
            static_cast<std::size_t>(std::lower_bound(ids.begin(), ids.end(), n->id) - ids.begin());
        const int f = family_for(i, joined[i]);
        if (f != INT_MAX) {
            joined[i] = f;
            families[static_cast<std::size_t>(f)].push_back(std::move(n));
            continue;
        }
        int opened = -1;
        if (last < n->id) {
            opened = static_cast<int>(families.size());
            families.emplace_back();
            add_family(opened, last, n->id);
        }
        last = n->id;
        tails.push_back({std::move(n), opened});
    }

    LogNote* at = list;
    auto link = [&](std::unique_ptr<LogNote> n) {
        at->next = std::move(n);
        at = at->next.get();
    };
    for (auto& t : tails) {
        if (t.family >= 0) {
            auto& members = families[static_cast<std::size_t>(t.family)];
            std::sort(members.begin(), members.end(),
                      [](const auto& a, const auto& b) { return a->id < b->id; });
            for (auto& m : members)
                link(std::move(m));
        }
        link(std::move(t.node));
    }
}

}  // namespace

void lognote_encode(const LogNote& note, unsigned char (&out)[LOGNOTE_SIZE]) {
    put_i32(out + LN_ID, note.id);
    put_bytes(out + LN_URL, note.url);
    put_bytes(out + LN_RESOLVED_URL, note.resolved_url);
    put_bytes(out + LN_TYPE, note.type);
    put_i32(out + LN_STATUS, note.status);
    put_i32(out + LN_RETRIES, note.retries);
    put_i32(out + LN_LINK, 0);
}

void lognote_decode(const unsigned char (&in)[LOGNOTE_SIZE], LogNote& note) {
    note.id = get_i32(in + LN_ID);
    get_bytes(in + LN_URL, note.url);
    get_bytes(in + LN_RESOLVED_URL, note.resolved_url);
    get_bytes(in + LN_TYPE, note.type);
    note.status = get_i32(in + LN_STATUS);
    note.retries = get_i32(in + LN_RETRIES);
}

std::unique_ptr<LogNote> createnote(std::int32_t id, std::string_view url,
                                    std::string_view resolved_url, std::string_view type,
                                    std::int32_t status, std::int32_t retries) {
    auto note = std::make_unique<LogNote>();
    note->id = id;
    field_set(note->url, url);
    field_set(note->resolved_url, resolved_url);
    field_set(note->type, type);
    note->status = status;
    note->retries = retries;
    return note;
}

void insertnote(std::unique_ptr<LogNote> node, LogNote* list) {
    layout_is_list = false;
    LogNote* prev = list;
    while (prev->next != nullptr && !(node->id < prev->next->id && prev->id < node->id))
        prev = prev->next.get();
    node->next = std::move(prev->next);
    prev->next = std::move(node);
}

int jqs_load_from(const ByteSource& source, const char* name, LogNote* list,
                  std::vector<LogNote*>* file_order) {
    load_incomplete = false;
    layout_is_list = false;
    set_on_disk({});
    bool dropped = false;  // a record not kept, or a cut one at the end
    auto stop = [&](const std::string& why) {
        std::fprintf(stderr, "%s: %s; the queue is left unchanged\n", name, why.c_str());
        load_incomplete = true;
        return -2;
    };

    std::vector<std::unique_ptr<LogNote>> nodes;
    std::vector<const LogNote*> file_places;  // what each record of the file is
    std::vector<unsigned char> buf(RECORDS_PER_IO * LOGNOTE_SIZE);
    for (;;) {
        const ssize_t got = read_full(source, buf.data(), buf.size());
        if (got < 0) return stop(std::string("read error: ") + std::strerror(errno));
        // A final partial record reads with zeros for its missing bytes.
        const auto bytes = static_cast<std::size_t>(got);
        const std::size_t whole = (bytes + LOGNOTE_SIZE - 1) / LOGNOTE_SIZE * LOGNOTE_SIZE;
        std::fill(buf.begin() + static_cast<std::ptrdiff_t>(bytes),
                  buf.begin() + static_cast<std::ptrdiff_t>(whole), 0);
        dropped = dropped || bytes % LOGNOTE_SIZE != 0;
        for (std::size_t i = 0; i * LOGNOTE_SIZE < bytes; ++i) {
            const Record& rec = record_at(buf, i);
            if (rec[LN_URL] == 0) {
                dropped = true;
                file_places.push_back(nullptr);
                continue;  // never written back, so not kept
            }
            if (nodes.size() == MAX_RECORDS)
                return stop("more than " + std::to_string(MAX_RECORDS) + " jobs");
            auto node = std::unique_ptr<LogNote>(new (std::nothrow) LogNote());
            if (node == nullptr) return stop("out of memory");
            lognote_decode(rec, *node);
            file_places.push_back(node.get());
            nodes.push_back(std::move(node));
        }
        if (bytes < buf.size()) break;
    }
    std::vector<const LogNote*> order;
    for (const auto& n : nodes) {
        order.push_back(n.get());
        if (file_order != nullptr) file_order->push_back(n.get());
    }
    set_on_disk(std::move(file_places));
    const bool fresh = list->next == nullptr;
    if (fresh) {
        link_in_insert_order(list, std::move(nodes));
    } else {
        for (auto& n : nodes)
            insertnote(std::move(n), list);
    }
    if (fresh && !dropped) {
        std::size_t i = 0;
        const LogNote* n = list->next.get();
        for (; n != nullptr && i < order.size() && n == order[i]; n = n->next.get())
            ++i;
        layout_is_list = n == nullptr && i == order.size();
    }
    return 0;
}

int jqs_load(LogNote* list, std::vector<LogNote*>* file_order) {
    UniqueFd fd(open(jqs_file, O_RDONLY | O_CLOEXEC));
    if (!fd) return -1;
    return jqs_load_from([&](void* buf, std::size_t n) { return read(fd.get(), buf, n); }, jqs_file,
                         list, file_order);
}

int initlognote(LogNote* list) {
    QueueLock lock(jqs_dir);
    if (lock.locked()) jqs_remove_leftovers(jqs_file);
    const int loaded = jqs_load(list);
    const int unlocked = lock.release();
    return loaded < 0 ? loaded : unlocked;
}

void lognote_set(LogNote& node, std::string_view resolved_url, std::string_view type,
                 std::int32_t status, std::int32_t retries) {
    field_set(node.resolved_url, resolved_url);
    field_set(node.type, type);
    node.status = status;
    node.retries = retries;
}

namespace {

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
InPlace write_in_place(const std::vector<const LogNote*>& nodes, int& err) {
    StopSignalHold hold;
    std::vector<off_t> at;
    for (const LogNote* n : nodes) {
        const auto it = place_of.find(n);
        if (it == place_of.end()) return InPlace::NOT_THERE;
        at.push_back(static_cast<off_t>(it->second * LOGNOTE_SIZE));
    }
    UniqueFd fd(open(jqs_file, O_RDWR | O_CLOEXEC));
    err = errno;
    if (!fd) return InPlace::FAILED;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        Record want, have;
        lognote_encode(*nodes[i], want);
        if (!pread_all(fd.get(), have, LN_RESOLVED_URL, at[i])) return InPlace::NOT_THERE;
        if (std::memcmp(want, have, LN_RESOLVED_URL) != 0) return InPlace::NOT_THERE;
    }
    bool ok = true;
    for (int step = 0; ok && step < 2; ++step) {
        for (std::size_t i = 0; ok && i < nodes.size(); ++i) {
            Record rec;
            lognote_encode(*nodes[i], rec);
            ok = step == 0 ? pwrite_all(fd.get(), rec, LN_STATUS, at[i]) &&
                                 pwrite_all(fd.get(), rec + LN_RETRIES, LOGNOTE_SIZE - LN_RETRIES,
                                            at[i] + static_cast<off_t>(LN_RETRIES))
                           : pwrite_all(fd.get(), rec + LN_STATUS, 4,
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
bool room_for_copy(std::size_t bytes) {
    struct statvfs fs {};
    const std::string dir = jqs_real_path(jqs_file);
    if (statvfs(dir.substr(0, dir.rfind('/') + 1).c_str(), &fs) != 0) return true;  // try it
    const auto free_blocks = geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    return static_cast<unsigned long long>(free_blocks) * fs.f_frsize >= bytes;
}

void say_failed(int err) {
    if (told_failed) return;
    told_failed = true;
    std::fprintf(stderr, "%s: the queue could not be written: %s\n", jqs_file, std::strerror(err));
}

}  // namespace

int refresh_jqs(LockMode mode, const std::vector<const LogNote*>& changed) {
    if (load_incomplete) return -1;
    std::optional<QueueLock> lock;
    if (mode == LockMode::TAKE) lock.emplace(jqs_dir);
    std::size_t bytes = 0;
    for (const LogNote* n = head->next.get(); n != nullptr; n = n->next.get())
        bytes += n->url[0] != '\0' ? LOGNOTE_SIZE : 0;
    // Not held against stop signals: a stop may abandon the temporary copy,
    // which the next run removes.
    ReplaceResult result = REPLACE_FAILED;
    errno = ENOSPC;
    if (room_for_copy(bytes))
        result = jqs_replace_with(jqs_file, [](int fd) { return jqs_write_list(fd, head.get()); });
    const int err = errno;
    int rc = 0;
    if (result == REPLACE_DONE) {
        std::vector<const LogNote*> list;
        for (const LogNote* n = head->next.get(); n != nullptr; n = n->next.get())
            if (n->url[0] != '\0') list.push_back(n);
        set_on_disk(std::move(list));
        layout_is_list = true;
    } else if (err == ENOSPC || err == EDQUOT) {
        // No room for the copy: the changed records go over their own.
        int in_place_err = 0;
        const InPlace r = write_in_place(changed, in_place_err);
        if (r == InPlace::WRITTEN && !told_in_place) {
            told_in_place = true;
            std::fprintf(stderr,
                         "%s: no room for a temporary copy, the queue was written in place\n",
                         jqs_file);
        } else if (r == InPlace::NOT_THERE && !told_moved) {
            told_moved = true;
            std::fprintf(stderr,
                         "%s: another process moved the queue's records, and there is no room "
                         "to write it anew; the results are not written\n",
                         jqs_file);
        } else if (r == InPlace::FAILED) {
            say_failed(in_place_err);
        }
        rc = r == InPlace::WRITTEN ? 0 : -1;
    } else {
        say_failed(err);
        rc = -1;
    }
    const int released = lock ? lock->release() : 0;
    return rc < 0 ? rc : released;
}

int jqs_update_in_place(const std::vector<const LogNote*>& nodes) {
    if (load_incomplete) return -1;
    if (!layout_is_list) return 1;
    int err = 0;
    const InPlace r = write_in_place(nodes, err);
    if (r == InPlace::FAILED) say_failed(err);
    return r == InPlace::WRITTEN ? 0 : r == InPlace::NOT_THERE ? 1 : -1;
}

int freelognote() {
    std::unique_ptr<LogNote> n = std::move(head);
    while (n != nullptr)
        n = std::move(n->next);  // iterative: no deep recursion
    return 1;
}

void jqs_reset() {
    freelognote();
    jqs_lock_reset();
    load_incomplete = false;
    layout_is_list = false;
    set_on_disk({});
    told_in_place = told_failed = told_moved = false;
}
