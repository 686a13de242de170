#!/usr/bin/env python3
"""Synthesizes and finishes Barnblast's sounds; driven by make-media.sh.

Standard library only, so the generator needs nothing beyond Debian's python3.
Every random source has a fixed seed: running it twice gives identical files.

  media_synth.py cluck OUT.wav            the looping hen's cluck
  media_synth.py shot OUT.wav             the gunshot
  media_synth.py kill OUT.wav             squawk and wing flutter
  media_synth.py music-dry OUT.wav        three loop periods of dry music (32-bit)
  media_synth.py finish-music IN OUT.wav  level the processed loop to 16-bit
  media_synth.py finish-prompt IN OUT.wav trim, level and fade a spoken prompt
"""

import array
import math
import random
import sys
import wave

# The mixer's own rate, so no sound is resampled as it plays.
RATE = 48000
TWO_PI = 2.0 * math.pi

# Levels shared by every one-shot and prompt, so nothing jumps out in play.
TARGET_ACTIVE_RMS_DB = -20.0
CEILING = 10 ** (-1.2 / 20)  # under -1 dBFS even after 16-bit rounding
MUSIC_PEAK = 10 ** (-3.0 / 20)  # headroom for the MP3 encoder's overshoot

# The music loop: 8 bars of 4/4 at 60 bpm, so it wraps on a bar line.
BPM = 60.0
BEATS_PER_BAR = 4
BARS = 8
BEAT = int(RATE * 60.0 / BPM)
LOOP_FRAMES = BEAT * BEATS_PER_BAR * BARS


# ---------------------------------------------------------------- file i/o

def write_wav(path, channels, samples, width=2):
    """Writes interleaved float samples (-1..1) as integer PCM."""
    full = (1 << (8 * width - 1)) - 1
    data = array.array('h' if width == 2 else 'i')
    for s in samples:
        v = int(round(s * full))
        data.append(max(-full, min(full, v)))
    if sys.byteorder == 'big':
        data.byteswap()
    with wave.open(path, 'wb') as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(RATE)
        w.writeframes(data.tobytes())


def read_wav(path):
    """Reads 16- or 32-bit integer PCM, including sox's extensible headers,
    which the wave module refuses."""
    with open(path, 'rb') as f:
        blob = f.read()
    if blob[:4] != b'RIFF' or blob[8:12] != b'WAVE':
        sys.exit(f'{path}: not a WAV file')
    pos, fmt, raw = 12, None, None
    while pos + 8 <= len(blob):
        cid, size = blob[pos:pos + 4], int.from_bytes(blob[pos + 4:pos + 8], 'little')
        body = blob[pos + 8:pos + 8 + size]
        if cid == b'fmt ':
            fmt = body
        elif cid == b'data':
            raw = body
        pos += 8 + size + (size & 1)
    if fmt is None or raw is None:
        sys.exit(f'{path}: missing fmt or data chunk')
    channels = int.from_bytes(fmt[2:4], 'little')
    rate = int.from_bytes(fmt[4:8], 'little')
    width = int.from_bytes(fmt[14:16], 'little') // 8
    if rate != RATE or width not in (2, 4):
        sys.exit(f'{path}: expected {RATE} Hz 16/32-bit PCM, got {rate} Hz {8 * width}-bit')
    data = array.array('h' if width == 2 else 'i')
    data.frombytes(raw[:len(raw) - len(raw) % width])
    if sys.byteorder == 'big':
        data.byteswap()
    scale = 1.0 / ((1 << (8 * width - 1)) - 1)
    return channels, [v * scale for v in data]


# ---------------------------------------------------------------- building blocks

