#include <gtest/gtest.h>

#include "staging/paths.hpp"

namespace korvo {
namespace {

struct ContainmentCase {
  const char* root;
  const char* path;
  bool inside;
};

TEST(EnsureWithinRoot, FollowsTheLexicalRule) {
  const ContainmentCase cases[] = {
      {"/tmp/a", "/tmp/a", true},
      {"/tmp/a", "/tmp/a/b/c", true},
      {"/tmp/a", "/tmp/ab", false},
      {"/tmp/a", "/tmp", false},
      {"/tmp/a", "/tmp/a/../b", true},  // ".." is not resolved
      {"/tmp/a", "/tmp/./a/x", true},
      {"/tmp/a/", "/tmp/a", true},
      {"/tmp/a", "/tmp/a/", true},
      {"/tmp//a", "//tmp///a//x", true},
      {"/tmp/a", "tmp/a/x", false},
      {"tmp/a", "/tmp/a/x", false},
      {"./a", "a/x", false},  // a leading "." stays a component
      {"./a", "./a/./x", true},
      {"a", "a/x", true},
      {"/", "/anything", true},
      {"/tmp/a", "/tmp/A", false},
  };
  for (const auto& c : cases) {
    const auto result = ensure_within_root(c.root, c.path);
    EXPECT_EQ(result.ok(), c.inside) << c.root << " ⊇ " << c.path;
  }
}

TEST(EnsureWithinRoot, NamesPathThenRoot) {
  const auto result = ensure_within_root("/tmp/a", "/tmp/ab");
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message(), "Path escapes its allowed root: /tmp/ab is not inside /tmp/a");
  EXPECT_EQ(result.error().cause(), nullptr);
}

TEST(SafeRelativePath, RefusesNamesThatLeaveTheirFolder) {
  const std::pair<std::string, bool> cases[] = {
      {"../x", false},
      {"a/../../x", false},
      {"/etc/x", false},
      {"//x", false},
      {"..", false},
      {"./../x", false},
      {std::string("a\0b", 3), false},
      {"a/../b", true},
      {"a/b/../../c", true},
      {"./x", true},
      {"a/./b", true},
      {"a\\b", true},
      {"..\\x", true},  // a backslash is part of the name, not a separator
      {"photos/", true},
      {"a..b/c", true},
  };
  for (const auto& [name, safe] : cases) {
    const auto result = safe_relative_path(name);
    EXPECT_EQ(result.has_value(), safe) << name;
    if (result) {
      EXPECT_EQ(*result, name);
    }
  }
}

}  // namespace
}  // namespace korvo
