#!/usr/bin/env python3
"""The layer check against small trees: each case plants one include and says whether
the check must refuse it."""

import os
import subprocess
import sys
import tempfile

CHECK = sys.argv[1]

# (file that includes, the include line, the header that exists, refused?)
CASES = [
    ("driver/Device.cpp", '#include "SimModem.h"', "sim/modem/SimModem.h", True),
    ("driver/Device.cpp", '#include "../sim/modem/SimModem.h"', "sim/modem/SimModem.h", True),
    ("policy/Parlex.cpp", '#include "StateTool.h"', "tools/brelk-state/StateTool.h", True),
    ("platform/src/a.cpp", '#include "Device.h"', "driver/Device.h", True),
    ("platform/src/a.cpp", "#include <FaultPlan.h>", "sim/faults/FaultPlan.h", True),
    ("sim/driverhost/Host.cpp", '#include "BrelkTrace.h"', "tools/brelk-trace/BrelkTrace.h", True),
    ("driver/Device.cpp", "#include <windows.h>", "platform/include/windows.h", False),
    ("sim/driverhost/Host.cpp", '#include "TraceIds.h"', "driver/include/TraceIds.h", False),
    ("tools/brelk-sim/main.cpp", '#include "HostRunner.h"', "sim/driverhost/HostRunner.h", False),
    # The layer's extension headers are the host system seam's alone.
    ("sim/modem/Core.cpp", "#include <winplat/clock.h>", "platform/include/winplat/clock.h", True),
    ("sim/store/Db.cpp", '#include "winplat/devdb.h"', "platform/include/winplat/devdb.h", True),
    ("sim/seam/Host.cpp", "#include <winplat/clock.h>", "platform/include/winplat/clock.h", False),
    ("sim/modem/Core.h", "#include <winplat/connpoint.h>", "platform/include/winplat/connpoint.h",
     True),
    ("sim/modem/Core.cpp", "#include <windows.h>", "platform/include/windows.h", False),
    # A name the driver has itself is its own, even if sim/ has one too.
    ("driver/Device.cpp", '#include "Trace.h"', "sim/x/Trace.h", False),
]


def run_case(source, line, header):
    with tempfile.TemporaryDirectory() as root:
        files = {source: line + "\n", header: "#pragma once\n"}
        if source.startswith("driver/"):
            files["driver/Trace.h"] = "#pragma once\n"
        for rel, text in files.items():
            path = os.path.join(root, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        return subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)


failures = 0
for source, line, header, refused in CASES:
    result = run_case(source, line, header)
    got = result.returncode == 1 and source in result.stdout
    if got != refused or result.returncode not in (0, 1):
        failures += 1
        print("FAIL %s: %s (header %s): exit %d, want %s\n%s" % (
            source, line, header, result.returncode, "refused" if refused else "kept",
            result.stdout + result.stderr))
print("%d of %d cases right" % (len(CASES) - failures, len(CASES)))
sys.exit(1 if failures else 0)
