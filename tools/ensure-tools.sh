# Sourced by run-example and run-tests: makes sure the compiler, CMake,
# GoogleTest, gemmi and PEGTL are there, installing them from Debian's
# packages when this is a fresh machine and we may (root, or sudo).
# Ghostscript renders the report page (to PNG and PDF) and runs the
# rendering tests: with WANT_GHOSTSCRIPT=1 (run-example) it is installed the
# same way; where it cannot be, the run
# goes on without it and says so.
missing=()
command -v g++ >/dev/null 2>&1 || missing+=(g++)
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v make >/dev/null 2>&1 || missing+=(make)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gemmi/mtz.hpp ] || missing+=(gemmi-dev)
[ -f /usr/include/tao/pegtl.hpp ] || missing+=(tao-pegtl-dev)
[ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
optional=()
if [ "${WANT_GHOSTSCRIPT:-0}" = 1 ] && ! command -v gs >/dev/null 2>&1; then optional+=(ghostscript); fi

# Installs the packages named; false when this machine does not let us.
install_packages() {
  local as=()
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null 2>&1 || return 1
    as=(sudo)
  fi
  echo "== installing $* from Debian's packages"
  "${as[@]}" apt-get update -qq && "${as[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"
}

if [ ${#missing[@]} -gt 0 ]; then
  if ! install_packages "${missing[@]}" "${optional[@]}"; then
    echo "please install: ${missing[*]} ${optional[*]} (apt-get install ${missing[*]} ${optional[*]})" >&2
    exit 2
  fi
elif [ ${#optional[@]} -gt 0 ]; then
  install_packages "${optional[@]}" ||
    echo "== could not install ${optional[*]} (needs root or sudo): the page is not rendered; apt-get install ${optional[*]}" >&2
fi
