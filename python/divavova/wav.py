"""16-bit PCM WAV reading and writing with clear errors (stdlib wave only)."""

from __future__ import annotations

import os
import sys
import tempfile
import wave
from dataclasses import dataclass


FORMATS = {
    "unknown format: 3": "32- or 64-bit float samples",
    "unknown format: 6": "A-law samples",
    "unknown format: 7": "mu-law samples",
    "unknown format: 65534": "an extensible-format header; save it as plain 16-bit PCM",
}


class WavError(Exception):
    """A WAV file this tool cannot read or write."""


@dataclass
class Audio:
    frames: bytes        # interleaved native-endian s16
    channels: int
    sample_rate: int

    @property
    def frame_count(self) -> int:
        return len(self.frames) // (2 * self.channels)


def _swap16(data: bytes) -> bytes:
    import array
    samples = array.array("h")
    samples.frombytes(data)
    samples.byteswap()
    return samples.tobytes()


def read(path: str) -> Audio:
    try:
        with wave.open(path, "rb") as reader:
            channels, width, rate = reader.getnchannels(), reader.getsampwidth(), reader.getframerate()
            if width != 2:
                raise WavError(f"{path}: {8 * width}-bit samples; only 16-bit PCM WAV files are supported")
            if channels not in (1, 2):
                raise WavError(f"{path}: {channels} channels; only mono and stereo are supported")
            data = reader.readframes(reader.getnframes())
    except wave.Error as exc:
        reason = FORMATS.get(str(exc), str(exc))
        raise WavError(f"{path}: not a 16-bit PCM WAV file ({reason})") from None
    except EOFError:
        raise WavError(f"{path}: truncated WAV file") from None
    except OSError as exc:
        raise WavError(f"{path}: {exc.strerror or exc}") from None
    if rate < 1:
        raise WavError(f"{path}: the header gives a sample rate of {rate} Hz")
    data = data[:len(data) - len(data) % (2 * channels)]  # a cut-off last frame is dropped
    if sys.byteorder == "big":
        data = _swap16(data)
    return Audio(data, channels, rate)


def publishable_mode() -> int:
    """The mode a new file gets under the current umask (mkstemp files start private)."""
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def write(path: str, audio: Audio) -> None:
    """Writes atomically: a failure leaves no partial file behind."""
    data = _swap16(audio.frames) if sys.byteorder == "big" else audio.frames
    directory = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(suffix=".wav.part", dir=directory)
    try:
        with os.fdopen(fd, "wb") as handle, wave.open(handle, "wb") as writer:
            writer.setnchannels(audio.channels)
            writer.setsampwidth(2)
            writer.setframerate(audio.sample_rate)
            writer.writeframes(data)
        os.chmod(temporary, publishable_mode())
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise
