"""A short tour of quorvel: which classes the module offers."""

import quorvel


def main() -> None:
    print(f"quorvel from {quorvel.__file__}")
    for name in quorvel.__all__:
        print(f"  {name}")


if __name__ == "__main__":
    main()
