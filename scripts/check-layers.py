#!/usr/bin/env python3
"""Fails when a layer of the tree reaches one it must not.

    check-layers.py SOURCE_DIR [BUILD_DIR]

Data flows one way: tools -> sim -> driver/policy -> platform. The deliverables
(driver/, policy/) never see sim/ or tools/; platform/ sees nothing above it; sim/ never
sees tools/. Within sim/, only the host system's seam (sim/seam/) includes the layer's
extension headers (platform/include/winplat/), so that the simulated machine runs on any
implementation of the seam. Three things are read:

- every #include line of the layers' own files, resolved against the tree (a name found
  only in a layer the file must not see is a fault, whatever the build's include folders);
- with BUILD_DIR, the targets as the build resolved them (BUILD_DIR/layer-model.tsv,
  written by brelk_write_layer_model): the include folders each target compiles with,
  its own and those it inherits through the link graph, and those it hands on;
- and the targets each target links or waits on.

Only driver targets hand on driver/ itself; the trace wire format is driver/include.

Exit code 0 when the tree keeps its layers, 1 with one line per fault otherwise.
"""

import os
import re
import sys

LAYERS = ("driver", "policy", "platform", "sim", "tools")
# What each layer must not reach.
FORBIDDEN = {
    "driver": {"sim", "tools"},
    "policy": {"sim", "tools"},
    "platform": {"driver", "policy", "sim", "tools"},
    "sim": {"tools"},
}
SOURCE_EXTENSIONS = (".c", ".cpp", ".h", ".hpp", ".inc")
EXTENSION_HEADERS = os.path.join("platform", "include", "winplat")
SEAM = os.path.join("sim", "seam")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def layer_of(path, root):
    rel = os.path.relpath(os.path.realpath(path), os.path.realpath(root))
    top = rel.split(os.sep, 1)[0]
    return top if top in LAYERS else None


def tree_files(root):
    for layer in LAYERS:
        for folder, dirs, files in os.walk(os.path.join(root, layer)):
            dirs.sort()
            for name in sorted(files):
                if name.endswith(SOURCE_EXTENSIONS):
                    yield os.path.join(folder, name)


def include_faults(root):
    files = list(tree_files(root))
    by_suffix = {}
    for f in files:
        parts = os.path.relpath(f, root).split(os.sep)
        for i in range(len(parts)):
            by_suffix.setdefault("/".join(parts[i:]), []).append(f)
    faults = []
    for f in files:
        own = layer_of(f, root)
        banned = FORBIDDEN.get(own, set())
        if not banned:
            continue
        rel_file = os.path.relpath(f, root)
        behind_seam = own == "sim" and not rel_file.startswith(SEAM + os.sep)
        with open(f, encoding="utf-8", errors="replace") as text:
            for number, line in enumerate(text, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                name = os.path.normpath(m.group(2)).replace(os.sep, "/")
                beside = os.path.normpath(os.path.join(os.path.dirname(f), name))
                if os.path.isfile(beside):
                    targets = [beside]
                else:
                    targets = by_suffix.get(name.lstrip("./"), [])
                layers = {layer_of(t, root) for t in targets}
                extensions = [t for t in targets
                              if os.path.relpath(os.path.dirname(t), root) == EXTENSION_HEADERS]
                if behind_seam and extensions:
                    faults.append("%s:%d: sim includes %s, an extension header of the layer "
                                  "(only %s/ may)" % (rel_file, number, m.group(2), SEAM))
                    continue
                # A name the file's own layer (or one it may see) also has is not a fault.
                if targets and layers <= banned:
                    rel = os.path.relpath(f, root)
                    faults.append("%s:%d: %s includes %s (%s)" % (
                        rel, number, own, m.group(2),
                        ", ".join(sorted(os.path.relpath(t, root) for t in targets))))
    return faults


def model_faults(root, build):
    model = os.path.join(build, "layer-model.tsv")
    try:
        with open(model) as f:
            rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    except OSError as e:
        return ["%s: %s (configure the build again)" % (model, e.strerror)]
    layers = {row[0]: layer_of(row[1], root) for row in rows}
    faults = []
    for name, folder, includes, passed, links, deps in rows:
        own = layers[name]
        for path in filter(None, passed.split(";")):
            # The driver's private folder stays with the driver's own targets.
            if own != "driver" and os.path.realpath(path) == os.path.realpath(
                    os.path.join(root, "driver")):
                faults.append("target %s (%s) hands on the include folder driver/" % (name, own))
        banned = FORBIDDEN.get(own, set())
        if not banned:
            continue
        for other in sorted(set(filter(None, (links + ";" + deps).split(";")))):
            if layers.get(other) in banned:
                faults.append("target %s (%s) links or waits on %s (%s)" % (
                    name, own, other, layers[other]))
        for path in sorted(set(filter(None, (includes + ";" + passed).split(";")))):
            if layer_of(path, root) in banned:
                faults.append("target %s (%s) compiles with include folder %s (%s)" % (
                    name, own, os.path.relpath(path, root), layer_of(path, root)))
    return faults


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write(__doc__)
        return 2
    root = argv[1]
    faults = include_faults(root)
    if len(argv) == 3:
        faults += model_faults(root, argv[2])
    for fault in faults:
        print(fault)
    if faults:
        print("%d layer fault%s" % (len(faults), "" if len(faults) == 1 else "s"))
        return 1
    print("layers kept: driver, policy -> platform; sim -> driver, policy, platform; "
          "tools -> all")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
