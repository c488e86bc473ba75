#include "vec_env/snapshots.h"

#include <mutex>
#include <shared_mutex>
#include <string>

#include "driver/byte_stream.h"
#include "driver/portable_machine.h"

namespace tt {

namespace {

constexpr uint8_t ENVELOPE_MAGIC[8] = {'V', 'R', 'X', 'V', 'E', 'C', '1', 0};

// The envelope's fixed header; the observation and the machine blob follow.
struct EnvelopeHeader {
  int32_t active_state_index = -1;
  uint8_t last_action = 0;
  uint64_t rng_state = 0;
  uint32_t observation_len = 0;
  uint32_t machine_len = 0;
};

// The header's fields in order, for `ByteWriter` and `ByteReader`.
template <class Stream>
bool header_fields(Stream& s, EnvelopeHeader& h) {
  return s.magic("magic", ENVELOPE_MAGIC) && s.uint("active_state_index", h.active_state_index) &&
         s.uint("last_action", h.last_action) && s.uint("rng_state", h.rng_state) &&
         s.check(h.rng_state != 0, " rng_state must be non-zero") && s.uint("observation_len", h.observation_len) &&
         s.uint("machine_len", h.machine_len);
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
  EnvelopeHeader h{s.active_state_index, s.last_action, s.rng_state, static_cast<uint32_t>(s.observation.size()),
                   static_cast<uint32_t>(blob.size())};
  ByteWriter w;
  w.out.reserve(SNAPSHOT_HEADER_BYTES + s.observation.size() + blob.size());
  header_fields(w, h);
  w.bytes("observation", s.observation.data(), s.observation.size());
  w.bytes("machine", blob.data(), blob.size());
  return std::move(w.out);
}

EnvResult<LaneSnapshot> decode_snapshot(const ZuboVecEnv& env, size_t lane, const uint8_t* data, size_t size) {
  ByteReader r(data, size, "portable snapshot");
  EnvelopeHeader h;
  if (!header_fields(r, h)) return value_error(r.error());
  if (h.observation_len != env.lane_obs_size()) {
    return value_error("portable snapshot observation length " + std::to_string(h.observation_len) +
                       " does not match environment length " + std::to_string(env.lane_obs_size()));
  }
  const uint8_t* observation = nullptr;
  const uint8_t* machine = nullptr;
  if (!r.take_block("observation", h.observation_len, observation) ||
      !r.take_block("machine", h.machine_len, machine)) {
    return value_error(r.error());
  }
  if (r.left() != 0) return value_error("portable snapshot has " + std::to_string(r.left()) + " trailing bytes");

  auto decoded = decode_portable_machine(machine, h.machine_len, env.machine(lane));
  if (auto* e = std::get_if<std::string>(&decoded)) return value_error(*e);

  const size_t catalog = env.state_catalog().size();
  const int32_t index = h.active_state_index;
  const bool index_ok = catalog == 0 ? index == -1 : index >= 0 && static_cast<size_t>(index) < catalog;
  if (!index_ok) {
    return value_error("portable snapshot lane " + std::to_string(lane) + " has incompatible active_state_index " +
                       std::to_string(index));
  }
  return LaneSnapshot{std::get<Machine>(std::move(decoded)),
                      std::vector<uint8_t>(observation, observation + h.observation_len),
                      index,
                      h.last_action,
                      h.rng_state,
                      env.env_token()};
}

uint64_t snapshot_nbytes(const LaneSnapshot& s) {
  // The copied console shares its cartridge bytes with the environment; what
  // it owns is its background cache image (empty in a fresh copy).
  const Machine& m = s.machine;
  uint64_t owned = s.observation.size();
  {
    std::shared_lock lock(m.playfield.background_lock);
    owned += m.playfield.background.image.size();
  }
  return sizeof(LaneSnapshot) + owned;
}

}  // namespace tt
