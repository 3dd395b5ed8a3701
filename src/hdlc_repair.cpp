// Fast repair searches.
//
// Inverting raw bit i changes only a few decoded bits: b[i] and b[i+1] in plain
// mode; in scrambled mode the descrambled bits i, i+12 and i+17, hence b at i,
// i+1, i+12, i+13, i+17 and i+18. The decoder's classification of a bit (data,
// stuffed zero, flag, abort) depends on the last eight decoded bits only, so
// from eight bits after the last changed bit on, a candidate classifies every
// bit as the unchanged capture does. The search therefore
//   - analyses the unchanged capture once, keeping its decoder state before
//     every bit and the CRC register of its data bits (from 0, over every data
//     bit) at every data bit;
//   - simulates a candidate only from its first changed bit to eight bits after
//     its last one, starting from the stored state;
//   - from there on decides the next closing flag (or the end) in O(1): the CRC
//     is linear, so the register at any later data bit u is
//     M^(u - t) (R xor G[t]) xor G[u], where R is the candidate's register at
//     data bit t, G the unchanged register and M the register step with a zero
//     input bit;
//   - after any flag or abort the candidate's state equals the unchanged one,
//     so its outcome is that of the unchanged capture from there on.
// The two-bit search combines per-bit summaries: a first inversion far from the
// second reaches the second's window as "unchanged state with another length
// and register", and the check there reduces to comparing two 16-bit values
// normalised to a common data bit index.
//
// Registers here are bit-serial (one data bit per step, LSB first), which equals
// the table-driven register over whole octets.

#include <algorithm>
#include <array>
#include <initializer_list>
#include <limits>
#include <vector>

#include "hdlc_repair.h"

namespace hdlc::detail {
namespace {

constexpr uint16_t POLY = 0x8408;
constexpr int32_t MAX_STORED_BITS = static_cast<int32_t>(MAX_FRAME_OCTETS * 8);
constexpr int32_t MIN_STORED_BITS = static_cast<int32_t>(MIN_FRAME_OCTETS * 8);
constexpr int32_t NONE = -1;

enum Class : uint8_t { DATA, STUFFED, FLAG, ABORT };

inline uint16_t crc_bit(uint16_t reg, uint8_t bit) {
    return static_cast<uint16_t>((reg >> 1) ^ (((reg ^ bit) & 1) ? POLY : 0));
}

// M^k applied to a register, as two 16x16 bit-matrix products.
class ShiftPowers {
public:
    static constexpr uint32_t LOW = 128;
    static constexpr uint32_t HIGH = (MAX_RAW_BITS + 1024) / LOW + 1;

    static const ShiftPowers& get() {
        static const ShiftPowers powers;
        return powers;
    }

    uint16_t apply(uint32_t k, uint16_t v) const {
        return mul(low_[k % LOW], mul(high_[k / LOW], v));
    }

private:
    using Matrix = std::array<uint16_t, 16>;  // images of the unit vectors

    static uint16_t mul(const Matrix& m, uint16_t v) {
        uint16_t r = 0;
        for (int b = 0; b < 16; ++b) r ^= static_cast<uint16_t>(m[b] & -((v >> b) & 1));
        return r;
    }

    ShiftPowers() : high_(HIGH) {
        for (int b = 0; b < 16; ++b) low_[0][b] = static_cast<uint16_t>(1u << b);
        for (uint32_t k = 1; k < LOW; ++k) {
            for (int b = 0; b < 16; ++b) low_[k][b] = crc_bit(low_[k - 1][b], 0);
        }
        Matrix step{};
        for (int b = 0; b < 16; ++b) step[b] = crc_bit(low_[LOW - 1][b], 0);
        high_[0] = low_[0];
        for (uint32_t a = 1; a < HIGH; ++a) {
            for (int b = 0; b < 16; ++b) high_[a][b] = mul(step, high_[a - 1][b]);
        }
    }

