#include "ipc/wire_check.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "ipc/utf8.h"

namespace ipc::wire_check {

namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;

enum WireType : uint32_t {
    kVarint = 0,
    kFixed64 = 1,
    kLengthDelimited = 2,
    kStartGroup = 3,
    kEndGroup = 4,
    kFixed32 = 5,
};

// A failure and the path to it, innermost frame first (frames are added while
// the walk unwinds).
struct Failure {
    std::string reason;
    std::vector<std::string> path;
};

struct Cursor {
    const uint8_t* p;
    const uint8_t* end;

    size_t left() const { return static_cast<size_t>(end - p); }
};

// Reads one varint of at most 10 bytes. Returns the failure text, or nullptr.
const char* read_varint(Cursor& c, uint64_t* value, size_t* length = nullptr) {
    uint64_t v = 0;
    for (size_t i = 0; i < 10; ++i) {
        if (c.p == c.end) return "truncated varint";
        const uint8_t b = *c.p++;
        v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0) {
            *value = v;
            if (length != nullptr) *length = i + 1;
            return nullptr;
        }
    }
    return "varint longer than 10 bytes";
}

struct Key {
    uint32_t number;
    uint32_t wire_type;
};

// Reads and validates one key: at most 5 bytes, field number not 0, wire type
// not 6 or 7.
std::optional<Failure> read_key(Cursor& c, Key* key) {
    uint64_t raw = 0;
    size_t length = 0;
    if (const char* why = read_varint(c, &raw, &length)) return Failure{why, {}};
    if (length > 5 || raw > UINT32_MAX) return Failure{"invalid key", {}};
    key->number = static_cast<uint32_t>(raw >> 3);
    key->wire_type = static_cast<uint32_t>(raw & 7);
    if (key->number == 0) return Failure{"field number 0", {}};
    if (key->wire_type > kFixed32) {
        return Failure{fmt::format("invalid wire type {}", key->wire_type), {}};
    }
    return std::nullopt;
}

// Reads a length prefix and splits off the bytes it covers.
std::optional<Failure> read_length_delimited(Cursor& c, Cursor* inner) {
    uint64_t length = 0;
    if (const char* why = read_varint(c, &length)) return Failure{why, {}};
    if (length > c.left()) {
        return Failure{fmt::format("length {} runs past the end ({} bytes left)", length, c.left()),
                       {}};
    }
    *inner = Cursor{c.p, c.p + length};
    c.p += length;
    return std::nullopt;
}

std::optional<Failure> skip_bytes(Cursor& c, size_t n) {
    if (c.left() < n) {
        return Failure{fmt::format("fewer than {} bytes left for a {}-bit value", n, n * 8), {}};
    }
    c.p += n;
    return std::nullopt;
}

std::optional<Failure> skip_group(Cursor& c, uint32_t number, int depth);

// Skips the value of a field the schema does not define, by its wire type.
std::optional<Failure> skip_value(Cursor& c, const Key& key, int depth) {
    switch (key.wire_type) {
        case kVarint: {
            uint64_t ignored = 0;
            if (const char* why = read_varint(c, &ignored)) return Failure{why, {}};
            return std::nullopt;
        }
        case kFixed64:
            return skip_bytes(c, 8);
        case kFixed32:
            return skip_bytes(c, 4);
        case kLengthDelimited: {
            Cursor ignored{};
            return read_length_delimited(c, &ignored);
        }
        case kStartGroup:
            return skip_group(c, key.number, depth + 1);
        default:
            return Failure{"end-group marker out of place", {}};
    }
}

// Skips a group up to its matching end marker.
std::optional<Failure> skip_group(Cursor& c, uint32_t number, int depth) {
    if (depth > MAX_NESTING) {
        return Failure{fmt::format("nesting deeper than {} levels", MAX_NESTING), {}};
    }
    for (;;) {
        if (c.left() == 0) return Failure{"unterminated group", {}};
        Key key{};
        if (auto f = read_key(c, &key)) return f;
        if (key.wire_type == kEndGroup) {
            if (key.number == number) return std::nullopt;
            return Failure{"end-group marker out of place", {}};
        }
        if (auto f = skip_value(c, key, depth)) return f;
    }
}

