#!/usr/bin/env python3
"""The BBS display's emulator against pyte, an emulator nobody here wrote.

Each case is a byte stream as a device would send it. It is fed to our
emulator (through the zl27t_vte_dump driver) and to pyte, and the two
80 x 25 screens are compared cell by cell: the character, its foreground and
background colour (as one of the 16 console colours), and the cursor.

pyte's screen is brought to what our console can show by rules of its own:
bold is the foreground's intensity, reverse swaps the colours, a colour given
as RGB is the nearest of the 16 (by pyte's own palette), and a character code
page 437 has no glyph for is '?'. The cases keep to what pyte does as a VT
terminal does: pyte draws what follows ESC P (DCS) as text, takes the
aixterm bright colours (90-97) as bold, moves NEL down without a carriage
return, has HPA on the wrong byte, and erases only cells written before.

    pyte_compare.py PATH/TO/zl27t_vte_dump
"""
import os
import subprocess
import sys
import tempfile

import pyte
from pyte.graphics import FG_BG_256

ROWS, COLS = 25, 80
DEFAULT_FG, DEFAULT_BG = 7, 4   # the terminal's light grey on blue
NAMED = {"black": 0, "red": 1, "green": 2, "brown": 3, "blue": 4, "magenta": 5, "cyan": 6, "white": 7}
PALETTE = [tuple(int(c[i:i + 2], 16) for i in (0, 2, 4)) for c in FG_BG_256[:16]]


def screen_of_text(rows):
    """Escape sequences that put a numbered text on every row."""
    return b"".join(b"\x1b[%d;1H" % (r + 1) + ((b"row %02d " % (r + 1)) * 12)[:COLS] for r in range(rows))


FILLED = screen_of_text(ROWS)

