// The detector's own cost, measured in the tests' sandbox:
//   http100   100 HTTP jobs against nginx, against a bare client doing the
//             same requests, two bare clients sharing them, and the
//             detector's fixed cost (an empty queue);
//   form1000  1,000 magnet links: wall time, peak RSS, bytes written to the
//             queue's folder, rewrites and fsyncs;
//   https1    one https job against nginx over TLS: peak RSS;
//   https20   20 https jobs on 4 names: CPU against one curl per URL, and
//             the memory of eight handshakes at once and of one job;
//             https20rsa the same with an RSA 2048 chain;
//   https200  200 https jobs on 200 names with a 40 KB certificate:
//             peak RSS against the same queue over plain HTTP;
//   lockheld  16 jobs on servers that answer after 150 ms, 4 magnet links
//             and 4 names whose lookup never answers: how long the run
//             holds the queue lock, against its slowest single job and
//             against one job at a time;
//   bigqueue  1,900 settled jobs and 100 new HTTP jobs on nginx: bytes
//             written to the queue's folder and fsyncs;
//   samehost  20 jobs on a name whose lookup hangs and 20 on a reachable
//             host, against the time-outs they imply;
//   bigpages  8 jobs reading 1 MiB HTML pages at once: peak RSS, and one
//             big page against one short page;
//   longrun   20,000 settled jobs and 120 slow new ones: bytes written to
//             the queue's folder against the queue's size, and rewrites;
//   killloss  a 2 MB queue killed at moments of its run: the results
//             settled more than 2 s before the kill that were lost.
// Usage: qv2_bench --detector PATH --bare PATH [--runs N] [--only SCENARIO]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <optional>
#include <sstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "area.h"
#include "lock_fifo.h"
#include "net.h"
#include "sandbox.h"
#include "scripted_server.h"
#include "servers.h"
#include "util.h"

extern char** environ;

namespace {

struct Timed {
    double seconds = 0;
    long max_rss_kib = 0;
    int status = -1;
    double cpu_seconds = 0;  // user + system, its waited-for children's too
};

// Runs argv to its end, timing it as closely as a blocking wait4 allows.
// The peak RSS comes from /usr/bin/time around it: a child's own maxrss
// starts from its parent's size (this process, with its servers).
Timed timed_run(std::vector<std::string> argv, bool measure_rss = false,
                const char* probes = nullptr) {
    TempDir dir;
    if (measure_rss) argv.insert(argv.begin(), {"/usr/bin/time", "-f", "%M", "-o", dir / "rss"});
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    Timed t;
    const double t0 = now_seconds();
    pid_t pid;
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e)
        env_text.emplace_back(*e);
    if (probes != nullptr) env_text.push_back(std::string("QV2_DETECT_PROBES=") + probes);
    std::vector<char*> envp;
    for (auto& e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0) return t;
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    t.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                    static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    t.seconds = now_seconds() - t0;
    if (measure_rss) t.max_rss_kib = std::atol(read_file(dir / "rss").c_str());
    t.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    posix_spawn_file_actions_destroy(&fa);
    return t;
}

