// The configuration as the validator uses it: the validation expression, the
// message types, the schema and the mapper's rules, all read from one version
// of the configuration file and swapped as a whole. When one of the files a
// snapshot was read from changes, the next block reads it again; while the
// changed file does not load, the last snapshot that loaded stays in use.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/common/driver_interfaces.h"
#include "driver/support/clock.h"
#include "driver/support/file_stamp.h"
#include "driver/support/file_watch.h"
#include "driver/support/xml_parser.h"
#include "driver/validation/mapper_interface.h"
#include "driver/validation/message_builder.h"
#include "driver/validation/staged_names.h"
#include "driver/validation/text_regex.h"

namespace korvane {

/// What the text path reads from the configuration for every block.
struct ValidationConfig {
  /// root/validation/regex "value"; empty when not configured.
  std::string validationExpression;
  /// Compiled in POSIX basic syntax; null when empty or invalid.
  std::shared_ptr<const CTextRegex> validationRegex;
  /// Why the validation expression did not compile.
  std::string validationError;
  TextPathDefinition textPath;
};

/// Reads and compiles the validation expression and the text-path message types.
ValidationConfig ReadValidationConfig(CXMLParser& config);

/// What is wrong with every expression of `validation` that did not compile
/// and every message-type XPath of `type` that does not, with the position of
/// the fault; one text per expression. Said when a configuration loads, since
/// lines that would need a broken expression are dropped without a line each.
std::vector<std::string> BrokenExpressions(const ValidationConfig& validation, const MessageTypeDefinition& type);

/// Everything read from one version of the configuration file.
struct ConfigurationSnapshot {
  /// The text path's expression and message types (validation type "text").
  ValidationConfig validation;
  /// The compiled schema (validation type "xsd" with a schema); null: well-formedness only.
  std::shared_ptr<const CXMLParser::Schema> schema;
  /// What the mapper registers its names through; lives as long as the mapper.
  std::unique_ptr<CStagedNames> names;
  std::unique_ptr<IMapper> mapper;
  /// The configuration file and the schema files, each with its stamp when it was read.
  std::vector<TrackedFile> files;
};

class CConfigurationSource {
 public:
  /// Completes a snapshot from one loaded version of the configuration:
  /// everything but the configuration file itself, which the source tracks.
  /// `reload` is false for the first load (while the driver opens). False,
  /// with `reason` set, when this version cannot be used.
  using Builder =
      std::function<bool(CXMLParser& config, bool reload, ConfigurationSnapshot& snapshot, std::string& reason)>;

  /// `clock` tells how long ago a file changed (its wall-clock time).
  CConfigurationSource(IDebug& logger, const Clock& clock, Builder builder);

  enum class LoadOutcome {
    kLoaded,
    kUnreadable,  ///< the file is missing, refused or not well-formed XML
    kUnusable,    ///< the builder refused it (and said why)
  };
  /// Reads `fileName` (resolved against the host directory) for the first
  /// time; `reason` says why when it cannot be used.
  LoadOutcome Load(const std::string& fileName, std::string& reason);
  /// The snapshot for the next block, read again first when one of its files
  /// changed. Null before a successful Load. Thread-safe.
  std::shared_ptr<const ConfigurationSnapshot> Current();
  /// Number of times the configuration file was read.
  uint64_t LoadCount() const;

 private:
  /// The files a snapshot, or a version that did not load, was read from.
  struct Reading {
    std::vector<TrackedFile> files;
    /// False while a file had changed too recently to be sure the read saw a
    /// finished write; such a version is read once more when it settles.
    bool settled = true;
  };
  bool NeedsReading(const Reading& reading) const;
  /// False when no file can have changed since the last look, which spares
  /// comparing stamps (a path lookup per file) for every block.
  bool WorthLooking();  // with mutex_ held
  bool Settled(const std::vector<TrackedFile>& files) const;
  /// Null when this version cannot be used; `readable` tells whether the file itself loaded.
  std::shared_ptr<ConfigurationSnapshot> Read(bool reload, Reading& reading, bool& readable,
                                              std::string& reason);  // with mutex_ held

  IDebug& logger_;
  const Clock& clock_;
  const Builder builder_;
  // Guards the members below; held while a changed file is read, so blocks
  // delivered meanwhile by another thread wait for the new snapshot.
  mutable std::mutex mutex_;
  std::string fileName_;
  std::shared_ptr<const ConfigurationSnapshot> current_;
  Reading currentReading_;
  /// The version that last failed to load, until another version loads.
  std::optional<Reading> failedReading_;
  uint64_t loads_ = 0;
  CFileWatch watch_;
  std::chrono::steady_clock::time_point lastLook_{};
  std::chrono::steady_clock::time_point lastNotesRead_{};
};

}  // namespace korvane
