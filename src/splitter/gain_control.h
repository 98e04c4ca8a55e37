// gain_control_data: never parsed; its presence ends the frame, as in the decoder library.
#pragma once

#include "splitter/channel_stream.h"

inline Status gain_control_status(const ChannelStream& cs) {
    return cs.gain_control_data_present ? kStatusGainControl : Status{0};
}
