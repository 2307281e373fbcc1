# Shared by the scripts: sourced, not run.
#   install_missing PACKAGE...   installs, through apt-get, those of the
#                                Debian packages named that are not installed
#   dev_options                  the developers' build options (warnings as
#                                errors; ccache where there is one), in the
#                                array `dev`

install_missing() {
  local need=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
  done
  [ ${#need[@]} -eq 0 ] && return 0
  echo "installing: ${need[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
}

dev_options() {
  dev=(-DZL27T_WERROR=ON)
  if command -v ccache >/dev/null; then dev+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
}
