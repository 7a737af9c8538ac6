#!/usr/bin/env python3
"""Writes the seed inputs in fuzz/corpus/<target>/, encoded the way
fuzz/fuzz_input.hpp decodes them. Run it again after changing a decoder."""
import pathlib
import shutil
import struct

HERE = pathlib.Path(__file__).resolve().parent

# Indices into the table of edge values in Input::number().
ZERO, NEG_ZERO, ONE, NEG_ONE, HALF, NAN, INF, NEG_INF = range(8)
DBL_MIN, DENORM_MIN, DBL_MAX, NEG_DBL_MAX, TINY, E16, E_4, P2, P8, P05, P95, E300, NEG_E300 = range(8, 21)


def u64(x):
    return struct.pack("<Q", x % 2**64)


def raw(x):  # number(): raw bits
    return bytes([0]) + struct.pack("<d", x)


def edge(i):  # number(): a value of the edge table
    return bytes([1, i])


def integer(v):  # number(): a small integer
    return bytes([2, v & 0xFF])


def sixteenth(v):  # number(): v / 16
    return bytes([3, v & 0xFF])


def unit_byte(b):  # unit(): b / 255
    return bytes([1, b])


def unit(number_bytes):  # unit(): any number()
    return bytes([0]) + number_bytes


def ints(values):
    return b"".join(integer(v) for v in values)


def raws(values):
    return b"".join(raw(v) for v in values)


