// The errors the data-access components raise themselves, and the name rules they share.
//
// Owns nothing: the message texts live beside the engine's error table (engine/errors.h);
// here are only the helpers that raise them through the framework's database error and
// the test for a directory part in a name. Stateless; safe from any thread.
#pragma once

#include <string>

#include "engine/errors.h"

namespace veldor {

// Raises EDatabaseError with a component message, its "%s" (if any) filled with `arg`.
[[noreturn]] void ComponentError(const char* message, const std::string& arg = "");

// True when `name` holds a directory separator ("/"): such a name is a path, not the
// name of a database component.
bool HasDirectoryPart(const std::string& name);

// The Windows-1252 form of UTF-8 text that crosses into the engine (filter texts, search
// values, passwords); an EDatabaseError naming `what` when a character has no such form.
std::string StoredText(const std::string& utf8, const std::string& what);

}  // namespace veldor
