#include "ipc/message_codec.h"

#include <climits>
#include <cmath>
#include <type_traits>

#include "ipc/wire_check.h"

namespace ipc::ipc_message {

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

bool is_negative_zero(double x) {
    return x == 0.0 && std::signbit(x);
}

// Visits every float field of `message` that holds -0.0, at any depth. With a
// const message it only tells whether there is one (stopping at the first);
// with a mutable one it replaces each by +0.0 and tells whether it did.
template <class M>
bool negative_zero_walk(M& message);

bool has_negative_zero(const Message& message) {
    return negative_zero_walk(message);
}
void clear_negative_zero(Message& message) {
    negative_zero_walk(message);
}

void append_encoding(const proto::IpcMessage& message, std::vector<uint8_t>& out) {
    const size_t length = message.ByteSizeLong();
    const size_t start = out.size();
    out.resize(start + length);
    message.SerializeWithCachedSizesToArray(out.data() + start);
}

}  // namespace

Result<proto::IpcMessage> decode(std::span<const uint8_t> body) {
    if (auto checked = wire_check::check(*proto::IpcMessage::descriptor(), body); !checked) {
        return checked.error();
    }
    proto::IpcMessage message;
    if (body.size() > INT_MAX ||
        !message.ParseFromArray(body.data(), static_cast<int>(body.size()))) {
        return make_error("malformed message (in IpcMessage)");
    }
    message.DiscardUnknownFields();
    return message;
}

size_t encoded_len(const proto::IpcMessage& message) {
    if (!has_negative_zero(message)) return message.ByteSizeLong();
    proto::IpcMessage normalised(message);
    clear_negative_zero(normalised);
    return normalised.ByteSizeLong();
}

void encode(const proto::IpcMessage& message, std::vector<uint8_t>& out) {
    if (!has_negative_zero(message)) {
        append_encoding(message, out);
        return;
    }
    proto::IpcMessage normalised(message);
    clear_negative_zero(normalised);
    append_encoding(normalised, out);
}

namespace {

template <class M>
bool negative_zero_walk(M& message) {
    constexpr bool fix = !std::is_const_v<M>;
    const auto* type = message.GetDescriptor();
    const auto* reflection = message.GetReflection();
    bool found = false;
    for (int i = 0; i < type->field_count(); ++i) {
        const FieldDescriptor* field = type->field(i);
        switch (field->cpp_type()) {
            case FieldDescriptor::CPPTYPE_FLOAT:
                if (field->is_repeated()) {
                    for (int k = 0; k < reflection->FieldSize(message, field); ++k) {
                        if (!is_negative_zero(reflection->GetRepeatedFloat(message, field, k))) {
                            continue;
                        }
                        if constexpr (!fix) return true;
                        if constexpr (fix) reflection->SetRepeatedFloat(&message, field, k, 0.0f);
                        found = true;
                    }
                } else if (is_negative_zero(reflection->GetFloat(message, field))) {
                    if constexpr (!fix) return true;
                    if constexpr (fix) reflection->SetFloat(&message, field, 0.0f);
                    found = true;
                }
                break;
            case FieldDescriptor::CPPTYPE_MESSAGE:
                if (field->is_repeated()) {
                    for (int k = 0; k < reflection->FieldSize(message, field); ++k) {
                        bool inner;
                        if constexpr (fix) {
                            inner = negative_zero_walk(
                                *reflection->MutableRepeatedMessage(&message, field, k));
                        } else {
                            inner = negative_zero_walk(
                                reflection->GetRepeatedMessage(message, field, k));
                        }
                        if (!fix && inner) return true;
                        found = found || inner;
                    }
                } else if (reflection->HasField(message, field)) {
                    bool inner;
                    if constexpr (fix) {
                        inner = negative_zero_walk(*reflection->MutableMessage(&message, field));
                    } else {
                        inner = negative_zero_walk(reflection->GetMessage(message, field));
                    }
                    if (!fix && inner) return true;
                    found = found || inner;
                }
                break;
            default:
                break;
        }
    }
    return found;
}

}  // namespace

}  // namespace ipc::ipc_message
