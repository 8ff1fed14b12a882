#include "driver/channels/serial_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/channels/serial_line_speed.h"

namespace korvane {
namespace {

constexpr const char* kOpen = "korvane::CSerialChannel::OpenChannel";
constexpr const char* kRun = "korvane::CSerialChannel::Run";

constexpr unsigned char kXon = 0x11;
constexpr unsigned char kXoff = 0x13;

struct StandardSpeed {
  int32_t bitsPerSecond;
  speed_t code;
};
constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

const StandardSpeed* FindStandardSpeed(int32_t bitsPerSecond) {
  for (const StandardSpeed& speed : kStandardSpeeds) {
    if (speed.bitsPerSecond == bitsPerSecond) return &speed;
  }
  return nullptr;
}

// A UART receives reliably within about 2 % of the sender's rate.
bool CloseEnough(uint32_t actual, int32_t wanted) {
  const int64_t difference = static_cast<int64_t>(actual) - wanted;
  return (difference < 0 ? -difference : difference) * 50 <= wanted;
}

/// A failure reason: the formatted text, then the system's words for `error` (none for 0).
std::string Reason(int error, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string Reason(int error, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::string reason = text;
  if (error != 0) reason += " (error " + std::to_string(error) + ": " + std::strerror(error) + ")";
  return reason;
}

/// Character size bits for `dataBits`; false when a UART cannot frame it.
bool CharacterSize(int32_t dataBits, tcflag_t& size) {
  switch (dataBits) {
    case 5:
      size = CS5;
      return true;
    case 6:
      size = CS6;
      return true;
    case 7:
      size = CS7;
      return true;
    case 8:
      size = CS8;
      return true;
    default:
      return false;
  }
}

/// Parity bits for 0 none, 1 odd, 2 even, 3 mark, 4 space; false for any other value.
bool ParityFlags(int32_t parity, tcflag_t& flags) {
  constexpr tcflag_t kFlags[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD, PARENB | CMSPAR};
  if (parity < 0 || parity > 4) return false;
  flags = kFlags[parity];
  return true;
}

}  // namespace

std::string SerialDevicePath(const std::string& pathTemplate, int32_t port) {
  std::string path = pathTemplate;
  const size_t at = path.find("%d");
  if (at != std::string::npos) path.replace(at, 2, std::to_string(port - 1));
  return path;
}

CSerialChannel::CSerialChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings)
    : CChannelBase(driver, debug, settings) {
  SetName("COM port " + std::to_string(static_cast<uint32_t>(settings.serial.port)));
  SetKind("Serial Channel");
  std::string pathTemplate = settings.serial.devicePath;
  if (pathTemplate.empty()) {
    const char* variable = std::getenv(kDevicePathVariable);
    pathTemplate = variable != nullptr && *variable != '\0' ? variable : kDefaultDevicePath;
  }
  if (settings.serial.port >= 1 && settings.serial.port <= kMaxPort) {
    path_ = SerialDevicePath(pathTemplate, settings.serial.port);
  }
}

CSerialChannel::~CSerialChannel() { ClosePort(); }

bool CSerialChannel::OpenChannel() {
  if (fd_ >= 0) return false;
  std::string reason;
  if (OpenPort(reason)) return true;
  SetConnectionState(reason, ConnectionState::Lost);
  CloseChannel();
  return false;
}

void CSerialChannel::CloseChannel() {
  SetConnectionState({}, ConnectionState::Closed);
  ClosePort();
}

bool CSerialChannel::OpenPort(std::string& reason) {
  if (path_.empty()) {
    reason = Reason(0, "%s: Invalid COM port number %d (1 to %d)", kOpen, Settings().serial.port, kMaxPort);
    return false;
  }
  fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    reason = Reason(errno, "%s: Failed to open COM port '%s'", kOpen, path_.c_str());
    return false;
  }
  if (::tcgetattr(fd_, &saved_) != 0) {
    const int error = errno;
    ClosePort();
    reason = error == ENOTTY ? Reason(0, "%s: Failed to open COM port '%s' (not a terminal)", kOpen, path_.c_str())
                             : Reason(error, "%s: Get COM port state failed", kOpen);
    return false;
  }
  // One reader per port, as serial ports are elsewhere: a port another
  // program holds is refused and left as it is.
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ClosePort();
    reason = Reason(0, "%s: Failed to open COM port '%s' (in use by another program)", kOpen, path_.c_str());
    return false;
  }
  ::ioctl(fd_, TIOCEXCL);
  if (GetLineSpeed(fd_, savedSpeed_) != 0) savedSpeed_ = 0;
  restoreOnClose_ = true;
  Log(kLogInfo, kCatSerialChannel, "%s: Channel %d COM port successfully opened. '%s'", kOpen, ChannelIndex(),
      path_.c_str());
  if (Configure(reason)) return true;
  ClosePort();
  return false;
}

