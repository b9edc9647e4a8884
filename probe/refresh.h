// The meta refresh target of an HTML page: the one thing a page is read for.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "caps.h"
#include "url_field.h"

/// The target of a meta refresh in a page that arrives in pieces: after
/// "HTTP-EQUIV=\"REFRESH\"", from "url=" up to the next double quote,
/// without blanks or single quotes around it. Keeps at most the target's
/// few hundred bytes whatever the page's size.
class RefreshScan {
  public:
    /// Takes the next piece of the page (zero bytes are skipped).
    void feed(std::string_view bytes);
    /// True once the rest of the page can't change the target.
    bool decided() const;
    /// The target in the page fed so far; "" when there is none or it is
    /// longer than REFRESH_TARGET_MAX.
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
