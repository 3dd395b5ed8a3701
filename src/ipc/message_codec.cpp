#include "ipc/message_codec.h"

#include <climits>
#include <cmath>

#include "ipc/wire_check.h"

namespace ipc::ipc_message {

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

bool is_negative_zero(double x) {
    return x == 0.0 && std::signbit(x);
}

// True when some float field of `message`, at any depth, holds -0.0.
bool has_negative_zero(const Message& message);

// Replaces -0.0 by +0.0 in every float field of `message`, at any depth.
void clear_negative_zero(Message& message);

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

bool has_negative_zero(const Message& message) {
    const auto* type = message.GetDescriptor();
    const auto* reflection = message.GetReflection();
    for (int i = 0; i < type->field_count(); ++i) {
        const FieldDescriptor* field = type->field(i);
        switch (field->cpp_type()) {
            case FieldDescriptor::CPPTYPE_FLOAT:
                if (field->is_repeated()) {
                    for (int k = 0; k < reflection->FieldSize(message, field); ++k) {
                        if (is_negative_zero(reflection->GetRepeatedFloat(message, field, k))) {
                            return true;
                        }
                    }
                } else if (is_negative_zero(reflection->GetFloat(message, field))) {
                    return true;
                }
                break;
            case FieldDescriptor::CPPTYPE_MESSAGE:
                if (field->is_repeated()) {
                    for (int k = 0; k < reflection->FieldSize(message, field); ++k) {
                        if (has_negative_zero(reflection->GetRepeatedMessage(message, field, k))) {
                            return true;
                        }
                    }
                } else if (reflection->HasField(message, field) &&
                           has_negative_zero(reflection->GetMessage(message, field))) {
                    return true;
                }
                break;
            default:
                break;
        }
    }
    return false;
}

void clear_negative_zero(Message& message) {
    const auto* type = message.GetDescriptor();
    const auto* reflection = message.GetReflection();
    for (int i = 0; i < type->field_count(); ++i) {
        const FieldDescriptor* field = type->field(i);
        switch (field->cpp_type()) {
            case FieldDescriptor::CPPTYPE_FLOAT:
                if (field->is_repeated()) {
                    for (int k = 0; k < reflection->FieldSize(message, field); ++k) {
                        if (is_negative_zero(reflection->GetRepeatedFloat(message, field, k))) {
                            reflection->SetRepeatedFloat(&message, field, k, 0.0f);
                        }
                    }
                } else if (is_negative_zero(reflection->GetFloat(message, field))) {
                    reflection->SetFloat(&message, field, 0.0f);
                }
                break;
            case FieldDescriptor::CPPTYPE_MESSAGE:
                if (field->is_repeated()) {
                    for (int k = 0; k < reflection->FieldSize(message, field); ++k) {
                        clear_negative_zero(
                            *reflection->MutableRepeatedMessage(&message, field, k));
                    }
                } else if (reflection->HasField(message, field)) {
                    clear_negative_zero(*reflection->MutableMessage(&message, field));
                }
                break;
            default:
                break;
        }
    }
}

}  // namespace

}  // namespace ipc::ipc_message
