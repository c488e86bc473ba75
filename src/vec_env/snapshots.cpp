#include "vec_env/snapshots.h"

#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <limits>
#include <string>

#include "core/renderer.h"
#include "driver/portable_machine.h"

namespace tt {

namespace {

constexpr uint8_t ENVELOPE_MAGIC[8] = {'V', 'R', 'X', 'V', 'E', 'C', '1', 0};

void put_le(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A cursor over the envelope that names the field it could not read.
class EnvelopeReader {
 public:
  EnvelopeReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  std::optional<std::string> take(const char* field, size_t width, const uint8_t*& at) {
    const size_t left = size_ - pos_;
    if (left < width) {
      return "portable snapshot is truncated at " + std::string(field) + ": need " + std::to_string(width) +
             " bytes, have " + std::to_string(left);
    }
    at = data_ + pos_;
    pos_ += width;
    return std::nullopt;
  }
  // A variable-length field: refuses lengths past the addressable range first.
  std::optional<std::string> take_block(const char* field, uint64_t width, const uint8_t*& at) {
    if (width > std::numeric_limits<size_t>::max() - pos_) {
      return "portable snapshot " + std::string(field) + " length overflow";
    }
    return take(field, static_cast<size_t>(width), at);
  }
  size_t left() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

uint64_t le(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

}  // namespace

EnvResult<std::vector<std::optional<LaneSnapshot>>> capture_lanes(const ZuboVecEnv& env, const uint8_t* obs,
                                                                  size_t obs_len, const uint8_t* mask,
                                                                  size_t mask_len) {
  const size_t n = env.num_envs();
  const size_t lane_size = env.lane_obs_size();
  if (mask_len != n || obs_len != n * lane_size) return runtime_error("snapshot capture buffers have incorrect shapes");
  bool any = false;
  for (size_t i = 0; i < n; ++i) any = any || mask[i] != 0;
  if (!any) return runtime_error("capture_mask must select at least one lane");
  for (size_t i = 0; i < n; ++i) {
    if (mask[i] && env.pending_reset(i)) return runtime_error("cannot capture a lane that is pending reset");
  }
  std::vector<std::optional<LaneSnapshot>> out(n);
  for (size_t i = 0; i < n; ++i) {
    if (!mask[i]) continue;
    const uint8_t* row = obs + i * lane_size;
    out[i].emplace(LaneSnapshot{env.machine(i), std::vector<uint8_t>(row, row + lane_size), env.active_state_index(i),
                                env.last_action(i), env.rng_state(i), env.env_token()});
  }
  return out;
}

std::vector<uint8_t> encode_snapshot(const LaneSnapshot& s) {
  const std::vector<uint8_t> blob = encode_portable_machine(s.machine);
  std::vector<uint8_t> out;
  out.reserve(SNAPSHOT_HEADER_BYTES + s.observation.size() + blob.size());
  out.insert(out.end(), ENVELOPE_MAGIC, ENVELOPE_MAGIC + 8);
  put_le(out, static_cast<uint32_t>(s.active_state_index), 4);
  put_le(out, s.last_action, 1);
  put_le(out, s.rng_state, 8);
  put_le(out, s.observation.size(), 4);
  put_le(out, blob.size(), 4);
  out.insert(out.end(), s.observation.begin(), s.observation.end());
  out.insert(out.end(), blob.begin(), blob.end());
  return out;
}

EnvResult<LaneSnapshot> decode_snapshot(const ZuboVecEnv& env, size_t lane, const uint8_t* data, size_t size) {
  EnvelopeReader r(data, size);
  const uint8_t* at = nullptr;
  if (auto e = r.take("magic", 8, at)) return value_error(*e);
  if (std::memcmp(at, ENVELOPE_MAGIC, 8) != 0) return value_error("portable snapshot has invalid magic");
  if (auto e = r.take("active_state_index", 4, at)) return value_error(*e);
  const int32_t active_state_index = static_cast<int32_t>(static_cast<uint32_t>(le(at, 4)));
  if (auto e = r.take("last_action", 1, at)) return value_error(*e);
  const uint8_t last_action = at[0];
  if (auto e = r.take("rng_state", 8, at)) return value_error(*e);
  const uint64_t rng_state = le(at, 8);
  if (rng_state == 0) return value_error("portable snapshot rng_state must be non-zero");
  if (auto e = r.take("observation_len", 4, at)) return value_error(*e);
  const uint64_t observation_len = le(at, 4);
  if (auto e = r.take("machine_len", 4, at)) return value_error(*e);
  const uint64_t machine_len = le(at, 4);
  if (observation_len != env.lane_obs_size()) {
    return value_error("portable snapshot observation length " + std::to_string(observation_len) +
                       " does not match environment length " + std::to_string(env.lane_obs_size()));
  }
  const uint8_t* observation = nullptr;
  if (auto e = r.take_block("observation", observation_len, observation)) return value_error(*e);
  const uint8_t* machine = nullptr;
  if (auto e = r.take_block("machine", machine_len, machine)) return value_error(*e);
  if (r.left() != 0) return value_error("portable snapshot has " + std::to_string(r.left()) + " trailing bytes");

  auto decoded = decode_portable_machine(machine, static_cast<size_t>(machine_len), env.machine(lane));
  if (auto* e = std::get_if<std::string>(&decoded)) return value_error(*e);

  const size_t catalog = env.state_catalog().size();
  const bool index_ok = catalog == 0 ? active_state_index == -1
                                     : active_state_index >= 0 && static_cast<size_t>(active_state_index) < catalog;
  if (!index_ok) {
    return value_error("portable snapshot lane " + std::to_string(lane) + " has incompatible active_state_index " +
                       std::to_string(active_state_index));
  }
  return LaneSnapshot{std::get<Machine>(std::move(decoded)),
                      std::vector<uint8_t>(observation, observation + observation_len),
                      active_state_index,
                      last_action,
                      rng_state,
                      env.env_token()};
}

uint64_t snapshot_nbytes(const LaneSnapshot& s) {
  // The copied console shares its cartridge bytes with the environment; what
  // it owns is its background cache image (empty in a fresh copy).
  const Machine& m = s.machine;
  uint64_t owned = s.observation.size();
  {
    std::shared_lock lock(m.renderer.background_lock);
    owned += m.renderer.background.image.size();
  }
  return sizeof(LaneSnapshot) + owned;
}

}  // namespace tt
