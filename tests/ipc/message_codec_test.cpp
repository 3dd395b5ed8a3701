#include "ipc/message_codec.h"

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "support/hex.h"

namespace {

using ipc::proto::IpcMessage;
using test_support::from_hex;
using test_support::to_hex;

IpcMessage start_audio() {
    IpcMessage m;
    m.mutable_start_audio();
    return m;
}

IpcMessage stop_audio() {
    IpcMessage m;
    m.mutable_stop_audio();
    return m;
}

IpcMessage shutdown_zero() {
    IpcMessage m;
    m.mutable_shutdown()->set_timeout_ms(0);
    return m;
}

IpcMessage decoder_offset(int32_t offset) {
    IpcMessage m;
    m.mutable_configure_channel()->set_decoder_offset(offset);
    return m;
}

IpcMessage sample_rates() {
    IpcMessage m;
    auto* info = m.mutable_audio_device_list()->add_devices();
    info->add_sample_rates(44100);
    info->add_sample_rates(48000);
    return m;
}

IpcMessage transmit_frame(uint32_t channel, std::string data) {
    IpcMessage m;
    m.mutable_transmit_frame()->set_channel(channel);
    m.mutable_transmit_frame()->set_data(std::move(data));
    return m;
}

IpcMessage manual_ptt(uint32_t channel, bool keyed) {
    IpcMessage m;
    m.mutable_manual_ptt()->set_channel(channel);
    m.mutable_manual_ptt()->set_keyed(keyed);
    return m;
}

IpcMessage modem_ready() {
    IpcMessage m;
    m.mutable_modem_ready()->set_version("v1");
    m.mutable_modem_ready()->set_pid(300);
    return m;
}

std::string nested_groups_hex(int levels) {
    std::string hex;
    for (int i = 0; i < levels; ++i) hex += "33";
    for (int i = 0; i < levels; ++i) hex += "34";
    return hex;
}

struct DecodeCase {
    const char* name;
    std::string hex;
    std::function<IpcMessage()> expected;  // empty: the decode must fail
    const char* error_part = "";           // part of the failure text
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class DecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, DecodesOrFails) {
    const DecodeCase& c = GetParam();
    const auto decoded = ipc::ipc_message::decode(from_hex(c.hex));
    if (c.expected) {
        ASSERT_TRUE(decoded.ok()) << decoded.error_text();
        const IpcMessage want = c.expected();
        EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(*decoded, want))
            << "got " << decoded->ShortDebugString() << "\nwant " << want.ShortDebugString();
    } else {
        ASSERT_FALSE(decoded.ok()) << "decoded to " << decoded->ShortDebugString();
        EXPECT_NE(decoded.error_text().find(c.error_part), std::string::npos)
            << decoded.error_text();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, DecodeTable,
    ::testing::Values(
        DecodeCase{"empty_body", "", [] { return IpcMessage(); }},
        DecodeCase{"start_audio", "7200", start_audio},
        DecodeCase{"stop_audio", "7a00", stop_audio},
        DecodeCase{"shutdown_zero", "820100", shutdown_zero},
        DecodeCase{"negative_decoder_offset", "5a0b609cffffffffffffffff01",
                   [] { return decoder_offset(-100); }},
        DecodeCase{"sample_rates_packed", "2a0a12082206c4d80280f702", sample_rates},
        DecodeCase{"sample_rates_unpacked", "2a0a120820c4d8022080f702", sample_rates},
        DecodeCase{"payload_merges_scalars", "520412024142 52020805",
                   [] { return transmit_frame(5, "AB"); }},
        DecodeCase{"payload_merge_replaces_bytes", "520412024142 5203120143",
                   [] { return transmit_frame(0, "C"); }},
        DecodeCase{
            "payload_merge_appends_repeated", "2a0a12082206c4d80280f702 2a0a12082206c4d80280f702",
            [] {
                IpcMessage m = sample_rates();
                *m.mutable_audio_device_list()->add_devices() = m.audio_device_list().devices(0);
                return m;
            }},
        DecodeCase{"other_payload_replaces", "520412024142 7a00", stop_audio},
        DecodeCase{"field_6_length_delimited", "3200", [] { return IpcMessage(); }},
        DecodeCase{"field_6_varint", "3005", [] { return IpcMessage(); }},
        DecodeCase{"field_6_fixed32", "3501020304", [] { return IpcMessage(); }},
        DecodeCase{"field_6_fixed64", "310102030405060708", [] { return IpcMessage(); }},
        DecodeCase{"field_6_group", "33 0801 34", [] { return IpcMessage(); }},
        DecodeCase{"field_18_varint", "900107", [] { return IpcMessage(); }},
        DecodeCase{"unknown_field_inside_payload", "aa0105 0801 f801 00",
                   [] { return manual_ptt(1, false); }},
        DecodeCase{"bool_any_nonzero_is_true", "aa0102 1002", [] { return manual_ptt(0, true); }},
        DecodeCase{"uint32_takes_low_bits", "aa0106 088780808010",
                   [] { return manual_ptt(7, false); }},
        DecodeCase{"outbound_kind_decodes", "2207 0a027631 10ac02", modem_ready},
        DecodeCase{"groups_at_nesting_limit", nested_groups_hex(100), [] { return IpcMessage(); }},
        // Failures.
        DecodeCase{"invalid_utf8", "62031201ff", nullptr,
                   "UTF-8 (in IpcMessage.payload > ConfigureAudio.device_name)"},
        DecodeCase{"wrong_wire_type_inside_payload", "aa0103 0a0141", nullptr,
                   "wire type 2 does not match field type uint32 (in IpcMessage.payload > "
                   "ManualPtt.channel)"},
        DecodeCase{"payload_not_length_delimited", "7000", nullptr, "(in IpcMessage.payload)"},
        DecodeCase{"float_as_varint", "9a0102 1001", nullptr, "SetDeviceGain.gain_db"},
        DecodeCase{"string_as_varint", "62021001", nullptr, "ConfigureAudio.device_name"},
        DecodeCase{"scalar_sent_packed", "aa0103 0a0101", nullptr, "ManualPtt.channel"},
        DecodeCase{"truncated_varint", "aa0102 0880", nullptr, "truncated varint"},
        DecodeCase{"varint_over_10_bytes", "30ffffffffffffffffffff01", nullptr,
                   "longer than 10 bytes (in IpcMessage)"},
        DecodeCase{"length_past_end", "0a0500", nullptr, "runs past the end"},
        DecodeCase{"length_past_enclosing_message", "aa0102 1a05 00000000", nullptr,
                   "runs past the end"},
        DecodeCase{"field_number_0", "0001", nullptr, "field number 0"},
        DecodeCase{"wire_type_6", "36", nullptr, "invalid wire type 6"},
        DecodeCase{"wire_type_7", "37", nullptr, "invalid wire type 7"},
        DecodeCase{"end_group_out_of_place", "34", nullptr, "end-group marker out of place"},
        DecodeCase{"mismatched_end_group", "33 3c", nullptr, "end-group marker out of place"},
        DecodeCase{"unterminated_group", "33 0801", nullptr, "unterminated group"},
        DecodeCase{"float_short", "9a0103 150000", nullptr, "fewer than 4 bytes"},
        DecodeCase{"packed_truncated", "2a0612042202c4d8", nullptr,
                   "(in IpcMessage.payload > AudioDeviceList.devices > "
                   "AudioDeviceInfo.sample_rates)"},
        DecodeCase{"groups_past_nesting_limit", nested_groups_hex(101), nullptr,
                   "nesting deeper than 100 levels"}),
    [](const auto& info) { return std::string(info.param.name); });

struct EncodeCase {
    const char* name;
    std::function<IpcMessage()> message;
    std::string hex;
};

void PrintTo(const EncodeCase& c, std::ostream* os) {
    *os << c.name;
}

class EncodeTable : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTable, EncodesExactly) {
    const EncodeCase& c = GetParam();
    const IpcMessage m = c.message();
    std::vector<uint8_t> out = {0xEE};  // encode appends
    ipc::ipc_message::encode(m, out);
    EXPECT_EQ(to_hex(out), "ee" + to_hex(from_hex(c.hex)));
    EXPECT_EQ(ipc::ipc_message::encoded_len(m), out.size() - 1);
}

