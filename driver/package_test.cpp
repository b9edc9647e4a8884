// The router packages scripts/package.sh makes, as a router owner gets
// them: dpkg-deb reads each, its control fields, files and modes are
// right, and its qv2_detect, unpacked into a scratch root, does a
// detection run under the emulator. Runs when QV2_PACKAGES lists them
// ("path:arch:emulator" each).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "area.h"
#include "sandbox.h"
#include "servers.h"
#include "util.h"

namespace {

TEST(Package, InstallsAndDetects) {
    REQUIRE_SANDBOX();
    const char* list = std::getenv("QV2_PACKAGES");
    if (list == nullptr) GTEST_SKIP() << "QV2_PACKAGES names no package";
    const std::string version = std::getenv("QV2_VERSION") ? std::getenv("QV2_VERSION") : "";
    TestCa ca;
    ASSERT_TRUE(sandbox_replace("/etc/ssl/certs/ca-certificates.crt", read_file(ca.cert())));
    sandbox_hosts("127.0.0.1 localhost web.test\n");
    const CertFiles cert = ca.issue("web.test");
    NginxServer web("127.0.0.1", 443, {{"f.iso", "x"}}, "", &cert);
    std::istringstream entries(list);
    for (std::string entry; entries >> entry;) {
        const auto colon = entry.find(':'), last = entry.rfind(':');
        const std::string pkg = entry.substr(0, colon), emulator = entry.substr(last + 1);
        const std::string arch = entry.substr(colon + 1, last - colon - 1);
        const ProcResult info = run_process({"dpkg-deb", "--info", pkg}, {}, 30);
        ASSERT_EQ(info.status, 0) << pkg << info.err;
        const std::string fields[] = {"Package: qv2-detect\n",
                                      "Version: " + version + "\n",
                                      "Architecture: " + arch + "\n",
                                      "Maintainer: ",
                                      "License: MIT\n",
                                      "Section: net\n",
                                      "Installed-Size: ",
                                      "Description: ",
                                      "/opt/etc/ssl/certs/ca-certificates.crt"};
        for (const std::string& field : fields)
            EXPECT_NE(info.out.find(field), std::string::npos) << pkg << ": " << field;
        const ProcResult contents = run_process({"dpkg-deb", "--contents", pkg}, {}, 30);
        const std::pair<const char*, const char*> files[] = {
            {"-rwxr-xr-x root/root", "./opt/bin/qv2_detect\n"},
            {"-rwxr-xr-x root/root", "./opt/bin/qv2_jobs\n"},
            {"-rw-r--r-- root/root", "./opt/share/man/man8/qv2_detect.8\n"},
            {"-rw-r--r-- root/root", "./opt/share/man/man1/qv2_jobs.1\n"},
            {"-rw-r--r-- root/root", "./opt/share/doc/qv2-detect/LICENSE\n"}};
        for (const auto& [mode, path] : files) {
            const auto at = contents.out.find(path);
            ASSERT_NE(at, std::string::npos) << pkg << ": " << path;
            const auto line = contents.out.rfind('\n', at) + 1;
            EXPECT_EQ(contents.out.compare(line, std::string(mode).size(), mode), 0)
                << pkg << ": " << contents.out.substr(line, at - line);
        }

        TempDir root;
        ASSERT_EQ(run_process({"dpkg-deb", "-x", pkg, root.path()}, {}, 30).status, 0) << pkg;
        // A big-endian router's queue holds its integers the other way round.
        auto in_order = [big = arch.rfind("mips-", 0) == 0](std::string bytes) {
            for (std::size_t r = 0; big && r + REC_SIZE <= bytes.size(); r += REC_SIZE)
                for (const std::size_t at : {0, 1040, 1044, 1048})
                    std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(r + at),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(r + at + 4));
            return bytes;
        };
        DownloadArea area;
        write_file(area.queue_file(),
                   in_order(queue_bytes({waiting(1, "magnet:?xt=urn:btih:1"),
                                         waiting(2, "https://web.test/f.iso")})));
        const ProcResult r = run_process({emulator, root.path() + "/opt/bin/qv2_detect"}, {}, 60);
        EXPECT_EQ(r.status, 0) << pkg << r.err;
        const auto q = parse_queue(in_order(read_file(area.queue_file())));
        ASSERT_EQ(q.size(), 2u) << pkg;
        EXPECT_EQ(q[0].type, "3") << pkg;
        EXPECT_EQ(q[1].type, "1") << pkg << r.err;
    }
}

}  // namespace
