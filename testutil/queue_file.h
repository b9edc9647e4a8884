// Queue files built and read by hand from the record layout, independently
// of the store code under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// One queue record as the test sees it. Texts are the bytes up to the first
/// NUL (or the whole field).
struct QueueRec {
    std::int32_t id = 0;
    std::string url;
    std::string resolved_url;
    std::string type;
    std::int32_t status = 'w';
    std::int32_t retries = 0;
    std::uint32_t link = 0;
};

inline constexpr std::size_t REC_SIZE = 1052;

/// The 1052-byte record: id at 0, url at 4 (512), resolved_url at 516 (512),
/// type at 1028 (12), status at 1040, retries at 1044, link at 1048.
std::string queue_record(const QueueRec& r);
std::string queue_bytes(const std::vector<QueueRec>& recs);
/// Decodes whole records; a final partial record is ignored.
std::vector<QueueRec> parse_queue(const std::string& bytes);
/// Shorthand for a waiting job.
QueueRec waiting(std::int32_t id, const std::string& url, std::int32_t retries = 0);

bool operator==(const QueueRec& a, const QueueRec& b);
std::ostream& operator<<(std::ostream& os, const QueueRec& r);