CASES = [
    ("text, CR LF, and the wrap at column 80 waits for the next character",
     b"a" * 80 + b"\r\nb" + b"c" * 160 + b"d", False),
    ("cursor addressing",
     b"\x1b[5;10Hhere\x1b[Hhome\x1b[20;70H\x1b[3Aup\x1b[2Bdn\x1b[5Cfw\x1b[3Dbk\x1b[12Gcol\x1b[8dline"
     b"\x1b[2Enext\x1b[Fprev\x1b[99;999Hcorner\x1b[;5Hsemi\x1b[2ahpr\x1b[e", False),
    ("erase in display and in line, and erase characters",
     FILLED + b"\x1b[3;5H\x1b[1K\x1b[4;10H\x1b[K\x1b[5;40H\x1b[2K\x1b[10;20H\x1b[1J\x1b[20;30H\x1b[J"
     b"\x1b[15;3H\x1b[4X\x1b[16;78H\x1b[9X", False),
    ("insert and delete characters",
     b"abcdefghij\x1b[1;3H\x1b[2@XY\x1b[2;1Habcdefghij\x1b[2;3H\x1b[3P\x1b[3;1H" + b"z" * 79 + b"!"
     + b"\x1b[3;1H\x1b[5@\x1b[4;1H0123456789\x1b[4;5H\x1b[99P", False),
    ("insert and delete lines inside a scroll region",
     FILLED + b"\x1b[5;15r\x1b[7;1H\x1b[2L\x1b[10;4H\x1b[3M\x1b[20;1H\x1b[L\x1b[1;25r", False),
    ("a line feed at the bottom margin scrolls the region; reverse index at the top",
     FILLED + b"\x1b[3;8r\x1b[8;1H\n\n\nnew\x1b[3;1H\x1bM\x1bMtop\x1b[1;25r\x1b[25;1H\nlast", False),
    ("index: down a line in the same column, scrolling at the bottom",
     b"\x1b[25;1Hbottom\x1bDx\x1bDy\x1b[1;5H\x1bDz", False),
    ("tab stops: every 8 at first, set and cleared, and past the last one",
     b"a\tb\tc\r\n\x1b[3g\x1b[5G\x1bH\x1b[20G\x1bH\r\t1\t2\t3\r\n\x1b[20G\x1b[g\r\t4\t5"
     b"\x1b[4;75H\tZ", False),
    ("SGR colours, bold, reverse and their ends",
     b"\x1b[31mred\x1b[42mongreen\x1b[1mbold\x1b[7mrev\x1b[0m plain \x1b[1;34mbb\x1b[22mnb\x1b[7m"
     b"rr\x1b[27m\x1b[39;49mdef\x1b[37;40mgw\x1b[m\r\n"
     + b"".join(b"\x1b[3%d;4%dmX\x1b[1mY\x1b[0m" % (i, (i + 3) % 8) for i in range(8)), False),
    ("256 colours and true colour shown as the nearest of the 16",
     b"\x1b[38;5;196mA\x1b[38;5;21mB\x1b[48;5;226mC\x1b[38;5;244mD\x1b[38;5;9mE\x1b[0m"
     b"\x1b[38;2;255;128;0mF\x1b[48;2;10;10;10mG\x1b[38;2;0;200;200mH\x1b[0m\r\n"
     + b"".join(b"\x1b[48;5;%dm " % n for n in range(16, 256, 3)) + b"\x1b[0m", False),
    ("erased cells take the current colours",
     FILLED + b"\x1b[44;33m\x1b[2J\x1b[5;5Hx\x1b[41m\x1b[K\x1b[6;1H\x1b[46m\x1b[3X\x1b[7m\x1b[8;1H\x1b[1K", False),
    ("DEC line drawing through G0 and G1, SI and SO",
     b"\x1b(0lqqk\r\nx  x\r\nmqqj\x1b(B ascii \x1b)0\x0elqk\x0fend\r\n\x1b(0tuvwn afg~ yz{}_\x1b(B", False),
    ("save and restore the cursor with its colours and character set",
     b"\x1b[5;5H\x1b[31m\x1b7\x1b[10;10H\x1b[32mgreen\x1b8red\x1b(0\x1b7\x1b(B\x1b[12;1H\x1b8q", False),
    ("origin mode counts rows from the top margin",
     b"\x1b[5;10r\x1b[?6h\x1b[1;1Hin\x1b[3;4Hat\x1b[?6l\x1b[1;1Hout", False),
    ("autowrap off writes over the last column",
     b"\x1b[?7l" + b"a" * 85 + b"\x1b[?7h\r\n" + b"b" * 81, False),
    ("insert mode and new-line mode",
     b"abcdef\r\x1b[4hXY\x1b[4lZ\r\n\x1b[20hone\ntwo\x1b[20l\nthree", False),
    ("backspace and CR at the pending wrap",
     b"c" * 80 + b"\bX\r\n" + b"d" * 80 + b"\rY", False),
    ("form feed and vertical tab move down as a line feed does",
     b"a\x0cb\x0bc", False),
    ("a full reset",
     b"junk\x1b[31m\x1b[5;10r\x1b(0\x1bcafter", False),
    ("a full-screen program's redraw: scroll region, insert line, delete line, status line",
     b"\x1b[H\x1b[2J" + b"".join(b"\x1b[%d;1H~" % r for r in range(2, 25)) + b"\x1b[1;1Hfirst line"
     b"\x1b[25;1H\x1b[7m-- INSERT --\x1b[0m\x1b[1;24r\x1b[1;1H\x1b[L\x1b[1mnew first line\x1b[0m"
     b"\x1b[12;1H\x1b[M\x1b[24;1H\n\x1b[1;25r\x1b[3;1H\x1b[Ktyped\x1b[2;5H", False),
    ("titles, clipboard, queries and mode changes leave the screen alone",
     b"before\x1b]0;title\x07mid\x1b]52;c;aGVsbG8=\x1b\\after\x1b[?1000h\x1b[?2004h\x1b[6n\x1b[5n\x1b[c"
     b"\x1b[?1l\x1b>end", False),
    ("an OSC string longer than 4 KB is dropped whole",
     b"a\x1b]0;" + b"x" * 10000 + b"\x07b\x1b]2;" + b"y" * 9000 + b"\x1b\\c", False),
    ("code page 437: box lines, shades and letters",
     b"\xc9\xcd\xbb\r\n\xba\xb0\xb1\xb2\xba\r\n\xc8\xcd\xbc caf\x82 \x9c\xe1\xfb\xe0", False),
    ("UTF-8: letters, box lines, blocks, and those code page 437 lacks",
     "café ─│┌┐ █▒ αβ ½ €".encode(), True),
    ("UTF-8: broken sequences are one stand-in each, as a decoder replaces them",
     b"a\xffb\xe2\x82c\xc0\xafd\xed\xa0\x80e\xf0\x9f\x98f", True),
    ("UTF-8: sequences between characters",
     "\x1b[31mé\x1b[0m\x1b[2;3Hü\x1b]0;tïtle\x07ok".encode(), True),
]


