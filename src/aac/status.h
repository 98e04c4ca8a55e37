// How a call went, for the whole program: 0 is success; 1..kLastDecoderStatus are the
// decoder library's error numbers, which the splitter reuses so that both refuse a frame
// the same way; the program's own codes start at 100, clear of any library number.
#pragma once

#include <cstddef>
#include <cstdint>

using Status = std::uint8_t;

constexpr Status kStatusOk = 0;
// The decoder library's numbers.
constexpr Status kStatusGainControl = 1;
constexpr Status kStatusPulseShort = 2;
constexpr Status kStatusNegativeScalefactor = 4;
constexpr Status kStatusNoSyncword = 5;
constexpr Status kStatusCoupling = 6;
// Error-resilient syntax (reversible scale-factor codes, reordered spectral data) is not
// built: ADTS and ADIF profiles and raw LC input never select it.
constexpr Status kStatusErrorResilience = 7;
constexpr Status kStatusScalefactorHuffman = 9;
constexpr Status kStatusHuffmanCodeword = 10;
constexpr Status kStatusNoSuchCodebook = 11;
constexpr Status kStatusChannelCount = 12;
constexpr Status kStatusElementCount = 13;
constexpr Status kStatusBufferTooSmall = 14;
constexpr Status kStatusIndexRange = 15;
constexpr Status kStatusBandCount = 16;
constexpr Status kStatusLtpLag = 18;
constexpr Status kStatusConfigChange = 21;
constexpr Status kStatusSbrAtBlockLevel = 24;
constexpr Status kStatusPceNotFirst = 31;
// The library's code for a syntax value it refuses outright: a set ics_reserved_bit, the
// reserved codebook 12, sections that overshoot max_sfb, max_sfb above the band count, an
// unusable sampling frequency index. The splitter refuses the same frames the same way.
constexpr Status kStatusBadSyntax = 32;
constexpr Status kLastDecoderStatus = 32;

// The program's own codes.
// A frame that splitter and library both decode, but to different lengths: the streams
// would no longer describe the bytes the decoder used.
constexpr Status kStatusLengthMismatch = 100;
// The stream's first header (ADTS, ADIF or the raw settings) is one the splitter cannot use.
constexpr Status kStatusUnusableHeader = 101;
// The rebuild leaves a frame out and goes on with the next: its section data run past the
// band or section arrays, or a scale factor leaves 0..255.
constexpr Status kStatusSectionsOverrun = 102;
constexpr Status kStatusScaleFactorRange = 103;
// The rebuild met ics_info it cannot carry: it prints its stop message and the run ends with
// exit status 1.
constexpr Status kStatusWrongIcsInfo = 104;
// 'Static compression' met input with more than one channel: the driver prints the stop
// message and ends the process with status -1.
constexpr Status kStatusStaticStereoStop = 255;

// The text printed after "Error: " for a status; a code without a text of its own gets a
// message naming the number (written into buf).
const char* status_text(int code, char* buf, std::size_t buf_size);
// The text of a named code ("unknown status" for any other).
const char* status_text(Status code);
