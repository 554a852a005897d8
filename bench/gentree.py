#!/usr/bin/env python3
"""Generates the file trees that bench/run copies.

    gentree.py flat  DEST --files N --dirs D [--min B] [--max B] [--seed S]
    gentree.py large DEST --files N --size BYTES [--seed S]
    gentree.py deep  DEST --levels L [--name-length N] [--min B] [--max B] [--seed S]
    gentree.py same  A B

flat:  N files of random size in [min, max] bytes, spread evenly over D
       directories d0000, d0001, ... (D = 1 gives one wide directory).
large: N files of exactly BYTES bytes each, in DEST itself.
deep:  a chain of L nested directories, each holding one or two files;
       with --name-length, each directory's name is N bytes long (paths may
       then be far longer than PATH_MAX: the tree is made relative to open
       directories).
same:  exits 0 when the trees A and B hold the same names, types and
       contents (however deep), 1 otherwise.

Every byte of content and every size comes from a generator seeded with
--seed, so the same command always makes the same tree. DEST must not exist.
Prints the number of regular files made.
"""

import argparse
import os
import random
import stat
import sys

CHUNK = 4 << 20


def write_file(path, rng, size, dir_fd=None):
    with open(path, "wb", opener=lambda name, flags: os.open(name, flags, 0o666, dir_fd=dir_fd)) as out:
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


def make_deep(dest, rng, levels, name_length, low, high):
    made = 0
    fd = os.open(dest, os.O_RDONLY | os.O_DIRECTORY)
    for level in range(levels):
        name = "l%03d" % level
        if name_length:
            name = (name + "-" * name_length)[:name_length]
        os.mkdir(name, dir_fd=fd)
        inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = inner
        for f in range(rng.randint(1, 2)):
            write_file("f%d.bin" % f, rng, rng.randint(low, high), dir_fd=fd)
            made += 1
    os.close(fd)
    return made


def same_trees(a, b):
    """Compares two trees through open directories, without recursion."""
    pending = [(os.open(a, os.O_RDONLY | os.O_DIRECTORY), os.open(b, os.O_RDONLY | os.O_DIRECTORY))]
    while pending:
        fa, fb = pending.pop()
        names = sorted(os.listdir(fa))
        if names != sorted(os.listdir(fb)):
            return False
        for name in names:
            sa = os.stat(name, dir_fd=fa, follow_symlinks=False)
            sb = os.stat(name, dir_fd=fb, follow_symlinks=False)
            # A directory's size is the file system's business, not the copy's.
            if sa.st_mode != sb.st_mode or (not stat.S_ISDIR(sa.st_mode) and sa.st_size != sb.st_size):
                print(f"{name}: mode or size differs", file=sys.stderr)
                return False
            if stat.S_ISDIR(sa.st_mode):
                pending.append((os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fa),
                                os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fb)))
            elif stat.S_ISLNK(sa.st_mode):
                if os.readlink(name, dir_fd=fa) != os.readlink(name, dir_fd=fb):
                    return False
            elif stat.S_ISREG(sa.st_mode):
                with open(name, "rb", opener=lambda n, f: os.open(n, f, dir_fd=fa)) as x, \
                        open(name, "rb", opener=lambda n, f: os.open(n, f, dir_fd=fb)) as y:
                    if x.read() != y.read():
                        return False
        os.close(fa)
        os.close(fb)
    return True


def main():
    parser = argparse.ArgumentParser(description="Generate a seeded benchmark tree.")
    parser.add_argument("kind", choices=["flat", "large", "deep", "same"])
    parser.add_argument("dest")
    parser.add_argument("other", nargs="?")
    parser.add_argument("--files", type=int, default=0)
    parser.add_argument("--dirs", type=int, default=1)
    parser.add_argument("--levels", type=int, default=0)
    parser.add_argument("--name-length", type=int, default=0)
    parser.add_argument("--size", type=int, default=0)
    parser.add_argument("--min", type=int, default=100)
    parser.add_argument("--max", type=int, default=8000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.min < 0 or args.max < args.min:
        sys.exit("gentree: need 0 <= --min <= --max")
    if args.kind == "same":
        sys.exit(0 if args.other and same_trees(args.dest, args.other) else 1)
    if not 0 <= args.name_length <= 255:
        sys.exit("gentree: need 0 <= --name-length <= 255")

    rng = random.Random(args.seed)
    os.makedirs(args.dest)
    if args.kind == "flat":
        made = make_flat(args.dest, rng, args.files, args.dirs, args.min, args.max)
    elif args.kind == "large":
        made = make_large(args.dest, rng, args.files, args.size)
    else:
        made = make_deep(args.dest, rng, args.levels, args.name_length, args.min, args.max)
    print(made)


if __name__ == "__main__":
    main()
