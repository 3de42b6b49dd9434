# Sourced by scripts/package.sh and scripts/test.sh: the distribution's hardening flags for the
# Debian package's program (fortified functions, stack protector, read-only relocations,
# immediate binding) as the definitions that configure a build with them, in deb_flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
deb_flags=(
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
)
