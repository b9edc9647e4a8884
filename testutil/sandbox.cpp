#include "sandbox.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "util.h"

namespace {

constexpr const char* INSIDE_ENV = "QV2_TEST_SANDBOX";
bool active = false;
std::string skip_reason = "sandbox not set up";

const char* const UNSHARE_ARGS[] = {"unshare", "--mount",      "--net",       "--pid",
                                    "--fork",  "--kill-child", "--mount-proc"};

bool unshare_works() {
    std::vector<std::string> argv(std::begin(UNSHARE_ARGS), std::end(UNSHARE_ARGS));
    argv.push_back("true");
    ProcResult r = run_process(argv, {}, 10.0);
    return r.exited && r.status == 0;
}

bool bind_text(const std::string& text, const char* target) {
    const std::string name = target;
    const std::string src = "/tmp/.sandbox/" + name.substr(name.rfind('/') + 1);
    umount2(target, MNT_DETACH);  // an earlier test copy, if any
    write_file(src, text);
    return mount(src.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
}

std::string self_path() {
    std::string self(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
    self.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return self;
}

// Mounts a private tmpfs over `dir`. When the tests' own build lives below
// it (a checkout in /tmp, say), its top folder there stays visible.
std::string cover(const std::string& dir, const char* options) {
    const std::string self = self_path();
    const std::string prefix = dir + "/";
    std::string keep;
    if (self.compare(0, prefix.size(), prefix) == 0)
        keep = self.substr(prefix.size(), self.find('/', prefix.size()) - prefix.size());
    const int old = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::string error;
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options) != 0) {
        error = "tmpfs on " + dir + ": " + std::strerror(errno);
    } else if (!keep.empty()) {
        // Reached through the descriptor of the folder as it was.
        const std::string source = "/proc/self/fd/" + std::to_string(old) + "/" + keep;
        mkdir((prefix + keep).c_str(), 0755);
        if (mount(source.c_str(), (prefix + keep).c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            error = "keeping " + prefix + keep + ": " + std::strerror(errno);
    }
    if (old >= 0) close(old);
    return error;
}

std::string setup_inside() {
    ProcResult up = run_process({"ip", "link", "set", "lo", "up"}, {}, 10.0);
    if (!up.exited || up.status != 0) return "cannot bring loopback up: " + up.err;
    if (std::string e = cover("/tmp", "mode=1777"); !e.empty()) return e;
    setenv("TMPDIR", "/tmp", 1);  // every temp file goes to the private tmpfs
    struct stat st;
    if (stat("/opt/etc", &st) != 0) {
        // No /opt/etc on this machine: cover /opt (inside the sandbox only)
        // to make one.
        if (std::string e = cover("/opt", "mode=755"); !e.empty()) return e;
        if (mkdir("/opt/etc", 0755) != 0) return "mkdir /opt/etc failed";
    }
    if (mount("tmpfs", "/opt/etc", "tmpfs", 0, "mode=755") != 0)
        return std::string("tmpfs on /opt/etc: ") + std::strerror(errno);
    mkdir("/tmp/.sandbox", 0755);
    // Names resolve only through the test's own files and servers.
    if (!bind_text("127.0.0.1 localhost\n", "/etc/hosts") ||
        !bind_text("nameserver 127.0.0.53\n", "/etc/resolv.conf"))
        return std::string("bind mount over /etc: ") + std::strerror(errno);
    return "";
}

}  // namespace

bool sandbox_active() {
    return active;
}
const std::string& sandbox_skip_reason() {
    return skip_reason;
}

bool sandbox_replace(const char* target, const std::string& text) {
    return active && bind_text(text, target);
}

void sandbox_hosts(const std::string& text) {
    ASSERT_TRUE(active);
    ASSERT_TRUE(bind_text(text, "/etc/hosts"));
}

void sandbox_resolv(const std::string& text) {
    ASSERT_TRUE(active);
    ASSERT_TRUE(bind_text(text, "/etc/resolv.conf"));
}

int sandbox_main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--gtest_list_tests", 18) == 0) listing = true;
    if (!listing) sandbox_enter(argc, argv);  // listing needs no sandbox
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

void sandbox_enter(int argc, char** argv) {
    if (std::getenv(INSIDE_ENV) != nullptr) {
        skip_reason = setup_inside();
        active = skip_reason.empty();
    } else if (geteuid() != 0) {
        skip_reason = "needs root for private namespaces (unshare)";
    } else if (!unshare_works()) {
        skip_reason = "unshare of mount, net and pid namespaces is not permitted here";
    } else {
        std::vector<char*> args;
        for (const char* a : UNSHARE_ARGS)
            args.push_back(const_cast<char*>(a));
#ifdef QV2_EMULATOR
        // A binary for another machine: unshare must start it through the
        // emulator, as ctest did.
        static std::string emulator = QV2_EMULATOR;
        for (char* tok = std::strtok(emulator.data(), " "); tok != nullptr;
             tok = std::strtok(nullptr, " "))
            args.push_back(tok);
#endif
        // The path itself: inside unshare, /proc/self/exe would name unshare.
        static std::string self = self_path();
        args.push_back(self.data());
        for (int i = 1; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        setenv(INSIDE_ENV, "1", 1);
        execvp("unshare", args.data());
        unsetenv(INSIDE_ENV);
        skip_reason = std::string("cannot run unshare: ") + std::strerror(errno);
    }
}
