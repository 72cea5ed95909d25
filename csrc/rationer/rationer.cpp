#include "rationer/rationer.hpp"

#include "cluster/cluster_exact.hpp"
#include "gestalt/codepoints.hpp"
#include "rationer/interned_ratio.hpp"

namespace simsieve {

double clamp_delta(double delta) {
  if (delta < 0.0) return 0.0;
  if (delta > 1.0) return 1.0;
  return delta;
}

RationerState make_rationer_state(uint64_t threads, double delta) {
  RationerState state;
  if (threads > 0) state.pool = WorkerPool::try_start(threads);
  state.delta = clamp_delta(delta);
  state.mode = ConcurrencyMode::Cpu;
  return state;
}

std::vector<double> rationer_ratio_many(const RationerState& state,
                                        const std::vector<std::pair<std::string, std::string>>& pairs) {
  return run_in_pool(state, [&] { return interned_ratio_many(pairs); });
}

std::vector<Cluster> rationer_cluster(const RationerState& state, std::vector<std::string> canonicals,
                                      double threshold) {
  std::vector<std::vector<uint32_t>> code_points;
  code_points.reserve(canonicals.size());
  for (const std::string& text : canonicals) code_points.push_back(decode_utf8(text));
  std::vector<std::string>().swap(canonicals);
  const std::vector<CodepointView> views = codepoint_views(code_points);
  return run_in_pool(state, [&] { return cluster_exact(views, threshold); });
}

}  // namespace simsieve
