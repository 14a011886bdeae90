"""The VX3071 on its two-wire bus, from Python: the frames of the bench panel and of the vx3071
command, through the same libraries and the same port accesses."""

import os
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, SupportsIndex, Tuple, Union

class Error(Exception):
    """Every error of this module; also a closed device's."""

class PortError(Error):
    """The port could not be used; the message is the one the panel shows."""

class VerifyError(Error):
    """A read-back differed from what was written, or nothing acknowledged it."""
    wrote: int
    read: int

class NoDeviceError(VerifyError):
    """255 was read where a missing device reads so, and nothing acknowledges the VX3071's
    address: nothing answers there. `wrote` is None after a read."""
    wrote: Optional[int]  # type: ignore[assignment]

class TraceError(Error):
    """The trace file could not be written; the port work went on."""

class MeterError(Error):
    """A meter could not be reached, did not answer, or answered wrongly."""

class MeterTimeout(MeterError, TimeoutError):
    """A meter did not answer within its time limit."""

class SweepInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped a characterisation: the setting was put back, and the codes measured whole
    are in .partial."""
    partial: "Characterisation"

class Characterisation:
    """A characterisation's readings and figures, by code in ascending order: sequences of
    floats, numpy arrays where numpy is installed. Errors that end one early carry the readings
    so far as their .partial."""
    codes: List[int]
    readings: Sequence[float]      # the mean reading at each code, in unit
    spreads: Sequence[float]       # the readings' standard deviation at each code
    inl: Sequence[float]           # end-point INL, in LSB
    inl_best_fit: Sequence[float]  # INL against the least-squares line, in LSB
    dnl: Sequence[float]           # DNL of each step, in LSB; nan at the lowest code
    # lsb; inl_max, inl_min, inl_best_fit_max, inl_best_fit_min, dnl_max, dnl_min as
    # (value, code); fit_offset, fit_slope; monotonic, not_monotonic; wiper_resistance and r_ab
    # (rheostat) or ideal_lsb, zero_scale_error and full_scale_error (divider). None without two
    # codes that differ.
    figures: Optional[Dict[str, Any]]
    no_figures: str
    monotonic: Optional[bool]
    unit: str                      # "Ohm" or "V"
    partial: bool
    why: str                       # what ended it early, or empty
    setting_before: int
    restored: bool
    meter: Tuple[str, str, str, str]
    def csv(self) -> str:
        """The readings as CSV, as vx3071 characterise --csv writes them."""

class CheckStep:
    """One step of a bring-up check."""
    name: str    # port, lines, presence, read-back or timing
    result: str  # ok, FAIL or skip
    text: str    # what was seen
    fix: str     # for a failure, what to do; else empty

class Port:
    """A port this machine offers, as vx3071 ports lists it."""
    port: str         # the value that selects it, as for open(port=...)
    kind: str         # parport, i2c, gpio or ftdi
    description: str
    device: str       # its node under /dev
    usable: bool      # this user may open it
    fix: str          # what to do when not usable
    form: str         # i2c: how frames go out on it (plain I2C, or SMBus commands); else empty

class Sweep(Iterator[int]):
    def __iter__(self) -> "Sweep": ...
    def __next__(self) -> int: ...

class Device:
    """The VX3071 on one port. Calls from several threads run one at a time, each whole; the GIL
    is released while the port works, so other threads run meanwhile. A signal Python handles
    (Ctrl-C) stops a call of the main thread between two frames (a dwell at once) and its handler
    runs: KeyboardInterrupt is raised, or the call goes on if the handler returns. close() from
    another thread waits for the frame in progress. A process forked from the one that opened the
    device gets Error on use."""
    port: str      # the port, as it was named
    closed: bool   # whether close() has been called
    def write(self, code: SupportsIndex, verify: bool = False) -> None:
        """Sends the slider's frame for code (0..255); with verify, reads the setting back and
        raises VerifyError when it differs, or when it reads 255 and nothing acknowledges the
        VX3071's address."""
    def zero(self) -> None: ...
    def mid(self) -> None: ...
    def full(self) -> None: ...
    def frame(self, bits: str) -> None:
        """Sends 27 characters of 0 and 1, bit 26 first; the acknowledge slots go out as 0."""
    def read(self) -> int:
        """Reads the device's setting, 0..255; NoDeviceError for a 255 where nothing
        acknowledges the VX3071's address."""
    def sweep(self, start: SupportsIndex, stop: SupportsIndex, step: SupportsIndex = 1,
              dwell_ms: SupportsIndex = 0) -> Sweep:
        """Writes every step-th code from start to stop (either way), waiting dwell_ms after
        each, and yields each code once it is written."""
    def characterise(self, meter: "Meter", start: SupportsIndex = 0, stop: SupportsIndex = 255,
                     step: SupportsIndex = 1, *, settle_ms: SupportsIndex = 10,
                     average: SupportsIndex = 1, mode: Optional[str] = None,
                     verify: bool = False, v_high: Optional[float] = None,
                     v_low: Optional[float] = None,
                     progress: Optional[Callable[[int, float, int, int], object]] = None
                     ) -> Characterisation:
        """Measures every step-th code from start to stop with meter: writes it, waits
        settle_ms, takes average fresh readings; puts back the setting found; gives the codes,
        readings, INL, DNL and figures. mode is "rheostat" or "divider" (None: from the meter's
        function). v_high and v_low are finite, else ValueError. Ctrl-C raises SweepInterrupted,
        a failing meter MeterError, the meter closed from another thread Error, each with the
        readings so far as .partial."""
    def check(self, thorough: bool = False) -> List[CheckStep]:
        """The steps of vx3071 check; thorough also writes 0x55 and 0xAA, then restores the
        setting found."""
    def scan(self) -> List[int]:
        """The 7-bit addresses from 0x08 to 0x77 that acknowledge, asked as i2cdetect asks;
        PortError on an I2C adapter that can ask no address."""
    def close(self) -> None:
        """Releases the port and completes the trace, once the call another thread makes has
        ended its frame; twice is harmless. The device then raises Error on use."""
    def __enter__(self) -> "Device": ...
    def __exit__(self, *args: object) -> None: ...

