// Finding a page's meta refresh target while the page arrives, keeping
// only what the search needs: a router reads a megabyte page with a few
// hundred bytes of memory.
#include "refresh.h"

#include "text.h"

namespace {

constexpr std::string_view REFRESH_TAG = "HTTP-EQUIV=\"REFRESH\"";
constexpr std::string_view URL_KEY = "url=";

}  // namespace

void RefreshScan::feed(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size() && phase_ != DONE;) {
        // Most of a page is text that starts no word sought: skipped whole.
        if ((phase_ == TAG || phase_ == KEY) && matched_ == 0) {
            i = bytes.find(phase_ == TAG ? REFRESH_TAG[0] : URL_KEY[0], i);
            if (i == std::string_view::npos) return;
        }
        const char c = bytes[i++];
        if (c != '\0') take(c);  // a zero byte is not part of the page
    }
}

bool RefreshScan::decided() const {
    return phase_ == DONE;
}

// Whether `c` completes `word`. matched_ is the length of the longest end
// of what was seen that begins the word; on a mismatch it becomes that of
// the seen text with `c` added.
bool RefreshScan::match(std::string_view word, char c) {
    if (c == word[matched_]) {
        if (++matched_ < word.size()) return false;
        matched_ = 0;
        return true;
    }
    // The last k bytes seen are the word's bytes matched_-k+1 .. matched_-1
    // and then c.
    for (std::size_t k = matched_; k > 0; --k) {
        if (word[k - 1] == c && word.substr(0, k - 1) == word.substr(matched_ - k + 1, k - 1)) {
            matched_ = k;
            return false;
        }
    }
    matched_ = 0;
    return false;
}

void RefreshScan::take(char c) {
    switch (phase_) {
        case TAG:
            if (match(REFRESH_TAG, c)) phase_ = KEY;
            return;
        case KEY:
            if (match(URL_KEY, c)) phase_ = LEAD;
            return;
        case LEAD:  // blanks before the target
            if (c == '"') {
                phase_ = DONE;
                found_ = true;
            } else if (c == '\'') {
                phase_ = QUOTED_LEAD;
            } else if (!is_space(c)) {
                phase_ = TARGET;
                add(c);
            }
            return;
        case QUOTED_LEAD:  // blanks after an opening single quote
            if (c == '"' || c == '\'') {
                phase_ = c == '"' ? DONE : AFTER;
                found_ = c == '"';
            } else if (!is_space(c)) {
                phase_ = QUOTED;
                add(c);
            }
            return;
        case TARGET:
        case QUOTED:
            if (c == '"' || (phase_ == QUOTED && c == '\'')) {
                phase_ = c == '"' ? DONE : AFTER;
                found_ = c == '"';
            } else if (is_space(c)) {
                // Kept only while a target that fits could still follow.
                if (target_.size() + blanks_.size() < REFRESH_TARGET_MAX)
                    blanks_ += c;
                else
                    long_blanks_ = true;
            } else {
                add(c);
            }
            return;
        case AFTER:  // the target is complete; the double quote still counts
            if (c == '"') {
                phase_ = DONE;
                found_ = true;
            }
            return;
        case DONE:
            return;
    }
}

void RefreshScan::add(char c) {
    if (long_blanks_ || target_.size() + blanks_.size() >= REFRESH_TARGET_MAX) {
        too_long_ = true;  // decided: no target
        phase_ = DONE;
        return;
    }
    target_ += blanks_;
    target_ += c;
    blanks_.clear();
}

std::string RefreshScan::target() const {
    return found_ && !too_long_ ? target_ : std::string();
}
