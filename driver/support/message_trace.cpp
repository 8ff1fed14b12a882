#include "driver/support/message_trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace korvane {
namespace {

thread_local MessageTrace* currentTrace = nullptr;

}  // namespace

MessageTrace* CurrentTrace() { return currentTrace; }

MessageTraceScope::MessageTraceScope(MessageTrace& trace) : previous_(currentTrace) { currentTrace = &trace; }

MessageTraceScope::~MessageTraceScope() { currentTrace = previous_; }

void TraceStep(const char* format, ...) {
  MessageTrace* trace = currentTrace;
  if (trace == nullptr) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0) return;
  trace->Step(std::string_view(line, std::min<size_t>(static_cast<size_t>(length), sizeof line - 1)));
}

std::string QuotedForTrace(std::string_view text, size_t limit) {
  std::string quoted = "\"";
  const size_t shown = std::min(text.size(), limit);
  for (size_t i = 0; i < shown; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7f) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      quoted += escape;
    } else {
      if (byte == '"' || byte == '\\') quoted += '\\';
      quoted += static_cast<char>(byte);
    }
  }
  quoted += '"';
  if (shown < text.size()) quoted += "...";
  return quoted;
}

}  // namespace korvane
