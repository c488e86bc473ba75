// The named start states of an environment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vec_env/env_error.h"

namespace tt {

struct StateCatalogEntry {
  std::string name;
  std::vector<uint8_t> image;  // state image, as read by load_state_image
};

/// Builds the catalog from the caller's data and names (either may be empty,
/// meaning absent). Rules, first failure wins (ValueError): names without data;
/// an empty data entry; a names count other than the data count; duplicate
/// names. Without names entry i is named "state-<i>". `out` is only written
/// on success.
std::optional<EnvError> build_state_catalog(std::vector<std::vector<uint8_t>> data, std::vector<std::string> names,
                                            std::vector<StateCatalogEntry>& out);

}  // namespace tt
