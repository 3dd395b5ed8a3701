#include "wavio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>

#include "support/flac_file.h"
#include "support/scratch_dir.h"
#include "support/wav_bytes.h"

namespace {

using test_support::ScratchDir;
using test_support::wav_file;

TEST(WavioReaderChoice, ByExtensionOnly) {
    struct Case {
        const char* path;
        bool flac;
    };
    const Case cases[] = {
        {"take.flac", true},
        {"take.FLAC", true},
        {"take.Flac", true},
        {"take.wav.flac", true},
        {"/a/b.c/take.flac", true},
        {"take.flac.wav", false},
        {"take.wav", false},
        {"take.WAV", false},
        {"take.raw", false},
        {"take", false},
        {".flac", false},
        {"dir/.flac", false},
        {"dir.flac/take", false},
        {"take.fla", false},
        {"take.flacc", false},
        {"take.", false},
        {"take.fl\xff"
         "c",
         false},
        {"take.fla\xc3\xa7", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wavio::is_flac_path(c.path), c.flac) << c.path;
    }
}

TEST(WavioReaderChoice, ContentMustMatchTheName) {
    ScratchDir dir;
    // A WAV file named .flac goes to the FLAC reader and fails there, and a FLAC
    // file named .wav fails in the WAV reader; neither falls back to the other.
    auto wav = wav_file(test_support::kWavPcm, 1, 8000, 16, test_support::int_samples({1, 2}, 2));
    test_support::write_bytes(dir.file("wav.flac"), wav);
    test_support::write_flac(dir.file("real.flac"), 8000, 1, 16, {1, 2, 3});
    std::filesystem::copy_file(dir.file("real.flac"), dir.file("flac.wav"));
    std::filesystem::copy_file(dir.file("real.flac"), dir.file("real.FLAC"));

    EXPECT_FALSE(wavio::read_audio_i16(dir.file("wav.flac")).ok());
    EXPECT_FALSE(wavio::read_audio_i16(dir.file("flac.wav")).ok());
    auto upper = wavio::read_audio_i16(dir.file("real.FLAC"));
    ASSERT_TRUE(upper.ok()) << upper.error_text();
    EXPECT_EQ(upper->samples, (std::vector<int16_t>{1, 2, 3}));
}

struct IntCase {
    uint16_t bits;
    std::vector<int64_t> stored;
    std::vector<int16_t> expected;
};

const IntCase kIntCases[] = {
    // 8-bit data is stored unsigned with an offset of 128.
    {8, {0, 128, 255, 1}, {-32768, 0, 127 * 256, -127 * 256}},
    {16, {-32768, -1, 0, 32767}, {-32768, -1, 0, 32767}},
    {24, {8388607, -8388608, 255, 256, -1}, {32767, -32768, 0, 1, -1}},
    {32, {2147483647, -2147483648LL, 65536, 65535, -1}, {32767, -32768, 1, 0, -1}},
};

TEST(WavioRead, WavIntegerWidths) {
    ScratchDir dir;
    for (const IntCase& c : kIntCases) {
        std::string path = dir.file("int" + std::to_string(c.bits) + ".wav");
        test_support::write_bytes(path, wav_file(test_support::kWavPcm, 1, 22050, c.bits,
                                                 test_support::int_samples(c.stored, c.bits / 8)));
        auto audio = wavio::read_audio_i16(path);
        ASSERT_TRUE(audio.ok()) << c.bits << ": " << audio.error_text();
        EXPECT_EQ(audio->samples, c.expected) << c.bits << " bits";
        EXPECT_EQ(audio->sample_rate, 22050u);
    }
}

TEST(WavioRead, FlacIntegerWidths) {
    ScratchDir dir;
    const IntCase flac_cases[] = {
        {8, {127, -128, -1}, {127 * 256, -32768, -256}},
        {12, {2047, -2048, 1}, {32752, -32768, 16}},
        {16, {-32768, -1, 32767}, {-32768, -1, 32767}},
        {24, {8388607, -8388608, 255, -1}, {32767, -32768, 0, -1}},
        {32, {2147483647, -2147483648LL, 65536, -1}, {32767, -32768, 1, -1}},
    };
    for (const IntCase& c : flac_cases) {
        std::string path = dir.file("int" + std::to_string(c.bits) + ".flac");
        std::vector<int32_t> values(c.stored.begin(), c.stored.end());
        test_support::write_flac(path, 48000, 1, c.bits, values);
        auto audio = wavio::read_audio_i16(path);
        ASSERT_TRUE(audio.ok()) << c.bits << ": " << audio.error_text();
        EXPECT_EQ(audio->samples, c.expected) << c.bits << " bits";
        EXPECT_EQ(audio->sample_rate, 48000u);
    }
}

TEST(WavioRead, WavFloatSamples) {
    ScratchDir dir;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::string path = dir.file("float.wav");
    test_support::write_bytes(
        path, wav_file(test_support::kWavFloat, 1, 44100, 32,
                       test_support::float_samples(
                           {1.5f, 1.0f, 0.5f, -1.0f, -2.0f, nan, inf, -inf, 0.0f})));
    auto audio = wavio::read_audio_i16(path);
    ASSERT_TRUE(audio.ok()) << audio.error_text();
    EXPECT_EQ(audio->samples,
              (std::vector<int16_t>{32767, 32767, 16383, -32767, -32767, 0, 32767, -32767, 0}));
}

TEST(WavioRead, DoubleFloatWavIsRefused) {
    ScratchDir dir;
    std::vector<uint8_t> data(16, 0);
    std::string path = dir.file("double.wav");
    test_support::write_bytes(path, wav_file(test_support::kWavFloat, 1, 44100, 64, data));
    EXPECT_FALSE(wavio::read_audio_i16(path).ok());
}

TEST(WavioRead, FirstChannelOnly) {
    ScratchDir dir;
    for (uint16_t channels : {2, 6}) {
        // Frame f holds f * 10 + c in channel c.
        std::vector<int64_t> interleaved;
        for (int f = 0; f < 5; ++f) {
            for (int c = 0; c < channels; ++c) interleaved.push_back(f * 10 + c);
        }
        std::string wav = dir.file("multi" + std::to_string(channels) + ".wav");
        test_support::write_bytes(wav, wav_file(test_support::kWavPcm, channels, 32000, 16,
                                                test_support::int_samples(interleaved, 2)));
        std::string flac = dir.file("multi" + std::to_string(channels) + ".flac");
        test_support::write_flac(flac, 32000, channels, 16,
                                 std::vector<int32_t>(interleaved.begin(), interleaved.end()));
        for (const std::string& path : {wav, flac}) {
            auto audio = wavio::read_audio_i16(path);
            ASSERT_TRUE(audio.ok()) << path << ": " << audio.error_text();
            EXPECT_EQ(audio->samples, (std::vector<int16_t>{0, 10, 20, 30, 40})) << path;
            EXPECT_EQ(audio->sample_rate, 32000u);
        }
    }
}

TEST(WavioRead, EmptyDataChunk) {
    ScratchDir dir;
    std::string path = dir.file("empty.wav");
    test_support::write_bytes(path, wav_file(test_support::kWavPcm, 1, 11025, 16, {}));
    auto audio = wavio::read_audio_i16(path);
    ASSERT_TRUE(audio.ok()) << audio.error_text();
    EXPECT_TRUE(audio->samples.empty());
    EXPECT_EQ(audio->sample_rate, 11025u);
}

TEST(WavioRead, Failures) {
    ScratchDir dir;
    // The system's own text for a missing file, from either reader.
    for (const char* name : {"missing.wav", "missing.flac"}) {
        auto audio = wavio::read_audio_i16(dir.file(name));
        ASSERT_FALSE(audio.ok());
        EXPECT_EQ(audio.error_text(), std::strerror(ENOENT)) << name;
    }

    // A data chunk that declares more than the file holds.
    std::string short_wav = dir.file("short.wav");
    test_support::write_bytes(short_wav, wav_file(test_support::kWavPcm, 1, 8000, 16,
                                                  test_support::int_samples({1, 2, 3}, 2), 100));
    EXPECT_FALSE(wavio::read_audio_i16(short_wav).ok());

    // Not audio at all, under either name.
    std::vector<uint8_t> junk(200);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<uint8_t>(i * 37 + 11);
    test_support::write_bytes(dir.file("junk.wav"), junk);
    test_support::write_bytes(dir.file("junk.flac"), junk);
    EXPECT_FALSE(wavio::read_audio_i16(dir.file("junk.wav")).ok());
    EXPECT_FALSE(wavio::read_audio_i16(dir.file("junk.flac")).ok());

    // Other containers that libsndfile reads are not WAV.
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
    SNDFILE* aiff = sf_open(dir.file("aiff.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(aiff, nullptr);
    short two[2] = {1, 2};
    sf_write_short(aiff, two, 2);
    sf_close(aiff);
    EXPECT_FALSE(wavio::read_audio_i16(dir.file("aiff.wav")).ok());
}

// Reads `bytes` through a pipe, as "--decode /dev/stdin" does.
Result<wavio::Audio> read_through_pipe(const std::vector<uint8_t>& bytes) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return Error{"pipe"};
    std::thread writer([&] {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = ::write(fds[1], bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        ::close(fds[1]);
    });
    auto audio = wavio::read_audio_i16("/dev/fd/" + std::to_string(fds[0]));
    writer.join();
    ::close(fds[0]);
    return audio;
}

long peak_rss_kib() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(WavioRead, ThroughAPipe) {
    auto good = read_through_pipe(
        wav_file(test_support::kWavPcm, 1, 8000, 16, test_support::int_samples({5, -6, 7}, 2)));
    ASSERT_TRUE(good.ok()) << good.error_text();
    EXPECT_EQ(good->samples, (std::vector<int16_t>{5, -6, 7}));

    // A streaming header claims nearly 4 GB of data; a pipe cannot say otherwise
    // until it ends, so the claim must not be allocated up front.
    long before = peak_rss_kib();
    auto claimed = read_through_pipe(
        wav_file(test_support::kWavPcm, 1, 8000, 16, std::vector<uint8_t>(200, 1), 0xFFFFFFF0));
    EXPECT_LT(peak_rss_kib() - before, 256 * 1024);
    ASSERT_FALSE(claimed.ok());
    EXPECT_EQ(claimed.error_text(), "WAV data ended after 100 of 2147483640 frames");
}

TEST(WavioRead, FlacFailures) {
    ScratchDir dir;
    std::vector<int32_t> noise(20000);
    uint32_t x = 12345;
    for (auto& s : noise) {
        x = x * 1103515245u + 12345u;
        s = static_cast<int16_t>(x >> 16);
    }
    std::string good = dir.file("good.flac");
    test_support::write_flac(good, 8000, 1, 16, noise);
    auto bytes = test_support::read_bytes(good);

    // Cut inside the frames: all or nothing, so no partial samples come back.
    auto cut = bytes;
    cut.resize(bytes.size() / 2);
    test_support::write_bytes(dir.file("cut.flac"), cut);
    EXPECT_FALSE(wavio::read_audio_i16(dir.file("cut.flac")).ok());

    // Cut exactly where the second frame begins: libFLAC ends quietly there, and
    // the sample count declared in the stream information catches it.
    size_t frames_start = 4;
    for (bool last = false; !last;) {
        last = (bytes[frames_start] & 0x80) != 0;
        frames_start += 4 + ((size_t{bytes[frames_start + 1]} << 16) |
                             (size_t{bytes[frames_start + 2]} << 8) | bytes[frames_start + 3]);
    }
    size_t second = frames_start + 2;
    while (second + 1 < bytes.size() && !(bytes[second] == 0xFF && bytes[second + 1] == 0xF8)) {
        ++second;
    }
    auto at_frame = bytes;
    at_frame.resize(second);
    test_support::write_bytes(dir.file("at_frame.flac"), at_frame);
    auto shortened = wavio::read_audio_i16(dir.file("at_frame.flac"));
    ASSERT_FALSE(shortened.ok());
    EXPECT_EQ(shortened.error_text().rfind("FLAC stream ended after", 0), 0u)
        << shortened.error_text();

    // Damage in the middle of the frame data.
    auto damaged = bytes;
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i) damaged[i] ^= 0x5A;
    test_support::write_bytes(dir.file("damaged.flac"), damaged);
    EXPECT_FALSE(wavio::read_audio_i16(dir.file("damaged.flac")).ok());

    // A stream information block declaring a rate of 0 (20 bits from byte 18).
    auto zero_rate = bytes;
    zero_rate[18] = 0;
    zero_rate[19] = 0;
    zero_rate[20] &= 0x0F;
    test_support::write_bytes(dir.file("rate0.flac"), zero_rate);
    auto audio = wavio::read_audio_i16(dir.file("rate0.flac"));
    ASSERT_FALSE(audio.ok());
    EXPECT_EQ(audio.error_text(), "FLAC stream declares a sample rate of 0");

    // The largest sample count the stream information can declare (36 bits from
    // the low half of byte 21) is a claim, not an amount of memory to set aside.
    auto huge_count = bytes;
    huge_count[21] |= 0x0F;
    for (size_t i = 22; i < 26; ++i) huge_count[i] = 0xFF;
    test_support::write_bytes(dir.file("huge_count.flac"), huge_count);
    auto claimed = wavio::read_audio_i16(dir.file("huge_count.flac"));
    ASSERT_FALSE(claimed.ok());
    EXPECT_EQ(claimed.error_text(), "FLAC stream ended after 20000 of 68719476735 samples");

    // The stream information block turned into padding: the samples cannot be
    // interpreted without it.
    auto no_info = bytes;
    no_info[4] = static_cast<uint8_t>((no_info[4] & 0x80) | 1);
    test_support::write_bytes(dir.file("noinfo.flac"), no_info);
    auto without = wavio::read_audio_i16(dir.file("noinfo.flac"));
    ASSERT_FALSE(without.ok());
    EXPECT_EQ(without.error_text(), "FLAC stream has no stream information block");

    auto ok = wavio::read_audio_i16(good);
    ASSERT_TRUE(ok.ok()) << ok.error_text();
    EXPECT_EQ(ok->samples.size(), noise.size());
}

TEST(WavioRead, FlacDeclaredTotalIsALowerBound) {
    // The stream information's sample count (36 bits from the low half of byte
    // 21) is informative: a stream holding more is read whole, one holding fewer
    // was cut short, and 0 means unknown.
    ScratchDir dir;
    // Several frames of 4096, so that a decoder stopping at the declared total
    // would show.
    std::vector<int32_t> values(20000);
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<int32_t>((i * 7919u) % 65536u) - 32768;
    }
    std::string good = dir.file("good.flac");
    test_support::write_flac(good, 8000, 1, 16, values);
    const auto bytes = test_support::read_bytes(good);

    struct Case {
        uint64_t declared;
        const char* error;  // nullptr: every sample comes back
    };
    const Case cases[] = {
        {0, nullptr},
        {1, nullptr},
        {100, nullptr},
        {4096, nullptr},
        {19999, nullptr},
        {20000, nullptr},
        {20001, "FLAC stream ended after 20000 of 20001 samples"},
        {uint64_t{1} << 35, "FLAC stream ended after 20000 of 34359738368 samples"},
    };
    for (const Case& c : cases) {
        auto patched = bytes;
        patched[21] = static_cast<uint8_t>((patched[21] & 0xF0) | ((c.declared >> 32) & 0x0F));
        for (int i = 0; i < 4; ++i) {
            patched[22 + i] = static_cast<uint8_t>(c.declared >> (24 - 8 * i));
        }
        std::string path = dir.file("declared" + std::to_string(c.declared) + ".flac");
        test_support::write_bytes(path, patched);
        auto audio = wavio::read_audio_i16(path);
        if (c.error != nullptr) {
            ASSERT_FALSE(audio.ok()) << c.declared;
            EXPECT_EQ(audio.error_text(), c.error);
            continue;
        }
        ASSERT_TRUE(audio.ok()) << c.declared << ": " << audio.error_text();
        EXPECT_EQ(audio->sample_rate, 8000u);
        ASSERT_EQ(audio->samples.size(), values.size()) << c.declared;
        for (size_t i = 0; i < values.size(); ++i) {
            ASSERT_EQ(audio->samples[i], values[i]) << c.declared << " at " << i;
        }
    }
}

TEST(WavioWrite, ExactHeaderForThreeSamples) {
    ScratchDir dir;
    std::string path = dir.file("three.wav");
    const int16_t samples[] = {1, -2, 0x1234};
    ASSERT_TRUE(wavio::write_wav_i16(path, samples, 48000).ok());
    const std::vector<uint8_t> expected = {
        'R', 'I', 'F', 'F', 42,  0,   0, 0,    'W',  'A', 'V',  'E',  'f',  'm',  't',  ' ', 16,
        0,   0,   0,   1,   0,   1,   0, 0x80, 0xBB, 0,   0,    0x00, 0x77, 0x01, 0,    2,   0,
        16,  0,   'd', 'a', 't', 'a', 6, 0,    0,    0,   0x01, 0x00, 0xFE, 0xFF, 0x34, 0x12};
    EXPECT_EQ(test_support::read_bytes(path), expected);

    auto back = wavio::read_audio_i16(path);
    ASSERT_TRUE(back.ok()) << back.error_text();
    EXPECT_EQ(back->samples, (std::vector<int16_t>{1, -2, 0x1234}));
    EXPECT_EQ(back->sample_rate, 48000u);
}

TEST(WavioWrite, ZeroSamplesAndModeAndTruncation) {
    ScratchDir dir;
    std::string path = dir.file("zero.wav");
    // An existing longer file is truncated.
    test_support::write_bytes(path, std::vector<uint8_t>(1000, 0xAA));
    ASSERT_TRUE(wavio::write_wav_i16(path, {}, 8000).ok());
    auto bytes = test_support::read_bytes(path);
    ASSERT_EQ(bytes.size(), 44u);
    EXPECT_EQ(bytes[4], 36);
    EXPECT_EQ(bytes[40], 0);

    std::string fresh = dir.file("fresh.wav");
    mode_t mask = ::umask(022);
    Status written = wavio::write_wav_i16(fresh, {}, 8000);
    ::umask(mask);
    ASSERT_TRUE(written.ok());
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(WavioWrite, LongRecordingRoundTrips) {
    ScratchDir dir;
    std::vector<int16_t> samples(100000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 7919);
    std::string path = dir.file("long.wav");
    ASSERT_TRUE(wavio::write_wav_i16(path, samples, 44100).ok());
    EXPECT_EQ(std::filesystem::file_size(path), 44 + 2 * samples.size());
    auto back = wavio::read_audio_i16(path);
    ASSERT_TRUE(back.ok()) << back.error_text();
    EXPECT_EQ(back->samples, samples);
}

TEST(WavioWrite, Refusals) {
    ScratchDir dir;
    Status missing_dir = wavio::write_wav_i16(dir.file("no/such/dir.wav"), {}, 8000);
    ASSERT_FALSE(missing_dir.ok());
    EXPECT_EQ(missing_dir.error_text(), std::strerror(ENOENT));

    // One sample more than the 32-bit size fields can describe. The range is
    // reserved address space that is never touched.
    constexpr size_t kTooMany = (size_t{0xFFFFFFFF} - 36) / 2 + 1;
    void* region = ::mmap(nullptr, kTooMany * 2, PROT_READ,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(region, MAP_FAILED);
    std::span<const int16_t> huge(static_cast<const int16_t*>(region), kTooMany);
    std::string path = dir.file("huge.wav");
    EXPECT_FALSE(wavio::write_wav_i16(path, huge, 8000).ok());
    ::munmap(region, kTooMany * 2);
    EXPECT_FALSE(std::filesystem::exists(path));

    EXPECT_FALSE(wavio::write_wav_i16(dir.file("rate0.wav"), {}, 0).ok());
    EXPECT_FALSE(std::filesystem::exists(dir.file("rate0.wav")));
}

}  // namespace
