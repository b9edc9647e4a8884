// Stand-ins for the download manager's processes that own the queue lock: a
// FIFO whose byte count is the number of tokens.
#pragma once

#include <sys/types.h>

#include <string>

/// A helper process that creates the FIFO at `path` (if missing), puts in
/// `tokens` bytes and holds it open, so the tokens last, until destroyed.
class LockHolder {
  public:
    LockHolder(const std::string& path, int tokens);
    ~LockHolder();
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

  private:
    pid_t pid_ = -1;
};

/// Puts one token into the FIFO (which some process must hold open).
bool post_token(const std::string& path);
/// Tokens in the FIFO now, without taking any; -1 when it can't be opened.
int count_tokens(const std::string& path);
