"""The device listing and the input-level scan seen from the parent, over
paced test devices: each request is answered once with its request_id, a
free card is measured, and a card that running audio holds is reported from
its settings without being opened."""

import harness
import paced_alsa
from harness import pb

PEER_CLOSED = "quillmar-modem: peer disconnected, exiting"
IN_USE = "in use by a running channel \u2014 live level is shown on the device card"


class DeviceRequests(harness.ModemTestCase):
    def start(self):
        env = paced_alsa.write_config(
            self.dir,
            [paced_alsa.pcm("default", rates=(8000, 22050, 48000), tone_hz=1000)],
            [("default", "Default test device")])
        modem = self.start_modem(env=env)
        conn = modem.connect()
        self.assertIsNotNone(conn.wait_for(lambda m: m.HasField("modem_ready")))
        return modem, conn

    def test_each_request_is_answered_once_with_its_request_id(self):
        modem, conn = self.start()
        conn.send(pb.IpcMessage(scan_input_levels=pb.ScanInputLevels(request_id=62,
                                                                     duration_ms=300)))
        conn.send(pb.IpcMessage(enumerate_audio_devices=pb.EnumerateAudioDevices(
            request_id=61, include_output=True)))
        conn.send(pb.IpcMessage(enumerate_audio_devices=pb.EnumerateAudioDevices(request_id=63)))
        self.assertIsNotNone(conn.wait_for(lambda m: m.HasField("input_level_scan_result")))
        self.assertIsNotNone(conn.wait_for(
            lambda m: m.HasField("audio_device_list") and m.audio_device_list.request_id == 63))
        self.assertIsNotNone(conn.wait_for(
            lambda m: m.HasField("audio_device_list") and m.audio_device_list.request_id == 61))
        conn.shutdown_write()
        self.assert_end(modem, conn, stderr=[PEER_CLOSED])

        lists = {m.audio_device_list.request_id: m.audio_device_list
                 for _, m in conn.messages() if m.HasField("audio_device_list")}
        self.assertEqual(sorted(lists), [61, 63])
        both = [(d.stable_id, d.kind) for d in lists[61].devices]
        self.assertEqual(both, [("default", 1), ("default", 2)])
        self.assertEqual([(d.stable_id, d.kind) for d in lists[63].devices], [("default", 1)])
        self.assertEqual(list(lists[61].devices[0].sample_rates), [8000, 22050, 48000])

        scans = [m.input_level_scan_result for _, m in conn.messages()
                 if m.HasField("input_level_scan_result")]
        self.assertEqual(len(scans), 1)
        self.assertEqual(scans[0].request_id, 62)
        self.assertEqual(len(scans[0].devices), 1)
        self.assertAlmostEqual(scans[0].devices[0].peak_dbfs, -6.02, delta=0.05)
        self.assertTrue(scans[0].devices[0].has_signal)
        self.assertEqual(scans[0].devices[0].error, "")

    def test_a_running_capture_card_is_reported_from_its_settings_unopened(self):
        modem, conn = self.start()
        for message in (
                pb.IpcMessage(configure_audio=pb.ConfigureAudio(
                    device_id=1, device_name="default", sample_rate=22050, channels=1,
                    source_type="soundcard")),
                pb.IpcMessage(configure_channel=pb.ConfigureChannel(channel=0, device_id=1)),
                pb.IpcMessage(start_audio=pb.StartAudio())):
            conn.send(message)
        # The running card's own level reports carry the plugin's tone.
        _, level = conn.wait_for(lambda m: m.HasField("device_level_update")
                                 and m.device_level_update.device_id == 1)
        self.assertAlmostEqual(level.device_level_update.peak_dbfs, -6.02, delta=0.05)

        conn.send(pb.IpcMessage(enumerate_audio_devices=pb.EnumerateAudioDevices(request_id=71)))
        conn.send(pb.IpcMessage(scan_input_levels=pb.ScanInputLevels(request_id=72)))
        _, listing = conn.wait_for(lambda m: m.HasField("audio_device_list"))
        _, scan = conn.wait_for(lambda m: m.HasField("input_level_scan_result"))
        conn.shutdown_write()
        self.assert_end(modem, conn, stderr=[PEER_CLOSED])

        self.assertEqual(listing.audio_device_list.request_id, 71)
        [busy] = listing.audio_device_list.devices
        self.assertEqual((busy.stable_id, busy.kind), ("default", 1))
        self.assertEqual((list(busy.sample_rates), list(busy.channel_counts)), ([22050], [1]))
        self.assertEqual(scan.input_level_scan_result.request_id, 72)
        [entry] = scan.input_level_scan_result.devices
        self.assertEqual(entry.error, IN_USE)


if __name__ == "__main__":
    harness.main()
