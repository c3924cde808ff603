"""Audio files through soundfile (libsndfile): read in blocks as the core's
16-bit samples, written by extension, published atomically.

Reading: every format the bundled libsndfile reads (WAV in all its
sample formats including WAVE_FORMAT_EXTENSIBLE, AIFF, FLAC, OGG/Vorbis,
MP3 and the rest that `divavova formats` lists).  Files of 16 bits or fewer
per sample are read as int16 exactly; deeper and lossy ones (24/32-bit,
float, Vorbis, MP3) are read as float and reduced to int16 with TPDF
dither: two uniform values of one step each, summed, are added before
rounding, which turns the rounding error into a steady hiss 96 dB down in
place of distortion that follows the signal.  `dither=False` rounds to
nearest instead.  The dither is seeded, so a run gives the same bytes
every time.

Writing: the format follows the output's extension (`WRITE_FORMATS`); the
sample format (libsndfile's "subtype") is the input's where the output
format has it, else the output format's default, unless one is asked for.
Output goes to a temporary file beside the destination, renamed over it
only when complete: a failure leaves no partial file and leaves an
existing file alone, and the output may be the input itself.
"""

from __future__ import annotations

import math
import os
import re
import tempfile
from contextlib import contextmanager
from typing import Any, Iterator, List, Optional, Sequence, Tuple

import numpy as np
import soundfile as sf  # type: ignore[import-untyped, unused-ignore]

from divavova._convert import DITHER_SEED, to_int16

BLOCK_FRAMES = 65536          # frames read per block: 256 KiB of stereo int16
SALVAGE_FRAMES = 1024         # frames read per block after a damaged block

# extension -> (libsndfile format, subtype the extension implies or None)
WRITE_FORMATS = {
    ".wav": ("WAV", None), ".wave": ("WAV", None), ".flac": ("FLAC", None),
    ".aif": ("AIFF", None), ".aiff": ("AIFF", None), ".aifc": ("AIFF", None),
    ".ogg": ("OGG", "VORBIS"), ".oga": ("OGG", "VORBIS"), ".opus": ("OGG", "OPUS"),
    ".mp3": ("MP3", None), ".w64": ("W64", None), ".rf64": ("RF64", None), ".caf": ("CAF", None),
    ".au": ("AU", None),
}
# sample formats that carry over from input to output; compressed ones do not
# (an MP3 read and written as WAV becomes PCM, not MP3-in-WAV)
PLAIN_SUBTYPES = ("PCM_S8", "PCM_U8", "PCM_16", "PCM_24", "PCM_32", "FLOAT", "DOUBLE")
# subtypes whose samples int16 holds exactly; everything else is read as float
INT16_EXACT = {"PCM_S8", "PCM_U8", "PCM_16", "ULAW", "ALAW", "IMA_ADPCM", "MS_ADPCM", "GSM610", "VOX_ADPCM",
               "NMS_ADPCM_16", "NMS_ADPCM_24", "NMS_ADPCM_32", "G721_32", "G723_24", "G723_40", "DWVW_12",
               "DWVW_16", "DPCM_8", "DPCM_16", "ALAC_16"}
VORBIS_MAX_RATE = 200000      # libvorbis crashes above this rate instead of refusing it
STREAMED_SIZE = 0x7FFF0000    # chunk sizes from here up are the placeholders of writers that could not seek


class AudioFileError(Exception):
    """A file that cannot be read or written; the message is one line naming it."""


class TruncatedError(AudioFileError):
    """The file holds fewer frames than its header gives, or is damaged part way."""


def _libsndfile_reason(exc: Exception) -> str:
    text = str(exc)
    # "Error opening 'x.wav': Format not recognised." -> "Format not recognised."
    return text.split(": ", 1)[1] if text.startswith("Error opening") and ": " in text else text


# --- output format ---------------------------------------------------------------

