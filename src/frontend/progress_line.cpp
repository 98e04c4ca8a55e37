#include "frontend/progress_line.h"

void progress_show(ProgressLine& p, const std::string& text) {
    std::fputs(text.c_str(), p.err);
    std::fputc('\r', p.err);
    std::fflush(p.err);
    if (text.size() > p.width) p.width = text.size();
    p.open = true;
}

void progress_break(ProgressLine& p) {
    if (p.open && p.terminal) std::fputc('\n', p.err);
    p.open = false;
}

void progress_clear(ProgressLine& p) {
    if (p.open && p.terminal) std::fprintf(p.err, "%*s\r", static_cast<int>(p.width), "");
    p.open = false;
}

std::string with_thousands(std::uint64_t v) {
    std::string digits = std::to_string(v);
    for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
    return digits;
}
