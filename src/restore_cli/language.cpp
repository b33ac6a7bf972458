#include "restore_cli/language.hpp"

#include <libintl.h>

#include <clocale>
#include <cstdlib>

#include "common/files.hpp"
#include "common/i18n.hpp"

#ifdef KORVO_EMBEDDED_CATALOGS
#include "embedded_catalogs.hpp"
#endif

namespace korvo {
namespace {

#ifdef KORVO_EMBEDDED_CATALOGS
// A message every catalog translates.
constexpr std::string_view kCatalogProbe = "Restore failed: {}";

// gettext reads catalogs only from files: each embedded one goes to
// <folder>/<language>/LC_MESSAGES/korvo-restore.mo. Nothing when a file fails.
bool write_embedded_catalogs(const std::string& folder) {
  for (const EmbeddedCatalog& catalog : kEmbeddedCatalogs) {
    const std::string messages = join_path(join_path(folder, catalog.language), "LC_MESSAGES");
    if (!create_directories(messages)) return false;
    const std::string_view bytes(reinterpret_cast<const char*>(catalog.data), catalog.size);
    if (!write_file(join_path(messages, std::string(kTextDomain) + ".mo"), bytes)) return false;
  }
  return true;
}

void bind_embedded_catalogs(const std::string& temp_dir) {
  std::string pattern = join_path(temp_dir, "korvo-restore-locale-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) return;
  if (write_embedded_catalogs(pattern)) {
    ::bindtextdomain(kTextDomain, pattern.c_str());
    // One lookup loads the catalog of the user's language into memory,
    // where it stays once its file is gone.
    (void)tr(kCatalogProbe);
  }
  (void)remove_tree(pattern);
}
#endif

}  // namespace

void use_desktop_language(const std::string& temp_dir) {
  std::setlocale(LC_MESSAGES, "");
  std::setlocale(LC_CTYPE, "");
  // Every text goes to zenity or a terminal as UTF-8, whatever the locale's charset.
  ::bind_textdomain_codeset(kTextDomain, "UTF-8");
  ::textdomain(kTextDomain);
#ifdef KORVO_EMBEDDED_CATALOGS
  bind_embedded_catalogs(temp_dir);
#else
  (void)temp_dir;
  if (auto self = own_executable_path()) {
    const std::string beside = join_path(parent_path(*self), "locale");
    if (is_directory(beside)) {
      ::bindtextdomain(kTextDomain, beside.c_str());
      return;
    }
  }
  ::bindtextdomain(kTextDomain, KORVO_LOCALEDIR);
#endif
}

}  // namespace korvo
