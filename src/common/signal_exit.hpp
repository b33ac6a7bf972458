#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>

// SIGINT, SIGTERM and SIGHUP (Ctrl-C, logging out, closing the terminal) end
// a restore run the way a failure does: the children it started are stopped,
// the folders it keeps are removed, the terminal gets its settings back, and
// the program exits with 128 + the signal's number. What the handler needs
// is noted here beforehand, in fixed slots that it reads without allocating.
namespace korvo {

// Installs the handler for the three signals; one that the program was
// started with ignored (nohup) stays ignored.
void end_run_on_signals();

// A started child, stopped with SIGTERM should a signal end the run.
void stop_on_signal(pid_t pid);
void forget_child(pid_t pid);

// A folder of the run, removed should a signal end the run; false when
// every slot is taken or the path is too long to note.
bool remove_on_signal(const std::string& path);
void forget_folder(const std::string& path);

// Terminal settings to put back should a signal end the run while they
// are changed.
void restore_on_signal(int fd, const termios& settings);
void forget_terminal();

}  // namespace korvo
