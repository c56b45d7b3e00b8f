#!/usr/bin/env bash
# check_install.sh MODE - installation checks against a temporary prefix.
#   install      cmake --install the build tree into $VELLUMO_WORK_DIR/prefix
#   files        every file is there, and nothing went outside the prefix
#   desktop      desktop-file-validate accepts the entries
#   mime         a WSQ file is recognised by content and by name, Vellumo handles it
#   thumbnailer  the .thumbnailer command line makes a PNG of the asked size
#   library      find_package(wsq) and pkg-config build programs that decode
# Exit 0 passed, 1 failed, 77 skipped (a tool or the sample is missing).
set -uo pipefail

mode=${1:?mode}
work=${VELLUMO_WORK_DIR:?}
prefix=$work/prefix
share=$prefix/$VELLUMO_DATADIR
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; exit 77; }
need() { command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed"; }

# A WSQ sample: the shared data folder, else one bundled with the sources.
sample() {
  local f
  for f in "$VELLUMO_SHARED_DATA_DIR"/nist-sample-256x256.wsq "$VELLUMO_SHARED_DATA_DIR"/*.wsq \
           "$VELLUMO_SOURCE_DIR"/samples/*.wsq; do
    if [ -f "$f" ]; then echo "$f"; return 0; fi
  done
  return 1
}

# Width and height of a PNG from its IHDR chunk.
png_size() {
  local sig
  sig=$(od -An -tx1 -N8 "$1" | tr -d ' \n')
  [ "$sig" = 89504e470d0a1a0a ] || { echo "not-png"; return; }
  local w h
  w=$(od -An -tu4 --endian=big -j16 -N4 "$1" | tr -d ' ')
  h=$(od -An -tu4 --endian=big -j20 -N4 "$1" | tr -d ' ')
  echo "${w}x${h}"
}

# A clean environment that sees only the prefix's data.
isolated() {
  env -i PATH="$prefix/$VELLUMO_BINDIR:/usr/bin:/bin" HOME="$work/home" \
    XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config" \
    XDG_CACHE_HOME="$work/home/cache" XDG_DATA_DIRS="$share" \
    XDG_CURRENT_DESKTOP=GNOME "$@"
}

case $mode in
install)
  rm -rf "$work"
  mkdir -p "$work"
  "$CMAKE_COMMAND" --install "$VELLUMO_BUILD_DIR" --prefix "$prefix" >"$work/install.log" 2>&1 \
    || { cat "$work/install.log" >&2; fail "cmake --install"; }
  ;;

files)
  lib=$prefix/$VELLUMO_LIBDIR
  expected=(
    "$prefix/$VELLUMO_BINDIR/vellumo" "$prefix/$VELLUMO_BINDIR/wsqtool"
    "$prefix/$VELLUMO_BINDIR/vellumo-thumbnailer"
    "$lib/libwsq.a" "$lib/libwsq.so" "$lib/libwsq.so.3" "$lib/libwsq.so.$VELLUMO_VERSION"
    "$prefix/$VELLUMO_INCLUDEDIR/wsq/wsq.h" "$prefix/$VELLUMO_INCLUDEDIR/wsq/wsq_writers.h"
    "$prefix/$VELLUMO_INCLUDEDIR/wsq/wsq_encoder.h"
    "$lib/cmake/wsq/wsqConfig.cmake" "$lib/cmake/wsq/wsqConfigVersion.cmake"
    "$lib/cmake/wsq/wsqTargets.cmake" "$lib/pkgconfig/wsq.pc"
    "$prefix/$VELLUMO_MANDIR/man1/vellumo.1" "$prefix/$VELLUMO_MANDIR/man1/wsqtool.1"
    "$share/applications/vellumo.desktop" "$share/mime/packages/vellumo-wsq.xml"
    "$share/thumbnailers/vellumo.thumbnailer"
    "$share/icons/hicolor/scalable/apps/vellumo.svg"
  )
  if [ "${VELLUMO_WITH_VIEWER:-1}" = 0 ]; then # built without the viewer
    keep=()
    for f in "${expected[@]}"; do
      case $f in */vellumo|*/vellumo.1|*/vellumo.desktop|*/vellumo.svg) ;; *) keep+=("$f");; esac
    done
    expected=("${keep[@]}")
  fi
  for f in "${expected[@]}"; do
    [ -e "$f" ] || fail "missing $f"
  done
  for f in wsqtool vellumo-thumbnailer; do
    [ -x "$prefix/$VELLUMO_BINDIR/$f" ] || fail "$f is not executable"
  done
  # Each hicolor picture has the size of its folder.
  for size in 16 22 24 32 48 64 128 256; do
    [ "${VELLUMO_WITH_VIEWER:-1}" = 0 ] && break
    icon=$share/icons/hicolor/${size}x${size}/apps/vellumo.png
    if [ -f "$icon" ]; then
      got=$(png_size "$icon")
      [ "$got" = "${size}x${size}" ] || fail "$icon is $got"
    else
      fail "missing $icon"
    fi
  done
  # Everything the install wrote lies inside the prefix.
  manifest=$VELLUMO_BUILD_DIR/install_manifest.txt
  if [ -f "$manifest" ]; then
    outside=$(grep -v "^$prefix/" "$manifest" || true)
    [ -z "$outside" ] || fail "installed outside the prefix: $outside"
  fi
  # Manual pages format without warnings.
  if command -v man >/dev/null 2>&1; then
    for page in wsqtool $([ "${VELLUMO_WITH_VIEWER:-1}" = 0 ] || echo vellumo); do
      out=$(MANWIDTH=80 man --warnings -l "$prefix/$VELLUMO_MANDIR/man1/$page.1" 2>&1 >/dev/null)
      [ -z "$out" ] || fail "man $page: $out"
    done
  fi
  # grep reads the whole output: with pipefail, grep -q could end the
  # pipe early and fail the check through the writer's SIGPIPE.
  "$prefix/$VELLUMO_BINDIR/wsqtool" --version | grep "$VELLUMO_VERSION" >/dev/null || fail "wsqtool --version"
  ;;