    std::array<Matrix, LOW> low_;
    std::vector<Matrix> high_;
};

// Decoder state before a bit: pattern register, data bits in the current frame
// (-1 while hunting), register over all of them, register at the last octet
// boundary (what the octet-wise check sees; frozen at the frame buffer's size).
struct Sim {
    uint8_t flag_shift;
    int32_t count;
    uint16_t reg;
    uint16_t reg_octets;
};

// Class of a decoded bit by the last eight decoded bits (the newest in bit 7).
constexpr std::array<uint8_t, 256> make_class_table() {
    std::array<uint8_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        table[v] = v == 0xFE                               ? ABORT
                   : v == FLAG_OCTET                       ? FLAG
                   : (v == 0x7C || v == 0x7D || v == 0x7F) ? STUFFED
                                                           : DATA;
    }
    return table;
}
constexpr std::array<uint8_t, 256> CLASS_OF = make_class_table();

// Advances one decoded bit; returns its class and sets `valid` when a flag
// completed a valid frame.
inline Class step(Sim& s, uint8_t b, bool& valid) {
    s.flag_shift = static_cast<uint8_t>((s.flag_shift >> 1) | (b << 7));
    const Class c = static_cast<Class>(CLASS_OF[s.flag_shift]);
    if (c == DATA) {
        if (s.count >= 0) {
            s.reg = crc_bit(s.reg, b);
            ++s.count;
            if ((s.count & 7) == 0 && s.count <= MAX_STORED_BITS) s.reg_octets = s.reg;
        }
    } else if (c == FLAG) {
        valid = s.count >= MIN_STORED_BITS + 7 && (s.count & 7) == 7 &&
                s.reg_octets == CRC_GOOD_RESIDUE;
        s.count = 0;
        s.reg = s.reg_octets = CRC_INIT;
    } else if (c == ABORT) {
        s.count = -1;
    }
    return c;
}

inline bool end_valid(const Sim& s) {
    return s.count >= MIN_STORED_BITS && (s.count & 7) == 0 && s.reg_octets == CRC_GOOD_RESIDUE;
}

// Where a candidate's decode finds its frame: the index of the closing flag's
// last bit, or n for the end of the capture; NONE for no frame. `unchanged`
// marks a frame that the unchanged capture finds at the same place with the
// same octets.
struct Outcome {
    int32_t pos = NONE;
    bool unchanged = false;
};

// Decoded-bit positions whose value one raw-bit inversion flips, ascending.
struct Pattern {
    std::array<int32_t, 12> pos{};
    int count = 0;

    int32_t first() const { return pos[0]; }
    int32_t last() const { return pos[count - 1]; }
    bool empty() const { return count == 0; }
};

// Symmetric difference of two ascending patterns.
Pattern merge(const Pattern& a, const Pattern& b) {
    Pattern out;
    int i = 0, j = 0;
    while (i < a.count || j < b.count) {
        if (j == b.count || (i < a.count && a.pos[i] < b.pos[j])) {
            out.pos[out.count++] = a.pos[i++];
        } else if (i == a.count || b.pos[j] < a.pos[i]) {
            out.pos[out.count++] = b.pos[j++];
        } else {
            ++i;
            ++j;
        }
    }
    return out;
}

// The unchanged capture, analysed once per search.
struct Analysis {
    int32_t n = 0;
    bool scrambled = false;
    std::vector<uint8_t> bit;         // decoded bit at each position 1..n-1
    std::vector<uint8_t> cls;         // its class
    std::vector<Sim> before;          // decoder state before each position 1..n
    std::vector<int32_t> data_index;  // data bits (any state) before each position 1..n
    std::vector<int32_t> next_event;  // first flag or abort at or after a position, else n
    std::vector<int32_t> next_found;  // first valid frame at or after a position (n: end)
    std::vector<uint16_t> G;          // register from 0 over the first t data bits
    int32_t total_data = 0;

