#include "area.h"

#include <sys/stat.h>

std::string general_conf(const std::string& base) {
    std::string text;
    for (int i = 1; i <= 11; ++i)
        text += "Setting" + std::to_string(i) + "=value\n";
    return text + "Base_path=" + base + "\n" + "Last=1\n";
}

DownloadArea::DownloadArea(const std::string& conf_path) {
    mkdir((base() + "/Download2").c_str(), 0755);
    mkdir((base() + "/Download2/.logs").c_str(), 0755);
    mkdir((base() + "/Download2/.sems").c_str(), 0755);
    write_file(conf_path, general_conf(base()));
}

void DownloadArea::write_queue(const std::vector<QueueRec>& recs) const {
    write_file(queue_file(), queue_bytes(recs));
}

std::vector<QueueRec> DownloadArea::queue() const {
    return parse_queue(read_file(queue_file()));
}
