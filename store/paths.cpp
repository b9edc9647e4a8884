// Where the download area lies, from line 12 of the general configuration.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "store.h"

char Base_dir[PATH_WIDTH];
char Share_dir[PATH_WIDTH];
char In_dir[PATH_WIDTH];
char Log_dir[PATH_WIDTH];
char Sem_dir[PATH_WIDTH];
char jqs_dir[PATH_WIDTH];
char jqs_file[PATH_WIDTH];

namespace {

// The configuration is read into a fixed grid: 24 lines of up to 63
// characters, each followed by a zero byte. Anything beyond is dropped, so
// an over-long file can never write past the grid.
constexpr int CONF_LINES = 24;
constexpr int CONF_COLS = 64;
constexpr int BASE_LINE = 11;
constexpr int BASE_COL = 10;

}  // namespace

std::string getbasepath(const char* conf_path) {
    if (access(conf_path, F_OK) != 0) return "none";

    char grid[CONF_LINES][CONF_COLS] = {};
    FILE* f = std::fopen(conf_path, "r");
    if (f == nullptr) {
        std::perror("open qv2_general.conf error");
        return "none";
    }
    int line = 0;
    int col = 0;
    for (int c; (c = std::getc(f)) != EOF;) {
        if (c == '\n') {
            ++line;
            col = 0;
            continue;
        }
        if (line < CONF_LINES && col < CONF_COLS - 1) grid[line][col] = static_cast<char>(c);
        ++col;
    }
    std::fclose(f);
    // From column 10 to the first zero byte after it; the key before it is
    // never looked at.
    const char* rest = grid[BASE_LINE] + BASE_COL;
    std::size_t n = 0;
    while (BASE_COL + n < CONF_COLS && rest[n] != '\0')
        ++n;
    return std::string(rest, n);
}

void init_path(const char* conf_path) {
    const std::string base = getbasepath(conf_path);
    const std::string share = base + "/Download2";
    const std::string log = share + "/.logs";
    field_set(Base_dir, base);
    field_set(Share_dir, share);
    field_set(In_dir, share + "/InComplete");
    field_set(Log_dir, log);
    field_set(Sem_dir, share + "/.sems");
    field_set(jqs_dir, share + "/.sems/sem.jqs");
    field_set(jqs_file, log + "/qv.jqs");
}