class Biquad:
    """RBJ cookbook filter, direct form I."""

    def __init__(self, kind, freq, q):
        w = TWO_PI * freq / RATE
        cw, alpha = math.cos(w), math.sin(w) / (2 * q)
        if kind == 'bandpass':
            b = (alpha, 0.0, -alpha)
        elif kind == 'lowpass':
            b = ((1 - cw) / 2, 1 - cw, (1 - cw) / 2)
        elif kind == 'highpass':
            b = ((1 + cw) / 2, -(1 + cw), (1 + cw) / 2)
        else:
            raise ValueError(kind)
        a0 = 1 + alpha
        self.b = [x / a0 for x in b]
        self.a = [-2 * cw / a0, (1 - alpha) / a0]
        self.x1 = self.x2 = self.y1 = self.y2 = 0.0

    def run(self, xs):
        b0, b1, b2 = self.b
        a1, a2 = self.a
        x1, x2, y1, y2 = self.x1, self.x2, self.y1, self.y2
        out = []
        for x in xs:
            y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2
            x2, x1, y2, y1 = x1, x, y1, y
            out.append(y)
        self.x1, self.x2, self.y1, self.y2 = x1, x2, y1, y2
        return out


def noise(n, seed):
    rng = random.Random(seed)
    return [rng.uniform(-1.0, 1.0) for _ in range(n)]


def interp(points, t):
    """Piecewise-linear value of [(time, value), ...] at time t."""
    if t <= points[0][0]:
        return points[0][1]
    for (t0, v0), (t1, v1) in zip(points, points[1:]):
        if t <= t1:
            return v0 + (v1 - v0) * (t - t0) / (t1 - t0)
    return points[-1][1]


def mix_into(dest, src, start, gain=1.0):
    for i, s in enumerate(src):
        j = start + i
        if 0 <= j < len(dest):
            dest[j] += gain * s


def formant_gain(f, formants):
    """Spectral envelope: a sum of resonance bumps (freq, bandwidth, gain)."""
    g = 0.0
    for fc, bw, a in formants:
        d = (f - fc) / (0.5 * bw)
        g += a / (1.0 + d * d)
    return g


def bird_call(dur, pitch, formants, seed, rasp=0.3, breath=0.25, attack=0.003,
              decay_shape=1.5, click=0.6):
    """A voiced bird call: a pitched source shaped by formants, with breath
    noise and an onset click.

    pitch: [(t, Hz), ...]; formants: [(t, [(Hz, bandwidth, gain), ...]), ...]
    with the same formant count at every point. The click and fast attack
    give each call the sharp onset the ear uses to place it.
    """
    rng = random.Random(seed)
    n = int(dur * RATE)
    out = [0.0] * n
    phase = 0.0
    jitter = 0.0
    amps = []
    block = 64
    for i in range(n):
        t = i / RATE
        if i % block == 0:
            f0 = interp(pitch, t)
            # Interpolate formant tables point by point.
            fa = None
            for (t0, ft0), (t1, ft1) in zip(formants, formants[1:]):
                if t <= t1:
                    u = 0.0 if t1 == t0 else max(0.0, (t - t0) / (t1 - t0))
                    fa = [(a[0] + (b[0] - a[0]) * u, a[1] + (b[1] - a[1]) * u,
                           a[2] + (b[2] - a[2]) * u) for a, b in zip(ft0, ft1)]
                    break
            if fa is None:
                fa = formants[-1][1]
            kmax = int(min(11000.0, 0.45 * RATE) / f0)
            amps = [formant_gain(k * f0, fa) / k ** 0.6 for k in range(1, kmax + 1)]
            jitter = 0.85 * jitter + 0.15 * rng.gauss(0.0, 0.02)
        phase += TWO_PI * f0 * (1.0 + jitter) / RATE
        v = 0.0
        for k, a in enumerate(amps, 1):
            v += a * math.sin(k * phase)
        # Period doubling gives the hoarse edge of a hen's voice.
        v *= 1.0 + rasp * math.sin(0.5 * phase)
        out[i] = v
    peak = max(1e-9, max(abs(x) for x in out))
    out = [x / peak for x in out]

    # Breath: band noise pulsed with the voice so the two fuse.
    hiss = Biquad('bandpass', 2600.0, 0.7).run(noise(n, seed + 1))
    hpeak = max(1e-9, max(abs(x) for x in hiss))
    ph = 0.0
    for i in range(n):
        ph += TWO_PI * interp(pitch, i / RATE) / RATE
        out[i] += breath * hiss[i] / hpeak * (0.6 + 0.4 * math.cos(ph))

    # Onset click: a couple of milliseconds of bright noise.
    cn = int(0.004 * RATE)
    crack = Biquad('highpass', 3000.0, 0.7).run(noise(cn, seed + 2))
    for i in range(min(cn, n)):
        out[i] += click * crack[i] * math.exp(-i / (0.0008 * RATE))

    # Envelope: fast rise, shaped fall, short fade to exact zero.
    a_n = max(1, int(attack * RATE))
    tail = int(0.012 * RATE)
    for i in range(n):
        if i < a_n:
            e = math.sin(0.5 * math.pi * i / a_n)
        else:
            e = (1.0 - (i - a_n) / max(1, n - a_n)) ** decay_shape
        if i >= n - tail:
            e *= (n - i) / tail
        out[i] *= e
    return out


