# Sourced by every fake tool that tests put first on PATH: appends the
# call's arguments to $KORVO_FAKE_LOG, the call opened by \034, each argument
# ended by \036, the call by \035, so that arguments holding line feeds or
# blanks come back exactly. A fake killed while writing leaves an unclosed
# call, which the reader drops: the next call starts with its own \034.
# With $KORVO_FAKE_INPUTS set, the call's standard input is then saved whole
# in the next free numbered file of that folder (0, 1, ...), named by
# $KORVO_FAKE_INPUT for the body, which finds its own input used up.
{
  printf '\034'
  for arg in "$@"; do printf '%s\036' "$arg"; done
  printf '\035'
} >> "$KORVO_FAKE_LOG"
if [ -n "${KORVO_FAKE_INPUTS-}" ]; then
  KORVO_FAKE_INPUT=0
  while [ -e "$KORVO_FAKE_INPUTS/$KORVO_FAKE_INPUT" ]; do KORVO_FAKE_INPUT=$((KORVO_FAKE_INPUT + 1)); done
  KORVO_FAKE_INPUT="$KORVO_FAKE_INPUTS/$KORVO_FAKE_INPUT"
  cat >"$KORVO_FAKE_INPUT"
fi
