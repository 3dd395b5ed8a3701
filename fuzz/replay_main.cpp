// A plain driver for the fuzz targets: runs every input named on the command
// line (a file, or each regular file of a directory, in name order) through
// LLVMFuzzerTestOneInput once. A target's own checks abort on a fault; the
// sanitizers of the build report the rest.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool run_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
    // A copy of exactly the input's size, so that reading past its end shows;
    // an empty input still comes with a valid pointer, as under libFuzzer.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    static const uint8_t kNothing = 0;
    LLVMFuzzerTestOneInput(input.empty() ? &kNothing : input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <file or directory>...\n", argv[0]);
        return 2;
    }
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg = argv[i];
        std::error_code ec;
        if (!std::filesystem::is_directory(arg, ec)) {
            if (!run_file(arg)) return 1;
            ++replayed;
            continue;
        }
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        if (ec) {
            std::fprintf(stderr, "replay: cannot list %s: %s\n", arg.c_str(), ec.message().c_str());
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            if (!run_file(file)) return 1;
            ++replayed;
        }
    }
    std::fprintf(stderr, "replay: %zu inputs\n", replayed);
    return replayed == 0 ? 1 : 0;
}
