// A step-by-step account of what the driver does with each message, kept
// while a configuration is checked against sample data. Outside such a check
// no trace is set and each step costs one test of a thread-local pointer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvane {

/// Receives the steps of the messages handled on the thread it is set on.
class MessageTrace {
 public:
  /// A message begins: its text as the channel framed and converted it.
  virtual void Message(std::string_view text) = 0;
  /// One step of the current message, a short sentence.
  virtual void Step(std::string_view text) = 0;

 protected:
  ~MessageTrace() = default;
};

/// The trace set on this thread, or null.
MessageTrace* CurrentTrace();

/// Sets a trace on this thread for its lifetime.
class MessageTraceScope {
 public:
  explicit MessageTraceScope(MessageTrace& trace);
  ~MessageTraceScope();
  MessageTraceScope(const MessageTraceScope&) = delete;
  MessageTraceScope& operator=(const MessageTraceScope&) = delete;

 private:
  MessageTrace* previous_;
};

/// Adds a printf-style step to this thread's trace; nothing without one.
void TraceStep(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// `text` quoted for a trace line: at most `limit` bytes, control bytes as \xNN.
std::string QuotedForTrace(std::string_view text, size_t limit = 120);

}  // namespace korvane
