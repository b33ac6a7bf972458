#pragma once

// The built korvo-restore, run as a user would run it, with fake desktop
// tools first on PATH and HOME and TMPDIR in a scratch folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/files.hpp"
#include "backup_writer/backup_writer.hpp"
#include "support/sandbox.hpp"

namespace korvo {

class EndToEnd : public ::testing::Test {
 protected:
  using Args = std::vector<std::string>;

  EndToEnd() : fakes(scratch.sub("fakes")) {
    EXPECT_TRUE(create_directories(home() + "/Desktop").ok());
    EXPECT_TRUE(create_directories(tmp()).ok());
  }

  std::string home() const { return scratch.sub("home"); }
  std::string tmp() const { return scratch.sub("tmp"); }
  std::string drive() const { return scratch.sub("drive/KORVO"); }
  std::string restored() const { return home() + "/Desktop/Restored"; }

  testing::Environment environment() const {
    testing::Environment env = {{"PATH", fakes.path_value()}, {"HOME", home()}, {"TMPDIR", tmp()}, {"LANG", "C.UTF-8"}};
    if (!language.empty()) env["LANGUAGE"] = language;
    return env;
  }

  // Two files in folders, one of them stored rather than deflated.
  void write_sample_backup() {
    testing::BackupSpec plan;
    const std::string notes = "meeting notes\n";
    const std::string photo(200000, '\x7F');
    std::string manifest = testing::manifest_for({{"Documents/notes.txt", notes}, {"Pictures/2019/a.jpg", photo}});
    plan.entries = {{"manifest.json", manifest},
                    {"Documents/notes.txt", notes},
                    {"Pictures/2019/a.jpg", photo, false}};
    testing::write_backup(drive(), plan);
  }

  // zenity that answers the password dialog (after running the shell text
  // on_password) and accepts everything else.
  // The backup's files: Documents/notes.txt, and with `with_damaged_file`
  // also Documents/old.txt, which the manifest lists under another digest.
  static std::vector<testing::BackupEntry> notes_with_manifest(bool with_damaged_file) {
    const std::string notes = "notes\n";
    std::vector<testing::ManifestLine> listed = {{testing::windows_original_path("Documents/notes.txt"),
                                                  "Documents/notes.txt", notes.size(), testing::sha256_hex(notes)}};
    if (with_damaged_file) {
      listed.push_back({testing::windows_original_path("Documents/old.txt"), "Documents/old.txt", 3,
                        testing::sha256_hex("old")});
    }
    return {{"manifest.json", testing::manifest_text(listed)},
            {"Documents/notes.txt", notes},
            {"Documents/old.txt", "new"}};
  }

  // A saved WPA2 network as the old computer exported it.
  static std::string wifi_profile(const std::string& name, const std::string& key) {
    return "<?xml version=\"1.0\"?>\r\n<WLANProfile xmlns=\"http://www.microsoft.com/networking/WLAN/profile/v1\">\r\n"
           "\t<name>" + name + "</name>\r\n\t<SSIDConfig><SSID><name>" + name + "</name></SSID></SSIDConfig>\r\n"
           "\t<MSM><security><authEncryption><authentication>WPA2PSK</authentication></authEncryption>\r\n"
           "\t<sharedKey><keyType>passPhrase</keyType><protected>false</protected>"
           "<keyMaterial>" + key + "</keyMaterial></sharedKey></security></MSM>\r\n</WLANProfile>\r\n";
  }

  void add_dialog_zenity(const std::string& password, const std::string& on_password = "") {
    fakes.add("zenity", "case \"$2\" in --password) " + on_password + "\nprintf '%s\\n' '" + password +
                            "';; --progress) exec cat >/dev/null;; esac; exit 0");
  }

  static Args progress_window(const std::string& text, bool pulsate) {
    Args argv = {"--title=Korvo", "--progress", "--width=460", "--no-cancel", "--auto-close", "--text=" + text};
    if (pulsate) argv.emplace_back("--pulsate");
    return argv;
  }
  static Args error_dialog(const std::string& text) {
    return {"--title=Korvo", "--error", "--width=460", "--no-markup", "--text=" + text};
  }
  static Args info_dialog(const std::string& text) {
    return {"--title=Korvo", "--info", "--width=520", "--no-markup", "--text=" + text};
  }

  testing::ProgramRun run(const Args& args, const std::string& stdin_text = "x") const {
    Args argv = {testing::restore_binary()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::run_program(argv, environment(), stdin_text);
  }

  std::vector<std::string> staging_dirs() const {
    auto names = list_directory(tmp());
    return names ? *names : std::vector<std::string>{};
  }

  testing::ScratchDir scratch;
  testing::FakeTools fakes;
  std::string language;  // LANGUAGE for the program, unset when empty
};

}  // namespace korvo