def nearest(rgb):
    return min(range(16), key=lambda i: sum((a - b) ** 2 for a, b in zip(rgb, PALETTE[i])))


def colour_index(colour, default):
    if colour == "default":
        return default
    if colour in NAMED:
        return NAMED[colour]
    return nearest(tuple(int(colour[i:i + 2], 16) for i in (0, 2, 4)))


def glyph(data):
    ch = data[:1] or " "
    if " " <= ch < "\x7f":
        return ch
    try:
        ch.encode("cp437")
        return ch
    except UnicodeEncodeError:
        return "?"


def pyte_screen(data, utf8):
    screen = pyte.Screen(COLS, ROWS)
    stream = pyte.Stream(screen)
    stream.use_utf8 = utf8   # off: pyte takes the character set designations
    stream.feed(data.decode("utf-8", "replace") if utf8 else data.decode("cp437"))
    rows, colours = [], []
    for y in range(ROWS):
        line = screen.buffer[y]
        rows.append("".join(glyph(line[x].data) for x in range(COLS)))
        cells = []
        for x in range(COLS):
            c = line[x]
            fg, bg = colour_index(c.fg, DEFAULT_FG), colour_index(c.bg, DEFAULT_BG)
            if c.bold:
                fg |= 8
            if c.reverse:
                fg, bg = bg, fg
            cells.append("%x%x" % (fg, bg))
        colours.append("".join(cells))
    return rows, colours, (screen.cursor.y, min(screen.cursor.x, COLS - 1))


def our_screen(dump, data, utf8):
    with tempfile.NamedTemporaryFile(delete=False) as f:
        f.write(data)
    try:
        args = [dump] + (["--utf8"] if utf8 else []) + [f.name]
        out = subprocess.run(args, check=True, stdout=subprocess.PIPE).stdout.decode("utf-8")
    finally:
        os.unlink(f.name)
    lines = out.split("\n")
    rows, colours = lines[0:2 * ROWS:2], lines[1:2 * ROWS:2]
    _, r, c = lines[2 * ROWS].split()
    return rows, colours, (int(r), int(c))


def differences(ours, theirs):
    found = []
    for y in range(ROWS):
        for x in range(COLS):
            a = (ours[0][y][x], ours[1][y][2 * x:2 * x + 2])
            b = (theirs[0][y][x], theirs[1][y][2 * x:2 * x + 2])
            if a != b:
                found.append("  row %d col %d: ours %r fg/bg %s, pyte %r fg/bg %s" % (y + 1, x + 1, a[0], a[1], b[0], b[1]))
    if ours[2] != theirs[2]:
        found.append("  cursor: ours %s, pyte %s" % (ours[2], theirs[2]))
    return found


def main():
    dump = sys.argv[1]
    failed = 0
    for name, data, utf8 in CASES:
        found = differences(our_screen(dump, data, utf8), pyte_screen(data, utf8))
        if found:
            failed += 1
            print("FAIL %s (%d differences)" % (name, len(found)))
            print("\n".join(found[:12]))
        else:
            print("ok   %s" % name)
    print("%d of %d cases differ" % (failed, len(CASES)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
