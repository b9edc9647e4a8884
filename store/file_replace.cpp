// Replacing a shared file so that its readers, a power cut and SIGKILL only
// ever see the old content or the new one whole: a temporary copy beside it,
// flushed, then renamed over it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "io.h"
#include "store.h"
#include "unique_fd.h"
#include "file_replace.h"

namespace {

// Length of mkostemp's unique suffix.
constexpr std::size_t TEMP_SUFFIX = 6;
// More links than this in a row is a loop.
constexpr int MAX_LINKS = 40;

std::string dir_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Gives the new file the old one's permissions (and owner): the download
// manager's other processes must keep their access.
bool copy_access(int fd, const std::string& path) {
    struct stat old;
    if (stat(path.c_str(), &old) != 0) {
        const mode_t mask = umask(0);
        umask(mask);
        return fchmod(fd, 0666 & ~mask) == 0;
    }
    if (fchmod(fd, old.st_mode & 07777) != 0) return false;
    if (old.st_uid != geteuid() || old.st_gid != getegid())
        (void)!fchown(fd, old.st_uid, old.st_gid);
    return true;
}

bool replace_atomically(const std::string& target, const ContentWriter& write_content) {
    std::string tmp = target + "." + std::string(TEMP_SUFFIX, 'X');
    // mkostemp creates with O_EXCL, so a link planted at the name is never
    // followed.
    UniqueFd fd(mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd) return false;
    bool ok = copy_access(fd.get(), target) && write_content(fd.get()) && fsync(fd.get()) == 0;
    ok = close(fd.release()) == 0 && ok;
    ok = ok && rename(tmp.c_str(), target.c_str()) == 0;
    if (!ok) {
        const int saved = errno;
        unlink(tmp.c_str());
        errno = saved;
    }
    // The folder is not synced: the content is on disk before the rename, so
    // after a power cut the path holds the old file or the new one, whole.
    return ok;
}

}  // namespace

std::string jqs_real_path(const std::string& path) {
    std::string p = path;
    for (int i = 0; i < MAX_LINKS; ++i) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::string to(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096), '\0');
        const ssize_t n = readlink(p.c_str(), to.data(), to.size());
        if (n <= 0) return p;
        to.resize(static_cast<std::size_t>(n));
        p = to[0] == '/' ? to : dir_of(p) + "/" + to;
    }
    return p;
}

ReplaceResult jqs_replace_with(const std::string& path, const ContentWriter& write_content) {
    // Through a link, so the owner's link to the queue on another disk stays.
    return replace_atomically(jqs_real_path(path), write_content) ? REPLACE_DONE : REPLACE_FAILED;
}

ReplaceResult jqs_replace_file(const std::string& path, std::string_view bytes) {
    return jqs_replace_with(path,
                            [&](int fd) { return write_whole(fd, bytes.data(), bytes.size()); });
}

void jqs_remove_leftovers(const std::string& path) {
    // Beside the file itself, and beside a link to it, where copies were
    // made before links were followed.
    const std::string real = jqs_real_path(path);
    for (const std::string& p : {real, path}) {
        const std::string prefix = base_of(p) + ".";
        DIR* d = opendir(dir_of(p).c_str());
        if (d == nullptr) continue;
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() != prefix.size() + TEMP_SUFFIX ||
                name.compare(0, prefix.size(), prefix) != 0)
                continue;
            struct stat st;
            if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
                unlinkat(dirfd(d), e->d_name, 0);
        }
        closedir(d);
        if (real == path) break;
    }
}
