// The meta refresh target of an HTML page: the one thing a page is read for.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// Longest meta refresh target taken.
inline constexpr std::size_t REFRESH_TARGET_MAX = 511;

/// The target of a meta refresh in a page, up to the first double quote
/// after "url=", without blanks or single quotes around it; "" when there
/// is none or it is longer than the maximum.
std::string get_raw_url(std::string_view body);

/// get_raw_url on a page that arrives in pieces, keeping at most the
/// target's few hundred bytes whatever the page's size.
class RefreshScan {
  public:
    /// Takes the next piece of the page (zero bytes are skipped).
    void feed(std::string_view bytes);
    /// True once the rest of the page can't change the target.
    bool decided() const;
    /// What get_raw_url gives for the page fed so far.
    std::string target() const;

  private:
    bool match(std::string_view word, char c);
    void take(char c);
    void add(char c);

    enum Phase { TAG, KEY, LEAD, QUOTED_LEAD, TARGET, QUOTED, AFTER, DONE } phase_ = TAG;
    std::size_t matched_ = 0;  // how much of the word sought the last bytes are
    std::string target_;       // the target so far, without blanks at its end
    std::string blanks_;       // blanks after it, kept while a fitting target may follow
    bool long_blanks_ = false;
    bool too_long_ = false;
    bool found_ = false;  // the double quote that ends the target came
};
