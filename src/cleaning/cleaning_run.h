// The cleaning run: every blacklist.txt, then every whitelist.txt, below the current directory is
// rewritten so that only its good entries remain; every dropped entry is logged.
#pragma once

enum class ListKind {
  Blacklist,
  Whitelist,
};

// What a run does with the lists it checks.
enum class RunMode {
  Clean,    // rewrites them, logging every dropped entry in chklist.log
  Preview,  // only reads them: the records the run would log go to standard output, the
            // console's lines to standard error (the progress only when it is a terminal), and
            // nothing is created, changed or removed but the search's file lists
};

// The whole run: opens the rejection log, cleans both kinds, closes every channel. Returns the
// process's exit code: 0, or 1 for a preview whose records did not all reach standard output.
int runCleaning(RunMode mode = RunMode::Clean);

// One cleaning pass over every list file of one kind.
void cleanListKind(ListKind kind);