    void run(const RawCapture& capture) {
        const std::vector<uint8_t>& raw = capture.raw_bits;
        n = static_cast<int32_t>(raw.size());
        scrambled = capture.scrambled;
        bit.assign(n + 1, 0);
        cls.assign(n + 1, DATA);
        before.resize(n + 1);
        data_index.assign(n + 1, 0);
        next_event.assign(n + 2, n);
        next_found.assign(n + 2, NONE);
        G.clear();
        G.reserve(n + 1);
        G.push_back(0);

        LineDecoder line{capture.descrambler_snapshot, static_cast<uint8_t>(raw[0] & 1)};
        for (int32_t p = 1; p < n; ++p) bit[p] = line.decode(raw[p] & 1, scrambled);

        std::vector<uint8_t> found(n + 1, 0);
        Sim s{0, 0, CRC_INIT, CRC_INIT};
        int32_t t = 0;
        for (int32_t p = 1; p < n; ++p) {
            before[p] = s;
            data_index[p] = t;
            bool valid = false;
            cls[p] = step(s, bit[p], valid);
            found[p] = valid;
            if (cls[p] == DATA) {
                G.push_back(crc_bit(G.back(), bit[p]));
                ++t;
            }
        }
        before[n] = s;
        data_index[n] = t;
        total_data = t;
        found[n] = end_valid(s);
        next_found[n] = found[n] ? n : NONE;
        for (int32_t p = n - 1; p >= 1; --p) {
            next_event[p] = (cls[p] == FLAG || cls[p] == ABORT) ? p : next_event[p + 1];
            next_found[p] = found[p] ? p : next_found[p + 1];
        }
    }

    Pattern pattern(int32_t raw_index) const {
        Pattern out;
        static constexpr int32_t PLAIN[] = {0, 1};
        static constexpr int32_t SCRAMBLED[] = {0, 1, 12, 13, 17, 18};
        if (scrambled && raw_index == 0) return out;  // bit 0 lives in the snapshot
        const std::span<const int32_t> offsets =
            scrambled ? std::span<const int32_t>(SCRAMBLED) : std::span<const int32_t>(PLAIN);
        for (int32_t off : offsets) {
            const int32_t p = raw_index + off;
            if (p >= 1 && p < n) out.pos[out.count++] = p;
        }
        return out;
    }

    // Outcome of a candidate whose decoded bits equal the unchanged ones from
    // position p on, given its state s before p.
    Outcome finish(Sim s, int32_t p) const {
        if (p >= n) return {end_valid(s) ? n : NONE, false};
        const int32_t e = next_event[p];
        if (s.count < 0) return {e < n ? next_found[e + 1] : NONE, true};
        if (e < n && cls[e] == ABORT) return {next_found[e + 1], true};
        const Outcome after{e < n ? next_found[e + 1] : NONE, true};
        const int32_t tp = data_index[p];
        const int32_t total = s.count + (data_index[e] - tp);
        int32_t stored;
        if (e < n) {
            if ((total & 7) != 7 || total < MIN_STORED_BITS + 7) return after;
            stored = total - 7;
        } else {
            if ((total & 7) != 0 || total < MIN_STORED_BITS) return after;
            stored = total;
        }
        uint16_t reg;
        if (stored > MAX_STORED_BITS && s.count >= MAX_STORED_BITS) {
            reg = s.reg_octets;
        } else if (stored > MAX_STORED_BITS || stored >= s.count) {
            const int32_t k = std::min(stored, MAX_STORED_BITS) - s.count;
            reg = ShiftPowers::get().apply(k, s.reg ^ G[tp]) ^ G[tp + k];
        } else {
            // The octets end before p: walk to the flag, which is near.
            bool valid = false;
            for (int32_t q = p; q <= e; ++q) step(s, bit[q], valid);
            return valid ? Outcome{e, false} : after;
        }
        if (reg == CRC_GOOD_RESIDUE) return {e, false};
        return after;
    }

    // Outcome of the candidate flipping `flips` (positions >= start), given its
    // state s before `start`; bits before `start` are already accounted for.
    // `changed_until` is one past the last position changed by any flip.
    Outcome run_from(Sim s, int32_t start, const Pattern& flips, int32_t changed_until) const {
        const int32_t end = std::min(n, std::max(start, changed_until + 8));
        int32_t p = start;
        while (p < end) {
            // Up to 64 positions at a time, the flips as a bit mask.
            const int32_t chunk_end = std::min(end, p + 64);
            uint64_t mask = 0;
            for (int k = 0; k < flips.count; ++k) {
                const int32_t q = flips.pos[k];
                if (q >= p && q < chunk_end) mask |= uint64_t{1} << (q - p);
            }
            for (; p < chunk_end; ++p, mask >>= 1) {
                bool valid = false;
                step(s, static_cast<uint8_t>(bit[p] ^ (mask & 1)), valid);
                if (valid) return {p, false};
            }
        }
        return finish(s, end);
    }

