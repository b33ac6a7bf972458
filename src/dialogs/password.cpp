#include "dialogs/password.hpp"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "common/files.hpp"
#include "common/signal_exit.hpp"
#include "common/i18n.hpp"

namespace korvo {
namespace {

constexpr char kCtrlC = 3;
constexpr char kCtrlD = 4;
constexpr char kBackspace = 8;
constexpr char kCtrlU = 21;
constexpr char kCtrlW = 23;
constexpr char kEscape = 27;
constexpr char kDelete = 127;

// Switches a terminal to raw-ish input for the entry and always puts the
// saved settings back.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // Noted first: a signal that ends the run must find the settings to put back.
    restore_on_signal(fd_, saved_);
    active_ = ::tcsetattr(fd_, TCSANOW, &raw) == 0;
    if (!active_) forget_terminal();
  }
  ~EchoOff() { restore(); }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

  void restore() {
    if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
    if (active_) forget_terminal();
    active_ = false;
  }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

// One byte, retrying EINTR; nothing at end of input.
Result<std::optional<unsigned char>> read_byte(int fd) {
  while (true) {
    unsigned char byte;
    const ssize_t got = ::read(fd, &byte, 1);
    if (got == 1) return std::optional<unsigned char>(byte);
    if (got == 0) return std::optional<unsigned char>();
    if (errno != EINTR) return os_error(errno);
  }
}

std::size_t utf8_length_from_lead(unsigned char lead) {
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

// Start of the last character of a UTF-8 text.
std::size_t last_char_start(std::string_view text) {
  std::size_t pos = text.size();
  while (pos > 0) {
    --pos;
    if ((static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) break;
  }
  return pos;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Drops the rest of an escape sequence introduced by ESC [ or ESC O.
Result<void> skip_escape_sequence(int fd, unsigned char introducer) {
  if (introducer == 'O') {
    auto final_byte = read_byte(fd);
    if (!final_byte) return final_byte.error();
    return Ok{};
  }
  while (true) {  // CSI: parameters and intermediates, then one final byte
    auto byte = read_byte(fd);
    if (!byte) return byte.error();
    if (!*byte || (**byte >= 0x40 && **byte <= 0x7E)) return Ok{};
  }
}

}  // namespace

Result<SecretString> read_password_from_terminal(std::string_view prompt) {
  {
    auto out = open_file("/dev/tty", O_WRONLY | O_NOCTTY);
    if (!out) return out.error();
    auto written = write_all(out->get(), prompt);
    if (!written) return written.error();
  }
  auto tty = open_file("/dev/tty", O_RDWR | O_NOCTTY);
  if (!tty) return tty.error();
  const int fd = tty->get();
  const bool is_terminal = ::isatty(fd) == 1;
  EchoOff echo_off(fd);

  SecretString entry;
  std::string pending;  // an incomplete UTF-8 sequence
  std::optional<unsigned char> replay;
  while (true) {
    unsigned char byte;
    if (replay) {
      byte = *replay;
      replay.reset();
    } else {
      auto next = read_byte(fd);
      if (!next) return next.error();
      if (!*next) break;  // end of input from the terminal: take what was typed
      byte = **next;
    }

    if (!pending.empty() || byte >= 0x80) {
      if (pending.empty() && utf8_length_from_lead(byte) == 0) continue;  // stray byte
      if (!pending.empty() && (byte & 0xC0) != 0x80) {
        pending.clear();  // broken sequence: drop it, then look at this byte afresh
        replay = byte;
        continue;
      }
      pending.push_back(static_cast<char>(byte));
      if (pending.size() < utf8_length_from_lead(static_cast<unsigned char>(pending[0]))) continue;
      const auto lead = static_cast<unsigned char>(pending[0]);
      const auto second = static_cast<unsigned char>(pending[1]);
      const bool c1_control = lead == 0xC2 && second >= 0x80 && second <= 0x9F;
      if (!c1_control) entry.append(pending);
      wipe_string(pending);
      continue;
    }

    const char c = static_cast<char>(byte);
    if (c == '\r' || c == '\n') {
      if (is_terminal) (void)write_all(fd, "\n");
      break;
    }
    if (c == kBackspace || c == kDelete) {
      if (!entry.empty()) entry.truncate(last_char_start(entry.view()));
    } else if (c == kCtrlU) {
      entry.clear();
    } else if (c == kCtrlW) {
      std::size_t end = entry.size();
      while (end > 0 && is_blank(entry.view()[end - 1])) --end;
      while (end > 0 && !is_blank(entry.view()[end - 1])) --end;
      entry.truncate(end);
    } else if (c == kEscape) {
      auto next = read_byte(fd);
      if (!next) return next.error();
      if (!*next) break;
      if (**next == '[' || **next == 'O') {
        auto skipped = skip_escape_sequence(fd, **next);
        if (!skipped) return skipped.error();
      } else {
        replay = **next;
      }
    } else if (c == kCtrlD) {
      if (entry.empty()) return Error(tr("end of input"));
    } else if (c == kCtrlC) {
      entry.clear();
      if (is_terminal) (void)write_all(fd, "\n");
      // The user's terminal must get its echo back before the signal ends us.
      echo_off.restore();
      ::raise(SIGINT);
      return Error(tr("interrupted"));
    } else if (byte >= 32) {
      entry.append(std::string_view(&c, 1));
    }
  }
  return entry;
}

}  // namespace korvo