CORPUS = {
    "fuzz_bootstrap_mean": {
        # data 1..10, block 3, 5 resamples, level 0.8, seed 42
        "worked_example": bytes([0, 10]) + ints(range(1, 11)) + bytes([3, 5]) + unit(edge(P8)) + u64(42),
        "nan_in_data": bytes([0, 3]) + integer(1) + edge(NAN) + integer(2) + bytes([1, 8]) + unit(edge(P95)) + u64(7),
        "one_resample_nan": bytes([0, 2]) + edge(NAN) + integer(4) + bytes([1, 1]) + unit_byte(128) + u64(0),
        "negative_zeros_from_entropy": bytes([2, 2]) + edge(NEG_ZERO) + edge(NEG_ZERO) + bytes([2, 3]) + unit_byte(128),
        "infinities_whole_block": bytes([0, 4]) + edge(E300) + edge(NEG_E300) + edge(INF) + raw(0.1)
        + bytes([4, 64]) + unit(edge(P95)) + u64(2**64 - 1),
        "empty": bytes([0, 0, 0, 1]) + unit_byte(100) + u64(1),
    },
    "fuzz_bootstrap_statistic": {
        "fails_on_third_call": bytes([10]) + ints(range(10)) + bytes([3, 5]) + unit(edge(P8)) + u64(42) + bytes([3, 0, 0]),
        "nan_on_a_resample": bytes([6]) + ints([5, -3, 8, 0, 2, 9]) + bytes([2, 12]) + unit(edge(P95)) + u64(0)
        + bytes([0, 4, 2]),
        "signed_zeros": bytes([5]) + ints([1, 2, 3, 4, 5]) + bytes([1, 40]) + unit_byte(200) + u64(3) + bytes([0, 0, 3]),
        "point_estimate_fails": bytes([3]) + ints([1, 2, 3]) + bytes([3, 2]) + unit_byte(128) + u64(9) + bytes([1, 0, 0]),
    },
    "fuzz_cluster_bootstrap": {
        # 3 interleaved clusters, 5 resamples, level 0.8, seed 42; codes as given
        "worked_example": bytes([8, 6]) + ints([1, 10, 100, 2, 120, 127]) + bytes([2]) + bytes([0, 1, 2, 0, 2, 2])
        + bytes([5]) + unit(edge(P8)) + u64(42),
        "every_item_its_own": bytes([8, 5]) + ints([3, 1, 4, 1, 5]) + bytes([5]) + bytes([0, 1, 2, 3, 4])
        + bytes([64]) + unit_byte(242) + u64(7),
        "unused_code": bytes([0, 3]) + ints([1, 2, 3]) + bytes([3]) + bytes([0, 3, 0]) + bytes([9]) + unit_byte(128)
        + u64(1),
        "nan_cluster": bytes([8, 4]) + integer(1) + edge(NAN) + integer(2) + integer(3) + bytes([1])
        + bytes([0, 1, 0, 1]) + bytes([20]) + unit(edge(P95)) + u64(0),
        "one_code_short": bytes([24, 3]) + ints([1, 2, 3]) + bytes([2]) + bytes([0, 1, 2]) + bytes([9])
        + unit_byte(128) + u64(3),
        "huge_code": bytes([4, 2]) + ints([1, 2]) + bytes([0]) + u64(0) + u64(2**64 - 1) + bytes([9])
        + unit_byte(128) + u64(3),
        "overflowing_totals": bytes([8, 4]) + edge(DBL_MAX) * 4 + bytes([1]) + bytes([0, 1, 0, 1]) + bytes([9])
        + unit(edge(P95)) + u64(11),
    },
    "fuzz_correction": {
        "bonferroni_example": bytes([4]) + b"".join(unit(raw(p)) for p in (0.01, 0.04, 0.03, 0.005)) + unit(edge(P05)),
        "step_up_example": bytes([5]) + b"".join(unit(raw(p)) for p in (0.01, 0.02, 0.03, 0.04, 0.05)) + unit(edge(P05)),
        "ties_and_zeros": bytes([7]) + unit(edge(NEG_ZERO)) + unit_byte(0) + unit_byte(128) + unit_byte(128)
        + unit(edge(ONE)) + unit_byte(3) + unit_byte(128) + unit_byte(20),
        "out_of_range": bytes([3]) + unit_byte(10) + unit(raw(1.5)) + unit(edge(NAN)) + unit_byte(10),
        "alpha_edge": bytes([2]) + unit_byte(5) + unit_byte(7) + unit(edge(ONE)),
    },
    "fuzz_effect_size": {
        "unit_effect": bytes([3]) + ints([1, 2, 3]) + bytes([3]) + ints([2, 3, 4]),
        "constant_groups": bytes([3]) + ints([1, 1, 1]) + bytes([3]) + ints([2, 2, 2]),
        "nan_and_infinity": bytes([2]) + edge(NAN) + integer(1) + bytes([3]) + edge(INF) + integer(0) + integer(2),
        "unequal_sizes": bytes([4]) + ints([0, 1, 2, 3]) + bytes([2]) + sixteenth(8) + sixteenth(24),
        "too_short": bytes([1]) + integer(1) + bytes([5]) + ints([1, 2, 3, 4, 5]),
    },
    "fuzz_length_bias": {
        "linear": bytes([1, 4]) + ints([1, 2, 3, 4]) + ints([10, 20, 30, 40]),
        "noisy": bytes([1, 5]) + ints([3, 1, 4, 1, 5]) + ints([100, 120, 127, -128, -100]),
        "identical_lengths": bytes([1, 3]) + ints([1, 2, 3]) + ints([5, 5, 5]),
        "mismatch": bytes([0, 3, 2]) + ints([1, 2, 3]) + ints([1, 2]),
        "nan_length": bytes([1, 3]) + ints([2, 2, 2]) + integer(1) + edge(NAN) + integer(3),
    },
    "fuzz_sequential": {
        "rejects_then_continues": unit(edge(P05)) + integer(1) + bytes([4]) + ints([1, 2, 3, -3]),
        "infinite_tau": unit(edge(P05)) + edge(INF) + bytes([3]) + ints([1, 5, -2]),
        "poisoned": unit_byte(25) + sixteenth(8) + bytes([4]) + integer(1) + edge(NAN) + ints([3, 4]),
        "bad_tau": unit_byte(25) + edge(NEG_ZERO),
    },
    "fuzz_studentized_bootstrap": {
        # values 1, 3, 5 (and -2, 0, 2, whose t = 0 ties), 5 resamples, seed 89: the core tests' hand case
        "worked_example": bytes([0, 3]) + ints([1, 3, 5]) + bytes([5]) + unit(edge(P2)) + u64(89),
        "ties_at_zero": bytes([0, 3]) + ints([-2, 0, 2]) + bytes([5]) + unit(edge(HALF)) + u64(89),
        # three distinct values repeated over 12, so resamples without spread give infinite t*
        "repeated_values": bytes([1, 12]) + ints([2, -1, 7] * 4) + bytes([39]) + unit(edge(P95)) + u64(7),
        "nan_value": bytes([0, 3]) + integer(1) + edge(NAN) + integer(2) + bytes([9]) + unit_byte(128) + u64(1),
        "equal_and_huge": bytes([0, 2]) + edge(DBL_MAX) + edge(DBL_MAX) + bytes([9]) + unit_byte(128) + u64(1),
        "overflowing_squares": bytes([0, 3]) + edge(E300) + edge(NEG_E300) + integer(0) + bytes([9])
        + unit_byte(128) + u64(1),
        "subnormal_spread": bytes([0, 4]) + edge(ZERO) + edge(DENORM_MIN) + edge(DBL_MIN) + edge(NEG_ZERO)
        + bytes([30]) + unit(edge(P8)) + u64(5),
        "one_value": bytes([0, 1]) + integer(4) + bytes([3]) + unit_byte(128) + u64(0),
    },
    "fuzz_sign_flip": {
        # 5 wins, 2 losses, a tie: the exact binomial tail, every pattern enumerated
        "mcnemar_enumerated": bytes([2, 8]) + edge(ONE) + bytes([1] * 5 + [2] * 2 + [0]) + bytes(8) + bytes([1])
        + unit(edge(P95)) + u64(1),
        # 30 pairs of magnitude 1/16, 64 drawn patterns
        "mcnemar_drawn": bytes([3, 13]) + sixteenth(1) + bytes([1, 2, 0] * 10) + bytes(30) + bytes([64])
        + unit(edge(P95)) + u64(2),
        "clustered_units": bytes([0, 8]) + ints([3, -1, 4, 1, -5, 9, 2, 6]) + bytes([0, 1, 2, 3] * 2) + bytes([1])
        + unit_byte(230) + u64(3),
        # 17 units: the first count past the enumeration
        "drawn_clusters": bytes([1, 0]) + ints([5, -2, 7, 1, 0, -3, 8, 2, -1, 4, 6, -4, 3, 9, -6, 2, 1])
        + bytes([0, 1, 2, 3] * 4 + [1]) + bytes([64]) + unit(edge(P8)) + u64(4),
        "equal_unit_means": bytes([0, 8]) + raws([0.1 * (1 + b % 4) for b in range(8)]) + bytes([b % 4 for b in range(8)])
        + bytes([1]) + unit(edge(P95)) + u64(5),
        # 2 / 2^5 >= 0.05: both bounds infinite
        "five_units": bytes([0, 5]) + ints([1, 2, 3, 4, 6]) + bytes(5) + bytes([1]) + unit(edge(P95)) + u64(6),
        "huge_totals": bytes([0, 6]) + raws([-1.7e308, 1.5e308, 1.4e308]) + ints([0, 0, 0]) + bytes(6) + bytes([1])
        + unit(edge(P95)) + u64(7),
        # |D - m N| overflows at the first step out of the centre
        "overflowing_observed": bytes([0, 6]) + raws([-1.7e308, 3e-304, 0.0, -2.3e305]) + sixteenth(-1) + sixteenth(-1)
        + bytes([3, 3, 2, 3, 3, 3]) + bytes([60]) + unit_byte(75) + u64(12),
        "bad_sizes": bytes([4, 3]) + ints([1, 2, 3]) + edge(HALF) + integer(0) + edge(NAN) + bytes([1])
        + unit_byte(128) + u64(8),
        "one_size_short": bytes([8, 3]) + ints([1, 2, 3]) + bytes(3) + bytes([1]) + unit_byte(128) + u64(9),
        "overflowing_sum": bytes([0, 2]) + edge(DBL_MAX) + edge(DBL_MAX) + bytes(2) + bytes([1]) + unit_byte(128)
        + u64(10),
        "negative_zeros": bytes([34, 8]) + edge(ONE) + bytes(8) + bytes(8) + bytes([1]) + unit(edge(P95)) + u64(11),
    },
    "fuzz_render": {
        "display_edges": u64(12345) + bytes([4]) + b"".join(bytes([1]) + struct.pack("<d", x) + bytes([1])
                                                         for x in (1e21, 0.1 + 0.2, 2.0**-7, -0.0)),
        "exponent_edges": u64(2**64 - 1) + bytes([5]) + b"".join(bytes([1]) + struct.pack("<d", x) + bytes([0])
                                                              for x in (1.7976931348623157e308, 5e-324, 1e16, 1e-5, 9999999999999998.0)),
        "non_finite": u64(0) + bytes([3]) + bytes([0]) + edge(NAN) + bytes([1, 0]) + edge(NEG_INF) + bytes([0, 0])
        + edge(E_4) + bytes([1]),
    },
    "fuzz_gen_range": {
        # seed 0, ten single draws from [0, 9]
        "small_ranges": bytes([0]) + u64(0) + bytes([10]) + (bytes([1, 0]) + bytes([0, 9]) + bytes([0])) * 10,
        # [0, 2^64 - 1] once, then batches of 8 from [5, 5] and [2^64 - 1, 2^64 - 1]
        "full_and_single": bytes([0]) + u64(42) + bytes([3]) + bytes([1, 0, 1, 2, 0, 0])
        + bytes([1, 5, 0, 0, 1, 8]) + bytes([2, 0, 0, 0, 1, 8]),
        # [5, 3] panics; then a batch of 5 from [2^63, 2^63 + 200]
        "empty_range": bytes([0]) + u64(7) + bytes([2]) + bytes([1, 5, 1, 1, 3, 0])
        + bytes([3, 63, 0, 0, 200, 1, 5]),
        # buffer left at position 63, then batches of 4 from [0, 99]
        "odd_position": bytes([1]) + u64(3) + u64(99) + bytes([31]) + bytes([2]) + (bytes([1, 0, 0, 99, 1, 4])) * 2,
        # batches of 2 600 32-bit draws from [0, 255], spanning many kernel calls
        "long_narrow_batches": bytes([6]) + u64(1) + bytes([2]) + (bytes([1, 0, 0, 255, 1, 200])) * 2,
    },
    "fuzz_kernels": {
        # ChaCha: a key of ones, stream words set, counter 2^64 - 4, 11 groups of 4 double rounds
        "counter_wrap": bytes([0]) + u64(0x0101010101010101) * 8 + bytes([1]) + u64(7) + u64(2**32 - 1)
        + bytes([2, 3, 10, 4]),
        # ChaCha: counter whose low word wraps inside the call, 5 groups
        "low_word_wrap": bytes([0]) + u64(0x123456789) * 8 + bytes([0, 1, 2, 0, 4, 4]),
        # range filter: 200 values, range 10, up to 510 wanted, low 3
        "filter_small_range": bytes([1, 200]) + u64(5) + bytes([0, 9, 255, 255, 0, 3, 0]),
        # range filter: range 2^31 + 1
        "filter_wide_range": bytes([1, 255]) + u64(11) + bytes([1, 31, 1, 100, 100, 0, 0, 0]),
        # sums: 40 mixed values, block 3, 16 resamples
        "sums_block3": bytes([2, 39]) + b"".join(sixteenth(v * 37) for v in range(40)) + bytes([2, 15])
        + bytes(range(0, 256, 3))[:16 * 14],
        # interval: signed zeros and infinities, level 0.95
        "interval_zeros": bytes([3, 19]) + b"".join(edge(i % 4 if i % 5 else INF) for i in range(20)) + unit(edge(P95)),
    },
    "fuzz_shared_resampling": {
        # 6 columns of 12 items, blocks of 3, 20 resamples at 0.9, 3 threads
        "blocks_six_columns": bytes([16, 5, 12]) + b"".join(sixteenth(c * 29 + i * 7) for c in range(6) for i in range(12))
        + bytes([0, 0, 3, 20]) + unit_byte(230) + u64(7) + bytes([3, 0]),
        # 3 columns of 10 items in 4 clusters by code, the second kernel
        "cluster_codes": bytes([0, 2, 10]) + b"".join(integer(c * 5 - i) for c in range(3) for i in range(10))
        + bytes([1, 0, 3]) + bytes(i % 4 for i in range(10)) + bytes([15]) + unit_byte(230) + u64(11) + bytes([2, 1]),
        # 2 columns of 8 cluster totals with their counts
        "cluster_sizes": bytes([0, 1, 8]) + b"".join(sixteenth(c + 3 * i) for c in range(2) for i in range(8))
        + bytes([2, 0]) + bytes(1 + i % 4 for i in range(8)) + bytes([16]) + unit_byte(242) + u64(5) + bytes([1, 0]),
        # cluster totals of +inf and -inf in the second column: a NaN statistic stops the whole call
        "opposite_infinite_totals": bytes([0, 1, 4]) + integer(1) * 4 + edge(DBL_MAX) * 2 + edge(NEG_DBL_MAX) * 2
        + bytes([1, 0, 1, 0, 0, 1, 1, 20]) + unit_byte(230) + u64(5) + bytes([1, 0]),
        # studentized, 9 columns (rows of 18 terms) of 15 values in [0, 1], 2 threads
        "studentized_wide": bytes([10, 8, 15]) + b"".join(unit_byte((c * 41 + i * 13) % 256) for c in range(9) for i in range(15))
        + bytes([0, 0, 23]) + unit_byte(242) + u64(3) + bytes([2, 0]),
    },
}


def main():
    for target, inputs in CORPUS.items():
        folder = HERE / "corpus" / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in inputs.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
