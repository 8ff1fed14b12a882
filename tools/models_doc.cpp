// Writes docs/models.md from the driver's own parameter registry, so the
// page cannot drift from what hosts are shown.
//
//   models_doc                 prints the page
//   models_doc --check FILE    exits 1 when FILE differs from the page
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "driver/core/parameters.h"
#include "tools/generated_file.h"

namespace {

using korvane::drivers::CKestrelDriverParameters;
using korvane::drivers::ParameterDescriptor;

const char* TypeName(int32_t type) {
  switch (type) {
    case korvane::drivers::kParameterNumber:
      return "number";
    case korvane::drivers::kParameterPassword:
      return "password";
    case korvane::drivers::kParameterChoice:
      return "choice";
    default:
      return "text";
  }
}

// Table cells hold no line breaks and no unescaped bars.
std::string Cell(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '|') {
      out += "\\|";
    } else if (c == '\n' || c == '\r') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out.empty() ? " " : out;
}

std::string Page() {
  std::ostringstream page;
  page << "# Models and their parameters\n\n"
          "Generated from the driver's parameter registry by `build/bin/models_doc > docs/models.md`;\n"
          "a test fails when this page and the registry disagree. `kestrel-host params MODEL` prints the\n"
          "same as JSON lines. A host passes parameter N as the N-th value of its settings; an unset\n"
          "parameter takes the default shown.\n";
  for (const auto& model : CKestrelDriverParameters::Instance().GetModels()) {
    page << "\n## " << model.GetName() << "\n\n";
    page << "| # | label | type | default | choices |\n|---|---|---|---|---|\n";
    for (const auto& [number, parameter] : model.GetParameters()) {
      std::string choices;
      for (const auto& [index, text] : parameter.values) choices += (choices.empty() ? "`" : ", `") + text + "`";
      page << "| " << number << " | " << Cell(parameter.label) << " | " << TypeName(parameter.type) << " | "
           << (parameter.defaultValue.empty() ? " " : "`" + Cell(parameter.defaultValue) + "`") << " | "
           << Cell(choices) << " |\n";
    }
  }
  return page.str();
}

}  // namespace

int main(int argc, char** argv) { return korvane::tools::PrintOrCheck(argc, argv, Page(), "the parameter registry"); }