// Instructions `argv` executes, its children's included, counted by
// callgrind: a figure the machine's other load cannot disturb.
double instructions(const std::vector<std::string>& argv) {
    TempDir dir;
    std::vector<std::string> run = {"/usr/bin/valgrind", "--tool=callgrind", "--trace-children=yes",
                                    "--callgrind-out-file=" + dir / "cg.%p"};
    run.insert(run.end(), argv.begin(), argv.end());
    timed_run(run);
    double total = 0;
    for (const auto& file : std::filesystem::directory_iterator(dir.path())) {
        const std::string text = read_file(file.path());
        const std::size_t at = text.find("\nsummary: ");
        if (at != std::string::npos) total += std::atof(text.c_str() + at + 10);
    }
    return total;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Row {
    std::string scenario, metric, value, target;
};
std::vector<Row> rows;

void row(const std::string& scenario, const std::string& metric, const std::string& value,
         const std::string& target = "") {
    rows.push_back({scenario, metric, value, target});
    std::fprintf(stderr, "  %s %s: %s\n", scenario.c_str(), metric.c_str(), value.c_str());
}

// `v` with `decimals` places, then `unit`.
std::string fixed(double v, int decimals, const char* unit = "") {
    std::ostringstream s;
    s << std::fixed << std::setprecision(decimals) << v << unit;
    return s.str();
}

std::vector<QueueRec> http_jobs(const std::string& host, int n, int first = 1) {
    std::vector<QueueRec> jobs;
    for (int i = first; i < first + n; ++i)
        jobs.push_back(waiting(i, "http://" + host + "/f" + std::to_string(i)));
    return jobs;
}

void http100(const std::string& detector, const std::string& bare, int runs) {
    std::map<std::string, std::string> files;
    for (int i = 1; i <= 100; ++i)
        files["f" + std::to_string(i)] = std::string(1024, 'x');
    NginxServer web("127.0.0.3", 80, files);
    sandbox_replace("/etc/hosts", "127.0.0.1 localhost\n127.0.0.3 web.test\n");
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    std::vector<std::string> bare_args = {bare, "127.0.0.3", "80", "web.test"};
    for (int i = 1; i <= 100; ++i)
        bare_args.push_back("/f" + std::to_string(i));

    // The best two clients at once can do: two bare clients, 50 GETs each.
    // On a machine whose cores are all busy with clients and server, it is
    // no faster than one, and no detector can beat the bare client there.
    std::vector<std::string> first_half(bare_args.begin(), bare_args.begin() + 54);
    std::vector<std::string> second_half(bare_args.begin(), bare_args.begin() + 4);
    second_half.insert(second_half.end(), bare_args.begin() + 54, bare_args.end());

    std::vector<double> det, raw, ratio, empty, two;
    for (int r = 0; r < runs; ++r) {
        area.write_queue({});
        empty.push_back(timed_run({detector}).seconds);
        const double t0 = now_seconds();
        std::thread other([&] { timed_run(first_half); });
        timed_run(second_half);
        other.join();
        two.push_back(now_seconds() - t0);
        area.write_queue(http_jobs("web.test", 100));
        const Timed d = timed_run({detector});
        const auto q = area.queue();
        if (d.status != 0 || q.size() != 100 || q[99].type != "1")
            std::fprintf(stderr, "http100: unexpected result\n");
        det.push_back(d.seconds);
        const Timed b = timed_run(bare_args);
        if (b.status != 0) std::fprintf(stderr, "http100: bare client failed\n");
        raw.push_back(b.seconds);
        ratio.push_back(d.seconds / b.seconds);  // paired runs: drift cancels out
    }
    row("http100", "detector wall", fixed(median(det) * 1000, 1, " ms"));
    row("http100", "bare client wall", fixed(median(raw) * 1000, 1, " ms"));
    row("http100", "detector / bare", fixed(median(ratio), 2), "<= 1");
    row("http100", "two bare clients at once", fixed(median(two) * 1000, 1, " ms"));
    row("http100", "detector, empty queue", fixed(median(empty) * 1000, 1, " ms"));
}

// What a run of the detector under strace wrote into the queue's folder,
// its renames and fsyncs, and how long it took (traced).
struct Writes {
    long long bytes = 0;
    int renames = 0, fsyncs = 0;
    double seconds = 0;
};

Writes traced_writes(const std::string& detector) {
    static const std::regex write_re(
        R"(^\d+\s+(?:write|pwrite64|writev)\(\d+<([^>]*)>.*=\s*(\d+)$)");
    static const std::regex rename_re(R"(^\d+\s+rename(?:at2?)?\()");
    static const std::regex fsync_re(R"(^\d+\s+f(?:data)?sync\()");
    TempDir dir;
    Writes w;
    const double t0 = now_seconds();
    timed_run({"/usr/bin/strace", "-f", "-qq", "-y", "-o", dir / "trace", "-e",
               "trace=write,pwrite64,writev,rename,renameat,renameat2,fsync,fdatasync", detector});
    w.seconds = now_seconds() - t0;
    const std::string trace = read_file(dir / "trace");
    std::size_t start = 0;
    while (start < trace.size()) {
        const std::size_t end = std::min(trace.find('\n', start), trace.size());
        const std::string line = trace.substr(start, end - start);
        std::smatch m;
        if (std::regex_match(line, m, write_re) &&
            m[1].str().find("/Download2/.logs/") != std::string::npos)
            w.bytes += std::stoll(m[2].str());
        w.renames += std::regex_search(line, rename_re);
        w.fsyncs += std::regex_search(line, fsync_re);
        start = end + 1;
    }
    return w;
}

void form1000(const std::string& detector, int runs) {
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    std::vector<QueueRec> jobs;
    for (int i = 1; i <= 1000; ++i)
        jobs.push_back(
            waiting(i, "magnet:?xt=urn:btih:" + std::string(40, 'a') + "&n=" + std::to_string(i)));
    std::vector<double> wall, rss;
    for (int r = 0; r < runs; ++r) {
        area.write_queue(jobs);
        const Timed t = timed_run({detector});
        if (t.status != 0 || area.queue()[999].type != "3")
            std::fprintf(stderr, "form1000: unexpected result\n");
        wall.push_back(t.seconds);
        area.write_queue(jobs);
        rss.push_back(static_cast<double>(timed_run({detector}, true).max_rss_kib));
    }
    area.write_queue(jobs);
    const Writes w = traced_writes(detector);
    row("form1000", "wall", fixed(median(wall) * 1000, 1, " ms"), "< 50 ms");
    row("form1000", "peak RSS", fixed(median(rss) / 1024, 2, " MiB"), "< 4 MiB");
    row("form1000", "bytes written to .logs", std::to_string(w.bytes), "one queue: 1052000");
    row("form1000", "rewrites / fsyncs",
        std::to_string(w.renames) + " / " + std::to_string(w.fsyncs), "1 / 1");
}

void https1(const std::string& detector, int runs) {
    // The machine's whole bundle, as a router has it, with the test CA.
    TestCa ca;
    const char* bundle = "/etc/ssl/certs/ca-certificates.crt";
    sandbox_replace(bundle, read_file(bundle) + read_file(ca.cert()));
    const CertFiles cert = ca.issue("web.test");
    NginxServer web("127.0.0.3", 443, {{"f", "x"}}, "", &cert);
    sandbox_replace("/etc/hosts", "127.0.0.1 localhost\n127.0.0.3 web.test\n");
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    std::vector<double> rss, wall;
    for (int r = 0; r < runs; ++r) {
        area.write_queue({waiting(1, "https://web.test/f")});
        const Timed t = timed_run({detector}, true);
        if (t.status != 0 || area.queue()[0].type != "1")
            std::fprintf(stderr, "https1: unexpected result\n");
        rss.push_back(static_cast<double>(t.max_rss_kib));
        wall.push_back(t.seconds);
    }
    row("https1", "wall", fixed(median(wall) * 1000, 1, " ms"));
    row("https1", "peak RSS", fixed(median(rss) / 1024, 2, " MiB"), "< 6 MiB");
}

// 20 https jobs on 4 names against nginx (TLS 1.2 and 1.3): the
// detector's CPU against a loop of one curl per URL, and the memory of one
// https job and of eight handshakes at once. `scenario` https20 has an
// ECDSA P-256 certificate from the root; https20rsa an RSA 2048 chain of
// root, intermediate and leaf.
void https20(const std::string& scenario, const std::string& detector, int runs) {
    const bool rsa = scenario == "https20rsa";
    TestCa ca("Bench CA", rsa ? KEY_RSA2048 : KEY_P256);
    std::optional<TestCa> mid;
    if (rsa) mid.emplace("Bench Intermediate", KEY_RSA2048, &ca);
    const char* bundle = "/etc/ssl/certs/ca-certificates.crt";
    sandbox_replace(bundle, read_file(bundle) + read_file(ca.cert()));
    std::map<std::string, std::string> files;
    for (int i = 0; i < 20; ++i)
        files["f" + std::to_string(i)] = "x";
    std::string hosts = "127.0.0.1 localhost\n127.0.0.3";
    std::string names;
    for (int i = 0; i < 8; ++i)
        hosts += " h" + std::to_string(i) + ".test";
    sandbox_replace("/etc/hosts", hosts + "\n");
    for (int i = 0; i < 8; ++i)
        names += (i ? "," : "") + std::string("DNS:h") + std::to_string(i) + ".test";
    const CertFiles cert = rsa ? mid->issue("h0.test", false, 0, names, KEY_RSA2048)
                               : ca.issue("h0.test", false, 0, names);
    NginxServer web("127.0.0.3", 443, files, "    ssl_protocols TLSv1.2 TLSv1.3;\n", &cert);
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    std::vector<QueueRec> jobs;
    std::string loop = "for u in";
    for (int i = 0; i < 20; ++i) {
        const std::string url = "https://h" + std::to_string(i % 4) + ".test/f" + std::to_string(i);
        jobs.push_back(waiting(i + 1, url));
        loop += " " + url;
    }
    loop += "; do curl -s -o /dev/null \"$u\"; done";
    std::vector<double> det, curl, ratio, rss8, rss1;
    area.write_queue(jobs);
    const double det_ins = instructions({detector});
    if (area.queue()[19].type != "1")
        std::fprintf(stderr, "%s: unexpected result\n", scenario.c_str());
    const double curl_ins = instructions({"/bin/sh", "-c", loop});
    for (int r = 0; r < runs; ++r) {
        area.write_queue(jobs);
        const Timed d = timed_run({detector});
        if (d.status != 0 || area.queue()[19].type != "1")
            std::fprintf(stderr, "%s: unexpected result\n", scenario.c_str());
        const Timed c = timed_run({"/bin/sh", "-c", loop});
        det.push_back(d.cpu_seconds);
        curl.push_back(c.cpu_seconds);
        ratio.push_back(d.cpu_seconds / c.cpu_seconds);
        std::vector<QueueRec> eight;
        for (int i = 0; i < 8; ++i)
            eight.push_back(waiting(i + 1, "https://h" + std::to_string(i) + ".test/f1"));
        area.write_queue(eight);
        rss8.push_back(static_cast<double>(timed_run({detector}, true).max_rss_kib) / 1024);
        area.write_queue({waiting(1, "https://h0.test/f1")});
        rss1.push_back(static_cast<double>(timed_run({detector}, true).max_rss_kib) / 1024);
    }
    row(scenario, "detector CPU", fixed(median(det) * 1000, 1, " ms"));
    row(scenario, "curl per URL CPU", fixed(median(curl) * 1000, 1, " ms"));
    row(scenario, "detector / curl CPU", fixed(median(ratio), 2), "<= 0.25");
    row(scenario, "instructions, detector", fixed(det_ins / 1e6, 0, " M"));
    row(scenario, "instructions, curl loop", fixed(curl_ins / 1e6, 0, " M"));
    row(scenario, "detector / curl instr.", fixed(det_ins / curl_ins, 2), "<= 0.35");
    row(scenario, "peak RSS, 8 handshakes", fixed(median(rss8), 2, " MiB"), "<= 6 MiB");
    row(scenario, "peak RSS, one https job", fixed(median(rss1), 2, " MiB"), "<= 3 MiB");
}

// 200 https jobs, one on each of 200 names of one server with a 40 KB
// certificate, against the same queue over plain HTTP: what the run's
// kept sessions cost.
void https200(const std::string& detector, int runs) {
    TestCa ca;
    const char* bundle = "/etc/ssl/certs/ca-certificates.crt";
    sandbox_replace(bundle, read_file(bundle) + read_file(ca.cert()));
    std::string hosts = "127.0.0.1 localhost\n127.0.0.3";
    std::string names;
    for (int i = 0; i < 200; ++i) {
        hosts += " h" + std::to_string(i) + ".test";
        names += (i ? "," : "") + std::string("DNS:h") + std::to_string(i) + ".test";
    }
    sandbox_replace("/etc/hosts", hosts + "\n");
    const CertFiles cert = ca.issue("h0.test", false, std::size_t{40} * 1024, names);
    NginxServer tls("127.0.0.3", 443, {{"f", "x"}}, "", &cert);
    NginxServer plain("127.0.0.3", 80, {{"f", "x"}});
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    std::vector<double> rss_tls, rss_plain;
    for (int r = 0; r < runs; ++r) {
        for (const char* scheme : {"https", "http"}) {
            std::vector<QueueRec> jobs;
            for (int i = 0; i < 200; ++i)
                jobs.push_back(
                    waiting(i + 1, std::string(scheme) + "://h" + std::to_string(i) + ".test/f"));
            area.write_queue(jobs);
            const Timed t = timed_run({detector}, true);
            if (t.status != 0 || area.queue()[199].type != "1")
                std::fprintf(stderr, "https200: unexpected result\n");
            (scheme[4] == 's' ? rss_tls : rss_plain)
                .push_back(static_cast<double>(t.max_rss_kib) / 1024);
        }
    }
    row("https200", "peak RSS, https / http",
        fixed(median(rss_tls), 2, " / ") + fixed(median(rss_plain), 2, " MiB"), "within 1 MiB");
}

void lockheld(const std::string& detector, int runs) {
    ScriptedServer slow("127.0.0.4", 80,
                        {{script::read_request(), script::pause(150),
                          script::send("HTTP/1.0 200 OK\r\n\r\n"), script::close()}});
    DnsServer dns(DnsServer::SILENT);
    std::string hosts = "127.0.0.1 localhost\n127.0.0.4";
    for (int i = 0; i < 8; ++i)
        hosts += " s" + std::to_string(i) + ".test";
    sandbox_replace("/etc/hosts", hosts + "\n");
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    std::vector<QueueRec> jobs;
    for (int i = 0; i < 24; ++i) {
        const int id = i + 1;
        if (i % 6 == 4) {
            jobs.push_back(waiting(id, "magnet:?xt=" + std::to_string(id)));
        } else if (i % 6 == 5) {
            jobs.push_back(waiting(id, "http://hung" + std::to_string(id) + ".test/x"));
        } else {
            jobs.push_back(
                waiting(id, "http://s" + std::to_string(i % 8) + ".test/f" + std::to_string(id)));
        }
    }
    auto run_with = [&](const std::vector<QueueRec>& q, const char* probes) {
        area.write_queue(q);
        const Timed t = timed_run({detector}, false, probes);
        if (t.status != 0) std::fprintf(stderr, "lockheld: unexpected result\n");
        return t.seconds;
    };
    std::vector<double> concurrent, serial, slowest, ratio;
    for (int r = 0; r < runs; ++r) {
        const double one = run_with({waiting(1, "http://hung1.test/x")}, nullptr);
        const double all = run_with(jobs, nullptr);
        slowest.push_back(one);
        concurrent.push_back(all);
        ratio.push_back(all / one);
        serial.push_back(run_with(jobs, "1"));
    }
    row("lockheld", "run (lock held)", fixed(median(concurrent), 2, " s"));
    row("lockheld", "slowest single job", fixed(median(slowest), 2, " s"));
    row("lockheld", "run / slowest job", fixed(median(ratio), 2), "<= 1.3");
    row("lockheld", "one at a time", fixed(median(serial), 2, " s"), "(the sum)");
    area.write_queue(jobs);
    const Timed eight = timed_run({detector}, true);
    row("lockheld", "peak RSS, 8 in flight",
        fixed(static_cast<double>(eight.max_rss_kib) / 1024, 2, " MiB"), "<= 6 MiB");
}

void bigqueue(const std::string& detector, int runs) {
    std::map<std::string, std::string> files;
    for (int i = 1901; i <= 2000; ++i)
        files["f" + std::to_string(i)] = "x";
    NginxServer web("127.0.0.3", 80, files);
    sandbox_replace("/etc/hosts", "127.0.0.1 localhost\n127.0.0.3 web.test\n");
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    std::vector<QueueRec> jobs;
    for (int i = 1; i <= 1900; ++i)
        jobs.push_back(QueueRec{i, "http://old.test/" + std::to_string(i),
                                "http://old.test/" + std::to_string(i), "1", 'v', 0});
    for (const auto& j : http_jobs("web.test", 100, 1901))
        jobs.push_back(j);
    std::vector<double> bytes_v, fsync_v, wall_v;
    for (int r = 0; r < runs; ++r) {
        area.write_queue(jobs);
        const Writes w = traced_writes(detector);
        wall_v.push_back(w.seconds);
        if (area.queue()[1999].type != "1") std::fprintf(stderr, "bigqueue: unexpected result\n");
        bytes_v.push_back(static_cast<double>(w.bytes));
        fsync_v.push_back(w.fsyncs);
    }
    const double size = 2000.0 * 1052;
    row("bigqueue", "bytes written / queue", fixed(median(bytes_v) / size, 2), "<= 3");
    row("bigqueue", "fsyncs", fixed(median(fsync_v), 0),
        "<= 1 + " + fixed(median(wall_v), 1, " s (run, traced)"));
}

void samehost(const std::string& detector, int runs) {
    std::map<std::string, std::string> files;
    for (int i = 21; i <= 40; ++i)
        files["f" + std::to_string(i)] = "x";
    NginxServer web("127.0.0.3", 80, files);
    DnsServer dns(DnsServer::SILENT);
    sandbox_replace("/etc/hosts", "127.0.0.1 localhost\n127.0.0.3 up.test\n");
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    auto jobs = http_jobs("hung.test", 20);
    for (const auto& j : http_jobs("up.test", 20, 21))
        jobs.push_back(j);
    std::vector<double> wall;
    for (int r = 0; r < runs; ++r) {
        area.write_queue(jobs);
        const Timed t = timed_run({detector});
        const auto q = area.queue();
        if (t.status != 0 || q[0].retries != 1 || q[39].type != "1")
            std::fprintf(stderr, "samehost: unexpected result\n");
        wall.push_back(t.seconds);
    }
    row("samehost", "wall", fixed(median(wall), 2, " s"), "~3 s: one bounded lookup");
    row("samehost", "time-outs without reuse", "20 jobs x 2 lookups x 3 s = 120 s");
}

// Names h0.test ... h<n-1>.test for 127.0.0.3: jobs on many hosts at once.
void many_names(int n) {
    std::string hosts = "127.0.0.1 localhost\n127.0.0.3";
    for (int i = 0; i < n; ++i)
        hosts += " h" + std::to_string(i) + ".test";
    sandbox_replace("/etc/hosts", hosts + "\n");
}

void bigpages(const std::string& detector, int runs) {
    NginxServer web("127.0.0.3", 80,
                    {{"big.html", std::string(std::size_t{1} << 20, 'p')}, {"small.html", "p"}});
    many_names(8);
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    auto peak = [&](int jobs, const char* page) {
        std::vector<QueueRec> q;
        for (int i = 0; i < jobs; ++i)
            q.push_back(waiting(i + 1, "http://h" + std::to_string(i) + ".test/" + page));
        area.write_queue(q);
        const Timed t = timed_run({detector}, true);
        if (t.status != 0 || area.queue()[0].type != "1")
            std::fprintf(stderr, "bigpages: unexpected result\n");
        return static_cast<double>(t.max_rss_kib) / 1024;
    };
    std::vector<double> eight, one, small;
    for (int r = 0; r < runs; ++r) {
        eight.push_back(peak(8, "big.html"));
        one.push_back(peak(1, "big.html"));
        small.push_back(peak(1, "small.html"));
    }
    row("bigpages", "peak RSS, 8 x 1 MiB pages", fixed(median(eight), 2, " MiB"), "<= 6 MiB");
    row("bigpages", "peak RSS, 1 x 1 MiB / short",
        fixed(median(one), 2, " / ") + fixed(median(small), 2, " MiB"), "within 1 MiB");
}

// A server that answers every request after `ms`.
Script answer_after(int ms) {
    return {script::read_request(), script::pause(ms), script::send("HTTP/1.0 200 OK\r\n\r\n"),
            script::close()};
}

// `settled` detected jobs, then `waiting` ones on as many names (at most
// `names`, from many_names).
std::vector<QueueRec> settled_then_waiting(int settled, int waiting_jobs, int names) {
    std::vector<QueueRec> jobs;
    for (int i = 1; i <= settled; ++i)
        jobs.push_back(QueueRec{i, "magnet:?xt=" + std::to_string(i), "magnet:?", "3", 'v', 0});
    for (int i = 0; i < waiting_jobs; ++i)
        jobs.push_back(
            waiting(settled + 1 + i, "http://h" + std::to_string(i % names) + ".test/x"));
    return jobs;
}

void longrun(const std::string& detector, int runs) {
    ScriptedServer slow("127.0.0.3", 80, {answer_after(800)});
    many_names(16);
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    const std::vector<QueueRec> jobs = settled_then_waiting(20000, 120, 16);
    std::vector<double> ratio, rewrites, wall;
    for (int r = 0; r < runs; ++r) {
        area.write_queue(jobs);
        const Writes w = traced_writes(detector);
        wall.push_back(w.seconds);
        if (area.queue().back().type != "1") std::fprintf(stderr, "longrun: unexpected result\n");
        ratio.push_back(static_cast<double>(w.bytes) / (static_cast<double>(jobs.size()) * 1052));
        rewrites.push_back(w.renames);
    }
    row("longrun", "bytes written / queue", fixed(median(ratio), 2),
        "<= 3 + 1 MB, run " + fixed(median(wall), 1, " s (traced)"));
    row("longrun", "rewrites", fixed(median(rewrites), 0));
}

// A 2 MB queue whose 100 waiting jobs settle steadily for about 8 s,
// killed with SIGKILL at several moments: the results settled more than
// 2 s before the kill that the file does not hold.
void killloss(const std::string& detector, int runs) {
    constexpr int ANSWER_MS = 600;
    ScriptedServer slow("127.0.0.3", 80, {answer_after(ANSWER_MS)});
    many_names(100);
    DownloadArea area;
    LockHolder lock(area.lock_path(), 1);
    const std::vector<QueueRec> jobs = settled_then_waiting(1900, 100, 100);
    int worst = 0;
    for (int r = 0; r < runs; ++r) {
        for (const double kill_at : {2.5, 4.0, 5.5, 7.0}) {
            area.write_queue(jobs);
            const int before = slow.connections();
            std::vector<std::pair<double, int>> accepted;  // (seconds, connections)
            const double t0 = now_seconds();
            Child c({detector}, {});
            while (now_seconds() - t0 < kill_at) {
                accepted.emplace_back(now_seconds() - t0, slow.connections() - before);
                usleep(20 * 1000);
            }
            c.signal(SIGKILL);
            c.wait(10);
            post_token(area.lock_path());  // the token a SIGKILL took along
            // Accepted by then, answered 2 s before the kill.
            int answered = 0;
            for (const auto& [t, n] : accepted)
                if (t <= kill_at - 2 - ANSWER_MS / 1000.0) answered = n;
            int written = 0;
            for (const auto& q : area.queue())
                written += q.id > 1900 && q.status == 'v';
            worst = std::max(worst, answered - written);
        }
    }
    row("killloss", "settled > 2 s before a SIGKILL, lost", std::to_string(worst), "0");
}

int bench_main(int argc, char** argv) {
    std::string detector, bare, only;
    int runs = 9;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--detector") detector = argv[i + 1];
        if (a == "--bare") bare = argv[i + 1];
        if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--only") only = argv[i + 1];
    }
    if (detector.empty() || bare.empty()) {
        std::fprintf(stderr,
                     "usage: qv2_bench --detector PATH --bare PATH [--runs N] [--only SCENARIO]\n");
        return 1;
    }
    sandbox_enter(argc, argv);
    if (!sandbox_active()) {
        std::fprintf(stderr, "qv2_bench: %s\n", sandbox_skip_reason().c_str());
        return 1;
    }
    std::fprintf(stderr, "measuring (%d runs each, medians)...\n", runs);
    const auto wanted = [&](const char* name) { return only.empty() || only == name; };
    if (wanted("http100")) http100(detector, bare, runs);
    if (wanted("form1000")) form1000(detector, runs);
    if (wanted("https1")) https1(detector, runs);
    for (const char* name : {"https20", "https20rsa"})
        if (wanted(name)) https20(name, detector, runs);
    if (wanted("https200")) https200(detector, std::max(1, runs / 3));
    if (wanted("lockheld")) lockheld(detector, std::max(1, runs / 3));
    if (wanted("bigqueue")) bigqueue(detector, std::max(1, runs / 3));
    if (wanted("samehost")) samehost(detector, std::max(1, runs / 3));
    if (wanted("bigpages")) bigpages(detector, std::max(1, runs / 3));
    if (wanted("longrun")) longrun(detector, std::max(1, runs / 9));
    if (wanted("killloss")) killloss(detector, std::max(1, runs / 3));

    std::printf("%-9s  %-24s  %-12s  %s\n", "scenario", "metric", "median", "target");
    for (const Row& r : rows)
        std::printf("%-9s  %-24s  %-12s  %s\n", r.scenario.c_str(), r.metric.c_str(),
                    r.value.c_str(), r.target.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return bench_main(argc, argv);
    } catch (const std::exception& e) {  // a server that would not start
        std::fprintf(stderr, "qv2_bench: %s\n", e.what());
        return 1;
    }
}