    // The first valid frame at or after the pattern's first position.
    Outcome single(const Pattern& pat) const {
        return run_from(before[pat.first()], pat.first(), pat, pat.last() + 1);
    }
};

// Scratch space of one thread, reused by every search on it.
struct Scratch {
    Analysis analysis;
    std::vector<uint8_t> bits;
    std::vector<Outcome> single;
    std::vector<int8_t> unchanged_acceptable;
    std::vector<int32_t> next_acceptable_single;
};

Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// Frame of a candidate inverting raw bits `flips`, decoded in full from the
// copy and accepted as decode_candidate accepts it; candidates closing before
// `first_check` are passed over.
std::optional<DecodedFrame> materialise(const RawCapture& capture,
                                        std::initializer_list<int32_t> flips, uint8_t retry,
                                        size_t first_check) {
    std::vector<uint8_t>& bits = scratch().bits;
    bits.assign(capture.raw_bits.begin(), capture.raw_bits.end());
    for (int32_t i : flips) bits[i] ^= 1;
    return decode_candidate(capture, bits, retry, first_check);
}

// Whether the unchanged capture's frame at `pos` would be accepted as a
// candidate's frame.
bool unchanged_frame_acceptable(const RawCapture& capture, int32_t pos) {
    int8_t& cached = scratch().unchanged_acceptable[pos];
    if (cached < 0) cached = materialise(capture, {}, 1, pos).has_value();
    return cached;
}

}  // namespace

std::optional<DecodedFrame> fix_single_bit(const RawCapture& capture) {
    if (capture.raw_bits.size() <= MAX_IDLE_CAPTURE_BITS) return std::nullopt;
    Scratch& sc = scratch();
    Analysis& a = sc.analysis;
    a.run(capture);
    sc.unchanged_acceptable.assign(a.n + 2, -1);
    const int32_t first_found = a.next_found[1];
    for (int32_t i = 0; i < a.n; ++i) {
        const Pattern pat = a.pattern(i);
        Outcome out;
        if (pat.empty() || (first_found != NONE && first_found < pat.first())) {
            out = {first_found, true};
        } else {
            out = a.single(pat);
        }
        if (out.pos == NONE) continue;
        if (out.unchanged && !unchanged_frame_acceptable(capture, out.pos)) continue;
        if (auto frame = materialise(capture, {i}, 1, 0)) return frame;
    }
    return std::nullopt;
}

