// The agent's console is its standard output, and cron, init scripts and
// supervisors hand it over in every state: closed, a file, a log pipe whose
// reader has gone. These keep such a start from costing the store's data or
// the report.
#ifndef KELVORN_AGENT_CONSOLE_H_
#define KELVORN_AGENT_CONSOLE_H_

// Puts a harmless descriptor on each of 0, 1 and 2 that is closed, so that
// no file opened later (the store's own, above all) can take a standard
// descriptor's number and receive console lines or the shell's messages.
// /dev/null where it can be opened, else the root directory read-only, which
// refuses every write. Returns false when neither can be opened: a standard
// descriptor may then still be free, so nothing else may be opened.
bool console_std_open();

// From the banner on: each line leaves as soon as it is complete, so that a
// shared log keeps it ahead of whatever the store library writes, and a
// write to a log pipe that nobody reads fails quietly instead of killing the
// run with SIGPIPE.
void console_begin();

// Before starting the shell: everything printed is out, and SIGPIPE has its
// default disposition again, which the shell and curl would otherwise inherit
// ignored.
void console_handover();

#endif  // KELVORN_AGENT_CONSOLE_H_
