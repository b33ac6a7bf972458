# Sourced by every fake tool that tests put first on PATH. Each call gets a
# folder of its own, $KORVO_FAKE_LOG/N, claimed with mkdir (atomic, so two
# fakes running at once never share a number or a file). The argument vector
# lands in N/argv by rename, whole or not at all: each argument ended by \036,
# so that arguments holding line feeds or blanks come back exactly. A fake
# killed before the rename leaves a folder without argv, which the reader
# skips. With $KORVO_FAKE_INPUTS set, the call's standard input is then saved
# whole in N/input, named by $KORVO_FAKE_INPUT for the body, which finds its
# own input used up.
mkdir -p "$KORVO_FAKE_LOG" || exit 97
KORVO_FAKE_CALL=0
while ! mkdir "$KORVO_FAKE_LOG/$KORVO_FAKE_CALL" 2>/dev/null; do
  [ -e "$KORVO_FAKE_LOG/$KORVO_FAKE_CALL" ] || exit 97
  KORVO_FAKE_CALL=$((KORVO_FAKE_CALL + 1))
done
KORVO_FAKE_CALL="$KORVO_FAKE_LOG/$KORVO_FAKE_CALL"
for arg in "$@"; do printf '%s\036' "$arg"; done >"$KORVO_FAKE_CALL/argv.part"
mv "$KORVO_FAKE_CALL/argv.part" "$KORVO_FAKE_CALL/argv"
if [ -n "${KORVO_FAKE_INPUTS-}" ]; then
  KORVO_FAKE_INPUT="$KORVO_FAKE_CALL/input"
  cat >"$KORVO_FAKE_INPUT"
fi