def soft_limit(xs, ceiling=CEILING, knee=0.6):
    """Leaves everything below knee*ceiling alone and bends peaks under the ceiling."""
    k = knee * ceiling
    room = ceiling - k
    out = []
    for x in xs:
        a = abs(x)
        if a > k:
            a = k + room * math.tanh((a - k) / room)
            x = a if x > 0 else -a
        out.append(x)
    return out


def active_rms(xs, channels=1):
    """RMS over the 10 ms blocks within 30 dB of the loudest one, so pauses
    between words or clucks don't count towards loudness."""
    n = int(0.01 * RATE) * channels
    blocks = []
    for i in range(0, len(xs), n):
        chunk = xs[i:i + n]
        blocks.append(sum(x * x for x in chunk) / max(1, len(chunk)))
    loud = max(blocks)
    used = [b for b in blocks if b >= loud * 1e-3]
    return math.sqrt(sum(used) / len(used))


def remove_dc(xs):
    m = sum(xs) / len(xs)
    return [x - m for x in xs]


def level(xs, target_db=TARGET_ACTIVE_RMS_DB):
    xs = remove_dc(xs)
    g = 10 ** (target_db / 20) / max(1e-9, active_rms(xs))
    return soft_limit([x * g for x in xs])


def fade(xs, fade_in=0.0, fade_out=0.0):
    xs = list(xs)
    fi, fo = int(fade_in * RATE), int(fade_out * RATE)
    for i in range(min(fi, len(xs))):
        xs[i] *= i / fi
    for i in range(min(fo, len(xs))):
        xs[len(xs) - 1 - i] *= i / fo
    return xs


# ---------------------------------------------------------------- the cluck

def cluck_call(seed, f0=380.0, dur=0.095, glide=0.75, bright=1.0):
    """One short 'buk': pitch flicks up then drops as the beak closes."""
    formants_open = [(850 * bright, 300, 1.0), (1650 * bright, 400, 0.8),
                     (2900 * bright, 600, 0.45), (4800, 1500, 0.15)]
    formants_closed = [(600, 250, 1.0), (1300, 400, 0.5), (2600, 600, 0.3), (4800, 1500, 0.1)]
    return bird_call(
        dur,
        pitch=[(0.0, f0 * 0.9), (dur * 0.25, f0 * 1.08), (dur, f0 * glide)],
        formants=[(0.0, formants_open), (dur * 0.35, formants_open), (dur, formants_closed)],
        seed=seed, rasp=0.35, breath=0.3, attack=0.002, decay_shape=1.2, click=0.5)


