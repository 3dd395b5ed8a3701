#include "quillmar_modem.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>

#include "audio/alsa.h"
#include "cm108.h"
#include "decode.h"
#include "invariant.h"
#include "ipc/proto.h"
#include "list_audio.h"
#include "list_usb.h"
#include "record.h"
#include "result.h"
#include "socket_mode.h"
#include "tx/crash_unkey.h"
#include "version.h"

namespace quillmar_modem {

namespace {

// Writes `document` and a newline to standard output. A document that did not
// reach standard output is a failure, reported here.
int print_document(std::string_view document) {
    if (std::fwrite(document.data(), 1, document.size(), stdout) != document.size() ||
        std::fputc('\n', stdout) == EOF || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "quillmar-modem: write to standard output: %s\n",
                     std::strerror(errno));
        return kExitFailure;
    }
    return kExitSuccess;
}

int run_version() {
    return print_document(full_version());
}

int run_list_cm108() {
    Result<std::string> document = cm108::enumerate_cm108();
    if (!document) {
        std::fprintf(stderr, "quillmar-modem: cm108 enumerate: %s\n",
                     document.error_text().c_str());
        return kExitFailure;
    }
    return print_document(*document);
}

int run_decode(std::span<const std::string> args) {
    Status status = decode::run(args);
    if (!status) {
        std::fprintf(stderr, "decode: %s\n", status.error_text().c_str());
        return kExitFailure;
    }
    return kExitSuccess;
}

int run_record(std::span<const std::string> args) {
    Status status = record::run(args);
    if (!status) {
        std::fprintf(stderr, "record: %s\n", status.error_text().c_str());
        return kExitFailure;
    }
    return kExitSuccess;
}

int run_usage() {
    std::fputs(usage_text(), stderr);
    return kExitUsage;
}

}  // namespace

const char* usage_text() {
    return "usage: quillmar-modem <socket-path>\n"
           "       quillmar-modem --record <device> --seconds <N> --out <file.wav> [--rate <hz>]\n"
           "       quillmar-modem --decode <file.wav|file.flac>\n"
           "       quillmar-modem --list-audio | --list-cm108 | --list-usb | --version\n";
}

Command parse_command_line(std::span<const std::string> args) {
    if (args.empty()) return {Mode::Usage, {}};
    const std::string& first = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    // The tools that take arguments take all of them, and no others.
    if (first == "--decode") return {Mode::Decode, std::move(rest)};
    if (first == "--record") return {Mode::Record, std::move(rest)};
    if (args.size() > 1) return {Mode::Usage, {}};
    if (first == "--version") return {Mode::Version, {}};
    if (first == "--list-usb") return {Mode::ListUsb, {}};
    if (first == "--list-cm108") return {Mode::ListCm108, {}};
    if (first == "--list-audio") return {Mode::ListAudio, {}};
    // An option this program does not know ("--help", "-h") is a usage error,
    // never a socket path; a path beginning with "-" is given as "./-name".
    if (first.starts_with('-')) return {Mode::Usage, {}};
    return {Mode::Socket, {first}};
}

namespace {

int run(int argc, char** argv) {
    // A crash writes the unkeyed level to every line that may be keyed before
    // the process ends.
    crash_unkey::install();
    // A write to a connection the peer has closed, or past the file-size
    // limit, must fail with an error instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // Standard error carries only this program's own lines.
    ipc::silence_protobuf_logs();

    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    Command command = parse_command_line(args);

    switch (command.mode) {
        case Mode::Usage:
            return run_usage();
        case Mode::Version:
            return run_version();
        case Mode::Decode:
            return run_decode(command.args);
        case Mode::Record:
            return run_record(command.args);
        case Mode::ListUsb:
            return print_document(list_usb::run());
        case Mode::ListCm108:
            return run_list_cm108();
        case Mode::ListAudio:
            return print_document(list_audio::run());
        case Mode::Socket:
            return run_socket_mode(command.args.front());
    }
    return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    // libasound's messages never reach standard error.
    alsa::silence_library_log();
    try {
        return run(argc, argv);
    } catch (const invariant::BrokenInvariant&) {
        // Already reported; every owner on the way here has torn down.
        return invariant::kExitStatus;
    } catch (const std::exception& e) {
        // Caught so that the owners on the way here tear down (a transmission
        // in hand unkeys) instead of the process ending where it stands.
        std::fprintf(stderr, "quillmar-modem: fatal: %s\n", e.what());
        return invariant::kExitStatus;
    } catch (...) {
        std::fprintf(stderr, "quillmar-modem: fatal: unknown exception\n");
        return invariant::kExitStatus;
    }
}

}  // namespace quillmar_modem
