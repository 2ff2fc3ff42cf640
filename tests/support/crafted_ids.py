"""Ids made to collide under the fixed hash the module's tables used before
they were keyed (shared by the tests and the benchmark).

That hash sent each 8-byte half of an id (read little-endian) through a
bijection of its own and added the two. So for any first half there is
exactly one second half that gives a chosen sum, and any number of ids can
be made to share one full 64-bit hash: a table of n of them took time in n
squared. Under the keyed hash they spread as random ids do.
"""

_MASK = (1 << 64) - 1
_LO_XOR, _LO_MUL = 0x9E3779B97F4A7C15, 0xFF51AFD7ED558CCD
_HI_XOR, _HI_MUL = 0xC2B2AE3D27D4EB4F, 0xC4CEB9FE1A85EC53
_HI_MUL_INVERSE = pow(_HI_MUL, -1, 1 << 64)


def _lo_step(lo):
    a = ((lo ^ _LO_XOR) * _LO_MUL) & _MASK
    return a ^ (a >> 32)


def _hi_step(hi):
    b = ((hi ^ _HI_XOR) * _HI_MUL) & _MASK
    return b ^ (b >> 29)


def _hi_step_inverse(b):
    b ^= (b >> 29) ^ (b >> 58)  # undoes b ^= b >> 29
    return ((b * _HI_MUL_INVERSE) & _MASK) ^ _HI_XOR


def fixed_hash(ident):
    """The fixed hash of a 16-byte id."""
    return (_lo_step(int.from_bytes(ident[:8], "little")) + _hi_step(int.from_bytes(ident[8:], "little"))) & _MASK


def colliding_ids(count, target=0x0123456789ABCDEF):
    """`count` distinct ids whose fixed hash is `target`."""
    ids = []
    for i in range(count):
        lo = (i * 0x9E3779B97F4A7C15 + 1) & _MASK
        hi = _hi_step_inverse((target - _lo_step(lo)) & _MASK)
        ids.append(lo.to_bytes(8, "little") + hi.to_bytes(8, "little"))
    return ids
