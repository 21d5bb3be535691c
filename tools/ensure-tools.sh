# Sourced by run-example and run-tests: makes sure the compiler, CMake,
# GoogleTest and gemmi are there, installing them from Debian's packages when this is
# a fresh machine and we may (root, or sudo). Ghostscript is optional: with
# it the report page is rendered to PNG and the rendering tests run.
missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v make >/dev/null 2>&1 || missing+=(make)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gemmi/mtz.hpp ] || missing+=(gemmi-dev)
[ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
if [ "${WANT_GHOSTSCRIPT:-0}" = 1 ] && ! command -v gs >/dev/null 2>&1; then missing+=(ghostscript); fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]} from Debian's packages"
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  elif command -v sudo >/dev/null 2>&1; then
    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  else
    echo "please install: ${missing[*]} (apt-get install ${missing[*]})" >&2
    exit 2
  fi
fi
