// Priority prefixes for the journal. Under systemd, standard output goes to
// journald, which reads a leading "<3>" or "<4>" on a line as the priority
// error or warning, so "journalctl -p err" finds the failures. The lines are
// classified centrally as they are written; every other line keeps journald's
// default priority. On a terminal, a pipe or a file nothing changes.
#pragma once

#include <cstddef>

constexpr int kPriorityNone = -1;
constexpr int kPriorityError = 3;
constexpr int kPriorityWarning = 4;

// kPriorityError, kPriorityWarning or kPriorityNone for one output line.
int linePriority(const char* line, size_t length);

// True when JOURNAL_STREAM names the device and inode of standard output.
bool standardOutputIsJournal();

// Routes stdout through the classifier when standardOutputIsJournal(); call
// before anything is printed. True when installed.
bool prefixJournalPriorities();
