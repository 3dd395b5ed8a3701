"""Hermetic sound devices for end-to-end tests: a libasound configuration of
paced test PCMs (tests/support/paced_pcm_plugin.cpp lists every key) written
into a test's directory, and the environment that puts it in force for the
modem. The plugin's path comes from QUILLMAR_PACED_PCM_PLUGIN."""

import os
import struct

PLUGIN = os.environ["QUILLMAR_PACED_PCM_PLUGIN"]


def _quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def pcm(name, rates=(48000,), channels=(1,), tone_hz=0, record_file=None, stream=None):
    """One paced device, S16_LE only; "default" becomes the default device."""
    lines = ['type quillmar_paced', 'formats [ "S16_LE" ]',
             "channels [ " + " ".join(str(c) for c in channels) + " ]",
             "rates [ " + " ".join(str(r) for r in rates) + " ]"]
    if tone_hz:
        lines.append(f"tone_hz {tone_hz}")
    if record_file:
        lines.append("record_file " + _quoted(record_file))
    if stream:
        lines.append("stream " + _quoted(stream))
    key = "!default" if name == "default" else name
    return f"pcm.{key} {{\n  " + "\n  ".join(lines) + "\n}\n"


def write_config(directory, devices, hints=()):
    """Writes the configuration of `devices` (texts of pcm()) with listing
    `hints` ((name, description) pairs); returns the modem's environment."""
    text = "pcm_type.quillmar_paced { lib " + _quoted(PLUGIN) + " }\n" + "".join(devices)
    text += "namehint.pcm {\n"
    for i, (name, description) in enumerate(hints):
        text += f"  h{i} " + _quoted(f"{name}|{description}") + "\n"
    text += "}\n"
    path = os.path.join(directory, "asound.conf")
    with open(path, "w") as f:
        f.write(text)
    env = dict(os.environ)
    env["ALSA_CONFIG_PATH"] = path
    return env


def recorded_channels(path, channels):
    """What a paced device recorded: one list of samples per channel."""
    with open(path, "rb") as f:
        data = f.read()
    count = len(data) // (2 * channels)
    samples = struct.unpack(f"<{count * channels}h", data[: count * 2 * channels])
    return [list(samples[i::channels]) for i in range(channels)]
