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

#include "io.h"
#include "store.h"
#include "unique_fd.h"
#include "job_queue.h"
#include "record.h"
#include "queue_write.h"
#include "queue_lock.h"

std::unique_ptr<LogNote> head;

namespace {

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

}  // namespace

// Through a small buffer: the whole queue is never held twice in memory.
bool jqs_write_list(int fd, const LogNote* list) {
    std::vector<unsigned char> buf(RECORDS_PER_IO * LOGNOTE_SIZE);
    std::size_t used = 0;
    for (const LogNote* n = list; n != nullptr; n = n->next.get()) {
        if (n->url[0] == '\0') continue;
        lognote_encode(*n, record_at(buf, used++));
        if (used == RECORDS_PER_IO) {
            if (!write_whole(fd, buf.data(), buf.size())) return false;
            used = 0;
        }
    }
    return write_whole(fd, buf.data(), used * LOGNOTE_SIZE);
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
// The families covering each distinct id, as a segment tree over the ids.
class FamilyTree {
  public:
    explicit FamilyTree(std::vector<std::int32_t> ids) : ids_(std::move(ids)) {
        while (size_ < ids_.size())
            size_ *= 2;
        covering_.resize(2 * size_);
    }
    // Where `id` stands among the ids.
    std::size_t index(std::int32_t id) const {
        return static_cast<std::size_t>(std::lower_bound(ids_.begin(), ids_.end(), id) -
                                        ids_.begin());
    }
    // Family `family` covers the ids strictly between `lo` and `hi`.
    void add(int family, std::int32_t lo, std::int32_t hi) {
        auto l =
            static_cast<std::size_t>(std::upper_bound(ids_.begin(), ids_.end(), lo) - ids_.begin());
        std::size_t r = index(hi);
        for (l += size_, r += size_; l < r; l /= 2, r /= 2) {
            if (l & 1) covering_[l++].push_back(family);
            if (r & 1) covering_[--r].push_back(family);
        }
    }
    // The oldest family born after `after` that covers ids[i], or INT_MAX.
    int oldest(std::size_t i, int after) const {
        int best = INT_MAX;
        for (std::size_t t = i + size_; t >= 1; t /= 2) {
            const auto& c = covering_[t];
            const auto it = std::upper_bound(c.begin(), c.end(), after);
            if (it != c.end()) best = std::min(best, *it);
        }
        return best;
    }

  private:
    std::vector<std::int32_t> ids_;  // distinct, ascending
    std::size_t size_ = 1;
    // Each tree node lists, in birth order, the families covering its range.
    std::vector<std::vector<int>> covering_;
};

std::vector<std::int32_t> distinct_ids(const std::vector<std::unique_ptr<LogNote>>& nodes) {
    std::vector<std::int32_t> ids;
    ids.reserve(nodes.size());
    for (const auto& n : nodes)
        ids.push_back(n->id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

// A node that went to the end of the list, and the family it opened (-1:
// none), whose members stand in front of it.
struct Tail {
    std::unique_ptr<LogNote> node;
    int family;
};

// Links the tails after `list`, each behind its family's members in id order.
void link_tails(LogNote* list, std::vector<Tail>& tails,
                std::vector<std::vector<std::unique_ptr<LogNote>>>& families) {
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

void link_in_insert_order(LogNote* list, std::vector<std::unique_ptr<LogNote>> nodes) {
    FamilyTree tree(distinct_ids(nodes));
    std::vector<Tail> tails;
    std::vector<std::vector<std::unique_ptr<LogNote>>> families;
    // Per id: the youngest family that already holds a node of it. Every
    // older family covering the id holds one too.
    std::vector<int> joined(nodes.size(), -1);
    std::int32_t last = list->id;
    for (auto& n : nodes) {
        const std::size_t i = tree.index(n->id);
        const int f = tree.oldest(i, joined[i]);
        if (f != INT_MAX) {
            joined[i] = f;
            families[static_cast<std::size_t>(f)].push_back(std::move(n));
            continue;
        }
        int opened = -1;
        if (last < n->id) {
            opened = static_cast<int>(families.size());
            families.emplace_back();
            tree.add(opened, last, n->id);
        }
        last = n->id;
        tails.push_back({std::move(n), opened});
    }
    link_tails(list, tails, families);
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
    queue_layout_list_changed();
    LogNote* prev = list;
    while (prev->next != nullptr && !(node->id < prev->next->id && prev->id < node->id))
        prev = prev->next.get();
    node->next = std::move(prev->next);
    prev->next = std::move(node);
}

namespace {

// What a load read from the file.
struct Loaded {
    std::vector<std::unique_ptr<LogNote>> nodes;  // in file order
    std::vector<const LogNote*> places;           // what each record of the file is
    bool dropped = false;                         // a record not kept, or a cut one at the end
};

// Reads every record of the source into `l`: "" when the whole file came,
// else why not.
std::string read_records(const ByteSource& source, Loaded& l) {
    std::vector<unsigned char> buf(RECORDS_PER_IO * LOGNOTE_SIZE);
    for (;;) {
        const ssize_t got = read_full(source, buf.data(), buf.size());
        if (got < 0) return std::string("read error: ") + std::strerror(errno);
        // A final partial record reads with zeros for its missing bytes.
        const auto bytes = static_cast<std::size_t>(got);
        const std::size_t whole = (bytes + LOGNOTE_SIZE - 1) / LOGNOTE_SIZE * LOGNOTE_SIZE;
        std::fill(buf.begin() + static_cast<std::ptrdiff_t>(bytes),
                  buf.begin() + static_cast<std::ptrdiff_t>(whole), 0);
        l.dropped = l.dropped || bytes % LOGNOTE_SIZE != 0;
        for (std::size_t i = 0; i * LOGNOTE_SIZE < bytes; ++i) {
            const Record& rec = record_at(buf, i);
            if (rec[LN_URL] == 0) {
                l.dropped = true;
                l.places.push_back(nullptr);
                continue;  // never written back, so not kept
            }
            if (l.nodes.size() == MAX_RECORDS)
                return "more than " + std::to_string(MAX_RECORDS) + " jobs";
            auto node = std::unique_ptr<LogNote>(new (std::nothrow) LogNote());
            if (node == nullptr) return "out of memory";
            lognote_decode(rec, *node);
            l.places.push_back(node.get());
            l.nodes.push_back(std::move(node));
        }
        if (bytes < buf.size()) return "";
    }
}

// True when the list after `list` is exactly `order`.
bool list_is(const LogNote* list, const std::vector<const LogNote*>& order) {
    std::size_t i = 0;
    const LogNote* n = list->next.get();
    for (; n != nullptr && i < order.size() && n == order[i]; n = n->next.get())
        ++i;
    return n == nullptr && i == order.size();
}

}  // namespace

int jqs_load_from(const ByteSource& source, const char* name, LogNote* list,
                  std::vector<LogNote*>* file_order) {
    Loaded l;
    const std::string why = read_records(source, l);
    if (!why.empty()) {
        std::fprintf(stderr, "%s: %s; the queue is left unchanged\n", name, why.c_str());
        queue_layout_incomplete();
        return -2;
    }
    std::vector<const LogNote*> order;
    for (const auto& n : l.nodes) {
        order.push_back(n.get());
        if (file_order != nullptr) file_order->push_back(n.get());
    }
    const bool fresh = list->next == nullptr;
    if (fresh) {
        link_in_insert_order(list, std::move(l.nodes));
    } else {
        for (auto& n : l.nodes)
            insertnote(std::move(n), list);
    }
    queue_layout_loaded(std::move(l.places), fresh && !l.dropped && list_is(list, order));
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

int freelognote() {
    std::unique_ptr<LogNote> n = std::move(head);
    while (n != nullptr)
        n = std::move(n->next);  // iterative: no deep recursion
    return 1;
}

void jqs_reset() {
    freelognote();
    jqs_lock_reset();
    queue_layout_reset();
}
