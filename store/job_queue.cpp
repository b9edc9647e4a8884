// The job queue file: fixed 1052-byte records shared with the download
// manager's other processes under the queue lock, and the job list that
// mirrors it in memory.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>

#include "store.h"
#include "unique_fd.h"

std::unique_ptr<LogNote> head;
FifoSem jqs_sem;
int jqs_sem_use;

namespace {

// Whether this process holds a token of jqs_sem; read by the signal handler.
volatile sig_atomic_t token_held = 0;
// Set when a load stopped before the end of the file: the list is then not
// the whole queue, and writing it back would drop the rest.
bool load_incomplete = false;

// A larger file is not a queue this program made; it is left alone.
constexpr std::size_t MAX_RECORDS = 100000;

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

// Reads up to n bytes, fewer only at the end of the file. -1 on error.
ssize_t read_full(int fd, unsigned char* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

bool write_full(int fd, const unsigned char* buf, std::size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        buf += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Writes every node with a url, in list order, through a small buffer: the
// whole queue is never held twice in memory.
bool write_list(int fd) {
    constexpr std::size_t PER_WRITE = 64;
    std::vector<unsigned char> buf(PER_WRITE * LOGNOTE_SIZE);
    std::size_t used = 0;
    for (const LogNote* n = head.get(); n != nullptr; n = n->next.get()) {
        if (n->url[0] == '\0') continue;
        lognote_encode(*n, *reinterpret_cast<unsigned char(*)[LOGNOTE_SIZE]>(&buf[used]));
        used += LOGNOTE_SIZE;
        if (used == buf.size()) {
            if (!write_full(fd, buf.data(), used)) return false;
            used = 0;
        }
    }
    return write_full(fd, buf.data(), used);
}

// The first node with each url, for updates by url; rebuilt when the list
// changes shape. A node's url never changes once it is in the list.
struct UrlIndex {
    const LogNote* list = nullptr;
    std::unordered_map<std::string_view, LogNote*> first;
};
UrlIndex url_index;

void forget_url_index() {
    url_index.list = nullptr;
    url_index.first.clear();
}

LogNote* find_by_url(LogNote* list, std::string_view url) {
    if (url_index.list != list) {
        forget_url_index();
        for (LogNote* n = list->next.get(); n != nullptr; n = n->next.get())
            url_index.first.emplace(field_text(n->url), n);
        url_index.list = list;
    }
    const auto it = url_index.first.find(url);
    return it == url_index.first.end() ? nullptr : it->second;
}

// Writes a private temporary file in the same folder with `write_content`,
// flushes it and renames it over the old one.
bool replace_with(const std::string& path, const std::function<bool(int)>& write_content) {
    std::string tmp = path + ".XXXXXX";
    // mkostemp creates with O_EXCL, so a link planted at the name is never
    // followed.
    UniqueFd fd(mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd) return false;

    struct stat old;
    bool ok;
    if (stat(path.c_str(), &old) == 0) {
        // Other processes of the download manager must keep their access.
        ok = fchmod(fd.get(), old.st_mode & 07777) == 0;
        static const uid_t uid = geteuid();
        static const gid_t gid = getegid();
        if (ok && (old.st_uid != uid || old.st_gid != gid))
            (void)!fchown(fd.get(), old.st_uid, old.st_gid);
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        ok = fchmod(fd.get(), 0666 & ~mask) == 0;
    }
    ok = ok && write_content(fd.get());
    ok = ok && fsync(fd.get()) == 0;
    const int fd_num = fd.release();
    ok = close(fd_num) == 0 && ok;
    ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(tmp.c_str());
    // The folder is not synced: the content is on disk before the rename, so
    // after a power cut the path holds the old queue or the new one, whole.
    return ok;
}

}  // namespace

bool jqs_replace_file(const std::string& path, const std::string& bytes) {
    return replace_with(path, [&](int fd) {
        return write_full(fd, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    });
}

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
    forget_url_index();
    LogNote* prev = list;
    while (prev->next != nullptr && !(node->id < prev->next->id && prev->id < node->id))
        prev = prev->next.get();
    node->next = std::move(prev->next);
    prev->next = std::move(node);
}

int jqs_lock() {
    jqs_sem_use = 1;
    if (Sem_open(&jqs_sem, jqs_dir, 0) != 0) {
        jqs_sem_use = 0;
        return 0;
    }
    int r;
    do {
        r = Sem_wait(&jqs_sem);
    } while (r != 0 && errno == EINTR);
    if (r == 0) token_held = 1;
    return 0;
}

int jqs_unlock() {
    if (!jqs_sem_use) return 0;
    {
        // The post and the flag change as one step, so a signal can't give
        // the token back twice or not at all.
        TermSignalHold hold;
        if (token_held) {
            Sem_post(&jqs_sem);
            token_held = 0;
        }
    }
    return Sem_close(&jqs_sem);
}

int jqs_load(LogNote* list, std::vector<LogNote*>* file_order) {
    UniqueFd fd(open(jqs_file, O_RDONLY | O_CLOEXEC));
    if (!fd) return -1;
    forget_url_index();
    load_incomplete = false;

    // Records of a file in ascending id order go to the end; only the other
    // cases need insertnote's walk.
    LogNote* tail = list;
    bool ascending = true;
    for (; tail->next != nullptr; tail = tail->next.get())
        ascending = ascending && tail->next->id > tail->id;
    std::size_t count = 0;
    for (;;) {
        unsigned char rec[LOGNOTE_SIZE] = {};
        if (read_full(fd.get(), rec, LOGNOTE_SIZE) <= 0) break;
        if (++count > MAX_RECORDS) {
            std::fprintf(stderr, "%s: more than %zu jobs, the queue is left unchanged\n", jqs_file,
                         MAX_RECORDS);
            load_incomplete = true;
            break;
        }
        auto node = std::unique_ptr<LogNote>(new (std::nothrow) LogNote());
        if (node == nullptr) {
            load_incomplete = true;
            break;
        }
        lognote_decode(rec, *node);
        if (file_order != nullptr) file_order->push_back(node.get());
        if (ascending && node->id > 0 && node->id > tail->id) {
            tail->next = std::move(node);
            tail = tail->next.get();
        } else {
            ascending = false;
            insertnote(std::move(node), list);
        }
    }
    return load_incomplete ? -2 : 0;
}

int initlognote(LogNote* list) {
    jqs_lock();
    const int loaded = jqs_load(list);
    const int unlocked = jqs_unlock();
    return loaded < 0 ? loaded : unlocked;
}

bool lognote_update(std::string_view url, std::string_view resolved_url, LogNote* list,
                    std::string_view type, std::int32_t status, std::int32_t retries) {
    LogNote* n = find_by_url(list, url);
    if (n == nullptr) return false;
    field_set(n->resolved_url, resolved_url);
    field_set(n->type, type);
    n->status = status;
    n->retries = retries;
    return true;
}

int updatelognote_byurl(std::string_view url, std::string_view resolved_url, LogNote* list,
                        std::string_view type, std::int32_t status, std::int32_t retries,
                        bool lock_held) {
    lognote_update(url, resolved_url, list, type, status, retries);
    return refresh_jqs(lock_held);
}

int refresh_jqs(bool lock_held) {
    if (load_incomplete) return -1;
    const bool take = !lock_held;
    if (take) jqs_lock();
    bool replaced;
    {
        TermSignalHold hold;
        replaced = replace_with(jqs_file, write_list);
    }
    const int released = take ? jqs_unlock() : 0;
    return replaced ? released : -1;
}

int freelognote() {
    forget_url_index();
    std::unique_ptr<LogNote> n = std::move(head);
    while (n != nullptr)
        n = std::move(n->next);  // iterative: no deep recursion
    return 1;
}

int fifo_tokens(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return -1;
    if (!S_ISFIFO(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int n = 0;
    if (!fd || ioctl(fd.get(), FIONREAD, &n) != 0) return -1;
    return n;
}

void jqs_release_on_signal() noexcept {
    if (token_held && jqs_sem.magic == SEM_MAGIC) {
        const char token = 0;
        (void)!write(jqs_sem.write_fd, &token, 1);
        token_held = 0;
    }
}

TermSignalHold::TermSignalHold() {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaddset(&term, SIGUSR2);
    sigprocmask(SIG_BLOCK, &term, &saved_);
}

TermSignalHold::~TermSignalHold() {
    sigprocmask(SIG_SETMASK, &saved_, nullptr);
}

void jqs_reset() {
    freelognote();
    if (jqs_sem.magic == SEM_MAGIC) Sem_close(&jqs_sem);
    std::memset(&jqs_sem, 0, sizeof jqs_sem);
    jqs_sem_use = 0;
    token_held = 0;
    load_incomplete = false;
}
