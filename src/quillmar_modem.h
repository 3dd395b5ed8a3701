#pragma once

// The process entry: reads the command line and runs one of the one-shot tools,
// the version query, or the modem process proper (socket mode).

#include <span>
#include <string>
#include <vector>

namespace quillmar_modem {

// Exit statuses of the process.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// What a command line asks for.
enum class Mode {
    Usage,      // fits no form, or an unknown option: the usage lines, status 2
    Version,    // "--version"
    Decode,     // "--decode" and its arguments
    Record,     // "--record" and its arguments
    ListUsb,    // "--list-usb"
    ListCm108,  // "--list-cm108"
    ListAudio,  // "--list-audio"
    Socket,     // one other argument, not beginning with "-": the socket path
};

struct Command {
    Mode mode = Mode::Usage;
    // The tool's arguments (those after the first), or the socket path alone.
    std::vector<std::string> args;
};

// Chooses the mode from the arguments after the program name. The first argument
// is compared byte for byte; a single argument that is not a mode name is a
// socket path unless it begins with "-", which makes it an unknown option.
Command parse_command_line(std::span<const std::string> args);

// The four usage lines, each ending in a newline.
const char* usage_text();

// Runs the process for argv and returns its exit status.
int main(int argc, char** argv);

}  // namespace quillmar_modem