def output_format(path: str, subtype: Optional[str] = None,
                  source_subtype: Optional[str] = None) -> Tuple[str, str]:
    """(format, subtype) for writing ``path``, from its extension; an explicit
    subtype must suit the format.  Raises AudioFileError before any work."""
    extension = os.path.splitext(path)[1].lower()
    if extension not in WRITE_FORMATS:
        raise AudioFileError(f"{path}: cannot write {'a ' + repr(extension) if extension else 'a file without an'} "
                             f"extension; writable: {', '.join(writable_extensions())}")
    format, implied = WRITE_FORMATS[extension]
    if not sf.check_format(format, implied):
        raise AudioFileError(f"{path}: the libsndfile here cannot write {format} files")
    choices = sf.available_subtypes(format)
    if subtype is not None:
        subtype = subtype.upper()
        if subtype not in choices or not sf.check_format(format, subtype):
            raise AudioFileError(f"{path}: {format} has no subtype {subtype}; "
                                 f"choose from {', '.join(writable_subtypes(format))}")
        return format, subtype
    if implied:
        return format, implied
    if source_subtype in PLAIN_SUBTYPES and source_subtype in choices and sf.check_format(format, source_subtype):
        return format, source_subtype
    return format, sf.default_subtype(format)


def writable_extensions() -> List[str]:
    return [ext for ext, (format, implied) in WRITE_FORMATS.items() if sf.check_format(format, implied)]


def writable_subtypes(format: str) -> List[str]:
    return [name for name in sf.available_subtypes(format) if sf.check_format(format, name)]


def check_writable(path: str, format: str, subtype: str, sample_rate: int) -> None:
    """What libsndfile would refuse (or its codecs crash on) for this rate."""
    if format == "OGG" and subtype == "VORBIS" and sample_rate > VORBIS_MAX_RATE:
        raise AudioFileError(f"{path}: Vorbis encodes at most {VORBIS_MAX_RATE} Hz, not {sample_rate} Hz")


# --- reading -----------------------------------------------------------------------

def _declared_frames(handle: sf.SoundFile) -> Optional[int]:
    """The frame count the header gives when libsndfile's log shows it to
    be more than the file holds (libsndfile itself then serves only what is
    there, silently)."""
    log = handle.extra_info
    data = re.search(r"^(?:data|SSND) : (\d+) \(should be (\d+)\)", log, re.MULTILINE)
    if data and int(data.group(2)) < int(data.group(1)) < STREAMED_SIZE:
        align = re.search(r"Block Align\s*: (\d+)", log)
        if align and int(align.group(1)) > 0:
            return int(data.group(1)) // int(align.group(1))
        return round(int(handle.frames) * int(data.group(1)) / max(1, int(data.group(2))))
    comm = re.search(r"Frame count read from 'COMM' chunk \((\d+)\) not equal", log)
    if comm:
        return int(comm.group(1))
    return None


