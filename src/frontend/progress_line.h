// The progress line of a long run: its text ends in "\r" only, so the next one writes over
// it. A message printed while it shows first breaks the line (compression keeps the last
// progress visible) or clears it (the packed form's result line takes its place).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

struct ProgressLine {
    std::FILE* err = nullptr;
    bool terminal = false;  // err is a terminal: only there does "\r" move back over the text
    bool open = false;      // a progress text shows and no newline followed it
    std::size_t width = 0;  // the length of the widest text shown
};

// Writes text and "\r".
void progress_show(ProgressLine& p, const std::string& text);
// Ends the line with a newline on a terminal; redirected output keeps its text as written.
void progress_break(ProgressLine& p);
// Blanks the line on a terminal and returns to its start.
void progress_clear(ProgressLine& p);

// A count as the console shows it: 12,369,827.
std::string with_thousands(std::uint64_t v);
