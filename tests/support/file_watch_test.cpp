#include "driver/support/file_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <vector>

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

  // Kernel queues are shared by every program of the user: a process takes only a few.
  testing::ScopedHostDirectory dir("file_watch");
  ASSERT_TRUE(dir.Valid());
  dir.Write("config.xml", "<root/>");
  std::vector<std::unique_ptr<CFileWatch>> many;
  int quiet = 0;
  for (int i = 0; i < 40; ++i) {
    many.push_back(std::make_unique<CFileWatch>());
    many.back()->Watch((dir.Path() / "config.xml").string());
    if (!many.back()->MayHaveChanged()) ++quiet;
  }
  EXPECT_GT(quiet, 0);
  EXPECT_LE(quiet, 16);
  many.clear();
  CFileWatch again;  // queues are given back
  again.Watch((dir.Path() / "config.xml").string());
  EXPECT_FALSE(again.MayHaveChanged());
}

}  // namespace
}  // namespace korvane
