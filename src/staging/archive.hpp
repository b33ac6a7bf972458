#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/error.hpp"
#include "common/json.hpp"

namespace korvo {

// Opens the decrypted archive and parses its "manifest.json" entry; the
// manifest itself is dropped and nothing is written. Every failure comes
// back under "Decrypted backup is missing a valid manifest".
// `check` is the manifest's own rule, handed in by the caller, so that
// unpacking needs to know nothing about manifests.
using ManifestCheck = std::function<StreamedJsonParse(const TextReader&)>;
Result<void> check_archive_manifest(const std::string& archive_path, const ManifestCheck& check);

// Unpacks every entry into staging_dir/Backup and returns that folder's
// canonical path. The first failure stops; what was written stays.
// `check_room_for` gets the unpacked size the archive declares before the
// first file is written, and may refuse it.
Result<std::string> extract_backup_archive(const std::string& archive_path, const std::string& staging_dir,
                                           const std::function<Result<void>(std::uint64_t)>& check_room_for = {});

}  // namespace korvo
