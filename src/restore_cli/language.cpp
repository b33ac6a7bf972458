#include "restore_cli/language.hpp"

#include <libintl.h>
#include <stdlib.h>

#include <clocale>

#include "common/files.hpp"
#include "common/i18n.hpp"

#ifdef KORVO_EMBEDDED_CATALOGS
#include "embedded_catalogs.hpp"
#endif

namespace korvo {
namespace {

bool write_catalogs(const std::string& folder, const std::vector<CatalogFile>& catalogs) {
  for (const CatalogFile& catalog : catalogs) {
    const std::string messages = join_path(join_path(folder, catalog.language), "LC_MESSAGES");
    if (!create_directories(messages)) return false;
    if (!write_file(join_path(messages, std::string(kTextDomain) + ".mo"), catalog.bytes)) return false;
  }
  return true;
}

}  // namespace

std::optional<HeldFolder> bind_catalogs(const std::string& temp_dir, const std::vector<CatalogFile>& catalogs) {
  // mkdtemp makes it 0700.
  std::string pattern = join_path(temp_dir, "korvo-restore-locale-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  auto held = HeldFolder::hold(pattern);
  if (!held) {
    (void)remove_tree(pattern);
    return std::nullopt;
  }
  if (!write_catalogs(held->path(), catalogs)) {
    (void)held->remove();
    return std::nullopt;
  }
  ::bindtextdomain(kTextDomain, held->path().c_str());
  return std::move(*held);
}

std::optional<HeldFolder> use_desktop_language(const std::string& temp_dir) {
  std::setlocale(LC_MESSAGES, "");
  std::setlocale(LC_CTYPE, "");
  // Every text goes to zenity or a terminal as UTF-8, whatever the locale's charset.
  ::bind_textdomain_codeset(kTextDomain, "UTF-8");
  ::textdomain(kTextDomain);
#ifdef KORVO_EMBEDDED_CATALOGS
  std::vector<CatalogFile> catalogs;
  for (const EmbeddedCatalog& catalog : kEmbeddedCatalogs) {
    catalogs.push_back({catalog.language, std::string_view(reinterpret_cast<const char*>(catalog.data), catalog.size)});
  }
  return bind_catalogs(temp_dir, catalogs);
#else
  (void)temp_dir;
  if (auto self = own_executable_path()) {
    const std::string beside = join_path(parent_path(*self), "locale");
    if (is_directory(beside)) {
      ::bindtextdomain(kTextDomain, beside.c_str());
      return std::nullopt;
    }
  }
  ::bindtextdomain(kTextDomain, KORVO_LOCALEDIR);
  return std::nullopt;
#endif
}

}  // namespace korvo
