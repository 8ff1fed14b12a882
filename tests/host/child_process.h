// kestrel-host as a child process.
#pragma once

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace korvane::testing {

class HostProcess : public ChildProcess {
 public:
  explicit HostProcess(const std::vector<std::string>& args) : ChildProcess(WithHost(args)) {}

 private:
  static std::vector<std::string> WithHost(const std::vector<std::string>& args) {
    std::vector<std::string> all{KESTREL_HOST_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return all;
  }
};

}  // namespace korvane::testing
