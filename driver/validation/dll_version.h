// The product version of a plug-in library, from its optional export
// "KestrelProductVersion".
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

class CDllVersion {
 public:
  /// Reads the version of the library at `fileName` (a full path). A library
  /// that is not loaded yet is loaded for the look-up and freed again.
  explicit CDllVersion(const std::string& fileName);
  virtual ~CDllVersion() = default;

  /// The version text; empty when the library has none.
  const std::string& GetVersionText() const { return versionText_; }
  int32_t GetMajor() const { return major_; }
  int32_t GetMinor() const { return minor_; }
  int32_t GetBuild() const { return build_; }
  int32_t GetRevision() const { return revision_; }

  /// Splits "a.b.c.d" (or "a,b,c,d" when the text holds a comma) into the four numbers.
  void Parse(const std::string& text);

 private:
  std::string fileName_;
  std::string versionText_;
  int32_t major_ = 0;
  int32_t minor_ = 0;
  int32_t build_ = 0;
  int32_t revision_ = 0;
};

}  // namespace korvane
