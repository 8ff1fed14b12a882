// The command line shared by the tools that write a checked-in file from the
// driver's own tables:
//
//   TOOL                 prints the file
//   TOOL --check FILE    exits 1 when FILE differs from what the tool prints
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace korvane::tools {

/// `source` names what the file is made from, for the message of --check.
inline int PrintOrCheck(int argc, char** argv, const std::string& content, const char* source) {
  if (argc == 3 && std::string(argv[1]) == "--check") {
    std::ifstream file(argv[2], std::ios::binary);
    std::stringstream stored;
    stored << file.rdbuf();
    if (file && stored.str() == content) return 0;
    std::fprintf(stderr, "%s is not what %s gives; regenerate it with %s > %s\n", argv[2], source, argv[0], argv[2]);
    return 1;
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--check FILE]\n", argv[0]);
    return 2;
  }
  std::fwrite(content.data(), 1, content.size(), stdout);
  return 0;
}

}  // namespace korvane::tools
