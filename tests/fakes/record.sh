# Sourced by every fake tool that tests put first on PATH: appends the
# call's arguments to $KORVO_FAKE_LOG, each ended by \036, the call by \035,
# so that arguments holding line feeds or blanks come back exactly.
{ for arg in "$@"; do printf '%s\036' "$arg"; done; printf '\035'; } >> "$KORVO_FAKE_LOG"
