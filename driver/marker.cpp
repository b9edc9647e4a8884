// Removal of the run's marker, done by the program itself rather than a
// shell: the marker may be a file or a whole directory tree.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "driver.h"

namespace {

// Removes `name` under the directory open at `parent`. Subdirectories are
// opened with O_NOFOLLOW, so a link inside the marker is removed itself and
// what it points to is never touched.
void remove_entry(int parent, const char* name) {
    if (unlinkat(parent, name, 0) == 0 || errno == ENOENT) return;
    if (errno != EISDIR && errno != EPERM) return;
    const int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    for (const auto& n : names)
        remove_entry(dirfd(d), n.c_str());
    closedir(d);
    unlinkat(parent, name, AT_REMOVEDIR);
}

}  // namespace

void remove_marker(const char* path) {
    remove_entry(AT_FDCWD, path);
}
