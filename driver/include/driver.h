// The detector process: one run over the job queue, then exit.
#pragma once

#include <signal.h>

#include <optional>
#include <string>
#include <vector>

#include "probe.h"
#include "store.h"

/// Created by the download manager while a run is due; removed at its end.
inline constexpr const char* DETECT_MARKER = "/opt/etc/qv2_detect_protected";

/// The whole run: process set-up, load, pass, marker removal. Exit status.
int detect_run();

/// Loads the queue and runs the detection pass over it under one hold of
/// the queue lock: every waiting job is probed once, in file order, and
/// written back with its resolved URL, type, status and retries. 0 (also
/// when there is nothing to probe), the load's negative result (-1: no
/// queue file, -2: not all of it could be read; nothing is written then),
/// or the result of closing the lock.
int initlognote3();

/// What a detection run would make of a waiting job with `url` and
/// `retries`: each step its probes take (the pieces marked `step`), what
/// the detector would say, and the job's new record fields (none: it would
/// be left as it is).
struct JobCheck {
    std::vector<ReportPiece> said;
    std::optional<JobResult> result;
};
/// Probes `url` as a detection run probes a waiting job with that URL and
/// retry counter (the same dispatch, time-outs and rules), without the
/// queue or its lock.
JobCheck check_job(const std::string& url, int retries);

/// Every signal that stops a run (SIGTERM, SIGINT, SIGUSR1 and the like):
/// the queue-lock token is given back and the run ends with status 0, at
/// once, or for SIGTERM, SIGINT and SIGQUIT while jobs are probed, after
/// the results already settled are written (within about a second; a
/// second signal ends it at once). A signal that reports a fault gives the
/// token back, then takes its usual course.
extern "C" void handle_stop_signal(int sig, siginfo_t* info, void* context);

/// Forbids this process and the threads it starts from now on to run
/// another program (execve, execveat) or to trace one (ptrace): they fail
/// with EPERM. False where the kernel can't (before Linux 3.5, or no
/// seccomp filters): nothing changes then.
bool forbid_exec();

/// Removes `path` whatever its kind, a directory with all its contents,
/// never following a symbolic link. Quiet when it is already gone.
void remove_marker(const char* path = DETECT_MARKER);
