// The router packages scripts/package.sh makes, as the router feed's own
// client reads them: from the feed index, each a gzip'd tar of
// ./debian-binary, ./data.tar.gz and ./control.tar.gz, installed into a
// scratch root (its files recorded), its qv2_detect doing a detection run
// under the emulator, then removed. Runs when QV2_FEEDS lists the feeds
// ("dir:arch:emulator" each).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "area.h"
#include "sandbox.h"
#include "servers.h"
#include "util.h"

namespace {

// The output of a shell command, which must succeed.
std::string shell(const std::string& command) {
    const ProcResult r = run_process({"bash", "-c", "set -o pipefail; " + command}, {}, 60);
    EXPECT_EQ(r.status, 0) << command << ": " << r.err;
    return r.out;
}

std::string field(const std::string& stanza, const std::string& name) {
    const auto at = stanza.find("\n" + name + ": ");
    if (at == std::string::npos) return "";
    const auto start = at + name.size() + 3;
    return stanza.substr(start, stanza.find('\n', start) - start);
}

TEST(Package, InstallsFromTheFeedAndDetects) {
    REQUIRE_SANDBOX();
    const char* list = std::getenv("QV2_FEEDS");
    if (list == nullptr) GTEST_SKIP() << "QV2_FEEDS names no feed";
    const std::string version = std::getenv("QV2_VERSION") ? std::getenv("QV2_VERSION") : "";
    TestCa ca;
    ASSERT_TRUE(sandbox_replace("/etc/ssl/certs/ca-certificates.crt", read_file(ca.cert())));
    sandbox_hosts("127.0.0.1 localhost web.test\n");
    const CertFiles cert = ca.issue("web.test");
    NginxServer web("127.0.0.1", 443, {{"f.iso", "x"}}, "", &cert);
    std::istringstream entries(list);
    for (std::string entry; entries >> entry;) {
        const auto colon = entry.find(':'), last = entry.rfind(':');
        const std::string feed = entry.substr(0, colon), emulator = entry.substr(last + 1);
        const std::string arch = entry.substr(colon + 1, last - colon - 1);
        // The index, plain and gzip'd, names the package and its checksum.
        const std::string index = read_file(feed + "/Packages");
        EXPECT_EQ(shell("gzip -dc " + feed + "/Packages.gz"), index) << feed;
        const std::string stanza = "\n" + index;
        EXPECT_EQ(field(stanza, "Package"), "qv2-detect") << feed;
        EXPECT_EQ(field(stanza, "Version"), version) << feed;
        EXPECT_EQ(field(stanza, "Depends"), "ca-bundle") << feed;
        EXPECT_EQ(field(stanza, "Architecture"), arch) << feed;
        EXPECT_EQ(stanza.find("\nSource"), stanza.find("\nSource: "))
            << "a field the client reads as Source";
        const std::string pkg = feed + "/" + field(stanza, "Filename");
        EXPECT_EQ(field(stanza, "Size"), shell("stat -c %s " + pkg + " | tr -d '\\n'")) << pkg;
        EXPECT_EQ(field(stanza, "SHA256sum"),
                  shell("sha256sum " + pkg + " | cut -c1-64 | tr -d '\\n'"))
            << pkg;
        // The package as the client reads it: tar in gzip, the feed's members.
        EXPECT_EQ(shell("tar -tzf " + pkg), "./debian-binary\n./data.tar.gz\n./control.tar.gz\n");
        EXPECT_EQ(shell("tar -xzOf " + pkg + " ./debian-binary"), "2.0\n");
        const std::string control =
            shell("tar -xzOf " + pkg + " ./control.tar.gz | tar -xzOf - ./control");
        std::string indexed;  // the index's stanza less what only the index has
        std::istringstream lines(index);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Filename: ", 0) != 0 && line.rfind("Size: ", 0) != 0 &&
                line.rfind("SHA256sum: ", 0) != 0)
                indexed += line + "\n";
        }
        EXPECT_EQ(control + "\n", indexed) << pkg;
        const std::string data = "tar -xzOf " + pkg + " ./data.tar.gz | ";
        const std::string files =
            shell(data + "tar -tzvf - | grep -v '^d' | awk '{ print $1, $2, $6 }'");
        EXPECT_EQ(files,
                  "-rwxr-xr-x 0/0 ./opt/bin/qv2_detect\n-rwxr-xr-x 0/0 ./opt/bin/qv2_jobs\n"
                  "-rw-r--r-- 0/0 ./opt/share/doc/qv2-detect/LICENSE\n"
                  "-rw-r--r-- 0/0 ./opt/share/doc/qv2-detect/VERSIONS\n"
                  "-rw-r--r-- 0/0 ./opt/share/man/man1/qv2_jobs.1\n"
                  "-rw-r--r-- 0/0 ./opt/share/man/man8/qv2_detect.8\n")
            << pkg;

        // Installed: the data unpacked, its files recorded.
        TempDir root;
        const std::string recorded = shell(data + "tar -xzvf - -C " + root.path());
        EXPECT_EQ(read_file(root / "opt/share/doc/qv2-detect/VERSIONS")
                      .rfind("qv2-detect " + version + " (c-ares ", 0),
                  0u)
            << pkg;
        EXPECT_EQ(field(stanza, "Installed-Size"),
                  shell("find " + root.path() +
                        " -type f -printf '%s\\n' | awk '{ n += $1 } END { printf \"%d\", n }'"));
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

        // Removed: the recorded files, then the folders they leave empty.
        write_file(root / ".list", recorded);
        shell("cd " + root.path() +
              " && grep -v '/$' .list | xargs rm && grep '^./.*/$' .list | sort -r | xargs rmdir "
              "--ignore-fail-on-non-empty && rm .list");
        EXPECT_EQ(shell("ls -A " + root.path()), "") << pkg;
    }
}

}  // namespace
