// The process's command line: arguments separated by 0 bytes. Each must fit
// exactly one form: a tool with its arguments, a lone mode name, a socket
// path (never one beginning with "-"), or the usage; the recorder's arguments
// must parse to settings they hold.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "quillmar_modem.h"
#include "record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args;
    while (!text.empty() && args.size() < 16) {
        const size_t end = text.find('\0');
        args.emplace_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    }

    using quillmar_modem::Mode;
    const quillmar_modem::Command command = quillmar_modem::parse_command_line(args);
    const std::vector<std::string> rest =
        args.empty() ? std::vector<std::string>{}
                     : std::vector<std::string>(args.begin() + 1, args.end());
    switch (command.mode) {
        case Mode::Decode:
        case Mode::Record:
            FUZZ_CHECK(args[0] == (command.mode == Mode::Decode ? "--decode" : "--record"));
            FUZZ_CHECK(command.args == rest);
            break;
        case Mode::Socket:
            FUZZ_CHECK(args.size() == 1 && command.args == args);
            FUZZ_CHECK(!args[0].starts_with('-'));
            for (const char* mode : {"--version", "--list-usb", "--list-cm108", "--list-audio",
                                     "--decode", "--record"}) {
                FUZZ_CHECK(args[0] != mode);
            }
            break;
        case Mode::Usage:
            FUZZ_CHECK(command.args.empty());
            FUZZ_CHECK(args.size() != 1 || args[0].starts_with('-'));
            FUZZ_CHECK(args.empty() || (args[0] != "--decode" && args[0] != "--record"));
            break;
        default:
            FUZZ_CHECK(args.size() == 1 && command.args.empty() && args[0].starts_with("--"));
    }

    if (command.mode == Mode::Record) {
        if (auto parsed = record::parse_args(command.args)) {
            FUZZ_CHECK(parsed->device == command.args[0]);
            FUZZ_CHECK(parsed->seconds <= record::kMaxSeconds);
            FUZZ_CHECK(std::find(command.args.begin() + 1, command.args.end(), parsed->out) !=
                       command.args.end());
            // Given again in canonical form, the settings read the same.
            const std::vector<std::string> again = {
                parsed->device, "--seconds", std::to_string(parsed->seconds), "--out",
                parsed->out,    "--rate",    std::to_string(parsed->rate)};
            auto reparsed = record::parse_args(again);
            FUZZ_CHECK(reparsed && *reparsed == *parsed);
        }
    }
    return 0;
}
