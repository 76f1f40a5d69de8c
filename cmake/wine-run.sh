#!/bin/sh
# Runs a Windows test program under wine, in a throw-away wine prefix of the build tree:
#   wine-run.sh PREFIX PROGRAM.exe [ARGUMENTS...]
# The prefix is made on first use, under a lock, since several tests may start at once. When wine
# cannot start on this machine the program is not run: the reason goes to standard error and the
# exit code is 77, which every Windows test takes as "skipped". A GoogleTest listing request then
# gets one stand-in test, so that the skip is reported as a test instead of a failed listing.
#   wine-run.sh PREFIX --check   makes the prefix and exits 0, or 77 with the reason.
set -u
SkipCode=77

prefix=$1
shift

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEARCH=win64
# No Mono or Gecko: nothing here needs them, and the prefix is made offline without prompts.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Debian 12 ships the loader as /usr/lib/wine/wine64 behind the "wine" script; other systems
# have a wine64 command.
wine=$(command -v wine64 || command -v wine || true)
wineboot=$(command -v wineboot || true)
wineserver=$(command -v wineserver || true)

# Prints why wine cannot run programs here, or nothing when it can. Called under the lock.
prepare_prefix() {
  if [ -z "$wine" ]; then
    echo "wine is not installed (no wine64 or wine command)"
    return
  fi
  if [ -f "$prefix/.chklist-ready" ]; then
    return
  fi
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  if [ -n "$wineboot" ]; then
    timeout 300 "$wineboot" -i </dev/null >/dev/null 2>&1 9>&-
  fi
  [ -n "$wineserver" ] && timeout 120 "$wineserver" -w 9>&-
  answer=$(timeout 120 "$wine" cmd /c echo wine-ok </dev/null 2>&1 9>&- | tr -d '\r')
  if [ "$answer" != "wine-ok" ]; then
    echo "wine cannot start a program here (wine cmd /c echo printed: $answer)"
    return
  fi
  touch "$prefix/.chklist-ready"
}

# Starts the prefix's wineserver and its background services, unless they run already, with their
# output away from the caller's: a server started by the test program itself would hold the test's
# output pipes open for seconds after the program ends, and CTest would wait for it every time.
# The server stays for a minute after its last program, so consecutive tests find it running.
start_server() {
  [ -n "$wineserver" ] || return
  if "$wineserver" -p60 </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&-
  fi
}

# The outcome is kept for two minutes when wine is unusable, so that a broken installation costs
# one attempt per test run instead of one per test.
unusable="$prefix.unusable"
reason=$(
  exec 9>"$prefix.lock"
  flock 9
  if [ -f "$unusable" ] && [ -n "$(find "$unusable" -mmin -2 2>/dev/null)" ]; then
    cat "$unusable"
  else
    rm -f "$unusable"
    problem=$(prepare_prefix)
    if [ -n "$problem" ]; then
      echo "$problem" >"$unusable"
      echo "$problem"
    else
      start_server
    fi
  fi
)

if [ -n "$reason" ]; then
  case "${2-}" in
    --gtest_list_tests)
      printf 'WineUnavailable.\n  AllTestsOfThisProgram\n'
      exit 0
      ;;
  esac
  echo "[  SKIPPED ] Windows test not run: $reason" >&2
  exit $SkipCode
fi

if [ "${1-}" = "--check" ]; then
  exit 0
fi

# A stand-in test listed while wine could not start: wine starts now, but the real tests of the
# program are unknown until it is listed again. Marking it newer makes CTest list it next time.
case "${2-}" in
  --gtest_filter=WineUnavailable.*)
    touch "$1"
    echo "The tests of $1 were listed while wine could not start; run the tests again." >&2
    exit 1
    ;;
esac

# GoogleTest's listing is read by CMake, which wants LF line ends; everything else passes as is.
case "${2-}" in
  --gtest_list_tests)
    listing=$("$wine" "$@")
    status=$?
    printf '%s\n' "$listing" | tr -d '\r'
    exit $status
    ;;
esac
exec "$wine" "$@"
