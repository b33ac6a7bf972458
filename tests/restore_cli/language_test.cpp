#include <gtest/gtest.h>

#include <libintl.h>
#include <sys/stat.h>

#include <string>

#include "common/files.hpp"
#include "common/held_folder.hpp"
#include "common/i18n.hpp"
#include "restore_cli/language.hpp"
#include "support/sandbox.hpp"

namespace korvo {
namespace {

// The portable program's catalogs: in a private folder that is there, held,
// for as long as texts are looked up, and gone once the run is over.
TEST(CatalogFolder, PrivateForTheWholeRunAndGoneAfter) {
  testing::ScratchDir scratch;
  const std::string german =
      testing::read_test_file(parent_path(testing::restore_binary()) + "/locale/de/LC_MESSAGES/korvo-restore.mo");
  const std::string bound_before = ::bindtextdomain(kTextDomain, nullptr);

  auto folder = bind_catalogs(scratch.path(), {{"de", german}});
  ASSERT_TRUE(folder.has_value());
  const std::string path = folder->path();
  EXPECT_EQ(path.rfind(scratch.path() + "/korvo-restore-locale-", 0), 0u) << path;
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_EQ(testing::read_test_file(path + "/de/LC_MESSAGES/korvo-restore.mo"), german);
  EXPECT_EQ(std::string(::bindtextdomain(kTextDomain, nullptr)), path);
  sweep_unheld_folders(scratch.path(), "korvo-restore-");  // another run's sweep passes it by
  EXPECT_TRUE(is_directory(path));

  EXPECT_TRUE(folder->remove().ok());
  EXPECT_FALSE(path_exists_nofollow(path));
  ::bindtextdomain(kTextDomain, bound_before.c_str());
}

}  // namespace
}  // namespace korvo
