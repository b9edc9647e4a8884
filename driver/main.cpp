#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <new>

#include "driver.h"

// An exception nothing catches ends the run as abort() does (the queue-lock
// token goes back), with one line that says memory ran out when it did.
// The C++ library's own handler would name the exception, and its name
// demangler is 50 KiB of a static router executable.
namespace __gnu_cxx {
// NOLINTNEXTLINE(bugprone-reserved-identifier): the runtime's own name, replaced
void __verbose_terminate_handler() {
    static const char uncaught[] = "qv2_detect: ended by an uncaught exception\n";
    static const char no_memory[] = "qv2_detect: ran out of memory\n";
    const char* line = uncaught;
    std::size_t size = sizeof uncaught - 1;
    bool out_of_memory = false;
    try {
        if (const std::exception_ptr e = std::current_exception()) {
            std::rethrow_exception(e);
        } else {
            // None at all: the one thrown could not even be allocated, when
            // memory is that short.
            void* probe = std::malloc(std::size_t{64} << 10);
            out_of_memory = probe == nullptr;
            std::free(probe);
        }
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (...) {  // NOLINT(bugprone-empty-catch): any other keeps the general line
    }
    if (out_of_memory) {
        line = no_memory;
        size = sizeof no_memory - 1;
    }
    (void)!write(2, line, size);
    std::abort();
}
}  // namespace __gnu_cxx

// Arguments are ignored: the download manager starts the detector bare.
int main() {
    forbid_exec();
    return detect_run();
}
