// The application's standard error display in Qt: a modal message box with the error's
// text, for errors the components show instead of raising (a failing filter handler, a
// BLOB stream's last notice) and for errors a program does not catch in a handler.
//
// Owns nothing beyond the message box it shows for the time of one error. Qt's GUI thread.
#pragma once

#include <exception>

namespace veldor {

// Shows `error` in a critical message box with an OK button and waits for it to close.
void ShowErrorMessage(const std::exception& error);

// Makes ShowErrorMessage the process's handler of shown errors.
void InstallErrorDisplay();

}  // namespace veldor
