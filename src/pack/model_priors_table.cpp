// The trained starting state of format version 4's models. Generated; not yet trained.
#include "pack/model_priors.h"

const std::uint8_t kModelPriorsV4[] = {0};
const std::size_t kModelPriorsV4Size = 0;
const std::uint64_t kModelPriorsV4Hash = 0;
