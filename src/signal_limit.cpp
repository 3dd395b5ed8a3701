#include "signal_limit.h"

namespace signal_limit {

Status check(uint64_t samples, uint32_t sample_rate) {
    const uint64_t limit = max_samples(sample_rate);
    if (samples > limit) {
        return make_error("signal too long: {} samples exceeds the limit of {}", samples, limit);
    }
    return Status::success();
}

}  // namespace signal_limit
