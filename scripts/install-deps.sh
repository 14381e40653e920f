#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian machine; does nothing when all is present.
set -euo pipefail

packages=(
    cmake ninja-build make g++ clang libclang-rt-14-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    libsqlite3-dev sqlite3
    python3 bc  # make bench: the report, and the arithmetic of update-bench.sh
    # PE builds of the driver, the policy library and the test programs, run under 64-bit
    # Wine alone (the x86 build is checked statically); the wine metapackage is far larger
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
    spin  # model checking of the retry policy
    clang-format-15  # scripts/format.sh: the style sets InsertBraces, which needs 15 or later
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