bool CSerialChannel::Configure(std::string& reason) {
  const SerialSettings& serial = Settings().serial;
  termios line = saved_;
  ::cfmakeraw(&line);
  line.c_iflag |= IGNBRK;  // a break from the device is no data
  line.c_cflag |= CLOCAL | CREAD;
  line.c_cflag &= ~(CRTSCTS | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  line.c_cc[VMIN] = 1;  // with O_NONBLOCK: EAGAIN when empty, 0 bytes only on hang-up
  line.c_cc[VTIME] = 0;

  tcflag_t size = 0;
  if (!CharacterSize(serial.dataBits, size)) {
    reason = Reason(0, "%s: Set COM port state failed (data bits %d not supported)", kOpen, serial.dataBits);
    return false;
  }
  tcflag_t parity = 0;
  if (!ParityFlags(serial.parity, parity)) {
    reason = Reason(0, "%s: Set COM port state failed (parity %d not supported)", kOpen, serial.parity);
    return false;
  }
  line.c_cflag |= size | parity;
  if (parity != 0) line.c_iflag |= INPCK;
  if (serial.stopBits != 1) line.c_cflag |= CSTOPB;

  if (serial.flowControl == 1) {
    Log(kLogInfo, kCatSerialChannel, "%s: Enabling XON/XOFF flow control", kOpen);
    line.c_iflag |= IXON | IXOFF;
    line.c_cc[VSTART] = kXon;
    line.c_cc[VSTOP] = kXoff;
  } else {
    Log(kLogInfo, kCatSerialChannel, "%s: Flow control is disabled", kOpen);
    line.c_iflag &= ~(IXON | IXOFF | IXANY);
  }

  if (serial.baudRate <= 0) {
    reason = Reason(0, "%s: Set COM port state failed (baud rate %d not supported)", kOpen, serial.baudRate);
    return false;
  }
  const StandardSpeed* standard = FindStandardSpeed(serial.baudRate);
  if (standard != nullptr) {
    ::cfsetispeed(&line, standard->code);
    ::cfsetospeed(&line, standard->code);
  }
  if (::tcsetattr(fd_, TCSANOW, &line) != 0) {
    reason = Reason(errno, "%s: Set COM port state failed", kOpen);
    return false;
  }
  if (standard == nullptr) {
    if (const int error = SetLineSpeed(fd_, static_cast<uint32_t>(serial.baudRate)); error != 0) {
      reason = Reason(error, "%s: Set COM port state failed (baud rate %d)", kOpen, serial.baudRate);
      return false;
    }
  }
  // The driver answers with the rate its clock can make; a rate it cannot
  // come close to is refused rather than run at some other speed.
  uint32_t actual = 0;
  if (const int error = GetLineSpeed(fd_, actual); error != 0) {
    reason = Reason(error, "%s: Get COM port state failed", kOpen);
    return false;
  }
  if (!CloseEnough(actual, serial.baudRate)) {
    reason = Reason(0, "%s: Set COM port state failed (baud rate %d not supported, the port runs at %u)", kOpen,
                    serial.baudRate, actual);
    return false;
  }
  Log(kLogInfo, kCatSerialChannel, "%s: SetCommState() succeeded", kOpen);
  // DTR and RTS stay low. Lines a pseudo-terminal does not have are no failure.
  int modemLines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd_, TIOCMBIC, &modemLines);
  return true;
}

void CSerialChannel::ClosePort() {
  if (fd_ < 0) return;
  if (restoreOnClose_) {
    ::ioctl(fd_, TIOCSBRK);
    ::tcsetattr(fd_, TCSANOW, &saved_);
    if (HasArbitrarySpeed(saved_.c_cflag) && savedSpeed_ != 0) SetLineSpeed(fd_, savedSpeed_);
    ::ioctl(fd_, TIOCNXCL);
    restoreOnClose_ = false;
  }
  ::close(fd_);
  fd_ = -1;
}

int CSerialChannel::Run() {
  std::vector<char> buffer(kReadSize);
  BeginConnection();
  SetConnectionState({}, ConnectionState::Opened);
  while (!StopRequested()) {
    if (fd_ < 0 && !Reopen()) break;
    const WaitResult wait = WaitForSocket(fd_, POLLIN, kByteWait);
    if (wait.readiness == Readiness::kStopped) break;
    // A partial message keeps waiting for its line feed however long the device pauses.
    if (wait.readiness == Readiness::kTimeout) continue;
    if (wait.readiness == Readiness::kError) {
      const int error = wait.error != 0 ? wait.error : EBADF;
      Log(kLogError, kCatSerialChannel, "%s: Channel %d - Error when trying to wait for characters, error code %#x",
          kRun, ChannelIndex(), static_cast<unsigned>(error));
      CloseChannel();
      continue;
    }
    const ssize_t received = ::read(fd_, buffer.data(), buffer.size());
    if (received < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (received <= 0) {
      // A tty whose device went away (an adapter unplugged) reads as end of file.
      const int error = received < 0 ? errno : EIO;
      Log(kLogError, kCatSerialChannel, "%s: Channel %d - Error when trying to read characters, error code %#x", kRun,
          ChannelIndex(), static_cast<unsigned>(error));
      CloseChannel();
      continue;
    }
    SetConnectionState({}, ConnectionState::Restored);
    ProcessData(buffer.data(), static_cast<size_t>(received));
    // A full buffer means more is waiting; otherwise let the next bytes gather.
    if (static_cast<size_t>(received) < buffer.size()) Pause(kReadPause);
  }
  CloseChannel();
  return 0;
}

bool CSerialChannel::Reopen() {
  bool reported = false;
  while (!WaitForStop(kReopenInterval)) {
    std::string reason;
    if (OpenPort(reason)) {
      BeginConnection();  // the line that was cut off by the outage is dropped
      SetConnectionState({}, ConnectionState::Opened);
      return true;
    }
    // Once per outage, not once per attempt.
    if (!reported) SetConnectionState(reason, ConnectionState::Lost);
    reported = true;
  }
  return false;
}

void CSerialChannel::Pause(std::chrono::milliseconds pause) {
  // poll() skips a negative descriptor: this waits for the stop event alone.
  // Real time, not the channel clock: it paces reads and times no behaviour.
  WaitForSocket(-1, 0, pause);
}

std::unique_ptr<CChannelBase> CreateSerialChannel(IDataDriver& driver, IDebug& debug, const ChannelSettings& settings) {
  return std::make_unique<CSerialChannel>(driver, debug, settings);
}

}  // namespace korvane
