// The download area: where it lies, the FIFO semaphores the router's processes
// share, and the job queue file with its in-memory job list.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "signals.h"
#include "url_field.h"
#include "wait.h"

// ---- Download-area paths --------------------------------------------------

/// The general configuration file; line 12 names the download area.
inline constexpr const char* GENERAL_CONF = "/opt/etc/qv2_general.conf";
/// Width of each path global, terminating zero included.
inline constexpr std::size_t PATH_WIDTH = 256;

extern char Base_dir[PATH_WIDTH];
extern char Share_dir[PATH_WIDTH];
extern char In_dir[PATH_WIDTH];
extern char Log_dir[PATH_WIDTH];
extern char Sem_dir[PATH_WIDTH];
extern char jqs_dir[PATH_WIDTH];   ///< the queue lock's FIFO
extern char jqs_file[PATH_WIDTH];  ///< the job queue file

/// The rest of the configuration file's 12th line after its first ten
/// characters, up to a zero byte; "none" when the file is missing or can't
/// be opened. At most BASE_PATH_MAX + 1 characters are kept.
std::string getbasepath(const char* conf_path = GENERAL_CONF);

/// Longest base path whose derived paths (the longest is the queue lock's,
/// base + "/Download2/.sems/sem.jqs") all fit their globals.
inline constexpr std::size_t BASE_PATH_MAX =
    PATH_WIDTH - 1 - (sizeof "/Download2/.sems/sem.jqs" - 1);

/// Fills the seven path globals from the configuration file. False, with
/// one line on stderr and every global empty, when the base path is too
/// long for them: the run must then leave the queue alone.
bool init_path(const char* conf_path = GENERAL_CONF);

// ---- FIFO semaphore ---------------------------------------------------------

inline constexpr std::uint32_t SEM_MAGIC = 0x89674523;

/// One open semaphore: its count is the number of bytes waiting in a FIFO.
/// All bytes zero is a closed record.
struct FifoSem {
    std::int32_t read_fd;   ///< blocking
    std::int32_t write_fd;  ///< non-blocking, so a post never blocks
    std::uint32_t magic;    ///< SEM_MAGIC while open
    char name[128];         ///< a label; nothing reads it
};

/// Opens the semaphore on the FIFO at `path`. With O_CREAT in `flags` the FIFO
/// is made with `mode` and, when this call made it, filled with `value`
/// tokens; `mode` and `value` are read only then. 0, or -1 with errno.
int Sem_open(FifoSem* record, const char* path, int flags, mode_t mode = 0, unsigned value = 0);
/// Takes one token, blocking while there is none. 0, or -1 with errno
/// (EINVAL: not open; EINTR: a signal interrupted the wait).
int Sem_wait(FifoSem* record);
/// Adds one token without blocking. 0, or -1 with errno (EAGAIN: FIFO full).
int Sem_post(FifoSem* record);
/// Closes the record's descriptors and clears it. 0, or -1 with errno.
int Sem_close(FifoSem* record);
/// Sem_wait that also sets `held` the moment the token is taken, with the
/// signals of `blocked` held off from the read to the mark: a handler that
/// reads `held` never misses a token or gives back one not taken. The
/// signals stay deliverable while the wait blocks.
int Sem_wait_marked(FifoSem* record, std::atomic<int>& held, const sigset_t& blocked);

/// Tokens now in the FIFO at `path`, taking none; -1 with errno when there
/// is no FIFO there.
int fifo_tokens(const char* path);

// ---- Job queue file and job list ---------------------------------------------

/// The queue record: offsets and widths of its fields. Integers are 32-bit in
/// host byte order.
inline constexpr std::size_t LOGNOTE_SIZE = 1052;
inline constexpr std::size_t LN_ID = 0;
inline constexpr std::size_t LN_URL = 4;
inline constexpr std::size_t LN_URL_LEN = URL_FIELD_SIZE;
inline constexpr std::size_t LN_RESOLVED_URL = 516;
inline constexpr std::size_t LN_RESOLVED_URL_LEN = URL_FIELD_SIZE;
inline constexpr std::size_t LN_TYPE = 1028;
inline constexpr std::size_t LN_TYPE_LEN = 12;
inline constexpr std::size_t LN_STATUS = 1040;
inline constexpr std::size_t LN_RETRIES = 1044;
inline constexpr std::size_t LN_LINK = 1048;
static_assert(LN_URL == LN_ID + 4 && LN_RESOLVED_URL == LN_URL + LN_URL_LEN &&
                  LN_TYPE == LN_RESOLVED_URL + LN_RESOLVED_URL_LEN &&
                  LN_STATUS == LN_TYPE + LN_TYPE_LEN && LN_RETRIES == LN_STATUS + 4 &&
                  LN_LINK == LN_RETRIES + 4 && LOGNOTE_SIZE == LN_LINK + 4,
              "queue record fields must tile the 1052-byte record");