namespace {

// What the window of one inversion j does to any incoming decoder state (the
// two-bit search's view of its second inversion).
struct Summary {
    // Check of the frame that the incoming frame becomes, if any: valid when the
    // octet-wise data bits up to data index `stored_end` (in the coordinates of
    // the unchanged capture, stored_end = a + offset) number a multiple of 8, at
    // least 136, and the register there, normalised, equals `omega`.
    bool has_check = false;
    int32_t stored_end = 0;
    uint16_t omega = 0;
    Outcome check_found;
    Outcome otherwise;  // incoming frame, check failed or none
    Outcome hunting;    // incoming hunting state
};

Summary summarise(const Analysis& a, const Pattern& pat, int32_t norm) {
    const ShiftPowers& powers = ShiftPowers::get();
    Summary out;
    const int32_t p0 = pat.first();
    const int32_t start_index = a.data_index[p0];
    const int32_t end = std::min(a.n, pat.last() + 8);
    std::array<uint16_t, 48> hist;  // register from 0 along the changed data bits
    int32_t m = 0;
    hist[0] = a.G[start_index];
    Sim s = a.before[p0];
    int k = 0;
    for (int32_t p = p0; p < end; ++p) {
        uint8_t b = a.bit[p];
        if (k < pat.count && pat.pos[k] == p) {
            b ^= 1;
            ++k;
        }
        bool valid = false;
        const Class c = step(s, b, valid);
        if (c == DATA) {
            hist[m + 1] = crc_bit(hist[m], b);
            ++m;
        } else if (c == FLAG || c == ABORT) {
            // After the first event the state no longer depends on the incoming one.
            Sim reset = s;
            if (c == FLAG) {
                reset.count = 0;
                reset.reg = reset.reg_octets = CRC_INIT;
            }
            const Outcome post = a.run_from(reset, p + 1, pat, pat.last() + 1);
            out.otherwise = out.hunting = post;
            if (c == FLAG) {
                const int32_t offset = m - 7;
                if (start_index + offset >= 0) {
                    const uint16_t g = offset >= 0 ? hist[offset] : a.G[start_index + offset];
                    out.has_check = true;
                    out.stored_end = start_index + offset;
                    out.omega = powers.apply(norm - out.stored_end, g ^ CRC_GOOD_RESIDUE);
                    out.check_found = {p, false};
                }
            }
            return out;
        }
    }
    // No event inside the window.
    int32_t e;
    int32_t offset;
    if (end >= a.n) {
        e = a.n;
        offset = m;
    } else {
        e = a.next_event[end];
        const Outcome after{e < a.n ? a.next_found[e + 1] : NONE, true};
        out.otherwise = out.hunting = after;
        if (e < a.n && a.cls[e] == ABORT) return out;
        offset = m + (a.data_index[e] - a.data_index[end]) - (e < a.n ? 7 : 0);
    }
    if (start_index + offset < 0) return out;
    uint16_t g;
    if (offset >= m) {
        const int32_t tb = a.data_index[std::min(end, a.n)];
        const int32_t k2 = offset - m;
        g = powers.apply(k2, hist[m] ^ a.G[tb]) ^ a.G[tb + k2];
    } else if (offset >= 0) {
        g = hist[offset];
    } else {
        g = a.G[start_index + offset];
    }
    out.has_check = true;
    out.stored_end = start_index + offset;
    out.omega = powers.apply(norm - out.stored_end, g ^ CRC_GOOD_RESIDUE);
    out.check_found = {e, false};
    return out;
}

}  // namespace

namespace {

// Outcomes of the pairs (i, j), j > i, for one first inversion i at a time.
class PairSearch {
public:
    PairSearch(const RawCapture& capture, Scratch& sc)
        : capture_(capture), sc_(sc), a_(sc.analysis) {
        a_.run(capture);
        n_ = a_.n;
        norm_ = a_.total_data + 64;
        first_found_ = a_.next_found[1];
        sc_.unchanged_acceptable.assign(n_ + 2, -1);
        patterns_.resize(n_);
        summaries_.resize(n_);
        stored_end_.assign(n_, std::numeric_limits<int32_t>::max());
        omega_.assign(n_, 0);
        otherwise_some_.assign(n_, 0);
        hunting_some_.assign(n_, 0);
        sc_.single.assign(n_, Outcome{});
        for (int32_t j = 0; j < n_; ++j) {
            patterns_[j] = a_.pattern(j);
            if (patterns_[j].empty()) continue;
            sc_.single[j] = a_.single(patterns_[j]);
            summaries_[j] = summarise(a_, patterns_[j], norm_);
            const Summary& sj = summaries_[j];
            // Without a check, an end past everything that fails the tests alike.
            stored_end_[j] = sj.has_check ? sj.stored_end : std::numeric_limits<int32_t>::max();
            omega_[j] = sj.omega;
            otherwise_some_[j] = sj.otherwise.pos != NONE;
            hunting_some_[j] = sj.hunting.pos != NONE;
        }
    }

    int32_t size() const { return n_; }