class Reader:
    """An input file read block by block.

    A file that holds fewer frames than its header gives, or fails part
    way, raises TruncatedError (at open, where the header shows it, else
    while reading) unless ``allow_truncated``; then ``warnings`` says what
    was read.  `select` sets the channels and the reduction to int16 that
    `blocks` applies.
    """

    def __init__(self, path: str, *, allow_truncated: bool = False):
        self.path = path
        try:
            self.handle = sf.SoundFile(path)
        except sf.LibsndfileError as exc:
            if not os.path.exists(path):
                raise AudioFileError(f"{path}: No such file or directory") from None
            if os.path.isdir(path):
                raise AudioFileError(f"{path}: Is a directory") from None
            if not os.access(path, os.R_OK):
                raise AudioFileError(f"{path}: Permission denied") from None
            raise AudioFileError(f"{path}: not an audio file libsndfile reads ({_libsndfile_reason(exc)})") from None
        try:
            self._check_header(allow_truncated)
        except BaseException:
            self.handle.close()
            raise
        self.select()

    def _check_header(self, allow_truncated: bool) -> None:
        handle = self.handle
        self.format, self.subtype = handle.format, handle.subtype
        self.sample_rate, self.file_channels = handle.samplerate, handle.channels
        if self.sample_rate < 1:
            raise AudioFileError(f"{self.path}: the header gives a sample rate of {self.sample_rate} Hz")
        self.allow_truncated = allow_truncated
        self.warnings: List[str] = []
        self.frames_read = 0
        self.frames = handle.frames              # what libsndfile will serve
        declared = _declared_frames(handle)
        self.declared_frames = max(declared or 0, handle.frames)
        if self.declared_frames > handle.frames:
            self._truncated(f"truncated: holds {handle.frames} of the {declared} frames its header gives")

    def _truncated(self, what: str) -> None:
        if not self.allow_truncated:
            raise TruncatedError(f"{self.path}: {what} (--allow-truncated processes what is there)")
        self.warnings.append(f"{self.path}: {what}; processed what was read")

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc: object) -> None:
        self.handle.close()

    def select(self, pick: Optional[Sequence[int]] = None, downmix: bool = False, dither: bool = True) -> int:
        """Sets what `blocks` serves and returns its channel count: the
        channels at the 0-based indices ``pick`` (one or two), every channel
        averaged to mono with ``downmix``, else all of them, which must be
        one or two.  Samples deeper than 16 bits are dithered unless not
        ``dither``."""
        channels = self.file_channels
        if pick is not None:
            if downmix:
                raise AudioFileError(f"{self.path}: choose channels or downmix, not both")
            if not 1 <= len(pick) <= 2:
                raise AudioFileError(f"{self.path}: pick one or two channels, not {len(pick)}")
            missing = [index + 1 for index in pick if not 0 <= index < channels]
            if missing:
                raise AudioFileError(f"{self.path}: has {channels} channel{'s' if channels > 1 else ''}, "
                                     f"no channel {missing[0]}")
        self.pick = list(pick) if pick is not None else None
        self.downmix = downmix
        self.channels = 1 if downmix else len(pick) if pick is not None else channels
        self.as_float = downmix or self.subtype not in INT16_EXACT
        self.dither = dither
        self.rng = np.random.default_rng(DITHER_SEED)
        self.clipped = 0
        return self.channels

    def require_mono_or_stereo(self) -> None:
        if self.channels > 2:
            raise AudioFileError(f"{self.path}: {self.channels} channels; divavova processes mono or stereo: "
                                 "pick two with --channels 1,2 (or one), or average them with --downmix")

    def raw_blocks(self, dtype: str, block_frames: int = BLOCK_FRAMES) -> Iterator[np.ndarray]:
        """Every channel as read, (frames, file channels), to the end."""
        while True:
            try:
                block = self.handle.read(block_frames, dtype=dtype, always_2d=True)
            except (sf.LibsndfileError, RuntimeError) as exc:
                if block_frames > SALVAGE_FRAMES and self.allow_truncated and self._reopen():
                    block_frames = SALVAGE_FRAMES     # a failed read loses its whole block: go closer
                    continue
                self._truncated(f"damaged after {self.frames_read} frames ({exc})")
                return
            if not len(block):
                break
            self.frames_read += len(block)
            yield block
        if self.frames_read < self.declared_frames and self.declared_frames == self.frames:
            self._truncated(f"truncated: read {self.frames_read} of the {self.declared_frames} frames "
                            "its header gives")
        if self.subtype == "VORBIS" and "lacks an end-of-stream bit" in self.handle.extra_info:
            self._truncated(f"truncated: the stream stops after {self.frames_read} frames without its last page")

    def _reopen(self) -> bool:
        """The file opened anew at the first frame not read yet (a decoder
        that failed cannot seek any more)."""
        try:
            handle = sf.SoundFile(self.path)
            handle.seek(self.frames_read)
        except (sf.LibsndfileError, RuntimeError):
            return False
        self.handle.close()
        self.handle = handle
        return True

    def blocks(self, block_frames: int = BLOCK_FRAMES) -> Iterator[np.ndarray]:
        """int16 blocks of shape (frames, channels) as `select` set them."""
        for block in self.raw_blocks("float64" if self.as_float else "int16", block_frames):
            if self.downmix:
                block = block.mean(axis=1, keepdims=True)
            elif self.pick is not None:
                block = block[:, self.pick]
            if not self.as_float:
                yield np.ascontiguousarray(block)
                continue
            self.clipped += int(np.count_nonzero((block >= 32767.5 / 32768) | (block < -32768.5 / 32768)))
            yield to_int16(block, dither=self.dither, rng=self.rng)
        if self.clipped:
            self.warnings.append(f"{self.path}: {self.clipped} samples beyond full scale were clipped to 16 bits")
            self.clipped = 0


# --- writing -----------------------------------------------------------------------

