// A download area in a temp dir, named by a general configuration file at
// /opt/etc (inside the sandbox), with its queue file and lock FIFO paths.
#pragma once

#include <string>
#include <vector>

#include "queue_file.h"
#include "util.h"

inline constexpr const char* TEST_CONF = "/opt/etc/qv2_general.conf";
inline constexpr const char* TEST_MARKER = "/opt/etc/qv2_detect_protected";

/// A configuration whose 12th line is a ten-character key and `base`.
std::string general_conf(const std::string& base);

class DownloadArea {
  public:
    /// Makes Download2/.logs and Download2/.sems under a fresh temp dir and
    /// writes the configuration at `conf_path` naming it.
    explicit DownloadArea(const std::string& conf_path = TEST_CONF);

    const std::string& base() const { return dir_.path(); }
    std::string queue_file() const { return base() + "/Download2/.logs/qv.jqs"; }
    std::string lock_path() const { return base() + "/Download2/.sems/sem.jqs"; }

    void write_queue(const std::vector<QueueRec>& recs) const;
    std::vector<QueueRec> queue() const;

  private:
    TempDir dir_;
};