desktop)
  [ "${VELLUMO_WITH_VIEWER:-1}" = 0 ] && skip "built without the viewer"
  need desktop-file-validate
  out=$(desktop-file-validate "$share/applications/vellumo.desktop" 2>&1) || fail "desktop-file-validate: $out"
  [ -z "$out" ] || fail "desktop-file-validate says: $out"
  grep -qx 'MimeType=image/x-wsq;' "$share/applications/vellumo.desktop" || fail "the entry does not handle image/x-wsq"
  grep -qx 'Icon=vellumo' "$share/applications/vellumo.desktop" || fail "the entry's icon"
  # The program the entry starts exists in the prefix.
  exe=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$share/applications/vellumo.desktop")
  [ -x "$prefix/$VELLUMO_BINDIR/$exe" ] || fail "Exec=$exe is not installed"
  ;;

mime)
  need update-mime-database
  need xdg-mime
  need gio
  f=$(sample) || skip "no WSQ sample"
  update-mime-database "$share/mime" || fail "update-mime-database"
  if command -v update-desktop-database >/dev/null 2>&1; then
    update-desktop-database "$share/applications" || fail "update-desktop-database"
  fi
  dir=$work/mime
  rm -rf "$dir" && mkdir -p "$dir" "$work/home"
  cp "$f" "$dir/fingerprint"        # by content: no extension
  cp "$f" "$dir/fingerprint.wsq"    # by name and content
  echo "not a fingerprint" >"$dir/named.wsq" # by name only
  for probe in fingerprint fingerprint.wsq named.wsq; do
    got=$(isolated xdg-mime query filetype "$dir/$probe" 2>&1)
    [ "$got" = image/x-wsq ] || fail "xdg-mime query filetype $probe: $got"
  done
  # Without our definition the same content is not taken for WSQ.
  got=$(env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_DATA_HOME="$work/home/data" \
    XDG_DATA_DIRS="$work/nothing" XDG_CURRENT_DESKTOP=GNOME xdg-mime query filetype "$dir/fingerprint" 2>&1)
  [ "$got" != image/x-wsq ] || fail "image/x-wsq known without the installed definition"
  got=$(isolated xdg-mime query default image/x-wsq 2>&1)
  [ "${VELLUMO_WITH_VIEWER:-1}" = 0 ] || [ "$got" = vellumo.desktop ] || fail "xdg-mime query default image/x-wsq: $got"
  ;;

