#!/usr/bin/env python3
"""Generates the file trees that bench/run copies.

    gentree.py flat  DEST --files N --dirs D [--min B] [--max B] [--seed S]
    gentree.py large DEST --files N --size BYTES [--seed S]
    gentree.py deep  DEST --levels L [--min B] [--max B] [--seed S]

flat:  N files of random size in [min, max] bytes, spread evenly over D
       directories d0000, d0001, ... (D = 1 gives one wide directory).
large: N files of exactly BYTES bytes each, in DEST itself.
deep:  a chain of L nested directories, each holding one or two files.

Every byte of content and every size comes from a generator seeded with
--seed, so the same command always makes the same tree. DEST must not exist.
Prints the number of regular files made.
"""

import argparse
import os
import random
import sys

CHUNK = 4 << 20


def write_file(path, rng, size):
    with open(path, "wb") as out:
        left = size
        while left > 0:
            n = min(left, CHUNK)
            out.write(rng.randbytes(n))
            left -= n


def make_flat(dest, rng, files, dirs, low, high):
    if dirs < 1 or files < 0:
        sys.exit("gentree: flat needs --dirs >= 1 and --files >= 0")
    made = 0
    for d in range(dirs):
        directory = os.path.join(dest, "d%04d" % d)
        os.mkdir(directory)
        # Spread the remainder over the first directories.
        count = files // dirs + (1 if d < files % dirs else 0)
        for f in range(count):
            write_file(os.path.join(directory, "f%06d.bin" % made), rng, rng.randint(low, high))
            made += 1
    return made


def make_large(dest, rng, files, size):
    for f in range(files):
        write_file(os.path.join(dest, "large%02d.bin" % f), rng, size)
    return files


def make_deep(dest, rng, levels, low, high):
    made = 0
    directory = dest
    for level in range(levels):
        directory = os.path.join(directory, "l%03d" % level)
        os.mkdir(directory)
        for f in range(rng.randint(1, 2)):
            write_file(os.path.join(directory, "f%d.bin" % f), rng, rng.randint(low, high))
            made += 1
    return made


def main():
    parser = argparse.ArgumentParser(description="Generate a seeded benchmark tree.")
    parser.add_argument("kind", choices=["flat", "large", "deep"])
    parser.add_argument("dest")
    parser.add_argument("--files", type=int, default=0)
    parser.add_argument("--dirs", type=int, default=1)
    parser.add_argument("--levels", type=int, default=0)
    parser.add_argument("--size", type=int, default=0)
    parser.add_argument("--min", type=int, default=100)
    parser.add_argument("--max", type=int, default=8000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.min < 0 or args.max < args.min:
        sys.exit("gentree: need 0 <= --min <= --max")

    rng = random.Random(args.seed)
    os.makedirs(args.dest)
    if args.kind == "flat":
        made = make_flat(args.dest, rng, args.files, args.dirs, args.min, args.max)
    elif args.kind == "large":
        made = make_large(args.dest, rng, args.files, args.size)
    else:
        made = make_deep(args.dest, rng, args.levels, args.min, args.max)
    print(made)


if __name__ == "__main__":
    main()
