// The program's texts for its statuses, whatever the decoder library would say.
#include "aac/status.h"

#include <cstdio>

namespace {

const char* const kDecoderText[] = {
    "No error",
    "Gain control not yet implemented",
    "Pulse coding not allowed in short blocks",
    "Invalid huffman codebook",
    "Negative scalefactor found, should be impossible",
    "Unable to find ADTS syncword",
    "Channel coupling not yet implemented",
    "Channel configuration not allowed in error resilient frame",
    "Bit error in error resilient scalefactor decoding",
    "Error decoding huffman scalefactor (bitstream error)",
    "Error decoding huffman codeword (bitstream error)",
    "Non existent huffman codebook number found",
    "Invalid number of channels",
    "Maximum number of bitstream elements exceeded",
    "Input data buffer too small",
    "Array index out of range",
    "Maximum number of scalefactor bands exceeded",
    "Quantised value out of range",
    "LTP lag out of range",
    "Invalid SBR parameter decoded",
    "SBR called without being initialised",
    "Unexpected channel configuration change",
    "Error in program_config_element",
    "First SBR frame is not the same as first AAC frame",
    "Unexpected fill element with SBR data",
    "Not all elements were provided with SBR data",
};
constexpr int kDecoderTextCount = static_cast<int>(sizeof kDecoderText / sizeof kDecoderText[0]);

// The text of a code that has one of its own, or null.
const char* named_text(int code) {
    if (code >= 0 && code < kDecoderTextCount) return kDecoderText[code];
    switch (code) {
    case kStatusPceNotFirst: return "Program config element not at the start of the frame";
    case kStatusBadSyntax: return "Invalid syntax value in the bitstream";
    case kStatusLengthMismatch: return "Splitter and decoder disagree on the frame length";
    case kStatusUnusableHeader: return "Unusable stream header";
    // These two end "Frame N is left out: ".
    case kStatusSectionsOverrun: return "its section data run past band 120 or 120 sections";
    case kStatusScaleFactorRange: return "a scale factor leaves the range 0..255";
    case kStatusWrongIcsInfo: return "Wrong ICSInfo structure";
    default: return nullptr;
    }
}

}  // namespace

const char* status_text(int code, char* buf, std::size_t buf_size) {
    if (const char* text = named_text(code)) return text;
    std::snprintf(buf, buf_size, "Decoder error %d (no description)", code);
    return buf;
}

const char* status_text(Status code) {
    const char* text = named_text(code);
    return text != nullptr ? text : "unknown status";
}
