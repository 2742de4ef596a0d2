"""python3 -m tovrane_core: the teacher's command line, as the `tovrane` script."""

from tovrane_core.cli import main

if __name__ == "__main__":
    main()