def gawk_call(seed):
    """The drawn-out 'ba-GAWK' that tells the ear this is a hen."""
    dur = 0.30
    wide = [(1050, 350, 1.0), (2100, 500, 0.9), (3300, 700, 0.5), (5200, 1800, 0.2)]
    closing = [(750, 300, 1.0), (1500, 450, 0.6), (2800, 700, 0.35), (5000, 1800, 0.12)]
    return bird_call(
        dur,
        pitch=[(0.0, 520.0), (0.06, 690.0), (0.18, 640.0), (dur, 430.0)],
        formants=[(0.0, closing), (0.05, wide), (0.2, wide), (dur, closing)],
        seed=seed, rasp=0.5, breath=0.35, attack=0.004, decay_shape=0.8, click=0.4)


def make_cluck():
    loop = int(3.2 * RATE)
    out = [0.0] * loop
    # (start s, f0, length s, gain, end glide): an uneven run of clucks,
    # never more than half a second apart so the bird is always placeable.
    pattern = [
        (0.004, 390, 0.090, 1.00, 0.75),
        (0.330, 370, 0.085, 0.85, 0.72),
        (0.800, 410, 0.080, 0.95, 0.78),
        (0.990, 395, 0.080, 0.80, 0.74),
        (1.180, 420, 0.100, 0.95, 0.70),
        (1.640, 380, 0.085, 0.85, 0.75),
        (2.000, 450, 0.070, 0.80, 0.85),
    ]
    for n, (start, f0, dur, gain, glide) in enumerate(pattern):
        mix_into(out, cluck_call(100 + n, f0, dur, glide), int(start * RATE), gain)
    mix_into(out, gawk_call(200), int(2.09 * RATE), 0.9)
    # Level on the calls themselves; the loop already starts and ends silent.
    return level(out)


# ---------------------------------------------------------------- the shot

def make_shot():
    n = int(0.75 * RATE)
    crack_noise = noise(n, 300)
    body_noise = noise(n, 301)
    tail_noise = noise(n, 302)
    out = [0.0] * n
    # Muzzle crack: a one-millisecond N-wave then very fast bright noise.
    nw = int(0.0012 * RATE)
    for i in range(nw):
        out[i] += 1.4 * math.sin(TWO_PI * i / nw)
    lp = 0.0
    for i in range(n):
        t = i / RATE
        # Noise darkens as it decays, like the blast thinning out.
        cut = 9000.0 * math.exp(-t / 0.05) + 500.0
        c = 1.0 - math.exp(-TWO_PI * cut / RATE)
        lp += c * (crack_noise[i] - lp)
        out[i] += 1.2 * crack_noise[i] * math.exp(-t / 0.006)
        out[i] += 0.9 * lp * math.exp(-t / 0.06)
    # Low thump with a falling pitch gives the shot its weight.
    ph = 0.0
    for i in range(n):
        t = i / RATE
        ph += TWO_PI * (45.0 + 90.0 * math.exp(-t / 0.04)) / RATE
        out[i] += 0.7 * math.sin(ph) * math.exp(-t / 0.08) * min(1.0, t / 0.002)
    # Slapback off the barn wall, then a short diffuse tail.
    for delay, gain, cutoff in ((0.085, 0.35, 2500.0), (0.17, 0.18, 1500.0)):
        echo = Biquad('lowpass', cutoff, 0.7).run(fade(out[:int(0.05 * RATE)], fade_out=0.03))
        mix_into(out, echo, int(delay * RATE), gain)
    tail = Biquad('lowpass', 1800.0, 0.5).run(tail_noise)
    for i in range(n):
        t = i / RATE
        out[i] += 0.12 * tail[i] * math.exp(-t / 0.16) * min(1.0, t / 0.02)
    out = Biquad('highpass', 30.0, 0.7).run(out)
    return fade(level(out), fade_out=0.08)


# ---------------------------------------------------------------- the kill

