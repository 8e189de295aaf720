#pragma once

#include <cstdint>
#include <string_view>

namespace orsa::platform {

// The system console of this host: standard error, one whole line per call.
//
// Lines are handed to a writer thread, so a caller on a render or network thread never waits
// for a slow terminal or a pipe nobody reads. Order is kept. When more than a bounded amount
// is waiting, further lines are dropped and counted, and the count is written once the
// console catches up. At normal process exit, what is queued gets up to a second to be
// written; a console that takes nothing (a full pipe nobody reads) loses the rest instead of
// keeping the process alive.
//
// Every line has a level (the log's numbering: 1 debug, 2 info, 3 warning, 4 error); lines below
// the console's level are discarded. Lines without one are the library's chatter, at info.
inline constexpr int kConsoleDebug = 1;
inline constexpr int kConsoleInfo = 2;
inline constexpr int kConsoleWarning = 3;
inline constexpr int kConsoleError = 4;
inline constexpr int kConsoleOff = 6;
void consoleWrite(std::string_view line, int level = kConsoleInfo);

// The least level that reaches the console; warnings by default, so a host hears of failures
// but not of every start and frame. kConsoleOff silences it.
void consoleSetLevel(int level);
int consoleLevel();

// A tool may silence the console whatever its level (a command-line tool without --verbose);
// lines written while it is off are discarded. The switch covers everything the library prints
// on its own, the log's console copy included.
void consoleSetEnabled(bool enabled);
bool consoleEnabled();

// Waits until every line queued before the call has been written.
void consoleFlush();

// Lines dropped so far because the console could not keep up.
uint64_t consoleDroppedLines();

}  // namespace orsa::platform
