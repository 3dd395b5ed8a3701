#pragma once

// What the fuzz targets share: a check that reports and aborts (a finding
// under libFuzzer, a failed test under the replay driver), a reader that cuts
// settings off the front of an input, and scratch files for targets whose code
// under test reads a path.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#define FUZZ_CHECK(...)                                                                          \
    do {                                                                                         \
        if (!(__VA_ARGS__)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #__VA_ARGS__); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

namespace fuzz {

// Takes values off the front of an input; past its end every value is 0 or
// empty, so any input is a complete one.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : rest_(data, size) {}

    uint8_t u8() {
        if (rest_.empty()) return 0;
        const uint8_t v = rest_[0];
        rest_ = rest_.subspan(1);
        return v;
    }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (unsigned{u8()} << 8)); }
    uint32_t u32() { return u16() | (uint32_t{u16()} << 16); }
    bool flag() { return (u8() & 1) != 0; }

    // Up to `n` bytes.
    std::span<const uint8_t> bytes(size_t n) {
        const size_t take = n < rest_.size() ? n : rest_.size();
        const auto out = rest_.first(take);
        rest_ = rest_.subspan(take);
        return out;
    }
    // A text of up to `max` bytes, its length taken first.
    std::string text(size_t max) {
        const auto b = bytes(u8() % (max + 1));
        return std::string(b.begin(), b.end());
    }
    // Everything not yet taken.
    std::span<const uint8_t> rest() {
        const auto out = rest_;
        rest_ = {};
        return out;
    }
    size_t remaining() const { return rest_.size(); }

private:
    std::span<const uint8_t> rest_;
};

// A directory of its own under the temporary directory for the life of the
// process (shared memory when the system has it, so files cost no disk),
// removed at exit.
inline const std::string& scratch_dir() {
    struct Dir {
        std::string path;
        Dir() {
            const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
            path = std::string(base) + "/quillmar-fuzz-XXXXXX";
            if (::mkdtemp(path.data()) == nullptr) {
                std::perror("mkdtemp");
                std::abort();
            }
        }
        ~Dir() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Dir dir;
    return dir.path;
}

// Writes `bytes` to the scratch file `name` and returns its path.
inline std::string write_scratch(const std::string& name, std::span<const uint8_t> bytes) {
    const std::string path = scratch_dir() + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    FUZZ_CHECK(std::fclose(f) == 0);
    return path;
}

}  // namespace fuzz
