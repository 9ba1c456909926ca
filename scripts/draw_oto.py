#!/usr/bin/env python3
"""Draws one recording of a voicebank with its oto.ini lines as a PNG:
the waveform, a spectrogram, and a row per alias with the marks a sampler's
oto editor shows (offset, overlap, preutterance, the fixed consonant part,
the stretchable part up to the cutoff).

Usage: draw_oto.py OUT.png BANK RECORDING
BANK is the folder holding oto.ini (Shift-JIS) and RECORDING.wav (16-bit
mono). Needs numpy, matplotlib and a font with kana (scripts/setup
python3-numpy python3-matplotlib fonts-ipafont-gothic).
"""
import os
import sys
import wave

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib import font_manager  # noqa: E402
from matplotlib.patches import Patch, Rectangle  # noqa: E402

KANA_FONTS = ["IPAGothic", "IPAPGothic", "Noto Sans CJK JP", "VL Gothic"]
FIXED, STRETCH, OVERLAP, PREUTTERANCE = "#f4b6c2", "#b9d7f0", "#2e9d3a", "#d62728"


def read_samples(path):
    with wave.open(path) as w:
        if w.getsampwidth() != 2 or w.getnchannels() != 1:
            sys.exit(f"draw_oto.py: {path} is not 16-bit mono")
        rate = w.getframerate()
        x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(float) / 32768
    return x, rate


def read_lines(bank, recording, length_ms):
    """The lines of `recording` in oto.ini, in their order, as
    (alias, offset, consonant end, cutoff, preutterance, overlap), all in ms
    from the file's start."""
    with open(os.path.join(bank, "oto.ini"), "rb") as f:
        text = f.read().decode("cp932")
    lines = []
    for line in text.splitlines():
        if "=" not in line:
            continue
        wav, rest = line.split("=", 1)
        if wav != recording + ".wav":
            continue
        alias, *values = rest.split(",")
        offset, consonant, cutoff, preutterance, overlap = (float(v) for v in values)
        end = offset - cutoff if cutoff < 0 else length_ms - cutoff
        lines.append((alias, offset, offset + consonant, end, offset + preutterance, offset + overlap))
    return lines


def merged(lines):
    """Lines with the same values drawn once, their aliases joined."""
    out = []
    for alias, *values in lines:
        for i, (names, *others) in enumerate(out):
            if others == values:
                out[i] = (names + ", " + alias, *others)
                break
        else:
            out.append((alias, *values))
    return out


def draw(out, bank, recording):
    x, rate = read_samples(os.path.join(bank, recording + ".wav"))
    length_ms = len(x) * 1000 / rate
    lines = merged(read_lines(bank, recording, length_ms))
    if not lines:
        sys.exit(f"draw_oto.py: oto.ini has no line for {recording}.wav")
    available = {f.name for f in font_manager.fontManager.ttflist}
    kana = [f for f in KANA_FONTS if f in available]
    if not kana:
        sys.exit("draw_oto.py: no font with kana (scripts/setup fonts-ipafont-gothic)")
    plt.rcParams.update({"font.family": kana[0], "font.size": 9})

    rows = len(lines)
    fig = plt.figure(figsize=(12, 3.2 + 0.26 * rows), dpi=100)
    grid = fig.add_gridspec(3, 1, height_ratios=[1.0, 1.7, 0.26 * rows], hspace=0.06,
                            left=0.035, right=0.99, top=0.9, bottom=0.055)
    wave_ax = fig.add_subplot(grid[0])
    spec_ax = fig.add_subplot(grid[1], sharex=wave_ax)
    oto_ax = fig.add_subplot(grid[2], sharex=wave_ax)
    t = np.arange(len(x)) * 1000 / rate

    wave_ax.plot(t, x, color="#333333", linewidth=0.4)
    wave_ax.set_ylim(-1, 1)
    wave_ax.set_yticks([])
    wave_ax.set_title(f"{recording}.wav and its oto.ini lines", loc="left", fontsize=11)

    # Up to 8 kHz, 20 ms windows every 2 ms: formants and noise bands, not harmonics.
    window = int(0.020 * rate)
    # (A floor far under the quietest sample: digital silence has no logarithm.)
    spec_ax.specgram(x + 1e-9, NFFT=window, Fs=rate, noverlap=window - int(0.002 * rate), window=np.hanning(window),
                     cmap="Greys", vmin=-108, vmax=-45, scale="dB", xextent=(0, length_ms))
    spec_ax.set_ylim(0, 8000)
    spec_ax.set_yticks([0, 2000, 4000, 6000, 8000], ["0", "2", "4", "6", "8 kHz"])

    # Where each note's beat falls (every preutterance), across the sound,
    # with the syllable sung there.
    for alias, _, _, _, preutterance, _ in lines:
        for ax in (wave_ax, spec_ax):
            ax.axvline(preutterance, color=PREUTTERANCE, linewidth=0.6, alpha=0.5)
        sung = alias.split(", ")[-1].split(" ")[-1]
        if not sung.isascii():
            wave_ax.text(preutterance + 6, 0.72, sung, color=PREUTTERANCE, fontsize=10)

    for row, (alias, offset, consonant, cutoff, preutterance, overlap) in enumerate(lines):
        y = rows - 1 - row
        oto_ax.add_patch(Rectangle((offset, y + 0.15), consonant - offset, 0.7, color=FIXED, linewidth=0))
        oto_ax.add_patch(Rectangle((consonant, y + 0.15), cutoff - consonant, 0.7, color=STRETCH, linewidth=0))
        oto_ax.plot([offset, offset], [y + 0.1, y + 0.9], color="black", linewidth=1.2)
        oto_ax.plot([cutoff, cutoff], [y + 0.1, y + 0.9], color="#1f4e9a", linewidth=1.2)
        oto_ax.plot([overlap, overlap], [y + 0.1, y + 0.9], color=OVERLAP, linewidth=1.6)
        oto_ax.plot([preutterance, preutterance], [y + 0.05, y + 0.95], color=PREUTTERANCE, linewidth=1.8)
        # The name left of the sample, or inside it at the file's start.
        if offset > 0.08 * length_ms:
            oto_ax.text(offset - 8, y + 0.5, alias, ha="right", va="center")
        else:
            oto_ax.text(cutoff + 8, y + 0.5, alias, ha="left", va="center")
    oto_ax.set_ylim(0, rows)
    oto_ax.set_yticks([])
    oto_ax.set_xlim(0, length_ms)
    oto_ax.set_xlabel("ms")
    for ax in (wave_ax, spec_ax):
        ax.tick_params(labelbottom=False)

    legend = [Patch(facecolor="white", edgecolor="black", label="offset (black)"),
              Patch(color=OVERLAP, label="overlap"),
              Patch(color=PREUTTERANCE, label="preutterance (the beat)"),
              Patch(color=FIXED, label="offset to consonant: fixed"),
              Patch(color=STRETCH, label="consonant to cutoff: stretched"),
              Patch(facecolor="white", edgecolor="#1f4e9a", label="cutoff (blue)")]
    fig.legend(handles=legend, loc="upper right", ncol=6, frameon=False, fontsize=8.5, bbox_to_anchor=(0.99, 0.985))
    fig.savefig(out)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    draw(sys.argv[1], sys.argv[2], sys.argv[3])