/// Job status codes.
inline constexpr std::int32_t STATUS_WAITING = 'w';
inline constexpr std::int32_t STATUS_DETECTED = 'v';
inline constexpr std::int32_t STATUS_LOGIN_REFUSED = 'x';

/// Job type codes: which downloader a job belongs to.
inline constexpr const char* TYPE_HTTP = "1";
inline constexpr const char* TYPE_FTP = "2";
inline constexpr const char* TYPE_TORRENT = "3";  ///< a torrent file or a magnet link
inline constexpr const char* TYPE_NZB = "4";
inline constexpr const char* TYPE_UNDETERMINED = "5";
inline constexpr const char* TYPE_ED2K = "6";

/// One job: a record of the queue file and a node of the job list. The text
/// fields keep every byte they were loaded with, so a record the program does
/// not change is written back as it was.
struct LogNote {
    std::int32_t id = 0;
    char url[LN_URL_LEN] = {};
    char resolved_url[LN_RESOLVED_URL_LEN] = {};
    char type[LN_TYPE_LEN] = {};
    std::int32_t status = 0;
    std::int32_t retries = 0;
    std::unique_ptr<LogNote> next;  ///< the list link; never stored
};

/// The text of a fixed-width field: up to its first NUL, or its whole width.
template <std::size_t N>
std::string_view field_text(const char (&field)[N]) {
    std::size_t n = 0;
    while (n < N && field[n] != '\0')
        ++n;
    return std::string_view(field, n);
}

/// Sets a fixed-width text field: at most N-1 bytes of `text`, then zeros.
template <std::size_t N>
void field_set(char (&field)[N], std::string_view text) {
    std::size_t n = text.size() < N ? text.size() : N - 1;
    for (std::size_t i = 0; i < N; ++i)
        field[i] = i < n ? text[i] : '\0';
}

/// Writes `note` as one record; the link field is written as zero.
void lognote_encode(const LogNote& note, unsigned char (&out)[LOGNOTE_SIZE]);
/// Reads one record into `note` (its link untouched).
void lognote_decode(const unsigned char (&in)[LOGNOTE_SIZE], LogNote& note);

/// The sentinel of the job list: an all-zero node that is never written.
extern std::unique_ptr<LogNote> head;
/// The queue lock, on the FIFO at jqs_dir.
extern FifoSem jqs_sem;
/// 1 while the queue lock is in use, 0 when it could not be opened.
extern int jqs_sem_use;

/// A new node with the given fields, not yet linked.
std::unique_ptr<LogNote> createnote(std::int32_t id, std::string_view url,
                                    std::string_view resolved_url, std::string_view type,
                                    std::int32_t status, std::int32_t retries);
/// Links `node` into the list that starts at the sentinel `list`, in id order.
void insertnote(std::unique_ptr<LogNote> node, LogNote* list);

/// Loads the queue file into `list` without touching the lock. Records with
/// an empty url are not kept (a rewrite drops them anyway). 0, -1 when the
/// file can't be opened, or -2 when the load could not take the whole file
/// (a read error, too many jobs, no memory: one line on stderr, and the
/// list is then never written back). With `file_order`, also gives the
/// loaded nodes in file order.
int jqs_load(LogNote* list, std::vector<LogNote*>* file_order = nullptr);
/// Reads up to `n` bytes into `buf`, as read(2) does.
using ByteSource = std::function<ssize_t(void* buf, std::size_t n)>;
/// jqs_load's work on an open source; `name` is what a diagnostic calls it.
int jqs_load_from(const ByteSource& source, const char* name, LogNote* list,
                  std::vector<LogNote*>* file_order = nullptr);

/// Loads the queue file into `list` under the queue lock: the result of
/// closing the lock (0 without one), or the negative result of jqs_load.
int initlognote(LogNote* list);
/// Stores resolved URL, type, status and retries into `node`, in memory.
void lognote_set(LogNote& node, std::string_view resolved_url, std::string_view type,
                 std::int32_t status, std::int32_t retries);
/// Whether a queue write takes the queue lock or its caller holds it.
enum class LockMode { TAKE, HELD };
/// Replaces the queue file with the list's nodes that have a url, through
/// a symbolic link to where it really lies, atomically. When the disk has
/// no room for a temporary copy, the `changed` nodes are written over their
/// own records instead, as jqs_update_in_place writes them, whatever order
/// the file has (nothing at all when one is not where it was). 0 on success
/// (or the result of releasing the lock); -1 when the file could not be
/// written (one line on stderr).
int refresh_jqs(LockMode lock = LockMode::TAKE, const std::vector<const LogNote*>& changed = {});

/// Writes the records of `nodes` (nodes of the list at head) over their own
/// places in the queue file, when the file holds exactly the list's
/// records in list order (after a load that dropped and moved nothing, or
/// after refresh_jqs). Each place is read back first and must still hold
/// its job's id and url. Each record's status is written after its other
/// fields, each step flushed to storage; stop signals wait for the write.
/// The caller holds the queue lock. 0 on success; 1 when the file is not
/// laid out as the list or a place holds another job (nothing is written:
/// refresh_jqs instead); -1 when it could not be written (one line on
/// stderr).
int jqs_update_in_place(const std::vector<const LogNote*>& nodes);

