// The FIFO semaphore the router's processes share: its count is the number
// of bytes in a named FIFO. The queue lock is one.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <csignal>
#include <cstdint>

inline constexpr std::uint32_t SEM_MAGIC = 0x89674523;

/// One open semaphore: its count is the number of bytes waiting in a FIFO.
/// All bytes zero is a closed record.
struct FifoSem {
    std::int32_t read_fd;   ///< blocking
    std::int32_t write_fd;  ///< non-blocking, so a post never blocks
    std::uint32_t magic;    ///< SEM_MAGIC while open
    char name[128];         ///< a label; nothing reads it
};

/// Opens the semaphore on the FIFO at `path`. With O_CREAT in `flags` the
/// FIFO is made with `mode` and, when this call made it, filled with `value`
/// tokens. Each call: 0, or -1 with errno.
int Sem_open(FifoSem* record, const char* path, int flags, mode_t mode = 0, unsigned value = 0);
/// Takes one token, blocking while there is none (EINTR: a signal came).
int Sem_wait(FifoSem* record);
/// Adds one token without blocking (EAGAIN: FIFO full).
int Sem_post(FifoSem* record);
/// Closes the record's descriptors and clears it.
int Sem_close(FifoSem* record);
/// Tokens now in the FIFO at `path`, taking none; -1 with errno.
int fifo_tokens(const char* path);
/// Sem_wait that also sets `held` the moment the token is taken, with the
/// signals of `blocked` held off from the read to the mark: a handler that
/// reads `held` never misses a token or gives back one not taken. The
/// signals stay deliverable while the wait blocks.
int Sem_wait_marked(FifoSem* record, std::atomic<int>& held, const sigset_t& blocked);
