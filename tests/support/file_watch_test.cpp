#include "driver/support/file_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/scoped_host_directory.h"

namespace korvane {
namespace {

TEST(FileWatchTest, NotesEveryWayAWatchedFileChangesAndNothingElse) {
  testing::ScopedHostDirectory dir("file_watch");
  ASSERT_TRUE(dir.Valid());
  dir.Write("config.xml", "<root/>");
  const std::string path = (dir.Path() / "config.xml").string();
  CFileWatch watch;
  watch.Watch(path);
  EXPECT_FALSE(watch.MayHaveChanged());
  // Other files in the folder (the debug log beside the configuration) are not the watched file.
  dir.Write("Debug_KSL_Log.txt", "line");
  EXPECT_FALSE(watch.MayHaveChanged());

  dir.Write("config.xml", "<root a=\"1\"/>");
  EXPECT_TRUE(watch.MayHaveChanged());
  EXPECT_FALSE(watch.MayHaveChanged());  // the note is consumed

  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), nullptr, 0), 0);
  EXPECT_TRUE(watch.MayHaveChanged());

  // Saved the way editors save: a new file renamed over the old one.
  dir.Write("config.xml.tmp", "<root b=\"2\"/>");
  EXPECT_FALSE(watch.MayHaveChanged());
  std::filesystem::rename(dir.Path() / "config.xml.tmp", path);
  EXPECT_TRUE(watch.MayHaveChanged());

  std::filesystem::remove(path);
  EXPECT_TRUE(watch.MayHaveChanged());
  dir.Write("config.xml", "<root/>");  // appears again under the watched name
  EXPECT_TRUE(watch.MayHaveChanged());
}

TEST(FileWatchTest, WhatCannotBeWatchedAlwaysMayHaveChanged) {
  CFileWatch watch;
  watch.Watch("/nonexistent-folder-for-kestrel/config.xml");
  EXPECT_TRUE(watch.MayHaveChanged());
  EXPECT_TRUE(watch.MayHaveChanged());
}

}  // namespace
}  // namespace korvane
