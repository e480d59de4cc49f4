// Converting a planned run (a directory, or one file) on worker processes.
//
// Protocol, over each worker's standard input and its answer channel
// (answers_to_host), integers in the machine's byte order, a string as its
// 32-bit length and its bytes:
//   host -> worker: the settings (count, then each option string), then one
//                   job per file (32-bit index, input path, output path);
//                   the end of the stream means no more files.
//   worker -> host: per job, in order: index, converted, reason and system
//                   error (32-bit each), the input and output bytes of the
//                   conversion's outcome (64-bit each), the failure message
//                   (empty when converted).
// A worker converts one file at a time; the host hands the next file to
// whichever worker answers first, so large and small files even out.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "report.h"

namespace cli {

// Converts the named candidates of plan on `jobs` workers started from
// program and configured with settings (option strings). A candidate that
// follows another (the same output) is converted after it. A worker that
// takes longer than timeout (0: no limit) on a file is killed, and one that
// dies is named with the file it held; either file fails, the worker is
// replaced and the run goes on. After a second Ctrl-C the workers are killed
// at once and the files they held fail. Once interrupted(), no
// further file is handed out and the workers finish the ones they hold.
// Adds to totals and reports each file. False when no worker could start.
bool run_pool(const std::vector<Candidate>& plan, int jobs, const std::string& program,
              const std::vector<std::string>& settings, std::chrono::seconds timeout, Report& report,
              Totals& totals);

// The worker's side of the protocol. Returns the exit status.
int worker_main();

}  // namespace cli
