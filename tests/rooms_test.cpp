// The sources form rooms (one library each) whose dependencies point inwards.
// This test reads every file's room from the build's rooms.txt (written by
// src/CMakeLists.txt from its file lists) and the #include lines of every file
// under src/, and refuses a file that belongs to no room and an include that
// reaches a room (or a library) its own room may not use.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

using RoomOf = std::map<std::string, std::string>;  // path below src/ -> room

// The rooms each room may include from (its own included).
const std::map<std::string, std::set<std::string>>& allowed_rooms() {
    static const std::map<std::string, std::set<std::string>> table = {
        {"core", {"core"}},
        {"ipc", {"core", "ipc"}},
        {"audio", {"core", "ipc", "audio"}},
        {"ptt", {"core", "ipc", "ptt"}},
        {"tools", {"core", "ipc", "audio", "tools"}},
        {"orchestrator", {"core", "ipc", "audio", "ptt", "tools", "orchestrator"}},
        {"executable", {"orchestrator", "executable"}},
    };
    return table;
}

// System headers a room may not include: the libraries it does not link.
struct Forbidden {
    std::string prefix;
    std::string what;
};
const std::map<std::string, std::vector<Forbidden>>& forbidden_headers() {
    static const std::vector<Forbidden> libraries = {
        {"alsa/", "ALSA"},       {"FLAC", "FLAC"},           {"sndfile", "libsndfile"},
        {"hidapi", "hidapi"},    {"nlohmann/", "JSON"},      {"linux/gpio", "GPIO"},
    };
    static const std::vector<Forbidden> threads_and_io = {
        {"google/protobuf", "protobuf"}, {"thread", "threads"},   {"mutex", "threads"},
        {"condition_variable", "threads"}, {"future", "threads"}, {"pthread.h", "threads"},
        {"sys/socket.h", "sockets"},
    };
    static const std::map<std::string, std::vector<Forbidden>> table = [] {
        std::vector<Forbidden> core = libraries;
        core.insert(core.end(), threads_and_io.begin(), threads_and_io.end());
        std::vector<Forbidden> ipc = libraries;
        return std::map<std::string, std::vector<Forbidden>>{{"core", core}, {"ipc", ipc}};
    }();
    return table;
}

RoomOf read_rooms(const fs::path& manifest) {
    RoomOf rooms;
    std::ifstream in(manifest);
    std::string room, path;
    while (in >> room >> path) rooms[path] = room;
    return rooms;
}

// The text between the delimiters of an #include line, with its kind.
struct Include {
    std::string name;
    bool quoted = false;
};
std::vector<Include> includes_of(const fs::path& file) {
    std::vector<Include> found;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t p = line.find_first_not_of(" \t");
        if (p == std::string::npos || line[p] != '#') continue;
        p = line.find_first_not_of(" \t", p + 1);
        if (p == std::string::npos || line.compare(p, 7, "include") != 0) continue;
        p = line.find_first_of("\"<", p + 7);
        if (p == std::string::npos) continue;
        const char close = line[p] == '"' ? '"' : '>';
        const std::size_t end = line.find(close, p + 1);
        if (end == std::string::npos) continue;
        found.push_back({line.substr(p + 1, end - p - 1), close == '"'});
    }
    return found;
}

// The room of a quoted include of `from` (a path below src/): the project's
// includes name paths below src/ or beside the including file; the generated
// message code belongs to ipc. Empty when the name is none of these.
std::string room_of_include(const RoomOf& rooms, const std::string& from, const std::string& name) {
    if (name.rfind("proto/", 0) == 0) return "ipc";
    if (auto it = rooms.find(fs::path(name).lexically_normal().string()); it != rooms.end()) {
        return it->second;
    }
    const std::string beside = (fs::path(from).parent_path() / name).lexically_normal().string();
    if (auto it = rooms.find(beside); it != rooms.end()) return it->second;
    return {};
}

