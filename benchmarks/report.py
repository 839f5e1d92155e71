"""What the text-level benchmarks print beside their figures, and how they file them in Markdown."""

from __future__ import annotations

import os
from pathlib import Path


def machine() -> tuple[str, str]:
    """The CPU model and the load average (as uptime prints it), read now."""
    try:
        cpuinfo = Path("/proc/cpuinfo").read_text()
    except OSError:
        cpuinfo = ""
    model = next((line.split(":", 1)[1].strip() for line in cpuinfo.splitlines()
                  if line.startswith("model name")), "unknown CPU")
    # Read by the interpreter, not by running uptime: a child process inherits what the parent
    # preloads (the sanitizers' runtimes under the sanitized tests, where uptime then hangs).
    return model, "load average: %.2f, %.2f, %.2f" % os.getloadavg()


def write_section(path: Path, heading: str, body: str, title: str = "# Hybrid search") -> None:
    """Puts body under heading (a "## " line) in the Markdown file at path: in place of that
    section when the file has it, else at its end; the file is replaced in one rename."""
    lines = path.read_text(encoding="utf-8").splitlines() if path.exists() else [title]
    section = [heading, "", *body.rstrip().splitlines(), ""]
    if heading in lines:
        start = lines.index(heading)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")), len(lines))
        lines[start:end] = section
    else:
        lines += ["", *section]
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(f".{path.name}.tmp-{os.getpid()}")
    tmp.write_text("\n".join(lines).rstrip() + "\n", encoding="utf-8")
    os.replace(tmp, path)
