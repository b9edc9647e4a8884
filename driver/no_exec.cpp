// The detector never runs another program: once it starts, it forbids
// itself (and its threads) to, so a probe hijacked by what a server sent
// cannot start a shell, nor attach to another process.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>

#include "driver.h"
#include "sanitizers.h"

namespace {

// The calling convention the executable was built for; calls made any
// other way (a 64-bit kernel's 32-bit entry, say) are refused whole.
#if defined(__x86_64__) && !defined(__ILP32__)
constexpr unsigned ARCH = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
constexpr unsigned ARCH = AUDIT_ARCH_I386;
#elif defined(__aarch64__)
constexpr unsigned ARCH = AUDIT_ARCH_AARCH64;
#elif defined(__arm__) && defined(__ARMEL__)
constexpr unsigned ARCH = AUDIT_ARCH_ARM;
#elif defined(__mips__) && _MIPS_SIM == _ABIO32 && defined(__MIPSEL__)
constexpr unsigned ARCH = AUDIT_ARCH_MIPSEL;
#elif defined(__mips__) && _MIPS_SIM == _ABIO32
constexpr unsigned ARCH = AUDIT_ARCH_MIPS;
#else
constexpr unsigned ARCH = 0;  // unknown here: no filter
#endif

constexpr unsigned REFUSE = SECCOMP_RET_ERRNO | EPERM;

// The sanitizers' leak check stops the process's threads with ptrace.
#ifdef QV2_SANITIZED
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

}  // namespace

bool forbid_exec() {
    if (ARCH == 0 || SANITIZED) return false;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, REFUSE),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
#ifdef __x86_64__
        // x32 calls share the architecture, with this bit in the number.
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 3, 0),
#else
        BPF_JUMP(BPF_JMP | BPF_JA, 0, 0, 0),
#endif
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execve, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execveat, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ptrace, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, REFUSE),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                                filter};
    // Before Linux 3.5 neither exists: the run goes on as it always has.
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
