"""Issue 22 candidate: a noise level that may change along x, as per-sample deviations.

The second differences of y (index-based, as the package's noise estimate reads them) are cut
into blocks of 8; the log of each block's median square is a noisy reading of the log noise
variance there that one jump (two large differences) barely moves. An exact constant-segment
fit of those readings, at a price of 3.5 log(blocks) of their own variance (measured from
their first differences), finds where the noise level changes; each segment's level gives
its noise standard deviation. These, divided by the smallest, are handed to ``vorn.select``
as ``delta``: the choice, its noise unit and its fits then read the samples of a noisy
stretch as that much less certain.
"""

from __future__ import annotations

import math

import numpy as np

from constant import fit_constant

BLOCK = 8


def local_deviations(y, price_per_log=3.5, block=BLOCK, spread_blocks=2):
    y2 = np.asarray(y, dtype=float).reshape(len(y), -1)
    n = y2.shape[0]
    ones = np.ones(n)
    if n < 8 * block:
        return ones, 0
    d2 = np.sum(np.diff(y2, n=2, axis=0) ** 2, axis=1)
    nb = d2.size // block
    med = np.median(d2[: nb * block].reshape(nb, block), axis=1)
    if not np.all(med > 0.0):
        return ones, 0
    z = np.log(med)
    spread = 1.4826 * np.median(np.abs(np.diff(z) - np.median(np.diff(z)))) / math.sqrt(2.0)
    if not spread > 0.0:
        return ones, 0
    fit = fit_constant(None, z, np.full(nb, spread), price_per_log * math.log(nb))
    if fit.jump_idx.size == 0:
        return ones, 0
    level = fit.fitted[:, 0]
    sd = np.exp(0.5 * (level - level.min()))
    # Block b covers second differences b*block .. b*block+block-1, centred on samples
    # b*block+1 ...; samples past the last block take its level.
    # A change in the noise level is placed to within a block or two: near it each sample
    # takes the larger level, as a quiet reading of noisy samples is what makes false jumps.
    sd = np.max(np.lib.stride_tricks.sliding_window_view(
        np.pad(sd, spread_blocks, mode="edge"), 2 * spread_blocks + 1), axis=1)
    idx = np.minimum(np.maximum(np.arange(n) - 1, 0) // block, nb - 1)
    return sd[idx], int(fit.jump_idx.size)
