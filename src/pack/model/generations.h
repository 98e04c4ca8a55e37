// Which models code the chunk payloads of each format version. A generation is a model record
// and the decisions its header adds to the shared walk; once a format version has been
// written, its generation is frozen, and a new version that codes differently brings a
// generation of its own (a folder under model/), so that it cannot change a byte of what
// the earlier ones write or read.
#pragma once

#include <cstdint>
#include <string>

enum class Generation : std::uint8_t {
    NONE,  // not a version whose payloads this build decodes
    GEN3,  // versions 2 and 3: models that start every chunk from nothing (gen3/)
    GEN4,  // versions 4 to 11: models that start every chunk from a trained state (gen4/)
};

constexpr Generation generation_of(unsigned version) {
    return version == 2 || version == 3               ? Generation::GEN3
           : version >= 4 && version <= 11            ? Generation::GEN4
                                                      : Generation::NONE;
}

// Whether every generation of this build can start: each trained state it holds loads. An
// empty string, or the build fault ("the trained model state of format version 4 does not
// load: ..."); a build with a fault must neither pack nor unpack.
std::string generations_fault();