thumbnailer)
  f=$(sample) || skip "no WSQ sample"
  entry=$share/thumbnailers/vellumo.thumbnailer
  grep -qx 'MimeType=image/x-wsq;' "$entry" || fail "the thumbnailer entry's MIME type"
  exec_line=$(sed -n 's/^Exec=//p' "$entry")
  dir=$work/thumbs
  rm -rf "$dir" && mkdir -p "$dir"
  for size in 128 256 48; do
    out=$dir/thumb-$size.png
    # The file manager's substitutions: %s size, %i input path, %o output.
    cmd=${exec_line//%s/$size}
    cmd=${cmd//%i/\"$f\"}
    cmd=${cmd//%o/\"$out\"}
    isolated sh -c "$cmd" || fail "thumbnailer exit status for size $size"
    [ -f "$out" ] || { fail "no thumbnail for size $size"; continue; }
    got=$(png_size "$out")
    w=${got%x*}; h=${got#*x}
    # Fits the square with the longer side at the size (never above the image).
    if [ "$got" = not-png ] || [ "$w" -gt "$size" ] || [ "$h" -gt "$size" ] ||
       { [ "$w" -ne "$size" ] && [ "$h" -ne "$size" ] && [ "$size" -lt 256 ]; }; then
      fail "thumbnail for size $size is $got"
    fi
  done
  # A file:// URI works as well as a path; a damaged file fails cleanly.
  uri="file://$(printf '%s' "$f" | sed 's/ /%20/g')"
  isolated vellumo-thumbnailer -s 64 "$uri" "$dir/uri.png" || fail "thumbnailer with a file:// URI"
  [ "$(png_size "$dir/uri.png" 2>/dev/null)" = 64x64 ] || [ "$(basename "$f")" != nist-sample-256x256.wsq ] \
    || fail "thumbnail from a URI is $(png_size "$dir/uri.png")"
  head -c 200 "$f" >"$dir/cut.wsq"
  if isolated vellumo-thumbnailer -s 64 "$dir/cut.wsq" "$dir/cut.png" 2>/dev/null; then
    fail "a truncated file gave a thumbnail"
  fi
  [ ! -e "$dir/cut.png" ] || fail "a failed thumbnail left a file"
  ;;

library)
  need pkg-config
  f=$(sample) || skip "no WSQ sample"
  dir=$work/consumer
  rm -rf "$dir"
  "$CMAKE_COMMAND" -S "$VELLUMO_SOURCE_DIR/tests/install/consumer" -B "$dir/build" -G "$CMAKE_GENERATOR" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$CC" -DCMAKE_BUILD_TYPE=Release >"$dir.log" 2>&1 \
    || { cat "$dir.log" >&2; fail "configuring the consumer with find_package(wsq)"; }
  "$CMAKE_COMMAND" --build "$dir/build" >>"$dir.log" 2>&1 || { cat "$dir.log" >&2; fail "building the consumer"; }
  shared=$("$dir/build/consumer" "$f") || fail "consumer (shared library) failed"
  static=$("$dir/build/consumer_static" "$f") || fail "consumer (static library) failed"
  echo "shared: $shared; static: $static"
  [ -n "$shared" ] && [ "$shared" = "$static" ] || fail "shared and static results differ"
  case $(basename "$f") in
    nist-sample-256x256.wsq) [ "${shared% *}" = "256 256" ] || fail "decoded size ${shared% *}";;
  esac
  # The shared build really uses the installed shared library.
  if command -v ldd >/dev/null 2>&1; then
    ldd "$dir/build/consumer" | grep "$prefix/.*libwsq.so" >/dev/null || fail "consumer does not load the installed libwsq.so"
  fi
  # pkg-config describes the same library, from a prefix it was not built for.
  export PKG_CONFIG_PATH="$prefix/$VELLUMO_LIBDIR/pkgconfig"
  [ "$(pkg-config --modversion wsq)" = "$VELLUMO_VERSION" ] || fail "pkg-config --modversion wsq"
  flags=$(pkg-config --cflags --libs wsq) || fail "pkg-config --cflags --libs wsq"
  # shellcheck disable=SC2086
  "$CC" -o "$dir/consumer_pc" "$VELLUMO_SOURCE_DIR/tests/install/consumer/consumer.c" $flags \
    -Wl,-rpath,"$prefix/$VELLUMO_LIBDIR" 2>"$dir/pc.log" || { cat "$dir/pc.log" >&2; fail "building with pkg-config"; }
  [ -x "$dir/consumer_pc" ] && { [ "$("$dir/consumer_pc" "$f")" = "$shared" ] || fail "pkg-config build decodes differently"; }
  # pkg-config --static names everything the archive needs.
  static_flags=$(pkg-config --static --cflags --libs wsq | sed 's/-lwsq\b/-l:libwsq.a/')
  # shellcheck disable=SC2086
  "$CC" -o "$dir/consumer_pc_static" "$VELLUMO_SOURCE_DIR/tests/install/consumer/consumer.c" $static_flags \
    2>"$dir/pcs.log" || { cat "$dir/pcs.log" >&2; fail "building with pkg-config --static"; }
  [ -x "$dir/consumer_pc_static" ] && { [ "$("$dir/consumer_pc_static" "$f")" = "$shared" ] || fail "pkg-config --static build decodes differently"; }
  ;;

*)
  echo "unknown mode $mode" >&2
  exit 2
  ;;
esac

if [ "$failures" -gt 0 ]; then
  echo "$mode: $failures check(s) failed" >&2
  exit 1
fi
echo "$mode: passed"
