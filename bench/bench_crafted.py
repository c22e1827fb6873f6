"""Claims and settles message ids crafted to collide, next to random ids of
the same length, all in one room, and prints the time of each.

The crafted ids are what a peer who knows the table's hash would send: they
are made against the hash the tables used before it was keyed (a copy of it
is below), so that they all share one hash value and with it one home cell
at every table size. Against that hash, claiming n of them costs O(n²);
against the keyed hash they cost what random ids do.

    python bench/bench_crafted.py [count ...]      # default: 20000 100000
"""
import itertools
import random
import statistics
import sys
import time

from orvu_sdk_core import ClaimRegistry, RetryTracker

MASK = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
HIGH_BITS = 0x8080808080808080  # the top bit of every byte: zero in every ASCII word


def old_mix(x):
    x = (x * 0xBF58476D1CE4E5B9) & MASK
    return x ^ (x >> 31)


def old_hash(data: bytes) -> int:
    """The tables' former hash of a string of at least eight bytes: fixed, public, no key."""
    n = len(data)
    h = old_mix(n ^ GOLDEN)
    for i in range(0, n - 8, 8):
        h = old_mix(h ^ int.from_bytes(data[i:i + 8], "little"))
    return old_mix(h ^ int.from_bytes(data[n - 8:], "little"))


def word(value: int) -> bytes:
    return value.to_bytes(8, "little")


def crafted_ids(count, prefix=b"message-"):
    """`count` distinct ASCII ids of one length that all have one old_hash value.

    The hash chains one word at a time through h' = mix(h ^ w), and mix is a
    bijection, so two chains meet for good as soon as h1 ^ w1 == h2 ^ w2.
    Each stage takes a bucket of `fan` free words u whose states mix(s ^ u)
    share the top bit of every byte, and follows each with the word
    w = mix(s ^ u) ^ c, which is then ASCII too: every choice of the stage
    leads to the one state mix(c). Stages multiply: fan**stages ids.
    """
    stages = 1
    while 64 ** stages < count:
        stages += 1
    fan = 2
    while fan ** stages < count:
        fan += 1
    state = old_mix(((len(prefix) + 16 * stages) ^ GOLDEN) & MASK)
    state = old_mix(state ^ int.from_bytes(prefix, "little"))
    choices = []
    for stage in range(stages):
        buckets = {}
        for j in itertools.count():
            u = word(int.from_bytes(f"{stage:x}{j:07x}".encode(), "little"))
            h = old_mix(state ^ int.from_bytes(u, "little"))
            bucket = buckets.setdefault(h & HIGH_BITS, [])
            bucket.append((u, h))
            if len(bucket) == fan:
                break
        meet = bucket[0][1] & HIGH_BITS  # the low seven bits of each byte are free
        choices.append([u + word(h ^ meet) for u, h in bucket])
        state = old_mix(meet)
    ids = []
    for parts in itertools.islice(itertools.product(*choices), count):
        ids.append((prefix + b"".join(parts)).decode("ascii"))
    return ids


def random_ids(count, length, rng):
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789"
    return ["".join(rng.choices(alphabet, k=length)) for _ in range(count)]


def claim_and_settle(ids):
    """CPU seconds to claim every id in one room, then to settle them all (record, then confirm)."""
    registry, tracker = ClaimRegistry(len(ids)), RetryTracker()
    claim, settle, confirm = registry.try_claim, registry.record_processed_settlement, registry.confirm_settlement
    start = time.thread_time()
    for m in ids:
        claim("room-1", m)
    claimed = time.thread_time()
    tokens = [settle("room-1", m)["token"] for m in ids]
    for m, token in zip(ids, tokens):
        confirm("room-1", m, token, tracker)
    settled = time.thread_time()
    return claimed - start, settled - claimed


def measure(count, repeat=3, rng=None):
    """(claim crafted, claim random, settle crafted, settle random): medians over `repeat` runs, in turns."""
    rng = rng or random.Random(count)
    crafted = crafted_ids(count)
    plain = random_ids(count, len(crafted[0]), rng)
    runs = {"crafted": [], "random": []}
    for _ in range(repeat):
        for name, ids in (("crafted", crafted), ("random", plain)):
            runs[name].append(claim_and_settle(ids))
    med = {name: [statistics.median(r[k] for r in rs) for k in (0, 1)] for name, rs in runs.items()}
    return med["crafted"][0], med["random"][0], med["crafted"][1], med["random"][1]


def main(counts):
    print(f"{'ids':>8} {'claim crafted':>14} {'claim random':>13} {'ratio':>7} "
          f"{'settle crafted':>15} {'settle random':>14} {'ratio':>7}")
    for count in counts:
        cc, cr, sc, sr = measure(count)
        print(f"{count:>8,} {cc * 1e3:>11.1f} ms {cr * 1e3:>10.1f} ms {cc / cr:>6.2f}× "
              f"{sc * 1e3:>12.1f} ms {sr * 1e3:>11.1f} ms {sc / sr:>6.2f}×")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [20_000, 100_000])
