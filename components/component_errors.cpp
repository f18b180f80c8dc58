#include "components/component_errors.h"

#include "lib/code_page.h"

namespace veldor {

void ComponentError(const char* message, const std::string& arg) {
  throw EDatabaseError(FormatComponentMessage(message, arg));
}

bool HasDirectoryPart(const std::string& name) { return name.find('/') != std::string::npos; }

std::string StoredText(const std::string& utf8, const std::string& what) {
  std::string out;
  TCodePageProblem problem;
  if (!Utf8ToWindows1252(utf8, out, problem))
    throw EDatabaseError(what + ": " + CodePageProblemText(utf8, problem));
  return out;
}

}  // namespace veldor