def open(port: Optional[str] = None,
         trace: Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", None] = None,
         min_phase_us: Optional[SupportsIndex] = None) -> Device:
    """Opens the VX3071 on a port, at once: port as VX3071_PORT names one (sim, sim:absent,
    parport[:NAME], i2c:ADAPTER, gpio:CHIP:SDA,SCL[,SENSE], ftdi[:SERIAL][:A|B|C|D]), trace and
    min_phase_us as VX3071_TRACE and VX3071_MIN_PHASE_US; None takes the environment's value, or
    its default. ValueError for a port that names nothing or a phase out of range, before anything
    is opened; PortError when the port cannot be opened; TraceError at the first call when the
    trace cannot be started."""

def ports() -> List[Port]:
    """The ports this machine offers; opens none."""

def meters() -> List[str]:
    """The serial ports and USBTMC nodes a meter may be on, as resource strings."""

class Meter:
    """A bench multimeter by its VISA resource string ("TCPIP::host::5025::SOCKET",
    "ASRL/dev/ttyUSB0::INSTR" or "sim"), opened at once; each read() is a fresh reading."""
    def __init__(self, resource: str, function: str = "resistance",
                 range: Union[None, float, str] = None, timeout: float = 3.0,
                 serial: str = "") -> None: ...
    def read(self) -> float: ...
    @property
    def identity(self) -> tuple: ...  # (maker, model, serial, firmware)
    @property
    def unit(self) -> str: ...        # "Ohm" or "V"
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Meter": ...
    def __exit__(self, *args: object) -> None: ...
