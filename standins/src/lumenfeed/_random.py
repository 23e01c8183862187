"""Counter-based random numbers: every value is a hash of (instrument, day, slot, stream).

Nothing depends on the order or the range in which values are asked for, so
the same day always gets the same numbers, whatever span a call covers.
"""
import zlib

import numpy as np

_U64 = np.uint64
_GOLDEN = _U64(0x9E3779B97F4A7C15)
_SLOT = _U64(0xD1B54A32D192ED03)
_STREAM = _U64(0x8CB92BA72F3D8DD7)
_M1 = _U64(0xBF58476D1CE4E5B9)
_M2 = _U64(0x94D049BB133111EB)
_LOW32 = _U64(0xFFFFFFFF)
_2_32 = 2.0 ** -32


def _mix(x):
    """The splitmix64 finaliser on a uint64 array (wrapping arithmetic)."""
    with np.errstate(over="ignore"):
        x = (x ^ (x >> _U64(30))) * _M1
        x = (x ^ (x >> _U64(27))) * _M2
        return x ^ (x >> _U64(31))


_BITS64 = (1 << 64) - 1


def mix_int(x):
    """`_mix` of one Python int: the same value, without an array's overhead."""
    x = ((x ^ (x >> 30)) * int(_M1)) & _BITS64
    x = ((x ^ (x >> 27)) * int(_M2)) & _BITS64
    return x ^ (x >> 31)


def text_seed(text):
    """A stable 64-bit seed of a text (crc32, spread over 64 bits)."""
    return mix_int(zlib.crc32(text.encode("utf-8")))


def key_uniforms(seed, stream, n):
    """`uniform_pair(grid_bits(day_keys(seed, [0], stream), n)[0])[0]` as a
    list, in Python ints: n uniforms of one key."""
    key = mix_int(mix_int(seed ^ ((stream + 1) * int(_STREAM) & _BITS64)))
    return [((mix_int(key ^ mix_int(slot * int(_SLOT) & _BITS64)) >> 32) + 0.5) * _2_32
            for slot in range(1, n + 1)]


def day_keys(seed, ordinals, stream):
    """One 64-bit key per day: `ordinals` are days since 1970 (int array)."""
    with np.errstate(over="ignore"):
        x = np.asarray(ordinals, dtype=np.int64).astype(_U64) * _GOLDEN
        x ^= _U64(seed) ^ (_U64(stream + 1) * _STREAM)
    return _mix(_mix(x))


def quick_keys(seed, ordinals, stream):
    """Like `day_keys`, mixed once: for long spans of days, where half the cost counts."""
    with np.errstate(over="ignore"):
        x = np.asarray(ordinals, dtype=np.int64).astype(_U64) * _GOLDEN
        x ^= _U64(seed) ^ (_U64(stream + 1) * _STREAM)
    return _mix(x)


def grid_bits(keys, n_slots):
    """(days, slots) array of 64-bit values from per-day keys."""
    with np.errstate(over="ignore"):
        slots = _mix(np.arange(1, n_slots + 1, dtype=_U64) * _SLOT)
    return _mix(keys[:, None] ^ slots[None, :])


def _inverse_normal_cdf(p):
    """Acklam's rational approximation (relative error below 1.2e-9)."""
    a = (-3.969683028665376e+01, 2.209460984245205e+02, -2.759285104469687e+02, 1.383577518672690e+02,
         -3.066479806614716e+01, 2.506628277459239e+00)
    b = (-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02, 6.680131188771972e+01,
         -1.328068155288572e+01)
    c = (-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00, -2.549671010115750e+00,
         4.374664141464968e+00, 2.938163982698783e+00)
    d = (7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00, 3.754408661907416e+00)
    p = np.asarray(p, dtype=np.float64)
    tail = np.minimum(p, 1.0 - p)
    q = np.sqrt(-2.0 * np.log(tail))
    tail_value = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) / \
        ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0)
    tail_value = np.where(p < 0.5, tail_value, -tail_value)
    q = p - 0.5
    r = q * q
    central = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q / \
        (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0)
    return np.where(tail < 0.02425, tail_value, central)


# Per-slot noise comes from 16-bit fields of one hash (four independent fields a
# value) looked up in these tables: far cheaper than transcendental functions.
_CENTRES = (np.arange(1 << 16, dtype=np.float64) + 0.5) / (1 << 16)
_NORMAL16 = _inverse_normal_cdf(_CENTRES)
_EXPONENTIAL16 = -np.log(_CENTRES)
_MASK16 = _U64(0xFFFF)


def _field(bits, k):
    return ((bits >> _U64(16 * k)) & _MASK16).astype(np.intp)


def normal16(bits, k):
    """Standard normal values from the k-th 16-bit field (k = 0..3) of each value."""
    return _NORMAL16[_field(bits, k)]


def exponential16(bits, k):
    """Exponential(1) values from the k-th 16-bit field."""
    return _EXPONENTIAL16[_field(bits, k)]


def uniform16(bits, k):
    """Uniform values in (0, 1) from the k-th 16-bit field."""
    return _CENTRES[_field(bits, k)]


def uniform_pair(bits):
    """Two independent uniforms in (0, 1) from the two halves of each value."""
    hi = ((bits >> _U64(32)).astype(np.float64) + 0.5) * _2_32
    lo = ((bits & _LOW32).astype(np.float64) + 0.5) * _2_32
    return hi, lo


def normal(bits):
    """Standard normal values (Box-Muller on the two halves)."""
    u1, u2 = uniform_pair(bits)
    return np.sqrt(-2.0 * np.log(u1)) * np.cos(2.0 * np.pi * u2)


def day_normal(seed, ordinals, stream):
    keys = day_keys(seed, ordinals, stream)
    return normal(keys)


def day_uniform(seed, ordinals, stream):
    return uniform_pair(day_keys(seed, ordinals, stream))[0]
