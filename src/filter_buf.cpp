#include "filter_buf.h"

#include <algorithm>

namespace filter_buf {

float dot(const float* taps, const float* x, std::size_t n) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < n; ++k) sum += taps[k] * x[k];
    return sum;
}

float FilterBuf::convolve(std::span<const float> taps) const {
    return dot(taps.data(), newest(), std::min(taps.size(), MAX_FILTER_SIZE));
}

}  // namespace filter_buf
