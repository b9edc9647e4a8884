// The download area as the driver and the queue tool use it: its paths, the
// job queue file with its in-memory job list, and the queue lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fifo_sem.h"
#include "url_field.h"

/// The general configuration file (line 12 names the download area), and
/// the width of each path global, terminating zero included.
inline constexpr const char* GENERAL_CONF = "/opt/etc/qv2_general.conf";
inline constexpr std::size_t PATH_WIDTH = 256;
extern char Base_dir[PATH_WIDTH], Share_dir[PATH_WIDTH], In_dir[PATH_WIDTH], Log_dir[PATH_WIDTH],
    Sem_dir[PATH_WIDTH];
extern char jqs_dir[PATH_WIDTH], jqs_file[PATH_WIDTH];  ///< the queue lock's FIFO, the queue file

/// Fills the path globals from the configuration file. False, with one line
/// on stderr and every global empty, when the base path is too long for them.
bool init_path(const char* conf_path = GENERAL_CONF);

/// A queue record's size and its text fields' widths (record.h has all).
inline constexpr std::size_t LOGNOTE_SIZE = 1052;
inline constexpr std::size_t LN_URL_LEN = URL_FIELD_SIZE;
inline constexpr std::size_t LN_RESOLVED_URL_LEN = URL_FIELD_SIZE;
inline constexpr std::size_t LN_TYPE_LEN = 12;

/// Job status and type codes (the type picks the downloader).
inline constexpr std::int32_t STATUS_WAITING = 'w', STATUS_DETECTED = 'v',
                              STATUS_LOGIN_REFUSED = 'x';
inline constexpr const char *TYPE_HTTP = "1", *TYPE_FTP = "2", *TYPE_TORRENT = "3", *TYPE_NZB = "4",
                            *TYPE_UNDETERMINED = "5", *TYPE_ED2K = "6";

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

/// Writes `note` as one record (its link as zero), or reads one into it.
void lognote_encode(const LogNote& note, unsigned char (&out)[LOGNOTE_SIZE]);
void lognote_decode(const unsigned char (&in)[LOGNOTE_SIZE], LogNote& note);

/// The sentinel of the job list (never written); the queue lock, on the
/// FIFO at jqs_dir (jqs_sem_use 0: it could not be opened).
extern std::unique_ptr<LogNote> head;
extern FifoSem jqs_sem;
extern int jqs_sem_use;

/// A new node with the given fields, not yet linked.
std::unique_ptr<LogNote> createnote(std::int32_t id, std::string_view url,
                                    std::string_view resolved_url, std::string_view type,
                                    std::int32_t status, std::int32_t retries);
/// Loads the queue file into `list` without touching the lock; records
/// without a url are not kept. 0, -1 when the file can't be opened, or -2
/// when not all of it could be taken (one line on stderr; the list is then
/// never written back). `file_order` gets the loaded nodes in file order.
int jqs_load(LogNote* list, std::vector<LogNote*>* file_order = nullptr);
/// Stores resolved URL, type, status and retries into `node`, in memory.
void lognote_set(LogNote& node, std::string_view resolved_url, std::string_view type,
                 std::int32_t status, std::int32_t retries);
/// Frees every node from head onward, the sentinel included. Always 1.
int freelognote();

/// A job's settled result: what goes into its record.
struct JobResult {
    std::string resolved;
    const char* type;
    std::int32_t status;
    std::int32_t retries;
};

/// The results of a pass settled and not yet in the queue file, written
/// about once a second, in place or by replacement within a flash budget
/// (see queue_write.cpp). The caller holds the queue lock.
class QueueWriter {
  public:
    /// For a pass over `jobs` jobs of a queue of `queue_bytes` in the list
    /// at `list` and the file at `path`.
    QueueWriter(std::size_t queue_bytes, std::size_t jobs, LogNote* list = head.get(),
                const char* path = jqs_file);
    /// Job `job` (its number in the pass) settled: `node` gets `result`.
    void add(std::size_t job, LogNote* node, JobResult result);
    /// A refused login: the results of later jobs not written yet never are.
    void drop_after(std::size_t job);
    /// True once job `job`'s result was written.
    bool written(std::size_t job) const;
    /// Writes what settled: a second after the last write, or now.
    void write_if_due();
    void write();
    ~QueueWriter();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

/// How jqs_replace_file ended (errno ENOSPC or EDQUOT: no room for a copy).
enum ReplaceResult : int { REPLACE_DONE, REPLACE_FAILED };
/// Replaces the file at `path` (a link's target) with `bytes`, so that at
/// every instant, power loss included, it holds the old content or the new
/// one whole; the old file's permission bits stay.
ReplaceResult jqs_replace_file(const std::string& path, std::string_view bytes);
/// Removes the temporary copies a killed rewrite of `path` left beside it
/// (under the queue lock: another holder's copy is never in the way).
void jqs_remove_leftovers(const std::string& path);

/// The queue lock, held for this object's lifetime: opens jqs_sem on the
/// FIFO at `fifo` (never creating it) and takes one token. Without a FIFO
/// there, the holder works unlocked. One per process at a time.
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

/// Gives back the queue-lock token when this process holds one; safe in a
/// signal handler: a run ended by a signal must not take the lock with it.
void jqs_release_on_signal() noexcept;