    // Prepares the pairs whose first inversion is i.
    void begin(int32_t i) {
        i_ = i;
        const Pattern& pi = patterns_[i];
        empty_i_ = pi.empty();
        before_i_ = !empty_i_ && first_found_ != NONE && first_found_ < pi.first();
        beyond_window_ = NOTHING;
        if (empty_i_ || before_i_) return;
        single_i_ = sc_.single[i];
        exit_p_ = pi.last() + 8;
        const int32_t window_end = std::min(n_, exit_p_);
        Sim s = a_.before[pi.first()];
        int k = 0;
        for (int32_t p = pi.first(); p < window_end; ++p) {
            window_[p - pi.first()] = s;
            uint8_t b = a_.bit[p];
            if (k < pi.count && pi.pos[k] == p) {
                b ^= 1;
                ++k;
            }
            bool valid = false;
            step(s, b, valid);
        }
        window_[window_end - pi.first()] = s;
        exit_ = s;
        first_wins_ = single_i_.pos == NONE ? n_ : std::min<int32_t>(n_, single_i_.pos + 1);
        if (exit_p_ >= n_) return;
        e1_ = a_.next_event[exit_p_];
        exit_index_ = a_.data_index[exit_p_];
        frame_start_ = exit_index_ - exit_.count;
        beyond_window_ = exit_.count < 0 ? HUNTING : IN_FRAME;
        nu_ = exit_.count < 0
                  ? 0
                  : ShiftPowers::get().apply(norm_ - exit_index_, exit_.reg ^ a_.G[exit_index_]);
    }

    // The first j in [from, to) whose outcome(j) may find a frame, or `to`;
    // for to <= min(single_from(), repeats_from()). Pairs beyond the first
    // inversion's window are sifted with their summaries' quick fields.
    int32_t next_maybe(int32_t from, int32_t to) const {
        if (beyond_window_ == NOTHING || from < exit_p_) return from;
        int32_t j = from;
        if (beyond_window_ == HUNTING) {
            while (j < to && !hunting_some_[j]) ++j;
            return j;
        }
        const int32_t residue8 = frame_start_ & 7;
        const int32_t min_end = frame_start_ + MIN_STORED_BITS;
        for (; j < to; ++j) {
            const int32_t end = stored_end_[j];
            const bool check =
                (((end - residue8) & 7) == 0) & (end >= min_end) & (omega_[j] == nu_);
            if (otherwise_some_[j] | (end < exit_index_) | check) break;
        }
        return j;
    }

    // Where the decode of the capture with raw bits i and j inverted finds its
    // frame (j > i, after begin(i)).
    Outcome outcome(int32_t j) const {
        if (empty_i_) {
            // Inverting bit 0 of a scrambled capture changes nothing.
            if (first_found_ != NONE && first_found_ < patterns_[j].first()) {
                return {first_found_, true};
            }
            return sc_.single[j];
        }
        if (before_i_) return {first_found_, true};
        if (j >= first_wins_) return single_i_;
        const Pattern& pi = patterns_[i_];
        const Pattern& pj = patterns_[j];
        if (pj.first() < exit_p_) {
            // Inside the first inversion's window: simulate the pair.
            const Pattern both = merge(pi, pj);
            return a_.run_from(window_[pj.first() - pi.first()], pj.first(), both,
                               std::max(pi.last(), pj.last()) + 1);
        }
        if (j > e1_) {
            // A flag or abort in between makes the pair act as j alone.
            return sc_.single[j];
        }
        const Summary& sj = summaries_[j];
        if (exit_.count < 0) return sj.hunting;
        if (!sj.has_check) return sj.otherwise;
        if (sj.stored_end < exit_index_) return a_.run_from(exit_, exit_p_, pj, pj.last() + 1);
        const int32_t stored = sj.stored_end - frame_start_;
        return ((stored & 7) == 0 && stored >= MIN_STORED_BITS && sj.omega == nu_) ? sj.check_found
                                                                                   : sj.otherwise;
    }

    // The first j > i from which every outcome repeats: the same unchanged
    // frame, or the first inversion's own frame.
    int32_t repeats_from() const {
        if (before_i_) return i_ + 1;
        if (empty_i_) return n_;
        return first_wins_;
    }
    // The first j beyond which outcomes are those of j alone (until repeats_from).
    int32_t single_from() const {
        if (empty_i_ || before_i_ || exit_p_ >= n_) return n_;
        return e1_ + 1;
    }

    // A pair's frame, decoded in full, if it is accepted.
    std::optional<DecodedFrame> accept(int32_t i, int32_t j, const Outcome& out) {
        if (out.pos == NONE) return std::nullopt;
        if (out.unchanged && !unchanged_frame_acceptable(capture_, out.pos)) return std::nullopt;
        return materialise(capture_, {i, j}, 2, 0);
    }

