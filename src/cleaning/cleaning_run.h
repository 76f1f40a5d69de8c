// The cleaning run: every blacklist.txt, then every whitelist.txt, below the current directory is
// rewritten so that only its good entries remain; every dropped entry is logged.
#pragma once

enum class ListKind {
  Blacklist,
  Whitelist,
};

// The whole run: opens the rejection log, cleans both kinds, closes every channel.
void runCleaning();

// One cleaning pass over every list file of one kind.
void cleanListKind(ListKind kind);
