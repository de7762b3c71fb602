"""Human-readable sizes and aligned text tables for the report commands."""

from __future__ import annotations

from collections.abc import Sequence

_UNITS = ("KiB", "MiB", "GiB", "TiB", "PiB", "EiB")


def format_size(size: int | None) -> str:
    """232 -> '232 B', 1536 -> '1.5 KiB'; None -> '-'."""
    if size is None:
        return "-"
    if size < 1024:
        return f"{size} B"
    value = float(size)
    for unit in _UNITS:
        value /= 1024
        if value < 1024 or unit == _UNITS[-1]:
            return f"{value:.1f} {unit}"
    raise AssertionError("unreachable")


def shorten(text: str | None, width: int = 40) -> str:
    """One line of at most ``width`` characters, for value columns."""
    if text is None:
        return ""
    text = text.replace("\n", "\\n").replace("\r", "\\r").replace("\t", "\\t")
    return text if len(text) <= width else text[: width - 3] + "..."


def render_table(headers: Sequence[str], rows: Sequence[Sequence[object]], right: Sequence[bool] = ()) -> str:
    """Columns padded to their widest cell; ``right[i]`` right-aligns column i (numbers)."""
    cells = [[str(h) for h in headers]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    aligned = list(right) + [False] * (len(headers) - len(right))

    def line(row: list[str]) -> str:
        parts = [c.rjust(w) if r else c.ljust(w) for c, w, r in zip(row, widths, aligned)]
        return "  ".join(parts).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(cells[0]), rule] + [line(row) for row in cells[1:]])


def format_step(type_name: str, value: str | None, label: str | None) -> str:
    """One object of a chain and the label of the reference it follows out of it.

    ``('builtins.module', '__main__', '.cache')`` -> ``'module __main__ .cache'``;
    a module shows its name, other objects their type's last part.
    """
    text = type_name.rsplit(".", 1)[-1]
    if type_name == "builtins.module" and value:
        text += f" {value}"
    return f"{text} {shorten(label, 40)}" if label else text


def format_chain(steps: Sequence[tuple[str, str | None, str | None]]) -> str:
    """``module __main__ .cache → dict ['https://…'] → Response .body → bytes``."""
    return " → ".join(format_step(*step) for step in steps)
