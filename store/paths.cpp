// Where the download area lies, from line 12 of the general configuration.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "store.h"
#include "paths.h"
#include "record.h"

char Base_dir[PATH_WIDTH];
char Share_dir[PATH_WIDTH];
char In_dir[PATH_WIDTH];
char Log_dir[PATH_WIDTH];
char Sem_dir[PATH_WIDTH];
char jqs_dir[PATH_WIDTH];
char jqs_file[PATH_WIDTH];

namespace {

constexpr int BASE_LINE = 11;
constexpr int BASE_COL = 10;

}  // namespace

std::string getbasepath(const char* conf_path) {
    if (access(conf_path, F_OK) != 0) return "none";

    FILE* f = std::fopen(conf_path, "r");
    if (f == nullptr) {
        std::perror("open qv2_general.conf error");
        return "none";
    }
    // Only the 12th line is kept, and of it no more than tells that it is
    // too long: lines of any length cost no memory.
    std::string base;
    bool ended = false;  // a zero byte ends the base path
    int line = 0;
    std::size_t col = 0;
    for (int c; line <= BASE_LINE && (c = std::getc(f)) != EOF;) {
        if (c == '\n') {
            ++line;
            col = 0;
            continue;
        }
        if (line == BASE_LINE && col >= BASE_COL && !ended) {
            if (c == '\0') {
                ended = true;
            } else if (base.size() <= BASE_PATH_MAX) {
                base += static_cast<char>(c);
            }
        }
        ++col;
    }
    std::fclose(f);
    return base;
}

bool init_path(const char* conf_path) {
    for (char* g : {Base_dir, Share_dir, In_dir, Log_dir, Sem_dir, jqs_dir, jqs_file})
        std::fill_n(g, PATH_WIDTH, '\0');
    const std::string base = getbasepath(conf_path);
    if (base.size() > BASE_PATH_MAX) {
        // Cut, every path would lead somewhere else: no queue is touched.
        std::fprintf(stderr,
                     "qv2_general.conf: the download area path on line 12 is longer than %zu "
                     "characters; the queue is left alone\n",
                     BASE_PATH_MAX);
        return false;
    }
    const std::string share = base + "/Download2";
    const std::string log = share + "/.logs";
    field_set(Base_dir, base);
    field_set(Share_dir, share);
    field_set(In_dir, share + "/InComplete");
    field_set(Log_dir, log);
    field_set(Sem_dir, share + "/.sems");
    field_set(jqs_dir, share + "/.sems/sem.jqs");
    field_set(jqs_file, log + "/qv.jqs");
    return true;
}
