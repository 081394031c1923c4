#!/usr/bin/env python3
"""Write the main Pd patches patches/shell/wendle_main_<N>voice.pd.

The main patches differ only in their number of voices, so they are generated
rather than edited by hand. Run from anywhere; the output is committed.

    python3 tools/gen_shell_patches.py [output-folder]

Each main patch clones [wendle_vprep] once per voice ($1 = voice number from 1,
$2 = voice count) and passes it [parameter value] lists taken from wendle-in.
wendle_vprep holds the gate envelope, the frequency-weighted volume
(equal-loudness) and the voice-stop report, and hosts [wendle_voice $1 $2], the
voice patch chosen in the program, which has this interface:
  inlet 1 (signal)  frequency in Hz
  inlet 2           macro <k> <value> <ramp-ms> | gate <0/1> | freq <Hz>
  outlet 1 (signal) the voice, peak at most 1
  outlet 2          attack <ms> | release <ms> for the envelope in wendle_vprep
Voice 1 of the voice patch answers query-macros on output-voice-info.
"""

import os
import sys

VOICE_COUNTS = (4, 8, 12, 16, 24, 32, 48, 64, 96, 128)

# Level of one voice in the sum: a single note at full volume peaks near -14 dBFS,
# so small chords pass the compressor untouched.
VOICE_GAIN = 0.4


def escape(text):
    text = text.replace("$", "\\$").replace(";", " \\;").replace(",", " \\,")
    return " ".join(text.split())


class Canvas:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.boxes = []
        self.connections = []

    def _box(self, kind, x, y, text):
        self.boxes.append("#X %s %d %d %s;" % (kind, x, y, escape(text)))
        return len(self.boxes) - 1

    def obj(self, x, y, text):
        return self._box("obj", x, y, text)

    def msg(self, x, y, text):
        return self._box("msg", x, y, text)

    def comment(self, x, y, text):
        return self._box("text", x, y, text)

    def connect(self, source, outlet, sink, inlet):
        self.connections.append("#X connect %d %d %d %d;" % (source, outlet, sink, inlet))

    def text(self):
        lines = ["#N canvas 0 50 %d %d 12;" % (self.width, self.height)]
        return "\n".join(lines + self.boxes + self.connections) + "\n"


def main_patch(voices):
    c = Canvas(760, 600)
    c.comment(20, 10, "Main patch with %d voices. wendle-in takes lists [value parameter voice] "
              "with the voice counted from 1; each voice is one copy of [wendle_vprep], which "
              "hosts the current voice patch [wendle_voice]. master-vol takes the master "
              "volume 0-1." % voices)

    receive = c.obj(20, 80, "r wendle-in")
    split = c.obj(20, 110, "list split 3")
    both = c.obj(20, 140, "t l l")
    gate = c.obj(20, 250, "spigot")
    reorder = c.msg(20, 280, "$3 $2 $1")
    clone = c.obj(20, 320, "clone -s 1 wendle_vprep %d %d" % (voices, voices))
    c.connect(receive, 0, split, 0)
    c.connect(split, 0, both, 0)
    c.connect(both, 0, gate, 0)
    c.connect(gate, 0, reorder, 0)
    c.connect(reorder, 0, clone, 0)

    # Voice numbers outside 1..N are dropped here instead of upsetting [clone].
    unpack = c.obj(160, 170, "unpack f f f")
    check = c.obj(160, 200, "t f f")
    high = c.obj(160, 230, "<= %d" % voices)
    low = c.obj(230, 230, ">= 1")
    both_ok = c.obj(160, 260, "&&")
    c.connect(both, 1, unpack, 0)
    c.connect(unpack, 2, check, 0)
    c.connect(check, 0, high, 0)
    c.connect(check, 1, low, 0)
    c.connect(high, 0, both_ok, 0)
    c.connect(low, 0, both_ok, 1)
    c.connect(both_ok, 0, gate, 1)

    level = c.obj(20, 360, "*~ %g" % VOICE_GAIN)
    comp = c.obj(20, 400, "tb_compressor~")
    settings = c.obj(200, 360, "tb_compressorUI")
    c.connect(clone, 0, level, 0)
    c.connect(level, 0, comp, 0)
    c.connect(level, 0, comp, 1)
    c.connect(settings, 0, comp, 2)

    master = c.obj(400, 80, "r master-vol")
    clip = c.obj(400, 110, "clip 0 1")
    ramp = c.msg(400, 140, "$1 20")
    smooth = c.obj(400, 170, "line~")
    c.connect(master, 0, clip, 0)
    c.connect(clip, 0, ramp, 0)
    c.connect(ramp, 0, smooth, 0)

    left = c.obj(20, 440, "*~")
    right = c.obj(160, 440, "*~")
    guard_l = c.obj(20, 480, "clip~ -1 1")
    guard_r = c.obj(160, 480, "clip~ -1 1")
    dac = c.obj(20, 520, "dac~ 1 2")
    c.comment(300, 480, "last guard only: the compressor keeps normal chords well below it")
    c.connect(comp, 0, left, 0)
    c.connect(comp, 1, right, 0)
    c.connect(smooth, 0, left, 1)
    c.connect(smooth, 0, right, 1)
    c.connect(left, 0, guard_l, 0)
    c.connect(right, 0, guard_r, 0)
    c.connect(guard_l, 0, dac, 0)
    c.connect(guard_r, 0, dac, 1)
    return c.text()


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    out = argv[1] if len(argv) > 1 else os.path.join(here, "..", "patches", "shell")
    os.makedirs(out, exist_ok=True)
    for voices in VOICE_COUNTS:
        path = os.path.join(out, "wendle_main_%dvoice.pd" % voices)
        with open(path, "w", newline="\n") as f:
            f.write(main_patch(voices))
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
