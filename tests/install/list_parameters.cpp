// A host linked against the installed driver through pkg-config: prints the
// label of every parameter of the model named on the command line.
#include <kestrel/kestrel.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  korvane::ParameterInfo info{};
  int32_t number = 1;
  for (; GetParameterType(argv[1], number, &info) == 1; ++number) std::printf("%s\n", info.label);
  return number > 1 ? 0 : 1;
}
