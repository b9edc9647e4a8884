// Fuzzes the queue loader with arbitrary bytes as a queue file: loaded,
// rewritten and loaded again, the kept records must come back byte for
// byte, in the order inserting them one by one gives, and the second
// rewrite must equal the first.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "store.h"
#include "job_queue.h"
#include "record.h"

namespace {

int load(std::string_view bytes, LogNote* list) {
    std::size_t at = 0;
    return jqs_load_from(
        [&](void* buf, std::size_t n) {
            const std::size_t k = std::min(n, bytes.size() - at);
            std::memcpy(buf, bytes.data() + at, k);
            at += k;
            return static_cast<ssize_t>(k);
        },
        "fuzz", list);
}

std::string rewrite(const LogNote* list) {
    static const int fd = memfd_create("queue", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) std::abort();
    if (!jqs_write_list(fd, list)) std::abort();
    std::string out(static_cast<std::size_t>(lseek(fd, 0, SEEK_CUR)), '\0');
    if (pread(fd, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) std::abort();
    return out;
}

void free_list(LogNote& list) {
    std::unique_ptr<LogNote> n = std::move(list.next);
    while (n != nullptr)
        n = std::move(n->next);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    LogNote first;
    if (load(input, &first) != 0) std::abort();
    const std::string once = rewrite(&first);

    // The same records by hand, each inserted on its own, each remembered
    // with its bytes as the file held them (the link field is written 0).
    LogNote expected;
    std::vector<std::pair<const LogNote*, std::string>> bytes_of;
    for (std::size_t at = 0; at < input.size(); at += LOGNOTE_SIZE) {
        std::string rec(input.substr(at, LOGNOTE_SIZE));
        rec.resize(LOGNOTE_SIZE, '\0');
        if (rec[LN_URL] == '\0') continue;
        std::memset(&rec[LN_LINK], 0, 4);
        unsigned char raw[LOGNOTE_SIZE];
        std::memcpy(raw, rec.data(), LOGNOTE_SIZE);
        auto node = std::make_unique<LogNote>();
        lognote_decode(raw, *node);
        bytes_of.emplace_back(node.get(), rec);
        insertnote(std::move(node), &expected);
    }
    std::string in_order;
    for (const LogNote* n = expected.next.get(); n != nullptr; n = n->next.get())
        for (const auto& [node, rec] : bytes_of)
            if (node == n) in_order += rec;
    if (once != in_order) std::abort();

    LogNote second;
    if (load(once, &second) != 0 || rewrite(&second) != once) std::abort();
    free_list(first);
    free_list(expected);
    free_list(second);
    return 0;
}