uint32_t wire_type_of(const FieldDescriptor& field) {
    switch (field.type()) {
        case FieldDescriptor::TYPE_FLOAT:
        case FieldDescriptor::TYPE_FIXED32:
        case FieldDescriptor::TYPE_SFIXED32:
            return kFixed32;
        case FieldDescriptor::TYPE_DOUBLE:
        case FieldDescriptor::TYPE_FIXED64:
        case FieldDescriptor::TYPE_SFIXED64:
            return kFixed64;
        case FieldDescriptor::TYPE_STRING:
        case FieldDescriptor::TYPE_BYTES:
        case FieldDescriptor::TYPE_MESSAGE:
            return kLengthDelimited;
        case FieldDescriptor::TYPE_GROUP:
            return kStartGroup;
        default:
            return kVarint;
    }
}

// "Message.field"; a member of a oneof goes by the oneof's name.
std::string frame_name(const Descriptor& type, const FieldDescriptor& field) {
    const auto* oneof = field.containing_oneof();
    return fmt::format("{}.{}", type.name(), oneof != nullptr ? oneof->name() : field.name());
}

std::optional<Failure> check_message(const Descriptor& type, Cursor c, int depth);

// Checks the elements of a packed repeated scalar field.
std::optional<Failure> check_packed(const FieldDescriptor& field, Cursor c) {
    const uint32_t element = wire_type_of(field);
    if (element == kVarint) {
        while (c.left() > 0) {
            uint64_t ignored = 0;
            if (const char* why = read_varint(c, &ignored)) return Failure{why, {}};
        }
        return std::nullopt;
    }
    const size_t width = element == kFixed32 ? 4 : 8;
    if (c.left() % width != 0) {
        return Failure{fmt::format("packed length {} is not a multiple of {}", c.left(), width),
                       {}};
    }
    return std::nullopt;
}

// Checks the value of a field the schema defines.
std::optional<Failure> check_value(Cursor& c, const FieldDescriptor& field, const Key& key,
                                   int depth) {
    const uint32_t expected = wire_type_of(field);
    const bool packed =
        key.wire_type == kLengthDelimited && field.is_repeated() && field.is_packable();
    if (key.wire_type != expected && !packed) {
        return Failure{fmt::format("wire type {} does not match field type {}", key.wire_type,
                                   field.type_name()),
                       {}};
    }
    if (key.wire_type != kLengthDelimited) return skip_value(c, key, depth);

    Cursor inner{};
    if (auto f = read_length_delimited(c, &inner)) return f;
    if (packed) return check_packed(field, inner);
    switch (field.type()) {
        case FieldDescriptor::TYPE_STRING: {
            const std::string_view text(reinterpret_cast<const char*>(inner.p), inner.left());
            if (!utf8::is_valid(text)) return Failure{"text is not valid UTF-8", {}};
            return std::nullopt;
        }
        case FieldDescriptor::TYPE_MESSAGE:
            return check_message(*field.message_type(), inner, depth + 1);
        default:
            return std::nullopt;
    }
}

std::optional<Failure> check_message(const Descriptor& type, Cursor c, int depth) {
    if (depth > MAX_NESTING) {
        return Failure{fmt::format("nesting deeper than {} levels", MAX_NESTING),
                       {std::string(type.name())}};
    }
    while (c.left() > 0) {
        Key key{};
        std::optional<Failure> failure = read_key(c, &key);
        if (!failure && key.wire_type == kEndGroup) {
            failure = Failure{"end-group marker out of place", {}};
        }
        if (failure) {
            failure->path.emplace_back(type.name());
            return failure;
        }
        const FieldDescriptor* field = type.FindFieldByNumber(static_cast<int>(key.number));
        if (field == nullptr) {
            if (auto f = skip_value(c, key, depth)) {
                f->path.emplace_back(type.name());
                return f;
            }
            continue;
        }
        if (auto f = check_value(c, *field, key, depth)) {
            f->path.push_back(frame_name(type, *field));
            return f;
        }
    }
    return std::nullopt;
}

}  // namespace

Status check(const Descriptor& type, std::span<const uint8_t> body) {
    const Cursor c{body.data(), body.data() + body.size()};
    auto failure = check_message(type, c, 0);
    if (!failure) return Status::success();
    std::string path;
    for (auto it = failure->path.rbegin(); it != failure->path.rend(); ++it) {
        if (!path.empty()) path += " > ";
        path += *it;
    }
    return make_error("{} (in {})", failure->reason, path);
}

}  // namespace ipc::wire_check