IpcMessage device_level(float peak, float rms) {
    IpcMessage m;
    auto* level = m.mutable_device_level_update();
    level->set_device_id(1);
    level->set_peak_dbfs(peak);
    level->set_rms_dbfs(rms);
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, EncodeTable,
    ::testing::Values(EncodeCase{"no_payload", [] { return IpcMessage(); }, ""},
                      EncodeCase{"start_audio", start_audio, "7200"},
                      EncodeCase{"stop_audio", stop_audio, "7a00"},
                      EncodeCase{"shutdown_zero", shutdown_zero, "820100"},
                      EncodeCase{"negative_decoder_offset", [] { return decoder_offset(-100); },
                                 "5a0b609cffffffffffffffff01"},
                      EncodeCase{"sample_rates_packed", sample_rates, "2a0a12082206c4d80280f702"},
                      EncodeCase{"negative_zero_not_written",
                                 [] { return device_level(-0.0f, -3.5f); }, "3a07 0801 1d000060c0"},
                      EncodeCase{
                          "negative_zero_nested",
                          [] {
                              IpcMessage m;
                              m.mutable_input_level_scan_result()->add_devices()->set_peak_dbfs(
                                  -0.0f);
                              return m;
                          },
                          "4202 1200"},
                      EncodeCase{"nan_written",
                                 [] {
                                     IpcMessage m;
                                     m.mutable_set_device_gain()->set_gain_db(
                                         std::numeric_limits<float>::quiet_NaN());
                                     return m;
                                 },
                                 "9a0105 150000c07f"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MessageCodec, NegativeZeroReadsBackAsZero) {
    std::vector<uint8_t> out;
    ipc::ipc_message::encode(device_level(-0.0f, -0.0f), out);
    const auto decoded = ipc::ipc_message::decode(out);
    ASSERT_TRUE(decoded.ok()) << decoded.error_text();
    EXPECT_FALSE(std::signbit(decoded->device_level_update().peak_dbfs()));
    EXPECT_FALSE(std::signbit(decoded->device_level_update().rms_dbfs()));
}

TEST(MessageCodec, UnknownFieldsAreNotKept) {
    const auto decoded = ipc::ipc_message::decode(from_hex("aa0105 0801 f80100 3005"));
    ASSERT_TRUE(decoded.ok()) << decoded.error_text();
    std::vector<uint8_t> out;
    ipc::ipc_message::encode(*decoded, out);
    EXPECT_EQ(to_hex(out), "aa01020801");
}

}  // namespace
