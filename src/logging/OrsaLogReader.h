#pragma once

#include <string>
#include <string_view>

// Turns the bytes of a scrambled log file back into text.
//
// The file sink scrambles each record as a whole, counting key positions from the record's
// first byte, and a message may hold line feeds of its own, so a record can span several
// lines of the file. A line starts a new record when it unscrambles, from key position 0, to
// the head of the line format ("[YYYY-MM-DD hh:mm:ss.mmm] ["); any other line continues the
// record before it. A continuation at a key position that is a multiple of the key length
// reads the same either way, so only a message line that looks like a record head when
// unscrambled at the wrong position could be misread.
std::string orsaUnscrambleLog(std::string_view scrambled, std::string_view key);
