#include "decode.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>

#include "audio/flac_decode.h"
#include "demod_afsk.h"
#include "hdlc.h"
#include "wavio.h"

namespace decode {

namespace {

constexpr float kFloorDb = -60.0f;
constexpr uint32_t kBaud = 1200;
constexpr uint32_t kMarkHz = 1200;
constexpr uint32_t kSpaceHz = 2200;

// A document whose floats are 32-bit: the writer prints each as the shortest text
// that reads back as the same float (widening to double would print -10.35 as
// -10.350000381469727), with ".0" after a whole number and null when not finite.
using SummaryDocument = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool,
                                             std::int64_t, std::uint64_t, float>;

// 20 log10(v) floored at -60 and rounded to a tenth of a dB; -60 for v <= 0 and
// for NaN.
float level_db(float v) {
    if (v <= 0.0f) return kFloorDb;
    float y = 20.0f * std::log10(v);
    if (!(y >= kFloorDb)) y = kFloorDb;  // also catches NaN
    float r = std::round(y * 10.0f) / 10.0f;
    return r == 0.0f ? 0.0f : r;  // no negative zero
}

// max(u, 0), with NaN giving 0.
float non_negative(float u) {
    return u > 0.0f ? u : 0.0f;
}

}  // namespace

float median(std::vector<float> values) {
    if (values.empty()) return kFloorDb;
    if (values.size() == 1) return values[0];
    // NaN sorts after every number, so the order is strict and weak for any input.
    std::stable_sort(values.begin(), values.end(), [](float a, float b) {
        if (std::isnan(a)) return false;
        if (std::isnan(b)) return true;
        return a < b;
    });
    size_t n = values.size();
    if (n % 2 == 1) return values[n / 2];
    return (values[n / 2 - 1] + values[n / 2]) * 0.5f;
}

DecodeSummary summarize(std::span<const std::pair<float, float>> levels, uint64_t bad_fcs) {
    std::vector<float> level_dbs, mark_dbs, space_dbs, twists;
    level_dbs.reserve(levels.size());
    mark_dbs.reserve(levels.size());
    space_dbs.reserve(levels.size());
    twists.reserve(levels.size());
    for (const auto& [mark, space] : levels) {
        float level = (non_negative(mark) + non_negative(space)) * 0.5f;
        float mark_db = level_db(mark);
        float space_db = level_db(space);
        level_dbs.push_back(level_db(level));
        mark_dbs.push_back(mark_db);
        space_dbs.push_back(space_db);
        twists.push_back(std::fabs(mark_db - space_db));
    }
    DecodeSummary summary;
    summary.rx_frames = levels.size();
    summary.rx_bad_fcs = bad_fcs;
    summary.level_dbfs_med = median(std::move(level_dbs));
    summary.mark_dbfs_med = median(std::move(mark_dbs));
    summary.space_dbfs_med = median(std::move(space_dbs));
    summary.twist_db_med = median(std::move(twists));
    summary.sample_rate = 0;
    return summary;
}

Result<std::string> summary_json(const DecodeSummary& summary) {
    try {
        SummaryDocument doc = SummaryDocument::object();
        doc["rx_frames"] = summary.rx_frames;
        doc["rx_bad_fcs"] = summary.rx_bad_fcs;
        doc["level_dbfs_med"] = summary.level_dbfs_med;
        doc["mark_dbfs_med"] = summary.mark_dbfs_med;
        doc["space_dbfs_med"] = summary.space_dbfs_med;
        doc["twist_db_med"] = summary.twist_db_med;
        doc["sample_rate"] = summary.sample_rate;
        return doc.dump(2);
    } catch (const std::exception& e) {
        return Error{e.what()};
    }
}

namespace {

// The one demodulator of a decode fed piece by piece, keeping of each frame
// only the levels the summary needs.
class Decoding {
public:
    // Every rate-derived quantity of the demodulator divides by the rate.
    static Result<Decoding> start(uint32_t sample_rate) {
        if (sample_rate == 0) return Error{"recording declares a sample rate of 0"};
        return Decoding(sample_rate);
    }

    void feed(std::span<const int16_t> samples) {
        for (int16_t sample : samples) demod_->process_sample(sample);
        for (const hdlc::DecodedFrame& frame : demod_->take_frames()) {
            levels_.emplace_back(frame.audio_level_mark, frame.audio_level_space);
        }
    }

    DecodeSummary finish() {
        DecodeSummary summary = summarize(levels_, demod_->take_bad_fcs());
        summary.sample_rate = sample_rate_;
        return summary;
    }

private:
    // One slicer, profile A, no repair, no hard limiting (the default options).
    // Nobody takes its carrier-detect records, so none are kept.
    explicit Decoding(uint32_t sample_rate)
        : sample_rate_(sample_rate),
          demod_(std::make_unique<demod_afsk::AfskDemodulator>(
              demod_afsk::AfskSettings{sample_rate, kBaud, kMarkHz, kSpaceHz,
                                       /*profile_b=*/false, {.keep_dcd_changes = false}},
              demod::Identity{/*channel=*/0, /*subchan=*/0})) {}

    uint32_t sample_rate_;
    std::unique_ptr<demod_afsk::AfskDemodulator> demod_;
    std::vector<std::pair<float, float>> levels_;
};

// A FLAC recording decoded frame by frame as it is read, so that a recording
// of any length takes the memory of one audio frame.
Result<DecodeSummary> decode_flac_file(const std::string& path) {
    Result<std::unique_ptr<audio::FlacReader>> reader = audio::FlacReader::open(path, 0);
    if (!reader) return reader.error();
    Result<Decoding> decoding = Decoding::start((*reader)->sample_rate());
    if (!decoding) return decoding.error();
    std::vector<int16_t> samples;
    for (;;) {
        samples.clear();
        Result<bool> frame = (*reader)->next_frame(samples);
        if (!frame) return frame.error();
        if (!*frame) return decoding->finish();
        decoding->feed(samples);
    }
}

}  // namespace

Result<DecodeSummary> decode_samples(std::span<const int16_t> samples, uint32_t sample_rate) {
    Result<Decoding> decoding = Decoding::start(sample_rate);
    if (!decoding) return decoding.error();
    decoding->feed(samples);
    return decoding->finish();
}

Result<DecodeSummary> decode_file(const std::string& path) {
    if (wavio::is_flac_path(path)) return decode_flac_file(path);
    Result<wavio::Audio> audio = wavio::read_audio_i16(path);
    if (!audio) return audio.error();
    return decode_samples(audio->samples, audio->sample_rate);
}

namespace {

// decode_file with a failed allocation (a recording too large for memory) turned
// into an error instead of ending the process.
Result<DecodeSummary> decode_file_guarded(const std::string& path) {
    try {
        return decode_file(path);
    } catch (const std::exception& e) {
        return Error{e.what()};
    }
}

}  // namespace

Status run(std::span<const std::string> args) {
    if (args.empty()) return Error{"usage: quillmar-modem --decode <file.wav|file.flac>"};
    Result<DecodeSummary> summary = decode_file_guarded(args[0]);
    if (!summary) return summary.error();
    Result<std::string> doc = summary_json(*summary);
    if (!doc) return doc.error();
    doc->push_back('\n');
    // A document that did not reach standard output is a failure, not a result.
    if (std::fwrite(doc->data(), 1, doc->size(), stdout) != doc->size() ||
        std::fflush(stdout) != 0) {
        return make_error("write to standard output: {}", std::strerror(errno));
    }
    return Status::success();
}

}  // namespace decode