def make_kill():
    n = int(1.05 * RATE)
    out = [0.0] * n
    # Squawk: a high, hoarse distress call, then a weaker second cry.
    squawk = bird_call(
        0.34,
        pitch=[(0.0, 700.0), (0.05, 1050.0), (0.2, 980.0), (0.34, 620.0)],
        formants=[(0.0, [(1200, 400, 1.0), (2400, 600, 0.9), (3600, 800, 0.6), (6000, 2000, 0.3)]),
                  (0.34, [(900, 350, 1.0), (1900, 500, 0.7), (3200, 800, 0.4), (5500, 2000, 0.2)])],
        seed=400, rasp=0.7, breath=0.5, attack=0.003, decay_shape=0.7, click=0.6)
    mix_into(out, squawk, int(0.002 * RATE), 1.0)
    second = bird_call(
        0.16,
        pitch=[(0.0, 850.0), (0.04, 900.0), (0.16, 560.0)],
        formants=[(0.0, [(1100, 400, 1.0), (2200, 600, 0.8), (3400, 800, 0.5), (5800, 2000, 0.25)]),
                  (0.16, [(800, 350, 1.0), (1700, 500, 0.6), (3000, 800, 0.3), (5500, 2000, 0.15)])],
        seed=401, rasp=0.8, breath=0.5, attack=0.003, decay_shape=1.0, click=0.3)
    mix_into(out, second, int(0.40 * RATE), 0.55)

    # Flutter: wing beats slowing down and dying away, each a soft thump
    # with a feathery rustle.
    rng = random.Random(402)
    t = 0.12
    beat = 0.055
    strength = 0.9
    k = 0
    while t < 0.98:
        ln = int(0.045 * RATE)
        raw = noise(ln, 410 + k)
        rustle = Biquad('bandpass', rng.uniform(1800.0, 3200.0), 0.8).run(raw)
        thump = Biquad('lowpass', 350.0, 0.7).run(raw)
        flap = []
        for i in range(ln):
            e = min(1.0, i / (0.003 * RATE)) * math.exp(-i / (0.012 * RATE))
            flap.append(e * (0.8 * rustle[i] + 1.5 * thump[i]))
        mix_into(out, flap, int(t * RATE), strength * rng.uniform(0.7, 1.0))
        t += beat * rng.uniform(0.85, 1.15)
        beat *= 1.07
        strength *= 0.9
        k += 1
    out = Biquad('highpass', 40.0, 0.7).run(out)
    return fade(level(out), fade_out=0.06)


# ---------------------------------------------------------------- the music

def note_hz(name):
    names = {'C': 0, 'Db': 1, 'D': 2, 'Eb': 3, 'E': 4, 'F': 5, 'Gb': 6, 'G': 7,
             'Ab': 8, 'A': 9, 'Bb': 10, 'B': 11}
    pitch, octave = name[:-1], int(name[-1])
    return 440.0 * 2 ** ((names[pitch] + 12 * (octave + 1) - 69) / 12)


# Eight bars in F: the last chord leans back into the first so the loop turns.
CHORDS = [
    ('F2',  ['A2', 'C3', 'F3']),
    ('D2',  ['A2', 'D3', 'F3']),
    ('Bb1', ['Bb2', 'D3', 'F3']),
    ('C2',  ['G2', 'C3', 'E3']),
    ('F2',  ['A2', 'C3', 'F3']),
    ('A1',  ['A2', 'C3', 'E3']),
    ('Bb1', ['Bb2', 'D3', 'F3']),
    ('C2',  ['G2', 'Bb2', 'E3']),
]

# Melody, per bar: (beat, length in beats, note). Mostly under 400 Hz,
# the register the cluck leaves free.
MELODY = [
    [(0, 2, 'C4'), (2, 1, 'A3'), (3, 1, 'C4')],
    [(0, 3, 'D4'), (3, 1, 'F4')],
    [(0, 2, 'D4'), (2, 1, 'C4'), (3, 1, 'Bb3')],
    [(0, 3, 'C4')],
    [(0, 2, 'A3'), (2, 1, 'C4'), (3, 1, 'F4')],
    [(0, 3, 'E4'), (3, 1, 'C4')],
    [(0, 2, 'D4'), (2, 1, 'F4'), (3, 1, 'D4')],
    [(0, 2, 'C4'), (2, 1, 'Bb3'), (3, 1, 'G3')],
]

