// The hermetic sandbox the tests run in: private mount, network and pid
// namespaces with loopback up, tmpfs over /tmp and /opt/etc, and test copies
// of /etc/hosts and /etc/resolv.conf. Nothing done inside reaches the
// machine's real files, resolver or network.
#pragma once

#include <gtest/gtest.h>

#include <string>

/// The test binary's main: re-runs the binary inside the sandbox when it can
/// (root, unshare permitted), then runs the tests.
int sandbox_main(int argc, char** argv);

/// Re-runs the program inside the sandbox (this call then does not return)
/// or, already inside, sets the sandbox up. Afterwards sandbox_active() says
/// whether it worked and sandbox_skip_reason() why not.
void sandbox_enter(int argc, char** argv);

/// True inside a working sandbox.
bool sandbox_active();
/// Why the sandbox is missing (for the skip message).
const std::string& sandbox_skip_reason();

/// Bind-mounts a file holding `text` over `target` (inside the sandbox).
bool sandbox_replace(const char* target, const std::string& text);
/// Replaces /etc/hosts (inside the sandbox only).
void sandbox_hosts(const std::string& text);
/// Replaces /etc/resolv.conf (inside the sandbox only).
void sandbox_resolv(const std::string& text);

/// Skips the current test, with the reason, outside the sandbox.
#define REQUIRE_SANDBOX()                                             \
    do {                                                              \
        if (!sandbox_active()) GTEST_SKIP() << sandbox_skip_reason(); \
    } while (0)
