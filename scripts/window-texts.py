#!/usr/bin/env python3
"""The tables of the window's texts, from docs/window-texts.txt alone.

    window-texts.py readme README.md [--check]
        rewrites the README's table between its two marker lines; with
        --check, changes nothing and fails when the table is not what the
        texts file makes
    window-texts.py guide en|ja TEMPLATE OUT
        the Windows guide: TEMPLATE with its line @WINDOW_TEXTS@ replaced by
        the table, as plain text for Notepad
"""
import os
import re
import sys
import unicodedata

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "docs", "window-texts.txt")
BEGIN = "<!-- Made by scripts/window-texts.py from docs/window-texts.txt: edit that file. -->"
END = "<!-- End of the table made by scripts/window-texts.py. -->"
FIELDS = ("text", "where", "means", "do")


def entries():
    found, entry = [], {}
    with open(SOURCE, encoding="utf-8") as source:
        for number, line in enumerate(source, 1):
            line = line.rstrip("\n")
            if line.startswith("#"):
                continue
            if not line.strip():
                if entry:
                    found.append(entry)
                entry = {}
                continue
            name, colon, value = line.partition(": ")
            if not colon or name.split(".")[0] not in FIELDS:
                sys.exit(f"{SOURCE}:{number}: not a field line: {line}")
            entry[name] = value
    if entry:
        found.append(entry)
    for entry in found:
        if "text" not in entry:
            sys.exit(f"{SOURCE}: an entry without its text: {entry}")
    return found


def field(entry, name, system, language):
    if language == "ja" and name != "text":
        english = field(entry, name, system, "en")
        if english and f"{name}.ja" not in entry:
            sys.exit(f"{SOURCE}: '{entry['text']}' has {name} but no {name}.ja")
        return entry.get(f"{name}.ja", "")
    return entry.get(f"{name}.{system}", entry.get(name, ""))


def readme_table():
    rows = ["| Text | Where | Means | What to do |", "|---|---|---|---|"]
    for entry in entries():
        cells = (field(entry, name, "linux", "en") for name in FIELDS)
        rows.append("|" + "|".join(f" {cell} " if cell else " " for cell in cells) + "|")
    return [BEGIN] + rows + [END]


def plain(text):
    text = re.sub(r"\[([^]]+)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"(?<!\*)\*([^*]+)\*(?!\*)", r"<\1>", text)
    return text.replace("**", "").replace("`", "")


def columns(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def wrap(text, width):
    """Lines of at most `width` columns: broken at blanks, and between two
    Japanese characters, never before a closing mark."""
    tokens = re.findall(r"[\x21-\x7e]+|\s+|.", text)
    lines, line = [], ""
    for token in tokens:
        closing = token in "、。，．）」』】・ー"
        if line and not token.isspace() and not closing and columns(line + token) > width:
            lines.append(line.rstrip())
            line = ""
        if not (token.isspace() and not line):
            line += token
    return lines + [line.rstrip()] if line.strip() else lines


def guide_table(language):
    labels = {"en": ("Where", "Means", "Do"), "ja": ("場所", "意味", "対処")}[language]
    indent = 4 + max(columns(label) for label in labels) + 2
    lines = []
    for entry in entries():
        lines.append(plain(entry["text"]))
        for label, name in zip(labels, FIELDS[1:]):
            value = field(entry, name, "windows", language)
            head = f"    {label}:"
            for part in wrap(plain(value), 78 - indent):
                lines.append(head + " " * (indent - columns(head)) + part)
                head = ""
        lines.append("")
    return lines[:-1]


def readme(path, check):
    with open(path, encoding="utf-8") as source:
        lines = source.read().split("\n")
    if BEGIN not in lines or END not in lines:
        sys.exit(f"{path}: the marker lines of the window texts' table are missing")
    start, end = lines.index(BEGIN), lines.index(END)
    made = lines[:start] + readme_table() + lines[end + 1:]
    if made == lines:
        return
    if check:
        sys.exit(f"{path}: the table of window texts is not what docs/window-texts.txt makes; "
                 "run scripts/window-texts.py readme README.md")
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write("\n".join(made))


def guide(language, template, out):
    with open(template, encoding="utf-8") as source:
        text = source.read()
    if "@WINDOW_TEXTS@\n" not in text:
        sys.exit(f"{template}: no line @WINDOW_TEXTS@")
    made = text.replace("@WINDOW_TEXTS@\n", "\n".join(guide_table(language)) + "\n")
    with open(out + ".part", "w", encoding="utf-8", newline="\n") as target:
        target.write(made)
    os.replace(out + ".part", out)


def main(argv):
    if len(argv) in (3, 4) and argv[1] == "readme" and argv[3:] in ([], ["--check"]):
        readme(argv[2], argv[3:] == ["--check"])
    elif len(argv) == 5 and argv[1] == "guide" and argv[2] in ("en", "ja"):
        guide(argv[2], argv[3], argv[4])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
