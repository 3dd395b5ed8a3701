#pragma once

// How every demodulator hands over what it queued: its owner takes the whole
// queue after each block of samples.

#include <iterator>
#include <vector>

namespace drain {

// Moves the entries of `queue` out, oldest first, leaving it empty but with its
// capacity, so that the per-sample path does not allocate again after each drain.
template <class T>
std::vector<T> take_all(std::vector<T>& queue) {
    if (queue.empty()) return {};
    std::vector<T> taken(std::make_move_iterator(queue.begin()),
                         std::make_move_iterator(queue.end()));
    queue.clear();
    return taken;
}

}  // namespace drain