    // Whether the frame of inversion j alone, from its first changed bit on, is accepted.
    bool single_acceptable(int32_t j) {
        const Outcome& out = sc_.single[j];
        if (out.pos == NONE) return false;
        if (out.unchanged) return unchanged_frame_acceptable(capture_, out.pos);
        return materialise(capture_, {j}, 2, patterns_[j].first()).has_value();
    }

private:
    const RawCapture& capture_;
    Scratch& sc_;
    Analysis& a_;
    int32_t n_ = 0;
    int32_t norm_ = 0;
    int32_t first_found_ = NONE;
    std::vector<Pattern> patterns_;
    std::vector<Summary> summaries_;
    // The parts of the summaries that sift the pairs beyond a window.
    std::vector<int32_t> stored_end_;
    std::vector<uint16_t> omega_;
    std::vector<uint8_t> otherwise_some_;
    std::vector<uint8_t> hunting_some_;

    int32_t i_ = 0;
    enum { NOTHING, HUNTING, IN_FRAME } beyond_window_ = NOTHING;
    bool empty_i_ = false;
    bool before_i_ = false;
    Outcome single_i_;
    int32_t exit_p_ = 0;
    std::array<Sim, 64> window_;  // states before each position of i's window
    Sim exit_{};
    int32_t first_wins_ = 0;
    int32_t e1_ = 0;
    int32_t exit_index_ = 0;
    int32_t frame_start_ = 0;
    uint16_t nu_ = 0;
};

}  // namespace

std::optional<DecodedFrame> fix_double_bit(const RawCapture& capture) {
    const size_t size = capture.raw_bits.size();
    if (size <= MAX_IDLE_CAPTURE_BITS || size > MAX_DOUBLE_FIX_BITS) return std::nullopt;
    Scratch& sc = scratch();
    PairSearch search(capture, sc);
    const int32_t n = search.size();

    // Where j alone finds an accepted frame, for the stretches that act as j alone.
    sc.next_acceptable_single.assign(n + 1, NONE);
    for (int32_t j = n - 1; j >= 0; --j) {
        sc.next_acceptable_single[j] =
            search.single_acceptable(j) ? j : sc.next_acceptable_single[j + 1];
    }

    for (int32_t i = 0; i + 1 < n; ++i) {
        search.begin(i);
        const int32_t repeats = std::max(i + 1, search.repeats_from());
        const int32_t alone = std::max(i + 1, std::min(search.single_from(), repeats));
        const int32_t stop = std::min(alone, repeats);
        for (int32_t j = search.next_maybe(i + 1, stop); j < stop;
             j = search.next_maybe(j + 1, stop)) {
            if (auto frame = search.accept(i, j, search.outcome(j))) return frame;
        }
        for (int32_t j = sc.next_acceptable_single[alone]; j != NONE && j < repeats;
             j = sc.next_acceptable_single[j + 1]) {
            if (auto frame = search.accept(i, j, search.outcome(j))) return frame;
        }
        if (repeats < n) {
            if (auto frame = search.accept(i, repeats, search.outcome(repeats))) return frame;
        }
    }
    return std::nullopt;
}

std::vector<int32_t> single_outcomes(const RawCapture& capture) {
    Scratch& sc = scratch();
    Analysis& a = sc.analysis;
    a.run(capture);
    std::vector<int32_t> out(a.n, NONE);
    const int32_t first_found = a.next_found[1];
    for (int32_t i = 0; i < a.n; ++i) {
        const Pattern pat = a.pattern(i);
        out[i] = (pat.empty() || (first_found != NONE && first_found < pat.first()))
                     ? first_found
                     : a.single(pat).pos;
    }
    return out;
}

std::vector<int32_t> double_outcomes(const RawCapture& capture) {
    PairSearch search(capture, scratch());
    const int32_t n = search.size();
    std::vector<int32_t> out(static_cast<size_t>(n) * n, NONE);
    for (int32_t i = 0; i + 1 < n; ++i) {
        search.begin(i);
        for (int32_t j = i + 1; j < n; ++j)
            out[static_cast<size_t>(i) * n + j] = search.outcome(j).pos;
    }
    return out;
}

}  // namespace hdlc::detail