/// A job's settled result: what goes into its record.
struct JobResult {
    std::string resolved;
    const char* type;
    std::int32_t status;
    std::int32_t retries;
};

/// The results of a pass settled and not yet in the queue file. Written
/// about once a second (REWRITE_EVERY), each as soon as it is settled
/// whatever earlier jobs still do, and once at the end: a kill loses no
/// more than the last moments of a run, which the next run probes again.
/// A few results go over their own records in place; many at once, or a
/// file not laid out as the list, get the whole queue replaced (or, with
/// no room for that, the changed records over their own places).
/// Replacing stops once it has written twice the queue plus REWRITE_SPARE,
/// so a run writes at most about three times the queue plus that: a
/// router's flash wears with every byte. The caller holds the queue lock.
class QueueWriter {
  public:
    static constexpr auto REWRITE_EVERY = std::chrono::seconds(1);
    static constexpr std::size_t REWRITE_SPARE = std::size_t{1} << 20;

    /// For a pass over `jobs` jobs of a queue of `queue_bytes`: the list at
    /// `list` (its nodes are what add() names), the file at `path`.
    QueueWriter(std::size_t queue_bytes, std::size_t jobs, LogNote* list = head.get(),
                const char* path = jqs_file);
    /// Job `job` (its number in the pass) settled: `node` gets `result`.
    void add(std::size_t job, LogNote* node, JobResult result);
    /// A refused login: the results of later jobs not written yet never are.
    void drop_after(std::size_t job);
    /// True once job `job`'s result was written.
    bool written(std::size_t job) const;
    /// Writes what settled when a second has passed since the last write.
    void write_if_due();
    /// Writes what settled.
    void write();

  private:
    struct Pending {
        LogNote* node;
        JobResult result;
    };
    LogNote* list_;
    const char* path_;
    std::size_t queue_bytes_, budget_, spent_ = 0;
    std::map<std::size_t, Pending> pending_;  // by job number: written in file order
    std::vector<bool> written_;
    Clock::time_point last_ = Clock::now();
};

/// Writes every node of `list` that has a url as one record, in list
/// order, from the descriptor's position. False with errno.
bool jqs_write_list(int fd, const LogNote* list);

/// Frees every node from head onward, the sentinel included. Always 1.
int freelognote();

// ---- Replacing a file ---------------------------------------------------------

/// How jqs_replace_file ended.
enum ReplaceResult : int {
    REPLACE_DONE,    ///< the new content replaced the old in one step
    REPLACE_FAILED,  ///< not written; errno tells why (ENOSPC, EDQUOT: no room for the copy)
};

/// Replaces the file at `path` with `bytes` so that at every instant, power
/// loss and SIGKILL included, it holds the old or the new content whole.
/// A symbolic link at `path` stays: the file it leads to is replaced. Keeps
/// the old file's permission bits (0666 less the umask for a new one).
ReplaceResult jqs_replace_file(const std::string& path, std::string_view bytes);
/// Writes content to the descriptor from its start; false with errno.
using ContentWriter = std::function<bool(int fd)>;
/// The same with the content written by `write_content`, so that a large
/// queue need not be held twice in memory.
ReplaceResult jqs_replace_with(const std::string& path, const ContentWriter& write_content);
/// What `path` names once symbolic links are followed (the path itself
/// when nothing is there).
std::string jqs_real_path(const std::string& path);
/// Removes the temporary copies a killed rewrite of `path` left beside it
/// (its name, a dot and six characters; regular files only). Only while
/// holding the queue lock: another holder's copy is never in the way.
void jqs_remove_leftovers(const std::string& path);

// ---- The queue lock -------------------------------------------------------------

/// The queue lock, held for this object's lifetime: opens jqs_sem on the
/// FIFO at `fifo` (never creating it) and takes one token. Without a FIFO
/// there, the holder works unlocked (jqs_sem_use 0). One per process at a
/// time: the signal handler gives its token back.
class QueueLock {
  public:
    explicit QueueLock(const char* fifo);
    ~QueueLock();
    QueueLock(const QueueLock&) = delete;
    QueueLock& operator=(const QueueLock&) = delete;

    /// True while a token is held.
    bool locked() const;
    /// Gives the token back and closes the lock early: the result of the
    /// close, or 0 when no lock is in use (or it was released already).
    int release();

  private:
    bool open_ = false;
};

/// Gives back the queue-lock token when this process holds one. Safe inside
/// a signal handler: a run ended by a signal must not take the lock with it.
void jqs_release_on_signal() noexcept;

/// Clears the job list and lock state (for tests).
void jqs_reset();
/// Closes the queue lock and forgets its token (for tests).
void jqs_lock_reset();
