#pragma once

#include <string_view>

// The line protocol between the app offer and the privileged installer copy
// it starts. Both sides use these, so each reads what the other writes.
namespace korvo {

// The first argument that selects the installer copy.
inline constexpr std::string_view kInstallerFlag = "--install-apps";

// Lines on the installer's standard output: a progress text to show, and
// the result for one package name.
inline constexpr std::string_view kProgressPrefix = "# ";
inline constexpr std::string_view kInstalledPrefix = "ok ";
inline constexpr std::string_view kFailedPrefix = "fail ";

// The progress texts after kProgressPrefix, always English here: the parent
// shows them in the user's language.
inline constexpr std::string_view kUpdatingProgress = "Updating the package list…";
inline constexpr std::string_view kInstallingProgressStart = "Installing ";  // then the package name
inline constexpr std::string_view kInstallingProgressEnd = "…";

}  // namespace korvo
