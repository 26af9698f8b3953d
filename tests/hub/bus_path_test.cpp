#include "hub/bus_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "hub/hub.h"
#include "tests/hub/test_support.h"

namespace pelmo {
namespace {

// Sets or clears an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(bus_path, prefers_pelmo_bus_then_runtime_dir_then_tmp) {
  const std::string uid = std::to_string(::getuid());
  struct Case {
    const char* bus;
    const char* runtime;
    std::string expected;
  };
  const Case cases[] = {
      {"/x/y/bus", "/run/user/5", "/x/y/bus"},
      {nullptr, "/run/user/5", "/run/user/5/pelmo/bus"},
      {"", "/run/user/5", "/run/user/5/pelmo/bus"},
      {nullptr, nullptr, "/tmp/pelmo-" + uid + "/bus"},
      {nullptr, "", "/tmp/pelmo-" + uid + "/bus"},
  };
  for (const auto& c : cases) {
    ScopedEnv bus("PELMO_BUS", c.bus);
    ScopedEnv run("XDG_RUNTIME_DIR", c.runtime);
    EXPECT_EQ(DefaultBusPath(), c.expected);
  }
}

TEST(bus_path, creates_missing_directories_private) {
  testing::TempBus temp;
  const std::string path = temp.dir() + "/a/b/bus";
  std::string error;
  ASSERT_TRUE(PrepareBusDirectory(path, &error)) << error;
  struct stat st;
  ASSERT_EQ(::stat((temp.dir() + "/a/b").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(bus_path, refuses_unsafe_directories) {
  testing::TempBus temp;
  std::string error;

  ASSERT_EQ(::mkdir((temp.dir() + "/open").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((temp.dir() + "/open").c_str(), 0777), 0);
  EXPECT_FALSE(PrepareBusDirectory(temp.dir() + "/open/bus", &error));
  EXPECT_NE(error.find("writable"), std::string::npos) << error;

  ASSERT_EQ(::mkdir((temp.dir() + "/real").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((temp.dir() + "/real").c_str(), (temp.dir() + "/link").c_str()), 0);
  EXPECT_FALSE(PrepareBusDirectory(temp.dir() + "/link/bus", &error));
  EXPECT_NE(error.find("not a directory"), std::string::npos) << error;

  EXPECT_FALSE(PrepareBusDirectory(std::string(200, 'p'), &error));

  if (::geteuid() == 0) {
    ASSERT_EQ(::mkdir((temp.dir() + "/foreign").c_str(), 0700), 0);
    ASSERT_EQ(::chown((temp.dir() + "/foreign").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(PrepareBusDirectory(temp.dir() + "/foreign/bus", &error));
    EXPECT_NE(error.find("another user"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace pelmo
