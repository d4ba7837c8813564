"""Writes one benchmark's section into bench/results.md, replacing that section where it is."""
import os

RESULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results.md")


def splice(title, lines, target=RESULTS):
    """Replaces (or appends) the section headed `## {title}` with `lines`; returns the file's path."""
    old = open(target).read().splitlines() if os.path.exists(target) else []
    header = f"## {title}"
    if header in old:
        start = old.index(header)
        end = next((i for i in range(start + 1, len(old)) if old[i].startswith("## ")), len(old))
        old = old[:start] + old[end:]
    while old and old[-1] == "":
        old.pop()
    with open(target, "w") as f:
        f.write("\n".join(old + [""] + lines).rstrip() + "\n")
    return target
