"""A short tour of quorvel, then a quick benchmark against dict."""

import sys

import quorvel

import bench_python


def tour() -> None:
    print(f"quorvel from {quorvel.__file__}")
    print("classes:", ", ".join(quorvel.__all__))

    m = quorvel.ElasticHashMap({"apple": 3, "pear": 5})
    m["fig"] = 7
    m.setdefault("plum", 1)
    print(m, dict(m.items()) == {"apple": 3, "pear": 5, "fig": 7, "plum": 1})

    # A funnel map kept 99.9 % full before it grows.
    options = quorvel.FunnelOptions(capacity=100_000, reserve_fraction=0.001)
    f = quorvel.FunnelHashMap.with_options(options)
    f.update((i, i * i) for i in range(99_900))
    print(f, f"load {len(f) / f.capacity:.3%}", f[12_345])


def main() -> int:
    tour()
    return bench_python.main(["--sizes", "1000", "100000", "--repeat", "1"] + sys.argv[1:])


if __name__ == "__main__":
    sys.exit(main())
