#include "vec_env/state_catalog.h"

#include <string>
#include <unordered_set>

namespace tt {

std::optional<EnvError> build_state_catalog(std::vector<std::vector<uint8_t>> data, std::vector<std::string> names,
                                            std::vector<StateCatalogEntry>& out) {
  if (data.empty()) {
    if (!names.empty()) return value_error("state_catalog_names requires state_catalog_data");
    out.clear();
    return std::nullopt;
  }
  for (const auto& entry : data) {
    if (entry.empty()) return value_error("state_catalog_data entries must not be empty");
  }
  if (!names.empty() && names.size() != data.size()) {
    return value_error("state_catalog_names length must match state_catalog_data length");
  }
  if (names.empty()) {
    names.reserve(data.size());
    for (size_t i = 0; i < data.size(); ++i) names.push_back("state-" + std::to_string(i));
  }
  std::unordered_set<std::string> seen;
  for (const auto& name : names) {
    if (!seen.insert(name).second) return value_error("state_catalog_names must not contain duplicates");
  }
  std::vector<StateCatalogEntry> catalog;
  catalog.reserve(data.size());
  for (size_t i = 0; i < data.size(); ++i)
    catalog.push_back(StateCatalogEntry{std::move(names[i]), std::move(data[i])});
  out = std::move(catalog);
  return std::nullopt;
}

}  // namespace tt
