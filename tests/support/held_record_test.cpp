// The held record: every way out gives back each thing once, the owners first
// (kind by kind), then what the record holds by itself.
#include "platform/held.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/common/scratch.h"
#include "tests/common/system_names.h"

namespace corv {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::WriteFile;

TEST(HeldRecord, LockFileMadeOnlyWhereNoneIsAndRemovedOnce) {
  TempDir dir("corv-held");
  const std::string lock = dir / "lockCorvantaCommPort3";
  int error = 0;
  const held::Token t = held::MakeLockFile(lock, error);
  ASSERT_NE(t, held::kNone);
  EXPECT_TRUE(held::Holds(t));
  EXPECT_EQ(held::MakeLockFile(lock, error), held::kNone);  // another run's now
  EXPECT_EQ(error, testing::kNameTaken);
  EXPECT_EQ(held::Release(t), 0);
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_FALSE(held::Holds(t));
  // Given back once: a file of that name made since is someone else's.
  WriteFile(lock, "theirs");
  EXPECT_EQ(held::Release(t), 0);
  held::ReleaseAll();
  EXPECT_TRUE(fs::exists(lock));
}

TEST(HeldRecord, OwnersFirstKindByKindThenTheRecordOnce) {
  TempDir dir("corv-held");
  const std::string lock = dir / "lock";
  std::string said;
  held::Owner terminal, port, gone;
  terminal.Take(held::Kind::Terminal, [&] { said += "T"; });
  port.Take(held::Kind::Port, [&] { said += fs::exists(lock) ? "P+" : "P-"; });
  gone.Take(held::Kind::LockFile, [&] { said += "G"; });
  port.Take(held::Kind::Port, [&] { said += "twice"; });  // registered once
  gone.Drop();
  int error = 0;
  ASSERT_NE(held::MakeLockFile(lock, error), held::kNone);
  held::ReleaseAll();
  EXPECT_EQ(said, "P+T");
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_FALSE(port.Held());
  held::ReleaseAll();
  EXPECT_EQ(said, "P+T");
}

}  // namespace
}  // namespace corv