# Arpeggio order over the chord tones, one per eighth note.
ARPEGGIO = [0, 1, 2, 1, 0, 1, 2, 1]


def render_tone(dest, ch, start, length, freq, harmonics, attack, release,
                gain, vibrato=0.0, detune=1.0):
    """Adds a sustained tone with a smooth attack and release to one
    channel of a stereo buffer (wrapping around the loop)."""
    total = length + int(release * RATE)
    a_n = max(1, int(attack * RATE))
    r_n = max(1, int(release * RATE))
    f = freq * detune
    ph = 0.0
    size = len(dest) // 2
    for i in range(total):
        if i < a_n:
            e = 0.5 - 0.5 * math.cos(math.pi * i / a_n)
        else:
            e = 1.0
        if i >= length:
            e *= 0.5 + 0.5 * math.cos(math.pi * (i - length) / r_n)
        vib = 1.0 + vibrato * math.sin(TWO_PI * 4.8 * i / RATE) * min(1.0, i / (0.6 * RATE))
        ph += TWO_PI * f * vib / RATE
        v = 0.0
        for k, a in harmonics:
            v += a * math.sin(k * ph)
        j = (start + i) % size
        dest[2 * j + ch] += gain * e * v


def render_pluck(dest, ch, start, freq, gain, seed):
    """Karplus-Strong string: a soft, nylon-like pluck, wrapped into the loop."""
    # Loop delay = whole samples + interpolated fraction + the averager's half.
    period = RATE / freq - 0.5
    d = int(period)
    frac = period - d
    m = d + 2
    rng = random.Random(seed)
    hist = [rng.uniform(-1.0, 1.0) for _ in range(m)]
    # Pre-smoothing the excitation softens the attack: a thumb, not a pick.
    for _ in range(3):
        hist = [(hist[i - 1] + hist[i]) * 0.5 for i in range(m)]
    n = int(2.5 * RATE)
    # Same ring time for every pitch, and a fade so no note is cut off.
    loss = 10 ** (-3.0 * period / (1.4 * RATE))
    fade_n = int(0.4 * RATE)
    size = len(dest) // 2
    prev = 0.0
    for i in range(n):
        y = (1.0 - frac) * hist[(i - d) % m] + frac * hist[(i - d - 1) % m]
        hist[i % m] = loss * 0.5 * (y + prev)
        prev = y
        env = min(1.0, i / (0.004 * RATE), (n - i) / fade_n)
        j = (start + i) % size
        dest[2 * j + ch] += gain * env * y


