// The decoder library behind a small contract: the driver sees only these calls, and the
// error texts are the program's own, whatever the library says.
#include "decoder/decoder.h"

#include <neaacdec.h>


bool decoder_open(DecoderHandle& handle) {
    NeAACDecHandle h = NeAACDecOpen();
    if (h == nullptr) return false;
    NeAACDecConfigurationPtr config = NeAACDecGetCurrentConfiguration(h);
    config->defObjectType = LC;
    config->outputFormat = FAAD_FMT_16BIT;
    config->downMatrix = 0;
    config->useOldADTSFormat = 0;
    config->dontUpSampleImplicitSBR = 1;
    NeAACDecSetConfiguration(h, config);
    handle.library = h;
    return true;
}

unsigned long decoder_default_sample_rate(DecoderHandle& handle) {
    return NeAACDecGetCurrentConfiguration(static_cast<NeAACDecHandle>(handle.library))->defSampleRate;
}

long decoder_init(DecoderHandle& handle, std::uint8_t* data, unsigned long size, unsigned long& sample_rate,
                  std::uint8_t& channels) {
    unsigned long rate = 0;
    unsigned char ch = 0;
    const long r = NeAACDecInit(static_cast<NeAACDecHandle>(handle.library), data, size, &rate, &ch);
    sample_rate = rate;
    channels = ch;
    return r;
}

const std::int16_t* decoder_decode(DecoderHandle& handle, FrameInfo& info, std::uint8_t* data, unsigned long size) {
    NeAACDecFrameInfo fi{};
    void* samples = NeAACDecDecode(static_cast<NeAACDecHandle>(handle.library), &fi, data, size);
    info.bytesconsumed = fi.bytesconsumed;
    info.samples = fi.samples;
    info.channels = fi.channels;
    info.error = fi.error;
    info.samplerate = fi.samplerate;
    info.num_lfe_channels = fi.num_lfe_channels;
    info.sbr = (fi.sbr == SBR_UPSAMPLED || fi.sbr == SBR_DOWNSAMPLED) ? 1 : 0;
    info.ps = fi.ps;
    return static_cast<const std::int16_t*>(samples);
}

void decoder_close(DecoderHandle& handle) {
    if (handle.library != nullptr) NeAACDecClose(static_cast<NeAACDecHandle>(handle.library));
    handle.library = nullptr;
}
