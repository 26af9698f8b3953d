#include "hub/bus_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hub/hub.h"
#include "tests/hub/test_support.h"

namespace pelmo {
namespace {

TEST(bus_path, prefers_pelmo_bus_then_runtime_dir_then_tmp) {
  const std::string uid = std::to_string(::getuid());
  const struct {
    const char* bus;
    const char* runtime;
    std::string expected;
  } cases[] = {
      {"/x/y/bus", "/run/user/5", "/x/y/bus"},
      {nullptr, "/run/user/5", "/run/user/5/pelmo/bus"},
      {"", "/run/user/5", "/run/user/5/pelmo/bus"},
      {nullptr, nullptr, "/tmp/pelmo-" + uid + "/bus"},
      {nullptr, "", "/tmp/pelmo-" + uid + "/bus"},
  };
  // No other test of this program reads these variables.
  const auto set = [](const char* name, const char* value) {
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  };
  for (const auto& c : cases) {
    set("PELMO_BUS", c.bus);
    set("XDG_RUNTIME_DIR", c.runtime);
    EXPECT_EQ(DefaultBusPath(), c.expected);
  }
  ::unsetenv("PELMO_BUS");
}

TEST(bus_path, creates_missing_directories_private_and_refuses_unsafe_ones) {
  testing::TempBus temp;
  const std::string d = temp.dir();
  std::string error;
  ASSERT_TRUE(PrepareBusDirectory(d + "/a/b/bus", &error)) << error;
  struct stat st;
  ASSERT_EQ(::stat((d + "/a/b").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ASSERT_EQ(::mkdir((d + "/open").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((d + "/open").c_str(), 0777), 0);
  ASSERT_EQ(::mkdir((d + "/foreign").c_str(), 0700), 0);
  const bool can_chown = ::chown((d + "/foreign").c_str(), 65534, 65534) == 0;
  ASSERT_EQ(::symlink((d + "/a").c_str(), (d + "/link").c_str()), 0);
  const struct {
    std::string path;
    const char* reason;
  } unsafe[] = {
      {d + "/open/bus", "writable"},
      {d + "/link/bus", "not a directory"},
      {std::string(200, 'p'), "too long"},
      {can_chown ? d + "/foreign/bus" : "", can_chown ? "another user" : "empty"},
  };
  for (const auto& c : unsafe) {
    EXPECT_FALSE(PrepareBusDirectory(c.path, &error)) << c.path;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace pelmo
