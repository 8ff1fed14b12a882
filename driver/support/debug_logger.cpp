#include "driver/support/debug_logger.h"

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "driver/support/file.h"
#include "driver/support/host_directory.h"
#include "driver/support/mutex.h"
#include "driver/support/string_utils.h"

namespace korvane {
namespace {

constexpr int64_t kRotationSize = 1048576;
constexpr uint32_t kFileMutexWaitMs = 5000;
// Rotated files kept per debug file; older ones are deleted.
constexpr size_t kKeptRotations = 10;

const char* CategoryName(int32_t category) {
  static const char* const kNames[] = {nullptr,       "Validation",    "Configuration", "Channel",    "HTTPChannel",
                                       "RTSPChannel", "SerialChannel", "TCPChannel",    "UDPChannel", "Mapper"};
  if (category < 0 || category >= static_cast<int32_t>(sizeof kNames / sizeof kNames[0])) return nullptr;
  return kNames[category];
}

int32_t HostSeverity(int32_t level) {
  switch (level) {
    case 1:
      return 3;
    case 2:
      return 2;
    case 3:
      return 1;
    default:
      return 4;
  }
}

// True for "<name>_YYYYMMDD_hhmmss.old", the names rotation gives the file `name`.
bool IsRotationOf(std::string_view candidate, std::string_view name) {
  constexpr std::string_view kSuffix = ".old";
  constexpr size_t kStampSize = 15;
  if (candidate.size() != name.size() + 1 + kStampSize + kSuffix.size()) return false;
  if (candidate.substr(0, name.size()) != name || candidate[name.size()] != '_') return false;
  if (candidate.substr(candidate.size() - kSuffix.size()) != kSuffix) return false;
  const std::string_view stamp = candidate.substr(name.size() + 1, kStampSize);
  for (size_t i = 0; i < stamp.size(); ++i) {
    if (i == 8 ? stamp[i] != '_' : (stamp[i] < '0' || stamp[i] > '9')) return false;
  }
  return true;
}

// Deletes all but the newest kKeptRotations rotated files of `path`; their
// stamps sort by time.
void PruneRotations(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path file(path);
  const std::string name = file.filename().string();
  std::vector<fs::path> rotations;
  std::error_code error;
  for (fs::directory_iterator it(file.parent_path(), error), end; !error && it != end; it.increment(error)) {
    if (IsRotationOf(it->path().filename().string(), name)) rotations.push_back(it->path());
  }
  if (rotations.size() <= kKeptRotations) return;
  std::sort(rotations.begin(), rotations.end());
  for (size_t i = 0; i + kKeptRotations < rotations.size(); ++i) fs::remove(rotations[i], error);
}

// A full file moves aside under a time-stamped name; when that name is taken
// (a second rotation within the same second) the caller drops its write.
bool RotateIfFull(const std::string& path) {
  if (FileSize(path) < kRotationSize) return true;
  const std::string rotated = Format("%s_%s.old", path.c_str(), RotationStamp().c_str());
  if (FileExists(rotated)) return false;
  if (!RenameFile(path, rotated)) return false;
  PruneRotations(path);
  return true;
}

}  // namespace

CDebugLogger::CDebugLogger(IDataCallback* callback, const std::string& suffix)
    : callback_(callback),
      logFileName_(Format("Debug_KSL_Log%s.txt", suffix.c_str())),
      packetFileName_(Format("Debug_KSL_Packets%s.bin", suffix.c_str())),
      fileMutex_(std::make_unique<CMutex>(Format("DEBUG_KSL_LOG_MUTEX%s", suffix.c_str()))),
      suffix_(suffix) {
  for (int32_t category = 0; category <= 9; ++category) counters_[category] = 0;
}

CDebugLogger::~CDebugLogger() = default;

void CDebugLogger::Configure(uint8_t level, bool fileLogging, const std::string& logFileName,
                             const std::string& packetFileName) {
  try {
    std::lock_guard<std::mutex> lock(stateMutex_);
    level_ = level;
    fileLogging_ = fileLogging;
    if (!logFileName.empty()) logFileName_ = logFileName;
    if (!packetFileName.empty()) packetFileName_ = packetFileName;
  } catch (...) {
    // Keeps the previous names.
  }
}

void CDebugLogger::Write(const std::string& message, int32_t level, int32_t category) {
  try {
    const char* name = CategoryName(category);
    const std::string categorised = name != nullptr ? Format("<%s> %s", name, message.c_str()) : message;
    if (level == 1 || level == 3) ForwardToHost(categorised, level, category);
    if (!fileLogging_) return;

    const std::string timestamp = TimestampText();
    std::string line;
    switch (level) {
      case 0:
        line = timestamp + " -------------------------------------------------------\n";
        break;
      case 1:
        line = Format("%s <INFO>: %s\n", timestamp.c_str(), categorised.c_str());
        break;
      case 2:
        line = Format("%s <WARN>: %s\n", timestamp.c_str(), categorised.c_str());
        break;
      case 3:
        line = Format("%s <ERROR>: %s\n", timestamp.c_str(), categorised.c_str());
        break;
      default:
        // Diagnostic messages (level 4, and any level without a name) carry their own tag.
        line = Format("%s <DEBUG>: %s\n", timestamp.c_str(), categorised.c_str());
        break;
    }
    const std::string path = FullPath(logFileName_);
    if (path.empty() || !fileMutex_ || !fileMutex_->IsValid()) return;
    if (!Acquired(fileMutex_->Lock(kFileMutexWaitMs))) return;
    if (RotateIfFull(path)) AppendToFile(path, line.data(), line.size());
    fileMutex_->Unlock();
  } catch (...) {
    // Logging never fails its caller.
  }
}

void CDebugLogger::WritePacket(const char* data, int32_t length) {
  try {
    if (!fileLogging_ || length < 0 || (data == nullptr && length > 0)) return;
    const std::string path = FullPath(packetFileName_);
    if (path.empty() || !fileMutex_ || !fileMutex_->IsValid()) return;
    const auto size = static_cast<uint32_t>(length);
    std::string record;
    record.reserve(4 + size);
    for (int shift = 0; shift < 32; shift += 8) record.push_back(static_cast<char>((size >> shift) & 0xFF));
    record.append(data, size);
    if (!Acquired(fileMutex_->Lock(kFileMutexWaitMs))) return;
    if (RotateIfFull(path)) AppendToFile(path, record.data(), record.size());
    fileMutex_->Unlock();
  } catch (...) {
    // Logging never fails its caller.
  }
}

void CDebugLogger::ForwardToHost(const std::string& categorised, int32_t level, int32_t category) {
  if (callback_ == nullptr) return;
  const int32_t severity = HostSeverity(level);
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (severity > level_ || !RateLimiterAllows(category)) return;
  }
  // Called without the state lock: a host may log back into the driver.
  try {
    callback_->OnLog(severity, categorised.c_str());
  } catch (...) {
    // A host that throws from its log callback loses the line, nothing more.
  }
}

bool CDebugLogger::RateLimiterAllows(int32_t category) {
  // The first 14 messages of a category pass, then ever fewer: every 16th,
  // every 256th, finally every 4096th. The counter wraps back to 4095 so it
  // stays in the sparsest band.
  uint32_t& counter = counters_[category];
  ++counter;
  if (counter == 65535) {
    counter = 4095;
    return false;
  }
  if (counter < 15) return true;
  if (counter < 255) return counter % 16 == 0;
  if (counter < 4095) return counter % 256 == 0;
  return counter % 4096 == 0;
}

std::string CDebugLogger::FullPath(const std::string& fileName) {
  std::lock_guard<std::mutex> lock(stateMutex_);
  if (fileName.empty()) return {};
  // The directory is looked up once per logger and kept.
  if (directory_.empty()) directory_ = HostDirectory();
  if (directory_.empty()) return {};
  if (directory_.back() != '/') directory_ += '/';
  return directory_ + fileName;
}

}  // namespace korvane
