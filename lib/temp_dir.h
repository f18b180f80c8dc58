// A fresh directory (under /tmp unless told otherwise) for a test, a tool run or temporary
// tables.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace veldor {

// Creates <base>/<prefix>-<six random characters> and returns its path (without a trailing
// "/"), or "" when it cannot be made (errno tells why).
inline std::string MakeTempDirectory(const std::string& prefix, const std::string& base = "/tmp") {
  std::string name = base + (!base.empty() && base.back() == '/' ? "" : "/") + prefix + "-" +
                     std::string(6, 'X');  // mkdtemp's template
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return "";
  return std::string(buffer.data());
}

}  // namespace veldor
