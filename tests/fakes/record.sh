# Sourced by every fake tool that tests put first on PATH: appends the
# call's arguments to $KORVO_FAKE_LOG, the call opened by \034, each argument
# ended by \036, the call by \035, so that arguments holding line feeds or
# blanks come back exactly. A fake killed while writing leaves an unclosed
# call, which the reader drops: the next call starts with its own \034.
{
  printf '\034'
  for arg in "$@"; do printf '%s\036' "$arg"; done
  printf '\035'
} >> "$KORVO_FAKE_LOG"