// Every complaint about the tree at `src_root` given the rooms of its files.
std::vector<std::string> check_rooms(const fs::path& src_root, const RoomOf& rooms) {
    std::vector<std::string> complaints;
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(src_root)) {
        const std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
        files.push_back(entry.path().lexically_relative(src_root).string());
    }
    std::sort(files.begin(), files.end());
    for (const auto& [path, room] : rooms) {
        if (!fs::exists(src_root / path)) complaints.push_back(path + " is listed but missing");
    }
    for (const std::string& file : files) {
        auto it = rooms.find(file);
        if (it == rooms.end()) {
            complaints.push_back(file + " belongs to no room");
            continue;
        }
        const std::string& room = it->second;
        const auto& allowed = allowed_rooms().at(room);
        const auto forbidden = forbidden_headers().find(room);
        for (const Include& include : includes_of(src_root / file)) {
            if (include.quoted) {
                const std::string target = room_of_include(rooms, file, include.name);
                if (target.empty()) {
                    complaints.push_back(file + " includes \"" + include.name +
                                         "\", which belongs to no room");
                } else if (!allowed.count(target)) {
                    complaints.push_back(file + " (" + room + ") includes \"" + include.name +
                                         "\" of room " + target);
                }
                continue;
            }
            if (forbidden == forbidden_headers().end()) continue;
            for (const Forbidden& f : forbidden->second) {
                if (include.name.rfind(f.prefix, 0) == 0) {
                    complaints.push_back(file + " (" + room + ") includes <" + include.name +
                                         ">: " + f.what + " is not for this room");
                }
            }
        }
    }
    return complaints;
}

std::string joined(const std::vector<std::string>& lines) {
    std::ostringstream out;
    for (const auto& line : lines) out << line << "\n";
    return out.str();
}

TEST(Rooms, ProjectSourcesKeepTheirDependenciesInwards) {
    const RoomOf rooms = read_rooms(fs::path(QUILLMAR_BINARY_DIR) / "rooms.txt");
    ASSERT_FALSE(rooms.empty());
    for (const auto& [path, room] : rooms) {
        EXPECT_TRUE(allowed_rooms().count(room)) << path << ": unknown room " << room;
    }
    const auto complaints = check_rooms(fs::path(QUILLMAR_SOURCE_DIR) / "src", rooms);
    EXPECT_TRUE(complaints.empty()) << joined(complaints);
}

TEST(Rooms, FixtureTreeShowsEachKindOfComplaint) {
    test_support::ScratchDir dir;
    const fs::path src = dir.path() / "src";
    fs::create_directories(src / "ipc");
    fs::create_directories(src / "audio");
    auto write = [&](const std::string& path, const std::string& text) {
        std::ofstream(src / path) << text;
    };
    write("dsp.h", "#pragma once\n#include <vector>\n");
    // Upward: the core reaching into the audio room, once through a path
    // beside the file and once with blanks after the hash.
    write("dsp.cpp", "#include \"dsp.h\"\n# include \"audio/alsa.h\"\n");
    write("audio/alsa.h", "#pragma once\n#include \"ipc/handle.h\"\n#include \"../dsp.h\"\n");
    write("ipc/handle.h", "#pragma once\n#include <thread>\n#include \"proto/quillmar.pb.h\"\n");
    // The core may not use threads.
    write("filter.h", "#pragma once\n#include <mutex>\n");
    write("stray.h", "#pragma once\n");
    const RoomOf rooms = {{"dsp.h", "core"},           {"dsp.cpp", "core"},
                          {"audio/alsa.h", "audio"},   {"ipc/handle.h", "ipc"},
                          {"filter.h", "core"},        {"gone.h", "core"}};

    EXPECT_EQ(joined(check_rooms(src, rooms)),
              "gone.h is listed but missing\n"
              "dsp.cpp (core) includes \"audio/alsa.h\" of room audio\n"
              "filter.h (core) includes <mutex>: threads is not for this room\n"
              "stray.h belongs to no room\n");
}

}  // namespace
