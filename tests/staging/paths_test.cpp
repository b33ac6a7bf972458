#include "staging/paths.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvo {
namespace {

struct ContainmentCase {
  const char* root;
  const char* path;
  bool inside;
};

TEST(EnsureWithinRoot, FollowsTheLexicalRule) {
  const ContainmentCase cases[] = {
      {"/tmp/a", "/tmp/a", true},      {"/tmp/a", "/tmp/a/b/c", true},
      {"/tmp/a", "/tmp/ab", false},    {"/tmp/a", "/tmp", false},
      {"/tmp/a", "/tmp/a/../b", true},  // ".." is not resolved
      {"/tmp/a", "/tmp/./a/x", true},  {"/tmp/a/", "/tmp/a", true},
      {"/tmp/a", "/tmp/a/", true},     {"/tmp//a", "//tmp///a//x", true},
      {"/tmp/a", "tmp/a/x", false},    {"tmp/a", "/tmp/a/x", false},
      {"./a", "a/x", false},  // a leading "." stays a component
      {"./a", "./a/./x", true},        {"a", "a/x", true},
      {"/", "/anything", true},        {"/tmp/a", "/tmp/A", false},
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
  for (const std::string& name :
       std::vector<std::string>{"../x", "a/../../x", "/etc/x", "//x", "..", "./../x", std::string("a\0b", 3)}) {
    EXPECT_FALSE(safe_relative_path(name).has_value()) << name;
  }
  // A backslash is part of the name, not a separator.
  for (const std::string& name :
       std::vector<std::string>{"a/../b", "a/b/../../c", "./x", "a/./b", "a\\b", "..\\x", "photos/", "a..b/c"}) {
    EXPECT_EQ(safe_relative_path(name), name);
  }
}

}  // namespace
}  // namespace korvo
