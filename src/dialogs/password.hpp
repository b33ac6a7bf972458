#pragma once

#include <string_view>

#include "common/error.hpp"
#include "common/secret.hpp"

namespace korvo {

// Writes the prompt to /dev/tty and reads a line from it with echo off,
// handling the usual editing keys. Ctrl-C raises SIGINT after the
// terminal's settings have been put back.
Result<SecretString> read_password_from_terminal(std::string_view prompt);

}  // namespace korvo
