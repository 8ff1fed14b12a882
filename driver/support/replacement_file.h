// A new version of a shared file, prepared beside it and put in its place in
// one step: readers (and a crash at any moment) see the old content or the
// new, never a part of it, and a failed write leaves the old file untouched.
#pragma once

#include <string>

namespace korvane {

class CReplacementFile {
 public:
  /// `directory` ends with '/' (as HostDirectory() does); `name` is the file in it.
  CReplacementFile(std::string directory, std::string name);
  /// Removes the temporary file unless it was committed.
  ~CReplacementFile();
  CReplacementFile(const CReplacementFile&) = delete;
  CReplacementFile& operator=(const CReplacementFile&) = delete;

  /// Creates a temporary file in the same directory holding a copy of the
  /// current file's bytes and permission bits. False with `error` set when
  /// the file cannot be read or any step of the copy fails.
  bool Begin(std::string& error);
  /// Name of the temporary file relative to the directory (valid after Begin),
  /// for whoever writes the new content into it.
  const std::string& TemporaryName() const { return temporaryName_; }
  /// Flushes the temporary file to the disk and renames it over the file.
  /// False with `error` set, and the old file left as it was, when a step fails.
  bool Commit(std::string& error);

 private:
  void Discard();

  std::string directory_;
  std::string name_;
  std::string temporaryName_;
  bool pending_ = false;
};

}  // namespace korvane