def make_music_dry():
    size = LOOP_FRAMES
    buf = [0.0] * (2 * size)
    bar = BEAT * BEATS_PER_BAR
    soft = [(1, 1.0), (2, 0.25), (3, 0.08)]
    for b, (root, triad) in enumerate(CHORDS):
        start = b * bar
        # Bass: root for three beats, a touch of the octave on beat four.
        r = note_hz(root)
        for ch in (0, 1):
            render_tone(buf, ch, start, 3 * BEAT, r, [(1, 1.0), (2, 0.35)], 0.05, 0.9, 0.22)
            render_tone(buf, ch, start + 3 * BEAT, BEAT // 2, 2 * r, [(1, 1.0), (2, 0.2)], 0.04, 0.6, 0.1)
        # Pad: each voice slightly detuned between the ears for width.
        for v, name in enumerate(triad):
            f = note_hz(name)
            render_tone(buf, 0, start, bar, f, soft, 0.9, 1.6, 0.07, detune=1.0 - 0.0012 * (v + 1))
            render_tone(buf, 1, start, bar, f, soft, 0.9, 1.6, 0.07, detune=1.0 + 0.0012 * (v + 1))
        # Plucked arpeggio, left of centre, an octave up from the pad.
        for e8, tone in enumerate(ARPEGGIO):
            f = note_hz(triad[tone]) * (2 if e8 % 4 == 2 else 1)
            pos = start + e8 * BEAT // 2
            g = 0.16 if e8 % 2 == 0 else 0.11
            render_pluck(buf, 0, pos, f, g, 500 + 8 * b + e8)
            render_pluck(buf, 1, pos, f, g * 0.55, 500 + 8 * b + e8)
        # Melody, right of centre, a soft ocarina-like tone with late vibrato.
        for beat, length, name in MELODY[b]:
            pos = start + beat * BEAT
            f = note_hz(name)
            harm = [(1, 1.0), (2, 0.12)]
            render_tone(buf, 1, pos, length * BEAT - BEAT // 8, f, harm, 0.08, 0.5, 0.16, vibrato=0.004)
            render_tone(buf, 0, pos, length * BEAT - BEAT // 8, f, harm, 0.08, 0.5, 0.09, vibrato=0.004)
    # Three periods in a row: the reverb and filter settle in the first, and
    # the middle one, cut out afterwards, carries its own tail into its start.
    peak = max(abs(x) for x in buf)
    buf = [x * 0.25 / peak for x in buf]
    return buf * 3


def finish_music(path):
    channels, xs = read_wav(path)
    if channels != 2 or len(xs) != 2 * LOOP_FRAMES:
        sys.exit(f'{path}: expected one stereo loop of {LOOP_FRAMES} frames')
    for ch in (0, 1):
        m = sum(xs[ch::2]) / LOOP_FRAMES
        for i in range(ch, len(xs), 2):
            xs[i] -= m
    g = MUSIC_PEAK / max(abs(x) for x in xs)
    xs = [x * g for x in xs]
    # Start the file just before the first downbeat, where both channels pass
    # quietly near zero: an MP3 encoder smears a file's first and last frames,
    # and that smear is inaudible only when the signal there is small.
    def cost(i):
        j = (i + 1) % LOOP_FRAMES
        return (max(abs(xs[2 * i]), abs(xs[2 * i + 1]))
                + 5 * max(abs(xs[2 * j] - xs[2 * i]), abs(xs[2 * j + 1] - xs[2 * i + 1])))
    start = min(range(LOOP_FRAMES - int(0.4 * RATE), LOOP_FRAMES + int(0.1 * RATE)),
                key=lambda i: cost(i % LOOP_FRAMES)) % LOOP_FRAMES
    return xs[2 * start:] + xs[:2 * start]


# ---------------------------------------------------------------- prompts

def finish_prompt(path):
    channels, xs = read_wav(path)
    if channels != 1:
        sys.exit(f'{path}: expected mono speech')
    xs = remove_dc(xs)
    gate = 0.004
    first = next(i for i, x in enumerate(xs) if abs(x) > gate)
    last = len(xs) - next(i for i, x in enumerate(reversed(xs)) if abs(x) > gate)
    # Keep a few milliseconds before the first word and a short natural tail.
    xs = xs[max(0, first - int(0.01 * RATE)):min(len(xs), last + int(0.15 * RATE))]
    return fade(level(xs), fade_in=0.005, fade_out=0.05)


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    cmd, out = argv[1], argv[-1]
    if cmd == 'cluck':
        write_wav(out, 1, make_cluck())
    elif cmd == 'shot':
        write_wav(out, 1, make_shot())
    elif cmd == 'kill':
        write_wav(out, 1, make_kill())
    elif cmd == 'music-dry':
        write_wav(out, 2, make_music_dry(), width=4)
    elif cmd == 'finish-music' and len(argv) == 4:
        write_wav(out, 2, finish_music(argv[2]))
    elif cmd == 'finish-prompt' and len(argv) == 4:
        write_wav(out, 1, finish_prompt(argv[2]))
    else:
        sys.exit(__doc__)


if __name__ == '__main__':
    main(sys.argv)