def _publishable_mode(path: str) -> int:
    """A replaced file keeps its mode; a new one gets what the umask gives
    (temporary files start private)."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


@contextmanager
def atomic_path(path: str, suffix: str = ".part") -> Iterator[str]:
    """A temporary path beside ``path``, renamed to it when the block ends
    without an exception and removed otherwise."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=suffix, dir=directory)
    except OSError as exc:
        raise AudioFileError(f"{path}: {exc.strerror or exc}") from None
    os.close(fd)
    try:
        yield temporary
        os.chmod(temporary, _publishable_mode(path))
        os.replace(temporary, path)
    except OSError as exc:
        raise AudioFileError(f"{path}: {exc.strerror or exc}") from None
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


class _Output:
    """Writes int16 blocks; into float and compressed sample formats as
    float (libsndfile would store int16 unscaled in a float file)."""

    def __init__(self, handle: sf.SoundFile):
        self.handle = handle
        self.as_float = handle.subtype not in PLAIN_SUBTYPES or handle.subtype in ("FLOAT", "DOUBLE")

    def write(self, block: np.ndarray) -> None:
        if self.as_float and block.dtype == np.int16:
            block = block * np.float32(1 / 32768)
        self.handle.write(block)


@contextmanager
def atomic_writer(path: str, format: str, subtype: str, sample_rate: int, channels: int) -> Iterator[_Output]:
    """An output open for writing int16 blocks; ``path`` appears only once
    it is complete."""
    check_writable(path, format, subtype, sample_rate)
    with atomic_path(path) as temporary:
        try:
            handle = sf.SoundFile(temporary, "w", sample_rate, channels, subtype, format=format)
        except sf.LibsndfileError as exc:
            raise AudioFileError(f"{path}: cannot write {format} {subtype} at {sample_rate} Hz, "
                                 f"{channels} channel{'s' if channels > 1 else ''} "
                                 f"({_libsndfile_reason(exc)})") from None
        try:
            yield _Output(handle)
        finally:
            handle.close()
        if os.path.getsize(temporary) == 0:   # the FLAC and MP3 encoders write nothing for no frames
            raise AudioFileError(f"{path}: libsndfile writes no {format} file without frames; "
                                 "choose a format such as .wav for an empty output")


def write(path: str, audio: np.ndarray, sample_rate: int, subtype: Optional[str] = None) -> None:
    """A whole signal (frames,) or (frames, channels) to ``path``, atomically."""
    format, subtype = output_format(path, subtype, "PCM_16" if audio.dtype == np.int16 else "FLOAT")
    channels = 1 if audio.ndim == 1 else audio.shape[1]
    with atomic_writer(path, format, subtype, sample_rate, channels) as handle:
        handle.write(audio)


# --- describing --------------------------------------------------------------------

def _db(value: float) -> str:
    return f"{20 * math.log10(value):.2f} dBFS" if value > 0 else "-inf dBFS"


def describe(path: str) -> Tuple[List[str], List[str]]:
    """Lines describing the file (format, rate, channels, length, peak and
    RMS levels, read in blocks) and the warnings found while reading it."""
    with Reader(path, allow_truncated=True) as reader:
        channels, rate = reader.file_channels, reader.sample_rate
        peak, squares = np.zeros(channels), np.zeros(channels)
        for block in reader.raw_blocks("float64"):
            peak = np.maximum(peak, np.abs(block).max(axis=0))
            squares += np.einsum("ij,ij->j", block, block)
        frames = reader.frames_read
        rms = np.sqrt(squares / max(1, frames))
        lines = [
            f"{path}:",
            f"  format    {reader.handle.format_info} [{reader.format}], "
            f"{reader.handle.subtype_info} [{reader.subtype}]",
            f"  rate      {rate} Hz",
            f"  channels  {channels}",
            f"  length    {frames / rate:.3f} s ({frames} frames)",
        ]
        for name, values, overall in (("peak", peak, peak.max(initial=0.0)),
                                      ("RMS", rms, math.sqrt(float(np.mean(rms * rms))))):
            each = f" ({', '.join(_db(v) for v in values)})" if channels > 1 else ""
            lines.append(f"  {name:<9} {_db(overall)}{each}")
        return lines, reader.warnings
