// A connection that hands a fuzz input over as a server would: the input,
// cut at 0xFF bytes, comes piece by piece (a piece never larger than the
// read asks for); a piece that begins with 0xFE is a read error; after the
// last piece the server closes.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "transport.h"

class FakeConnection : public Transport {
  public:
    FakeConnection(std::string_view input, JobState& job) : Transport(job) {
        for (std::string_view rest = input;;) {
            const auto cut = rest.find('\xff');
            pieces_.push_back(rest.substr(0, cut));
            if (cut == std::string_view::npos) break;
            rest.remove_prefix(cut + 1);
        }
        all_ = pieces_;
    }
    /// The pieces the input was cut into.
    const std::vector<std::string_view>& pieces() const { return all_; }

    bool open(const std::string&, int, int) override { return true; }
    bool send(std::string_view) override { return true; }
    long receive(char* buf, std::size_t n, int, Clock::time_point) override {
        if (next_ == pieces_.size()) return 0;
        std::string_view& p = pieces_[next_];
        if (!p.empty() && p[0] == '\xfe') {
            ++next_;
            return -1;
        }
        const std::size_t k = std::min(n, p.size());
        std::copy(p.data(), p.data() + k, buf);
        p.remove_prefix(k);
        if (p.empty()) ++next_;
        return static_cast<long>(k);
    }
    void close() override {}
    bool timed_out() const override { return false; }
    bool heard() const override { return next_ > 0; }

  private:
    std::vector<std::string_view> pieces_;
    std::vector<std::string_view> all_;
    std::size_t next_ = 0;
};
