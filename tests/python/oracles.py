"""Plain Python versions of native algorithms, written for clarity, used as test oracles."""

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF


def expand_seed(seed):
    """PCG32 (XSH-RR) expansion of a 64-bit seed into eight 32-bit key words."""
    s = seed & MASK64
    words = []
    for _ in range(8):
        s = (s * 6364136223846793005 + 11634580027462260723) & MASK64
        x = (((s >> 18) ^ s) >> 27) & MASK32
        r = s >> 59
        words.append(((x >> r) | (x << ((32 - r) % 32))) & MASK32)
    return words


def _rotl(v, n):
    return ((v << n) | (v >> (32 - n))) & MASK32


def _quarter_round(x, a, b, c, d):
    x[a] = (x[a] + x[b]) & MASK32
    x[d] = _rotl(x[d] ^ x[a], 16)
    x[c] = (x[c] + x[d]) & MASK32
    x[b] = _rotl(x[b] ^ x[c], 12)
    x[a] = (x[a] + x[b]) & MASK32
    x[d] = _rotl(x[d] ^ x[a], 8)
    x[c] = (x[c] + x[d]) & MASK32
    x[b] = _rotl(x[b] ^ x[c], 7)


def chacha12_block(key, counter):
    """Sixteen output words of the ChaCha12 block for a key of eight words, nonce 0."""
    constants = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]  # "expand 32-byte k"
    state = constants + list(key) + [counter & MASK32, counter >> 32, 0, 0]
    x = list(state)
    for _ in range(6):
        _quarter_round(x, 0, 4, 8, 12)
        _quarter_round(x, 1, 5, 9, 13)
        _quarter_round(x, 2, 6, 10, 14)
        _quarter_round(x, 3, 7, 11, 15)
        _quarter_round(x, 0, 5, 10, 15)
        _quarter_round(x, 1, 6, 11, 12)
        _quarter_round(x, 2, 7, 8, 13)
        _quarter_round(x, 3, 4, 9, 14)
    return [(a + b) & MASK32 for a, b in zip(x, state)]


def chacha12_words(seed, count):
    """The first `count` 32-bit keystream words of the source seeded with `seed`."""
    key = expand_seed(seed)
    words = []
    counter = 0
    while len(words) < count:
        words.extend(chacha12_block(key, counter))
        counter += 1
    return words[:count]


class WordStream:
    """Reads a seeded keystream one 32-bit word at a time."""

    def __init__(self, seed):
        self.key = expand_seed(seed)
        self.counter = 0
        self.pending = []

    def next_u32(self):
        if not self.pending:
            self.pending = chacha12_block(self.key, self.counter)
            self.counter += 1
        return self.pending.pop(0)

    def next_u64(self):
        low = self.next_u32()
        return (self.next_u32() << 32) | low

    def uniform_inclusive_u32(self, high):
        """Uniform in [0, high] with the shifted-range rejection zone."""
        rng = (high + 1) & MASK32
        if rng == 0:
            return self.next_u32()
        shift = 32 - rng.bit_length()
        zone = ((rng << shift) - 1) & MASK32
        while True:
            m = self.next_u32() * rng
            if m & MASK32 <= zone:
                return m >> 32


def sample_distinct_indices(stream, length, amount):
    """`amount` distinct indices below `length` from a WordStream, in the sampler's order."""
    if amount > length:
        raise ValueError("`amount` of samples must be less than or equal to `length`")
    out = []
    if length < 2**32:
        for j in range(length - amount, length):
            t = stream.uniform_inclusive_u32(j)
            if t in out:
                out.insert(out.index(t), j)
            else:
                out.append(t)
        return out
    zone = MASK64 - ((2**64 - length) % length)
    while len(out) < amount:
        m = stream.next_u64() * length
        if m & MASK64 <= zone and (m >> 64) not in out:
            out.append(m >> 64)
    return out
